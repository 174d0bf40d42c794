#include "reactor_support.h"

#include <unistd.h>

#include "log.h"
#include "test_support.h"

namespace reactortest {

std::string take_log() {
  static testsupport::TempDir dir;
  static bool ready = false;
  if (!ready) {
    init_log("reactor", dir.path().c_str(), 1, 64 << 20);
    ready = true;
  }
  const std::string path = dir.file("reactor_0.log");
  std::string text = testsupport::read_file(path);
  unlink(path.c_str());
  return text;
}

}  // namespace reactortest

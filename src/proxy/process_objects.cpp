#include "process_objects.h"

#include <new>

#include "helper_pool.h"
#include "helper_unit.h"
#include "incoming.h"
#include "log.h"
#include "mempool.h"
#include "proxy_module.h"
#include "realtimer.h"

namespace __http_svr_ns__ {

namespace {

// Creates *obj unless it exists; false (after logging `what`) when memory ran out.
template <typename T>
bool create_once(T** obj, const char* what) {
  if (*obj == nullptr) *obj = new (std::nothrow) T();
  if (*obj != nullptr) return true;
  log_boot("create %s failed.", what);
  return false;
}

template <typename T>
void destroy(T** obj) {
  delete *obj;
  *obj = nullptr;
}

}  // namespace

int create_process_objects() {
  if (!create_once(&_webMp, "memory pools") || !create_once(&_helpMp, "memory pools")) return -1;
  if (!create_once(&_helperpool, "CHelperPool object")) return -1;
  if (!create_once(&_RealTimer, "CRealTimer object")) return -1;
  if (!create_once(&gSvrStat, "load records") || !create_once(&gSvrSwitch, "load records")) return -1;
  return 0;
}

void destroy_process_objects() {
  destroy(&gSvrSwitch);
  destroy(&gSvrStat);
  destroy(&_RealTimer);
  CIncoming::Destroy();
  destroy(&_helperpool);
  destroy(&_helpMp);
  destroy(&_webMp);
}

}  // namespace __http_svr_ns__

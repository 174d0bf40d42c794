// Entry point of the gateway: hall -p PORT -s SVID -h IP [-f] [-u PATH], or hall -t to
// check the configuration. -u names the binary a live upgrade (SIGUSR2) starts; by
// default the one this process runs.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <string>

#include "drain/drain.h"
#include "global.h"
#include "incoming.h"
#include "log.h"
#include "proxy_module.h"
#include "transport/ssl_memory.h"
#include "upgrade/upgrade.h"

using namespace __http_svr_ns__;

// Start-up lines carry the module's source name, like the module's own lines.
static const char kSource[] = "proxy_module.cpp";

#ifdef HALL_BUILD_TAG
// A second build of the same sources (the upgrade test's "other binary") differs in these bytes.
extern "C" const char hall_build_tag[] = HALL_BUILD_TAG;
#endif

// The graceful stop of SIGUSR1: the drain stands above the gateway, so the program joins
// them.
static CLoopStop* make_drain(CIncoming* incoming, CRedisServer* registry) {
  return new CDrain(incoming->listeners(), registry, incoming->pollerunit(), incoming->timerunit()->GetTimerList(1));
}

int main(int argc, char** argv) {
  // OpenSSL's large blocks outside the heap, before anything makes OpenSSL allocate.
  std::string why;
  if (!hall_transport::install_ssl_memory(&why))
    fprintf(stderr, "%s: OpenSSL keeps malloc for its memory: %s\n", argv[0], why.c_str());
  if (argc == 2 && strcmp(argv[1], "-t") == 0) return CProxyModule::check_configuration();
  CProxyModule::set_stop_maker(make_drain);
  hall_upgrade::note_start(argc, argv);
  CProxyModule module;
  module.set_successor(hall_upgrade::successor());
  const int ret = module.open(argc, argv);
  if (ret != 0) {
    write_log(LOG_LEVEL_BOOT, kSource, __FUNCTION__, __LINE__, "CProxyModule open failed. iRet : [%d]", ret);
    // Release the listening socket before the waiting parent hears of the failure, so
    // that nothing listens any more once it has exited.
    CIncoming::Destroy();
    return 1;
  }
  if (hall_upgrade::successor()) {
    // The connections this process received are served by the old one again: nothing
    // here may touch them (no destructor, no last word): the process ends at once.
    if (hall_upgrade::take_over() < 0) {
      log_flush();
      _exit(1);
    }
    write_log(LOG_LEVEL_BOOT, kSource, __FUNCTION__, __LINE__, "Proxy open is done!!");
  } else {
    write_log(LOG_LEVEL_BOOT, kSource, __FUNCTION__, __LINE__, "Proxy open is done!!");
    module.report_startup(true);
  }
  // A loop that could not go on (its reason is logged) ends the process with status 1.
  return module.run(const_cast<int*>(&TGlobal::_stopped)) == 0 ? 0 : 1;
}

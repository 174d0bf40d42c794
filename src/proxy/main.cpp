// Entry point of the gateway: hall -p PORT -s SVID -h IP [-f]
#include "global.h"
#include "incoming.h"
#include "log.h"
#include "proxy_module.h"

using namespace __http_svr_ns__;

int main(int argc, char** argv) {
  CProxyModule module;
  const int ret = module.open(argc, argv);
  if (ret != 0) {
    log_boot("CProxyModule open failed. iRet : [%d]", ret);
    // Release the listening socket before the waiting parent hears of the failure, so
    // that nothing listens any more once it has exited.
    CIncoming::Destroy();
    return 1;
  }
  log_boot("Proxy open is done!!");
  module.report_startup(true);
  module.run(const_cast<int*>(&TGlobal::_stopped));
  return 0;
}

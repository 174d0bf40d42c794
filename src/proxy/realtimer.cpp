#include "realtimer.h"

#include "global.h"
#include "helper_pool.h"
#include "transport/tls_transport.h"
#include "watchdog.h"

namespace __http_svr_ns__ {

CRealTimer* _RealTimer = nullptr;

CRealTimer::~CRealTimer() {}

void CRealTimer::TimerNotify() {
  // LogFile exists only when the switch was on at start-up; a reporter that could not
  // be created must not turn the periodic report into a crash.
  if (TGlobal::_udpSwitch != 0 && LogFile != nullptr) {
    int count = _helperpool != nullptr ? static_cast<int>(_helperpool->m_objmap.size()) : 0;
    LogFile->writeHallUserCount(count, TGlobal::_ip, TGlobal::_port);
  }
  // A changed TLS certificate pair is taken for new connections (new TLS connections
  // look too); a bad one is reported here even when nobody connects.
  hall_transport::tls_reload_if_changed();
  // Re-armed whether or not a report went out, so the timer keeps its period.
  if (realTimerlist != nullptr) AttachTimer(realTimerlist);
}

}  // namespace __http_svr_ns__

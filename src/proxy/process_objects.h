// The gateway's process-wide objects: every one of them, with its creator and lifetime.
// All run on the loop thread only.
//
//   object                    declared in     created by                 lifetime
//   _webMp, _helpMp           proxy_module.h  create_process_objects     until destroy_process_objects
//     block pools of the client and the logic-server connections
//   _helperpool               helper_pool.h   create_process_objects     until destroy_process_objects
//     routing tables: logic link per svid, svids in file order, connection per client id
//   _RealTimer                realtimer.h     create_process_objects     until destroy_process_objects
//     the once-a-minute user-count report
//   gSvrStat, gSvrSwitch      helper_unit.h   create_process_objects     until destroy_process_objects
//     last load report of any logic server
//   CIncoming::Instance()     incoming.h      first Instance() call      until CIncoming::Destroy
//     reactor owner: poller unit, listener, timer lists, and the logic links it creates
//     from the server list (deleted by ~CIncoming before the poller unit)
//   LogFile                   watchdog.h      CProxyModule::open         until the process ends
//     UDP reporter, only when the UDP switch is on
//   g_pDebugLog, g_pErrorLog  clib_log.h      CProxyModule::open         until the process ends
//     rolling logs of the close notices and of the logic-link errors
//
// The gateway, the tests and the fuzz rig create these objects with the same call.
#ifndef HALL_PROXY_PROCESS_OBJECTS_H
#define HALL_PROXY_PROCESS_OBJECTS_H

namespace __http_svr_ns__ {

// Creates the pools, the routing tables, the report timer and the load records, each
// one not yet there (a second call changes nothing). 0, or -1 after logging what could
// not be created.
int create_process_objects();

// Destroys the objects above in reverse order, the reactor owner included (between the
// report timer, which stands on one of its timer lists, and the routing tables).
void destroy_process_objects();

}  // namespace __http_svr_ns__

#endif

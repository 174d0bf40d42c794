// CProxyModule: the gateway's module. open() performs the whole start-up in a fixed
// order (daemon set-up, process-wide objects, configuration, command line, reporters,
// rolling logs, reactor); run() drives the main loop. main() owns one instance.
//
// Start-up tells the truth: unless the command line asks for the foreground ("-f"
// after the six fixed arguments), the process forks, and the process the shell started
// waits on a pipe until the detached child reports that the gateway is listening (exit
// status 0) or that start-up failed (exit status 1).
#ifndef HALL_PROXY_PROXY_MODULE_H
#define HALL_PROXY_PROXY_MODULE_H

#include "imodule.h"
#include "noncopyable.h"

namespace comm {
namespace sockcommu {
class CMemPool;
}
}  // namespace comm

namespace __http_svr_ns__ {

// Block pools of the client connections and of the helper connections (see
// process_objects.h for every process-wide object).
extern comm::sockcommu::CMemPool* _webMp;
extern comm::sockcommu::CMemPool* _helpMp;

class CRedisServer;
class CIncoming;
class CLoopStop;

class CProxyModule : public IModule, private noncopyable {
 public:
  CProxyModule();
  virtual ~CProxyModule();

  // 0 when the gateway is open and listening, -1 on any failure (already reported).
  virtual int open(int argc, char** argv) override;
  // Stores `arg` (address of the stop flag) in TGlobal::_module_close and runs the
  // main loop until the flag is set or a drain (SIGUSR1) has ended. Returns 0, or -1
  // when the loop could not go on.
  virtual int run(void* arg) override;
  // Destroys the process-wide objects, the reactor owner among them. Returns 0.
  virtual int close() override;
  virtual int exception() override { return 0; }

  // The configuration check ("hall -t"): reads the three configuration files as open()
  // would, prints every refusal and replaced value on standard output, and returns 0
  // when start-up would accept them, 1 when not. No log, socket or Redis link is opened.
  static int check_configuration();

  // Makes the stop that run() moves on at every loop turn (the drain, which stands above
  // the gateway); without a maker the loop only ends on the stop flag.
  typedef CLoopStop* (*TStopMaker)(CIncoming* incoming, CRedisServer* registry);
  static void set_stop_maker(TStopMaker maker) { _stop_maker = maker; }

  // True when the command line asks to stay in the foreground.
  static bool foreground_requested(int argc, char** argv);

  // Tells the waiting parent (if any) how start-up ended, then drops the pipe; after a
  // success the detached gateway's standard input, output and error go to /dev/null.
  // In the foreground, a success is sent as "READY=1" to a service manager's
  // NOTIFY_SOCKET instead.
  // A module destroyed without reporting counts as a failed start-up.
  void report_startup(bool ok);

  // This process takes over from a running gateway (live upgrade): it stays in the
  // foreground whatever the command line says (it is the running gateway's child, already
  // detached), and its start-up is reported by the hand-over, not by report_startup.
  void set_successor(bool successor) { _successor = successor; }

  // Sends `state` (e.g. "READY=1") to a service manager's NOTIFY_SOCKET, if one is set.
  static void notify_service_manager(const char* state);

 private:
  static TStopMaker _stop_maker;

  CRedisServer* m_pRedisServer;  // the Redis registration link, owned
  int _startup_fd;               // write end of the start-up pipe, -1 when none
  bool _successor = false;       // see set_successor
};

}  // namespace __http_svr_ns__

#endif

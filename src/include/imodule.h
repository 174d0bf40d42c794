// Interface of a module that a host program opens, runs and closes. The gateway's
// module is CProxyModule; the calling order is open, run (blocks until the stop flag
// passed to it becomes non-zero), close.
#ifndef HALL_INCLUDE_IMODULE_H
#define HALL_INCLUDE_IMODULE_H

class IModule {
 public:
  virtual ~IModule() {}
  virtual int open(int argc, char** argv) = 0;
  virtual int close() = 0;
  virtual int run(void* arg) = 0;
  virtual int exception() = 0;
};

#endif

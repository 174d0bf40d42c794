// Orderly stop of the order-sync client: SIGTERM and SIGINT set a flag that the loop
// and every wait of the program look at, so the process ends within a fraction of a
// second, without daemonising (it suits a service manager that runs it in the
// foreground). The handlers are installed without SA_RESTART so that a signal also cuts
// a blocking epoll wait short.
#ifndef ORDER_SYNC_RUN_CONTROL_H
#define ORDER_SYNC_RUN_CONTROL_H

// Installs the SIGTERM/SIGINT handlers and ignores SIGPIPE. 0 on success.
int install_stop_handlers();

bool stop_requested();
void request_stop();
void clear_stop();  // for tests that run the loop more than once

// Sleeps ms milliseconds, or less when a stop is requested meanwhile. Log lines deferred
// so far (see log_defer) are handed over first.
void nap_ms(int ms);

#endif

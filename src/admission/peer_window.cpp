// The peer's unread bytes of a TCP connection, from the window it advertises. Kept in
// a file of its own: the kernel's struct tcp_info with the peer's window
// (tcpi_snd_wnd) comes from <linux/tcp.h>, which cannot stand beside glibc's
// <netinet/tcp.h>.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <stddef.h>
#include <sys/socket.h>

#include "admission.h"

namespace hall_admission {

uint64_t peer_unread(int fd, uint32_t* window_max) {
  struct tcp_info info;
  socklen_t len = sizeof(info);
  if (fd < 0 || getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0 ||
      len < offsetof(struct tcp_info, tcpi_snd_wnd) + sizeof(info.tcpi_snd_wnd))
    return 0;
  if (info.tcpi_snd_wnd > *window_max) *window_max = info.tcpi_snd_wnd;
  return *window_max - info.tcpi_snd_wnd;
}

}  // namespace hall_admission

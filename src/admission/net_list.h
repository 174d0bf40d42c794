// A list of IPv4 networks (CIDR blocks) and the test whether an address lies in one.
#ifndef HALL_ADMISSION_NET_LIST_H
#define HALL_ADMISSION_NET_LIST_H

#include <stdint.h>

#include <string>
#include <vector>

namespace hall_admission {

class CNetList {
 public:
  // Reads comma-separated blocks "a.b.c.d/len" or bare addresses (a /32); blanks around
  // items are ignored. On a bad item *why names it, the list is left empty and the
  // result is false. An empty text is an empty list.
  bool parse(const std::string& text, std::string* why);
  // `addr` in network byte order, as sockaddr_in holds it.
  bool contains(uint32_t addr) const;
  bool empty() const { return _nets.empty(); }

 private:
  struct TNet {
    uint32_t base;  // host byte order, masked
    uint32_t mask;
  };
  std::vector<TNet> _nets;
};

}  // namespace hall_admission

#endif

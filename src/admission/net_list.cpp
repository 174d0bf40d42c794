#include "net_list.h"

#include <arpa/inet.h>
#include <stdlib.h>

namespace hall_admission {

namespace {

std::string trimmed(const std::string& s) {
  const size_t b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return std::string();
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

}  // namespace

bool CNetList::parse(const std::string& text, std::string* why) {
  _nets.clear();
  std::vector<TNet> nets;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t comma = text.find(',', start);
    const std::string item =
        trimmed(text.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
    start = comma == std::string::npos ? text.size() + 1 : comma + 1;
    if (item.empty()) {
      if (comma == std::string::npos && nets.empty() && trimmed(text).empty()) break;
      *why = "an empty item in the list";
      return false;
    }
    const size_t slash = item.find('/');
    const std::string addr = item.substr(0, slash);
    long bits = 32;
    if (slash != std::string::npos) {
      const std::string len = item.substr(slash + 1);
      char* end = nullptr;
      bits = len.empty() || len.size() > 2 ? -1 : strtol(len.c_str(), &end, 10);
      if (end == nullptr || *end != '\0' || bits < 0 || bits > 32) {
        *why = "\"" + item + "\" has no prefix length from 0 to 32";
        return false;
      }
    }
    struct in_addr in;
    if (inet_pton(AF_INET, addr.c_str(), &in) != 1) {
      *why = "\"" + item + "\" is no dotted IPv4 address or a.b.c.d/len block";
      return false;
    }
    const uint32_t mask = bits == 0 ? 0 : ~0u << (32 - bits);
    nets.push_back(TNet{ntohl(in.s_addr) & mask, mask});
  }
  _nets.swap(nets);
  return true;
}

bool CNetList::contains(uint32_t addr) const {
  const uint32_t host = ntohl(addr);
  for (const TNet& n : _nets)
    if ((host & n.mask) == n.base) return true;
  return false;
}

}  // namespace hall_admission

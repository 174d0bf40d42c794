#include "packet.h"

#include <cstring>

#include "EncryptDecrypt.h"
#include "packet_base.h"

bool packet_t::write_int(int value) {
  if (_data == nullptr || static_cast<unsigned>(len) + 4 > sz) return false;
  pkg_put_i32(reinterpret_cast<char*>(_data) + len, value);
  len = static_cast<unsigned short>(len + 4);
  return true;
}

bool packet_t::write_string(const std::string& text) {
  size_t need = text.size() + 5;
  if (_data == nullptr || static_cast<size_t>(len) + need > sz) return false;
  char* p = reinterpret_cast<char*>(_data) + len;
  pkg_put_i32(p, static_cast<int>(text.size() + 1));
  if (!text.empty()) std::memcpy(p + 4, text.data(), text.size());
  p[4 + text.size()] = 0;
  len = static_cast<unsigned short>(len + need);
  return true;
}

void packet_t::finish(unsigned short command) {
  char* p = reinterpret_cast<char*>(_data);
  pkg_put_u16(p, static_cast<unsigned short>(len - 2));
  p[2] = PACKET_FLAG_0;
  p[3] = PACKET_FLAG_1;
  p[4] = 1;
  p[5] = 1;
  pkg_put_u16(p + 6, command);
  p[8] = 0;
}

int packet_t::encode() {
  if (_data == nullptr) return -1;
  return CEncryptDecrypt::EncryptPacket(reinterpret_cast<char*>(_data), len);
}

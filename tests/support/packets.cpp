#include "packets.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "EncryptDecrypt.h"
#include "test_support.h"

namespace testpackets {

std::string be32(int v) {
  std::string s(4, '\0');
  pkg_put_i32(&s[0], v);
  return s;
}

std::string str_field(const std::string& text) {
  return be32(static_cast<int>(text.size() + 1)) + text + std::string(1, '\0');
}

std::string packet(unsigned short cmd, const std::string& body, bool encipher) {
  std::string p = raw_header(static_cast<int>(body.size() + 7), cmd, 0);
  std::string out = body;
  unsigned char sum = 0;
  if (encipher) {
    for (size_t i = 0; i < body.size(); ++i) {
      sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(body[i]));
      out[i] = static_cast<char>(CEncryptDecrypt::MapSendByte(static_cast<unsigned char>(body[i])));
    }
  }
  p[8] = static_cast<char>(static_cast<unsigned char>(256 - sum));
  return p + out;
}

std::string data_req(int client_id, const std::string& text) {
  return packet(0x0002, be32(client_id) + str_field(text));
}

std::string result_pkt(const std::string& json, unsigned char errcode) {
  return packet(0x9001, std::string(1, static_cast<char>(errcode)) + str_field(json));
}

std::string raw_header(int length, unsigned short cmd, size_t body_bytes) {
  std::string p(9 + body_bytes, '\0');
  pkg_put_u16(&p[0], static_cast<unsigned short>(length));
  p[2] = 'T';
  p[3] = 'Q';
  p[4] = 1;
  p[5] = 1;
  pkg_put_u16(&p[6], cmd);
  return p;
}

int Packet::int_at(size_t off) const {
  if (off + 4 > body.size()) return -1;
  return pkg_get_i32(body.data() + off);
}

std::string Packet::str_at(size_t off) const {
  const int n = int_at(off);
  if (n <= 0 || off + 4 + static_cast<size_t>(n) > body.size()) return std::string();
  return std::string(body.data() + off + 4, static_cast<size_t>(n - 1));
}

bool broken_header(const std::string& buf) {
  return buf.size() >= 9 && static_cast<size_t>(pkg_length(buf.data())) + 2 < 9;
}

bool cut_packet(std::string* buf, Packet* out) {
  if (buf->size() < 9) return false;
  const size_t total = static_cast<size_t>(pkg_length(buf->data())) + 2;
  if (total < 9 || buf->size() < total) return false;
  out->cmd = pkg_cmd(buf->data());
  out->code = static_cast<unsigned char>((*buf)[8]);
  out->body = buf->substr(9, total - 9);
  out->checksum_ok = true;
  // Only the gateway's close notice (command 2, two ints) travels plain. An enciphered
  // body whose bytes add up to 0 has the code 0 too, and is deciphered all the same.
  const bool close_notice = out->cmd == 0x0002 && out->body.size() == 8;
  if (out->code != 0 || !close_notice) {
    unsigned char sum = out->code;
    for (char& c : out->body) {
      c = static_cast<char>(CEncryptDecrypt::MapRecvByte(static_cast<unsigned char>(c)));
      sum = static_cast<unsigned char>(sum + static_cast<unsigned char>(c));
    }
    out->checksum_ok = sum == 0;
  }
  buf->erase(0, total);
  return true;
}

bool read_packet(int fd, Packet* out, int timeout_ms) {
  char head[9];
  if (testsupport::recv_exact(fd, head, 9, timeout_ms) != 9) return false;
  const size_t total = static_cast<size_t>(pkg_length(head)) + 2;
  if (total < 9) return false;
  std::string buf(head, 9);
  std::string rest(total - 9, '\0');
  if (!rest.empty() && testsupport::recv_exact(fd, &rest[0], rest.size(), timeout_ms) != rest.size()) return false;
  buf += rest;
  return cut_packet(&buf, out);
}

Client::Client(int port, int rcvbuf) {
  if (rcvbuf <= 0) {
    fd_ = testsupport::tcp_connect_local(port, 2000);
    return;
  }
  fd_ = socket(AF_INET, SOCK_STREAM, 0);
  setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) close();
}

Client::Client(int port, const char* from) : fd_(testsupport::tcp_connect_local(port, 2000, from)) {}

Client::~Client() { close(); }

bool Client::send(const std::string& bytes) {
  return fd_ >= 0 && testsupport::send_all(fd_, bytes.data(), bytes.size());
}

bool Client::answer(int* status, std::string* text, int timeout_ms) {
  Packet p;
  if (fd_ < 0 || !read_packet(fd_, &p, timeout_ms) || p.cmd != 0x1001 || !p.checksum_ok) return false;
  *status = p.int_at(0);
  *text = p.str_at(4);
  return true;
}

bool Client::no_answer(int timeout_ms) {
  int status = 0;
  std::string text;
  return !answer(&status, &text, timeout_ms);
}

void Client::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

}  // namespace testpackets

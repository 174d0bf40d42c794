// The request head is read by hand: none of the gateway's libraries parses HTTP, and
// the handshake needs only its request line and four header fields, within a bounded
// head, so a full HTTP parser would bring more surface than it saves.
#include "transport/ws_handshake.h"

#include <ctype.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <string.h>
#include <strings.h>

namespace hall_transport {

namespace {

const char kWsGuid[] = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";

bool iequal(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

std::string trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return s.substr(b, e - b);
}

// Whether the comma-separated list `value` holds `token`, ignoring case.
bool has_token(const std::string& value, const char* token) {
  size_t start = 0;
  while (start <= value.size()) {
    size_t comma = value.find(',', start);
    if (comma == std::string::npos) comma = value.size();
    if (iequal(trim(value.substr(start, comma - start)), token)) return true;
    start = comma + 1;
  }
  return false;
}

// A Sec-WebSocket-Key is the base64 text of 16 bytes: 22 characters and "==".
bool valid_key(const std::string& key) {
  if (key.size() != 24 || key.compare(22, 2, "==") != 0) return false;
  for (size_t i = 0; i < 22; ++i) {
    const char c = key[i];
    if (!isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '/') return false;
  }
  return true;
}

int refuse(TWsHead* head, int status) {
  head->status = status;
  return -1;
}

}  // namespace

int read_ws_head(const char* data, size_t len, const std::string& path, const std::vector<std::string>& origins,
                 TWsHead* head) {
  *head = TWsHead();
  const size_t scan = len < kMaxWsHead ? len : kMaxWsHead;
  const char* end = static_cast<const char*>(memmem(data, scan, "\r\n\r\n", 4));
  if (end == nullptr) return len >= kMaxWsHead ? refuse(head, 431) : 0;
  head->length = static_cast<size_t>(end - data) + 4;
  const std::string text(data, head->length - 2);

  // Request line: GET <target> HTTP/1.1 (or a later 1.x).
  size_t eol = text.find("\r\n");
  const std::string line = text.substr(0, eol);
  const size_t sp1 = line.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? std::string::npos : line.find(' ', sp1 + 1);
  if (sp2 == std::string::npos || line.find(' ', sp2 + 1) != std::string::npos) return refuse(head, 400);
  const std::string version = line.substr(sp2 + 1);
  if (version.compare(0, 7, "HTTP/1.") != 0 || version.size() != 8 || version[7] < '1' || version[7] > '9')
    return refuse(head, 400);
  if (line.compare(0, sp1, "GET") != 0) return refuse(head, 405);
  std::string target = line.substr(sp1 + 1, sp2 - sp1 - 1);
  target = target.substr(0, target.find('?'));
  if (target != path) return refuse(head, 404);

  std::string host, upgrade, connection, key, version13, origin;
  bool seen_key = false;
  while (eol != std::string::npos && eol + 2 < text.size()) {
    const size_t start = eol + 2;
    eol = text.find("\r\n", start);
    const std::string field = text.substr(start, eol == std::string::npos ? std::string::npos : eol - start);
    const size_t colon = field.find(':');
    if (colon == std::string::npos || colon == 0) return refuse(head, 400);
    const std::string name = field.substr(0, colon);
    const std::string value = trim(field.substr(colon + 1));
    if (iequal(name, "Host"))
      host = value;
    else if (iequal(name, "Upgrade"))
      upgrade = value;
    else if (iequal(name, "Connection"))
      connection = value;
    else if (iequal(name, "Sec-WebSocket-Version"))
      version13 = value;
    else if (iequal(name, "Origin"))
      origin = value;
    else if (iequal(name, "Sec-WebSocket-Key")) {
      // Twice is ambiguous: refused.
      if (seen_key) return refuse(head, 400);
      seen_key = true;
      key = value;
    }
  }
  if (host.empty() || !has_token(upgrade, "websocket") || !has_token(connection, "Upgrade") || !valid_key(key))
    return refuse(head, 400);
  if (version13 != "13") return refuse(head, 426);
  if (!origins.empty()) {
    bool allowed = false;
    for (const std::string& o : origins) allowed = allowed || iequal(origin, o.c_str());
    if (!allowed) return refuse(head, 403);
  }
  head->key = key;
  return 1;
}

std::string ws_accept_answer(const std::string& key) {
  const std::string joined = key + kWsGuid;
  unsigned char digest[SHA_DIGEST_LENGTH];
  unsigned int digest_len = 0;
  EVP_Digest(joined.data(), joined.size(), digest, &digest_len, EVP_sha1(), nullptr);
  unsigned char accept[4 * ((SHA_DIGEST_LENGTH + 2) / 3) + 1];
  EVP_EncodeBlock(accept, digest, static_cast<int>(digest_len));
  return std::string(
             "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Accept: ") +
         reinterpret_cast<const char*>(accept) + "\r\n\r\n";
}

std::string ws_refusal(int status) {
  const char* reason = "Bad Request";
  switch (status) {
    case 403:
      reason = "Forbidden";
      break;
    case 404:
      reason = "Not Found";
      break;
    case 405:
      reason = "Method Not Allowed";
      break;
    case 426:
      reason = "Upgrade Required";
      break;
    case 431:
      reason = "Request Header Fields Too Large";
      break;
  }
  std::string out = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\n";
  if (status == 426) out += "Sec-WebSocket-Version: 13\r\n";
  if (status == 405) out += "Allow: GET\r\n";
  return out + "Connection: close\r\nContent-Length: 0\r\n\r\n";
}

}  // namespace hall_transport

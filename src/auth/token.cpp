#include "auth/token.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <fstream>
#include <vector>

namespace hall_auth {

namespace {

bool kid_char(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

// base64url uses the same alphabet as a kid.
bool all_kid_chars(std::string_view s) {
  for (char c : s)
    if (!kid_char(c)) return false;
  return true;
}

// Decimal digits without sign or leading zeros, at most `most`.
bool read_decimal(std::string_view s, int64_t most, int64_t* out) {
  if (s.empty() || s.size() > 19 || (s.size() > 1 && s[0] == '0')) return false;
  int64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    const int d = c - '0';
    if (v > (most - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

}  // namespace

void CPkeyFree::operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }

std::string base64_encode(const unsigned char* data, size_t len) {
  std::string out(4 * ((len + 2) / 3) + 1, '\0');
  const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]), data, static_cast<int>(len));
  out.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return out;
}

std::string base64url_encode(const unsigned char* data, size_t len) {
  std::string out = base64_encode(data, len);
  while (!out.empty() && out.back() == '=') out.pop_back();
  for (char& c : out) c = c == '+' ? '-' : c == '/' ? '_' : c;
  return out;
}

bool base64_decode(std::string_view text, size_t want, unsigned char* out) {
  // OpenSSL's block decoder skips blanks around the text and keeps the bytes that stand
  // for padding, so its result is taken only when encoding it back gives the very text.
  if (text.size() != 4 * ((want + 2) / 3)) return false;
  std::vector<unsigned char> buf(text.size());
  const int n =
      EVP_DecodeBlock(buf.data(), reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
  if (n < static_cast<int>(want) || base64_encode(buf.data(), want) != text) return false;
  std::copy(buf.begin(), buf.begin() + static_cast<long>(want), out);
  return true;
}

bool base64url_decode(std::string_view text, size_t want, unsigned char* out) {
  if (!all_kid_chars(text)) return false;
  std::string standard(text);
  for (char& c : standard) c = c == '-' ? '+' : c == '_' ? '/' : c;
  while (standard.size() % 4 != 0) standard += '=';
  std::vector<unsigned char> buf(want);
  if (!base64_decode(standard, want, buf.data()) || base64url_encode(buf.data(), want) != text) return false;
  std::copy(buf.begin(), buf.end(), out);
  return true;
}

bool read_token(std::string_view text, TToken* out) {
  if (text.size() > kMaxTokenLength) return false;
  std::string_view field[6];
  size_t from = 0;
  for (int i = 0; i < 6; ++i) {
    const size_t dot = i < 5 ? text.find('.', from) : text.size();
    if (dot == std::string_view::npos) return false;
    field[i] = text.substr(from, dot - from);
    from = dot + 1;
  }
  if (field[5].find('.') != std::string_view::npos || field[0] != "v1") return false;
  if (field[1].empty() || field[1].size() > kMaxKidLength || !all_kid_chars(field[1])) return false;
  int64_t id = 0, expires = 0;
  if (!read_decimal(field[2], 2147483647, &id) || !read_decimal(field[3], INT64_MAX, &expires)) return false;
  if (field[4].size() < kMinNonceLength || field[4].size() > kMaxNonceLength || !all_kid_chars(field[4])) return false;
  if (!base64url_decode(field[5], kSignatureSize, out->sig)) return false;
  out->kid = field[1];
  out->client_id = static_cast<int>(id);
  out->expires = expires;
  out->nonce = field[4];
  out->signed_part = text.substr(0, text.size() - field[5].size() - 1);
  return true;
}

PkeyPtr public_key_from_raw(const unsigned char* raw) {
  return PkeyPtr(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, raw, kKeySize));
}

PkeyPtr private_key_from_seed(const unsigned char* seed) {
  return PkeyPtr(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, seed, kKeySize));
}

bool raw_public_key(EVP_PKEY* key, unsigned char* out) {
  size_t len = kKeySize;
  return EVP_PKEY_get_raw_public_key(key, out, &len) == 1 && len == kKeySize;
}

bool CKeyRing::load(const std::string& path, bool private_keys, std::string* why) {
  // A file that fails part way leaves no key behind.
  auto fail = [&](const std::string& text) {
    _keys.clear();
    _first_kid.clear();
    *why = text;
    return false;
  };
  _keys.clear();
  _first_kid.clear();
  std::ifstream in(path);
  if (!in) return fail(path + ": cannot be read");
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    std::string_view rest(line);
    rest = trim(rest.substr(0, rest.find('#')));
    if (rest.empty()) continue;
    const std::string where = path + " line " + std::to_string(number) + ": ";
    const size_t gap = rest.find_first_of(" \t");
    const std::string_view kid = rest.substr(0, gap);
    const std::string_view value = gap == std::string_view::npos ? std::string_view() : trim(rest.substr(gap));
    if (kid.size() > kMaxKidLength || !all_kid_chars(kid))
      return fail(where + "the key name is not 1 to 16 of A-Z a-z 0-9 _ -");
    unsigned char raw[kKeySize];
    if (!base64_decode(value, kKeySize, raw)) return fail(where + "not \"<kid> <base64 of a 32-byte key>\"");
    PkeyPtr key = private_keys ? private_key_from_seed(raw) : public_key_from_raw(raw);
    OPENSSL_cleanse(raw, sizeof(raw));
    if (!key) return fail(where + "not an Ed25519 key");
    if (_keys.count(kid) != 0) return fail(where + "key \"" + std::string(kid) + "\" given twice");
    if (_keys.empty()) _first_kid = std::string(kid);
    _keys.emplace(std::string(kid), std::move(key));
  }
  if (_keys.empty()) return fail(path + ": holds no key");
  return true;
}

EVP_PKEY* CKeyRing::find(std::string_view kid) const {
  auto it = _keys.find(kid);
  return it == _keys.end() ? nullptr : it->second.get();
}

EVP_PKEY* CKeyRing::first(std::string* kid) const {
  *kid = _first_kid;
  return find(_first_kid);
}

bool verify_signature(EVP_PKEY* key, std::string_view message, const unsigned char* sig) {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  const bool ok = verify_signature(ctx, key, message, sig);
  EVP_MD_CTX_free(ctx);
  return ok;
}

bool verify_signature(EVP_MD_CTX* ctx, EVP_PKEY* key, std::string_view message, const unsigned char* sig) {
  // Ed25519 takes the whole message in one call, without a digest of its own.
  // Reset after use as well: a context left holding the key's provider objects must not
  // outlive the library's own clean-up at exit.
  const bool ok = EVP_DigestVerifyInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
                  EVP_DigestVerify(ctx, sig, kSignatureSize, reinterpret_cast<const unsigned char*>(message.data()),
                                   message.size()) == 1;
  EVP_MD_CTX_reset(ctx);
  return ok;
}

std::string issue_token(EVP_PKEY* private_key, const std::string& kid, int client_id, int64_t expires,
                        const std::string& nonce) {
  if (kid.empty() || kid.size() > kMaxKidLength || !all_kid_chars(kid) || client_id < 0 || expires < 0 ||
      nonce.size() < kMinNonceLength || nonce.size() > kMaxNonceLength || !all_kid_chars(nonce))
    return "";
  const std::string body = "v1." + kid + "." + std::to_string(client_id) + "." + std::to_string(expires) + "." + nonce;
  unsigned char sig[kSignatureSize];
  return sign_message(private_key, body, sig) ? body + "." + base64url_encode(sig, kSignatureSize) : "";
}

bool sign_message(EVP_PKEY* key, std::string_view message, unsigned char* sig) {
  size_t sig_len = kSignatureSize;
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr) return false;
  const bool ok =
      EVP_DigestSignInit(ctx, nullptr, nullptr, nullptr, key) == 1 &&
      EVP_DigestSign(ctx, sig, &sig_len, reinterpret_cast<const unsigned char*>(message.data()), message.size()) == 1 &&
      sig_len == kSignatureSize;
  EVP_MD_CTX_free(ctx);
  return ok;
}

std::string random_nonce() {
  unsigned char bytes[12];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return "";
  return base64url_encode(bytes, sizeof(bytes));
}

}  // namespace hall_auth

// Signed client tokens: the text form, the key files and Ed25519 signatures (OpenSSL 3).
//
// A token is ASCII text, six fields joined by dots:
//   v1.<kid>.<client_id>.<expires>.<nonce>.<sig>
// kid: 1 to 16 of [A-Za-z0-9_-], the key's name; client_id: decimal 0 to 2147483647;
// expires: unix seconds, decimal; nonce: 8 to 32 base64url characters; sig: the 64-byte
// Ed25519 signature (RFC 8032) over every byte before the last dot, base64url without
// padding (86 characters). Numbers are written without sign or leading zeros.
//
// A key file holds one key a line, "<kid> <base64 of 32 bytes>" (standard base64 with
// padding); '#' starts a comment that runs to the end of the line. A verifier's file holds
// public keys, a signer's file private keys as their 32-byte seeds.
#ifndef HALL_AUTH_TOKEN_H
#define HALL_AUTH_TOKEN_H

#include <stdint.h>

#include <map>
#include <memory>
#include <string>
#include <string_view>

typedef struct evp_pkey_st EVP_PKEY;
typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace hall_auth {

const size_t kMaxKidLength = 16;
const size_t kMinNonceLength = 8;
const size_t kMaxNonceLength = 32;
const size_t kSignatureSize = 64;
const size_t kKeySize = 32;
const size_t kMaxTokenLength = 170;  // every field at its longest

// The fields of a token whose form is right. The views point into the text read.
struct TToken {
  std::string_view kid;
  int client_id = 0;
  int64_t expires = 0;
  std::string_view nonce;
  std::string_view signed_part;  // everything before the last dot
  unsigned char sig[kSignatureSize];
};

// True when `text` has the token's form; fills *out. Looks at nothing but the text.
bool read_token(std::string_view text, TToken* out);

// Standard base64 with padding, and base64url without padding.
std::string base64_encode(const unsigned char* data, size_t len);
std::string base64url_encode(const unsigned char* data, size_t len);
// Decodes exactly `want` bytes; false for anything else or a text not in its canonical
// form (one that encode would not give back).
bool base64_decode(std::string_view text, size_t want, unsigned char* out);
bool base64url_decode(std::string_view text, size_t want, unsigned char* out);

struct CPkeyFree {
  void operator()(EVP_PKEY* k) const;
};
typedef std::unique_ptr<EVP_PKEY, CPkeyFree> PkeyPtr;

// The keys of one key file by kid.
class CKeyRing {
 public:
  // Reads `path`, public keys or private seeds. False with *why (naming the file and the
  // line) on a file that cannot be read, a line that is not "<kid> <base64 of 32 bytes>",
  // a kid given twice, or a file without keys.
  bool load(const std::string& path, bool private_keys, std::string* why);
  // The key named `kid`, or null.
  EVP_PKEY* find(std::string_view kid) const;
  // The first key of the file and its kid (the signer's key), or null.
  EVP_PKEY* first(std::string* kid) const;
  size_t size() const { return _keys.size(); }

 private:
  std::map<std::string, PkeyPtr, std::less<>> _keys;
  std::string _first_kid;
};

// A key from its 32 raw bytes; null when OpenSSL refuses them.
PkeyPtr public_key_from_raw(const unsigned char* raw);
PkeyPtr private_key_from_seed(const unsigned char* seed);
// The 32 raw bytes of a key's public half.
bool raw_public_key(EVP_PKEY* key, unsigned char* out);

// The Ed25519 signature of `message` by `key` into sig[kSignatureSize]; false on failure.
bool sign_message(EVP_PKEY* key, std::string_view message, unsigned char* sig);
// True when `sig` is a valid Ed25519 signature of `message` by `key`.
bool verify_signature(EVP_PKEY* key, std::string_view message, const unsigned char* sig);
// The same with a digest context the caller keeps (one per thread, empty between
// checks): one allocation fewer per check.
bool verify_signature(EVP_MD_CTX* ctx, EVP_PKEY* key, std::string_view message, const unsigned char* sig);

// A signed token; "" when the fields are out of their ranges or signing failed.
std::string issue_token(EVP_PKEY* private_key, const std::string& kid, int client_id, int64_t expires,
                        const std::string& nonce);
// A nonce of 16 base64url characters (12 random bytes); "" when the random source failed.
std::string random_nonce();

}  // namespace hall_auth

#endif

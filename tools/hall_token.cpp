// hall_token: keys and tokens for the gateway's client authentication.
//   hall_token keygen KID PRIVATE_FILE PUBLIC_FILE
//       a new Ed25519 key: its seed to PRIVATE_FILE (mode 0600), its public key to
//       PUBLIC_FILE, each as one "<kid> <base64>" line; neither file may exist yet.
//   hall_token issue PRIVATE_FILE CLIENT_ID TTL_SECONDS
//       prints a token for CLIENT_ID, signed with the first key of PRIVATE_FILE, that
//       expires TTL_SECONDS from now, with a random nonce.
//   hall_token verify PUBLIC_FILE TOKEN
//       checks the token's form, key, signature and expiry (as the gateway does, without
//       its lifetime bound and its memory of nonces); prints "ok client_id=N expires=T"
//       and exits 0, or prints the reason and exits 1.
// Exit status 2 for a usage error or an unusable key file.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/rand.h>

#include <string>

#include "auth/token.h"
#include "auth/token_checker.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: hall_token keygen KID PRIVATE_FILE PUBLIC_FILE\n"
          "       hall_token issue PRIVATE_FILE CLIENT_ID TTL_SECONDS\n"
          "       hall_token verify PUBLIC_FILE TOKEN\n");
  return 2;
}

// Writes `text` to a file that must not exist yet.
bool write_new_file(const char* path, const std::string& text, mode_t mode) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
  if (fd < 0) {
    fprintf(stderr, "hall_token: cannot create %s: %m\n", path);
    return false;
  }
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  if (!ok) fprintf(stderr, "hall_token: cannot write %s: %m\n", path);
  return close(fd) == 0 && ok;
}

bool whole(const char* text, long long lo, long long hi, long long* out) {
  char* end = nullptr;
  const long long v = strtoll(text, &end, 10);
  if (end == text || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int keygen(const std::string& kid, const char* private_file, const char* public_file) {
  unsigned char seed[hall_auth::kKeySize], pub[hall_auth::kKeySize];
  if (RAND_bytes(seed, sizeof(seed)) != 1) {
    fprintf(stderr, "hall_token: no random bytes\n");
    return 2;
  }
  hall_auth::PkeyPtr key = hall_auth::private_key_from_seed(seed);
  const std::string private_line = kid + " " + hall_auth::base64_encode(seed, sizeof(seed)) + "\n";
  OPENSSL_cleanse(seed, sizeof(seed));
  if (kid.empty() || kid.size() > hall_auth::kMaxKidLength ||
      kid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") != std::string::npos) {
    fprintf(stderr, "hall_token: KID must be 1 to 16 of A-Z a-z 0-9 _ -\n");
    return 2;
  }
  if (!key || !hall_auth::raw_public_key(key.get(), pub)) return 2;
  if (!write_new_file(private_file, "# private key (seed) of " + kid + ": keep it secret\n" + private_line, 0600))
    return 2;
  if (!write_new_file(public_file, kid + " " + hall_auth::base64_encode(pub, sizeof(pub)) + "\n", 0644)) return 2;
  return 0;
}

int issue(const char* private_file, const char* id_text, const char* ttl_text) {
  long long id = 0, ttl = 0;
  if (!whole(id_text, 0, 2147483647, &id) || !whole(ttl_text, 1, 31536000, &ttl)) return usage();
  hall_auth::CKeyRing keys;
  std::string why, kid;
  if (!keys.load(private_file, true, &why)) {
    fprintf(stderr, "hall_token: %s\n", why.c_str());
    return 2;
  }
  const std::string nonce = hall_auth::random_nonce();
  const std::string token =
      nonce.empty() ? ""
                    : hall_auth::issue_token(keys.first(&kid), kid, static_cast<int>(id), time(nullptr) + ttl, nonce);
  if (token.empty()) {
    fprintf(stderr, "hall_token: signing failed\n");
    return 2;
  }
  printf("%s\n", token.c_str());
  return 0;
}

int verify(const char* public_file, const std::string& text) {
  hall_auth::CKeyRing keys;
  std::string why;
  if (!keys.load(public_file, false, &why)) {
    fprintf(stderr, "hall_token: %s\n", why.c_str());
    return 2;
  }
  hall_auth::TToken t;
  hall_auth::TAuthResult result = hall_auth::AUTH_OK;
  EVP_PKEY* key = nullptr;
  if (!hall_auth::read_token(text, &t))
    result = hall_auth::AUTH_MALFORMED;
  else if ((key = keys.find(t.kid)) == nullptr)
    result = hall_auth::AUTH_UNKNOWN_KEY;
  else if (!hall_auth::verify_signature(key, t.signed_part, t.sig))
    result = hall_auth::AUTH_BAD_SIGNATURE;
  else if (t.expires < time(nullptr))
    result = hall_auth::AUTH_EXPIRED;
  if (result != hall_auth::AUTH_OK) {
    printf("%s\n", hall_auth::result_name(result));
    return 1;
  }
  printf("ok client_id=%d expires=%lld\n", t.client_id, static_cast<long long>(t.expires));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string cmd = argc > 1 ? argv[1] : "";
  if (cmd == "keygen" && argc == 5) return keygen(argv[2], argv[3], argv[4]);
  if (cmd == "issue" && argc == 5) return issue(argv[2], argv[3], argv[4]);
  if (cmd == "verify" && argc == 4) return verify(argv[2], argv[3]);
  return usage();
}

// The token reader, the gateway's token check and the key-file reader over arbitrary
// text. Input: one mode byte, then the text. Mode bit 1: the text is a key file (bit 2:
// of private seeds) and is only loaded. Otherwise the text is a token; with bit 0 the
// driver first signs everything before its last dot with the key the checker knows as
// "k1", so that the checks past the signature (expiry, lifetime, replay) are reached.
#include <stdio.h>
#include <unistd.h>

#include <string>

#include "fuzz_driver.h"
#include "auth/token.h"
#include "auth/token_checker.h"

namespace hallfuzz {

namespace {

const int64_t kNow = 1700000000;
const size_t kReplays = 64;

struct TokenRig {
  hall_auth::PkeyPtr signer;
  hall_auth::CTokenChecker checker{kReplays};
  std::string scratch;

  TokenRig() {
    unsigned char seed[hall_auth::kKeySize], pub[hall_auth::kKeySize];
    for (size_t i = 0; i < sizeof(seed); ++i) seed[i] = static_cast<unsigned char>(i);
    signer = hall_auth::private_key_from_seed(seed);
    FUZZ_CHECK(signer && hall_auth::raw_public_key(signer.get(), pub), "no signing key");
    char path[64];
    snprintf(path, sizeof(path), "/tmp/hall_fuzz_token_%d.keys", static_cast<int>(getpid()));
    scratch = path;
    add_scratch(scratch);
    write(scratch, "k1 " + hall_auth::base64_encode(pub, sizeof(pub)) + "\n");
    std::string why;
    FUZZ_CHECK(checker.load(scratch, 300, &why), "%s", why.c_str());
  }
  void write(const std::string& path, const std::string& text) {
    FILE* f = fopen(path.c_str(), "wb");
    FUZZ_CHECK(f != nullptr && fwrite(text.data(), 1, text.size(), f) == text.size(), "cannot write %s", path.c_str());
    fclose(f);
  }
};

}  // namespace

int token_one(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static TokenRig rig;
  const uint8_t mode = data[0];
  std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

  if (mode & 2) {
    const std::string path = rig.scratch + ".input";
    rig.write(path, text);
    hall_auth::CKeyRing keys;
    std::string why;
    const bool ok = keys.load(path, (mode & 4) != 0, &why);
    FUZZ_CHECK(ok == (keys.size() > 0) && ok == why.empty(), "loaded %zu keys, why \"%s\"", keys.size(), why.c_str());
    std::string kid;
    FUZZ_CHECK(!ok || (keys.first(&kid) != nullptr && keys.find(kid) != nullptr), "first key not found");
    remove(path.c_str());
    return 0;
  }

  const size_t dot = text.rfind('.');
  if ((mode & 1) && dot != std::string::npos) {
    unsigned char sig[hall_auth::kSignatureSize];
    FUZZ_CHECK(hall_auth::sign_message(rig.signer.get(), std::string_view(text).substr(0, dot), sig), "signing failed");
    text = text.substr(0, dot) + "." + hall_auth::base64url_encode(sig, sizeof(sig));
  }

  hall_auth::TToken t;
  const bool formed = hall_auth::read_token(text, &t);
  if (formed) {
    FUZZ_CHECK(text.size() <= hall_auth::kMaxTokenLength, "token of %zu bytes", text.size());
    FUZZ_CHECK(!t.kid.empty() && t.kid.size() <= hall_auth::kMaxKidLength, "kid of %zu", t.kid.size());
    FUZZ_CHECK(t.nonce.size() >= hall_auth::kMinNonceLength && t.nonce.size() <= hall_auth::kMaxNonceLength,
               "nonce of %zu", t.nonce.size());
    FUZZ_CHECK(t.client_id >= 0 && t.expires >= 0, "id %d expires %lld", t.client_id,
               static_cast<long long>(t.expires));
    // The fields written back give the very text: one token has one spelling.
    const std::string again = "v1." + std::string(t.kid) + "." + std::to_string(t.client_id) + "." +
                              std::to_string(t.expires) + "." + std::string(t.nonce);
    FUZZ_CHECK(again == t.signed_part, "fields give \"%s\"", again.c_str());
    FUZZ_CHECK(text == again + "." + hall_auth::base64url_encode(t.sig, sizeof(t.sig)), "signature spelled otherwise");
  }

  int id = -1;
  const hall_auth::TAuthResult r = rig.checker.check(text, kNow, &id);
  FUZZ_CHECK(formed == (r != hall_auth::AUTH_MALFORMED), "form %d, result %s", formed, hall_auth::result_name(r));
  if (formed && (mode & 1) && t.kid == "k1")
    FUZZ_CHECK(r != hall_auth::AUTH_BAD_SIGNATURE && r != hall_auth::AUTH_UNKNOWN_KEY, "own signature: %s",
               hall_auth::result_name(r));
  if (r == hall_auth::AUTH_OK)
    FUZZ_CHECK(id == t.client_id && t.expires >= kNow && t.expires - kNow <= 300, "accepted id %d expires %lld", id,
               static_cast<long long>(t.expires));
  FUZZ_CHECK(rig.checker.replays().size() <= kReplays, "%zu nonces held", rig.checker.replays().size());
  return 0;
}

}  // namespace hallfuzz

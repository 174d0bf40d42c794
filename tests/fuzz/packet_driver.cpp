// InputPacket over arbitrary packets. Input: one byte giving the length (0..31) of a
// read script, the script (one byte per read: 0 int, 1 byte, 2 string, 3 decipher the
// body first), then the packet. Every value read is written again into an OutputPacket
// and read back, which must give the same values, before and after the cipher.
#include <string.h>

#include <string>
#include <vector>

#include "EncryptDecrypt.h"
#include "fuzz_driver.h"
#include "packet_base.h"

#if defined(__SANITIZE_ADDRESS__)
#define HALL_FUZZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define HALL_FUZZ_ASAN 1
#endif
#endif
#ifdef HALL_FUZZ_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace hallfuzz {

namespace {

// Marks the bytes of a packet buffer from `from` to its end as unreadable for the
// lifetime of the guard: the packet classes promise never to read past the packet's
// size (the buffer behind it is not cleared), and AddressSanitizer then reports any
// read that does. Without the sanitizer the guard does nothing.
class PastEndGuard {
 public:
  PastEndGuard(char* buf, int from) : p_(buf + from), n_(static_cast<size_t>(PACKET_BUFFER_SIZE - from)) {
#ifdef HALL_FUZZ_ASAN
    ASAN_POISON_MEMORY_REGION(p_, n_);
#endif
  }
  ~PastEndGuard() {
#ifdef HALL_FUZZ_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p_, n_);
#endif
  }
  PastEndGuard(const PastEndGuard&) = delete;
  PastEndGuard& operator=(const PastEndGuard&) = delete;

 private:
  [[maybe_unused]] char* p_;  // used only when AddressSanitizer is on
  [[maybe_unused]] size_t n_;
};

struct Field {
  int kind;  // 0 int, 1 byte, 2 string
  int i;
  std::string s;
};

// Reads the fields back from a packet written with them and compares.
void read_back(NETInputPacket& in, const std::vector<Field>& fields) {
  for (const Field& f : fields) {
    if (f.kind == 0) {
      int v = in.ReadInt();
      FUZZ_CHECK(v == f.i, "int read back as %d, written %d", v, f.i);
    } else if (f.kind == 1) {
      int v = in.ReadByte();
      FUZZ_CHECK(v == f.i, "byte read back as %d, written %d", v, f.i);
    } else {
      std::string v(in.ReadString());
      FUZZ_CHECK(v == f.s, "string of %zu bytes read back as %zu bytes", f.s.size(), v.size());
    }
  }
  FUZZ_CHECK(in.Remaining() == 0, "%d bytes left after the last field", in.Remaining());
}

// Reads one field of the kind `op` chooses (or deciphers in place) and checks how far the
// cursor moved; a field read is appended to *fields.
void read_field(NETInputPacket& in, uint8_t op, size_t len, std::vector<Field>* fields) {
  const int before = in.Remaining();
  FUZZ_CHECK(before >= 0 && before <= static_cast<int>(len), "remaining %d of %zu", before, len);
  switch (op % 4) {
    case 0: {
      int v = in.ReadInt();
      const int after = in.Remaining();
      if (before >= 4) {
        FUZZ_CHECK(after == before - 4, "int took %d bytes", before - after);
      } else {
        FUZZ_CHECK(after == before && v == -1, "short int gave %d and took %d bytes", v, before - after);
      }
      fields->push_back(Field{0, v, std::string()});
      break;
    }
    case 1: {
      int v = in.ReadByte();
      const int after = in.Remaining();
      if (before >= 1) {
        FUZZ_CHECK(after == before - 1, "byte took %d bytes", before - after);
      } else {
        FUZZ_CHECK(after == 0 && v == 0xFF, "byte past the end gave %d", v);
      }
      fields->push_back(Field{1, v, std::string()});
      break;
    }
    case 2: {
      std::string v(in.ReadString());
      const int took = before - in.Remaining();
      if (before < 4) {
        FUZZ_CHECK(took == 0 && v.empty(), "string without a length took %d bytes", took);
      } else {
        // Only the length field for a refused length, else the length field and N bytes.
        FUZZ_CHECK(took == 4 ? v.empty() : took > 4 && v.size() <= static_cast<size_t>(took - 4),
                   "string of %zu bytes from a field of %d", v.size(), took);
      }
      FUZZ_CHECK(memchr(v.data(), 0, v.size()) == nullptr, "string holds a zero byte");
      fields->push_back(Field{2, 0, v});
      break;
    }
    default: {
      CEncryptDecrypt cipher;
      const int r = cipher.DecryptBuffer(&in);
      FUZZ_CHECK(r >= -1 && r <= PACKET_BUFFER_SIZE, "DecryptBuffer gave %d", r);
      FUZZ_CHECK(in.Remaining() == before, "deciphering moved the cursor");
      break;
    }
  }
}

// Writes `fields` into *out; a field that does not fit leaves the packet as it was.
// Returns the fields written.
std::vector<Field> write_fields(const std::vector<Field>& fields, NETOutputPacket* out) {
  out->Begin(0x4242, 1, 1);
  std::vector<Field> written;
  for (const Field& f : fields) {
    const int before = out->packet_size();
    bool ok = f.kind == 0   ? out->WriteInt(f.i)
              : f.kind == 1 ? out->WriteByte(static_cast<unsigned char>(f.i))
                            : out->WriteString(f.s);
    if (ok) {
      written.push_back(f);
    } else {
      FUZZ_CHECK(out->packet_size() == before, "a refused field changed the size");
    }
  }
  out->End();
  FUZZ_CHECK(out->packet_size() <= PACKET_BUFFER_SIZE, "packet of %d bytes", out->packet_size());
  FUZZ_CHECK(out->GetLength() == out->packet_size() - 2, "length field %d for %d bytes", out->GetLength(),
             out->packet_size());
  return written;
}

// The built packet reads back as written, plain and after enciphering and deciphering.
void check_round_trip(NETOutputPacket& out, const std::vector<Field>& written) {
  NETInputPacket plain;
  FUZZ_CHECK(plain.Copy(out.packet_buf(), out.packet_size()), "Copy of a built packet");
  {
    PastEndGuard guard(plain.packet_buf(), plain.packet_size());
    read_back(plain, written);
  }

  PastEndGuard guard_out(out.packet_buf(), out.packet_size());
  CEncryptDecrypt cipher;
  cipher.EncryptBuffer(&out);
  NETInputPacket enciphered;
  FUZZ_CHECK(enciphered.Copy(out.packet_buf(), out.packet_size()), "Copy of an enciphered packet");
  PastEndGuard guard_enciphered(enciphered.packet_buf(), enciphered.packet_size());
  const int body = cipher.DecryptBuffer(&enciphered);
  FUZZ_CHECK(body == out.packet_size() - PACKET_HEADER_SIZE, "DecryptBuffer of our own packet gave %d of %d", body,
             out.packet_size() - PACKET_HEADER_SIZE);
  read_back(enciphered, written);
}

}  // namespace

int packet_one(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  size_t nops = data[0] % 32;
  if (nops > size - 1) nops = size - 1;
  const uint8_t* ops = data + 1;
  const char* pkt = reinterpret_cast<const char*>(data + 1 + nops);
  const size_t len = size - 1 - nops;

  NETInputPacket in;
  const bool copied = in.Copy(pkt, static_cast<int>(len));
  FUZZ_CHECK(copied == (len <= static_cast<size_t>(PACKET_BUFFER_SIZE)), "Copy of %zu bytes gave %d", len, copied);
  if (!copied) return 0;
  const int checked_from = len < static_cast<size_t>(PACKET_HEADER_SIZE) ? PACKET_HEADER_SIZE : static_cast<int>(len);
  PastEndGuard guard_in(in.packet_buf(), checked_from);
  // The header accessors read the zero-filled buffer on a short packet.
  (void)in.GetLength();
  (void)in.GetCmdType();
  (void)in.GetCode();
  (void)in.FlagOk();

  std::vector<Field> fields;
  for (size_t k = 0; k < nops; ++k) read_field(in, ops[k], len, &fields);

  NETOutputPacket out;
  const std::vector<Field> written = write_fields(fields, &out);
  check_round_trip(out, written);
  return 0;
}

}  // namespace hallfuzz

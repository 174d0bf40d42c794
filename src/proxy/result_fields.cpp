// Result text reading. See result_fields.h for the contract.
#include "result_fields.h"

#include <json/json.h>

#include <cstring>

#include "json_text.h"

namespace __http_svr_ns__ {

namespace {

bool json_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The receiver named by a result: the "flow" member as an unsigned 64-bit number. A
// missing member, or one JsonCpp cannot convert (text, array, object, a negative or
// too large number, 2^64 included), names no one.
bool read_flow(const Json::Value& root, unsigned long* flow) {
  if (!root.isMember("flow")) return false;
  const Json::Value& f = root["flow"];
  if (f.isNull() || f.isString() || f.isArray() || f.isObject()) return false;
  // JsonCpp lets 2^64 itself through its range check and then overflows converting it.
  if (f.type() == Json::realValue && !(f.asDouble() >= 0.0 && f.asDouble() < 18446744073709551616.0)) return false;
  try {
    *flow = static_cast<unsigned long>(f.asUInt64());
  } catch (...) {
    return false;
  }
  return true;
}

// Position in a result text read by the fast scan.
struct Cursor {
  const char* p;
  const char* const end;

  void skip_space() {
    while (p < end && json_space(*p)) ++p;
  }

  // A string without escapes; p is on its opening quote.
  bool scan_string(const char** begin, size_t* len) {
    const char* first = p + 1;
    const void* close = std::memchr(first, '"', static_cast<size_t>(end - first));
    if (close == nullptr) return false;
    const char* last = static_cast<const char*>(close);
    if (std::memchr(first, '\\', static_cast<size_t>(last - first)) != nullptr) return false;
    *begin = first;
    *len = static_cast<size_t>(last - first);
    p = last + 1;
    return true;
  }

  // Up to 18 digits, without a leading zero: exact in every numeric type.
  bool scan_number(unsigned long* value) {
    const char* first = p;
    unsigned long v = 0;
    while (p < end && *p >= '0' && *p <= '9') v = v * 10 + static_cast<unsigned long>(*p++ - '0');
    const size_t digits = static_cast<size_t>(p - first);
    if (digits > 18 || (digits > 1 && *first == '0')) return false;
    if (p < end && !json_space(*p) && *p != ',' && *p != '}') return false;
    *value = v;
    return true;
  }
};

// One "key": value member into *f. False when the text is left to the full reader.
bool scan_member(Cursor& c, ResultFields* f, bool* seen_flow) {
  const char* key;
  size_t key_len;
  if (c.p == c.end || *c.p != '"' || !c.scan_string(&key, &key_len)) return false;
  const bool is_flow = key_len == 4 && std::memcmp(key, "flow", 4) == 0;
  const bool is_result = key_len == 6 && std::memcmp(key, "result", 6) == 0;
  // A repeated member is left to the full reader.
  if ((is_flow && *seen_flow) || (is_result && f->has_result)) return false;
  c.skip_space();
  if (c.p == c.end || *c.p != ':') return false;
  ++c.p;
  c.skip_space();
  if (c.p == c.end) return false;
  if (*c.p == '"') {
    const char* text;
    size_t text_len;
    if (!c.scan_string(&text, &text_len)) return false;
    if (is_result) {
      f->has_result = true;
      f->result_is_text = true;
      f->result.assign(text, text_len);
    }
    *seen_flow = *seen_flow || is_flow;  // a text names no receiver
  } else if (*c.p >= '0' && *c.p <= '9') {
    unsigned long value = 0;
    if (!c.scan_number(&value)) return false;
    if (is_flow) {
      *seen_flow = true;
      f->has_flow = true;
      f->flow = value;
    } else if (is_result) {
      f->has_result = true;
    }
  } else {
    return false;
  }
  return true;
}

// The members of an object that is not empty, up to and past its closing brace.
bool scan_members(Cursor& c, ResultFields* f) {
  bool seen_flow = false;
  for (;;) {
    if (!scan_member(c, f, &seen_flow)) return false;
    c.skip_space();
    if (c.p == c.end) return false;
    if (*c.p == '}') {
      ++c.p;
      return true;
    }
    if (*c.p != ',') return false;
    ++c.p;
    c.skip_space();
  }
}

}  // namespace

void parse_result_fields(std::string_view json, ResultFields* out) {
  *out = ResultFields();
  Json::Value root;
  if (!jsontext::parse(json, &root) || !root.isObject()) return;
  out->parsed = true;
  out->has_flow = read_flow(root, &out->flow);
  out->has_result = root.isMember("result");
  if (out->has_result && root["result"].isString()) {
    out->result_is_text = true;
    out->result = root["result"].asString();
  }
}

bool scan_result_fields(std::string_view json, ResultFields* out) {
  Cursor c{json.data(), json.data() + json.size()};
  ResultFields f;
  c.skip_space();
  if (c.p == c.end || *c.p != '{') return false;
  ++c.p;
  c.skip_space();
  if (c.p < c.end && *c.p == '}')
    ++c.p;
  else if (!scan_members(c, &f))
    return false;
  c.skip_space();
  if (c.p != c.end) return false;
  f.parsed = true;
  *out = std::move(f);
  return true;
}

void read_result_fields(std::string_view json, ResultFields* out) {
  if (!scan_result_fields(json, out)) parse_result_fields(json, out);
}

}  // namespace __http_svr_ns__

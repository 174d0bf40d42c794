// What the gateway reads from the JSON text of a logic server's result: the receiver
// ("flow") and the answer text ("result"). Results arrive once per round trip, so the
// usual flat form is scanned directly; any other text goes through JsonCpp, and the two
// ways agree on every text the scan accepts.
#ifndef HALL_PROXY_RESULT_FIELDS_H
#define HALL_PROXY_RESULT_FIELDS_H

#include <string>
#include <string_view>

namespace __http_svr_ns__ {

struct ResultFields {
  bool parsed = false;    // the text is a JSON object
  bool has_flow = false;  // "flow" names a receiver (an unsigned 64-bit number)
  unsigned long flow = 0;
  bool has_result = false;      // a "result" member exists
  bool result_is_text = false;  // and it is a string
  std::string result;
};

// Reads the fields of `json`.
void read_result_fields(std::string_view json, ResultFields* out);

// The two ways, apart. scan_result_fields handles an object whose members are strings
// without escapes or plain non-negative integers, each key at most once among "flow"
// and "result", with nothing but white space around; for anything else it returns false
// and leaves the reading to parse_result_fields, which uses JsonCpp.
bool scan_result_fields(std::string_view json, ResultFields* out);
void parse_result_fields(std::string_view json, ResultFields* out);

}  // namespace __http_svr_ns__

#endif

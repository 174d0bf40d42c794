// Reading JSON texts that come from outside the program (orders, logic-server results,
// requests). JsonCpp's readers throw on input they give up on, nesting deeper than their
// stack limit above all; this reader turns every such case into a plain "not JSON", so
// no text, however malformed or deep, can end the program. Header only: every program
// that reads JSON links JsonCpp already.
#ifndef HALL_JSON_TEXT_H
#define HALL_JSON_TEXT_H

#include <json/json.h>

#include <exception>
#include <memory>
#include <string>
#include <string_view>

namespace jsontext {

// Deepest nesting of arrays and objects the whole-text check reads; a deeper text is not
// JSON to us. It also bounds that reader's recursion, hence its stack use (Json::Reader
// has a limit of its own, of the same depth).
const int kMaxDepth = 1000;

// True when text is one JSON text with nothing but white space or comments after it.
// Throws what JsonCpp throws.
inline bool one_text(std::string_view text) {
  // Made once per thread: building a reader from its settings costs more than a short
  // text's reading.
  thread_local const std::unique_ptr<Json::CharReader> reader = [] {
    Json::CharReaderBuilder builder;
    builder["failIfExtra"] = true;
    builder["stackLimit"] = kMaxDepth;
    // A comma before a closing brace or bracket is not JSON.
    builder["allowTrailingCommas"] = false;
    return std::unique_ptr<Json::CharReader>(builder.newCharReader());
  }();
  Json::Value value;
  std::string errors;
  return reader->parse(text.data(), text.data() + text.size(), &value, &errors);
}

// Parses text into *root as Json::Reader reads it (comments allowed and kept). JsonCpp's
// configurable reader is not used for the value: it also takes numbers written with a
// leading '+', which JSON and Json::Reader refuse. With whole_text the text must also be
// one JSON text and nothing more: anything but white space (or comments) after the value
// makes it fail ("{...} trailing" is not one JSON text), which Json::Reader, stopping
// after the first value, does not check. Never throws.
inline bool parse(std::string_view text, Json::Value* root, bool whole_text = false) {
  try {
    Json::Reader reader;
    if (reader.parse(text.data(), text.data() + text.size(), *root, true) && (!whole_text || one_text(text)))
      return true;
  } catch (const std::exception&) {
  }
  *root = Json::Value();
  return false;
}

}  // namespace jsontext

#endif

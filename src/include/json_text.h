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

// Deepest nesting of arrays and objects read; a deeper text is not JSON to us. It also
// bounds the reader's recursion, hence its stack use.
const int kMaxDepth = 1000;

// Parses text into *root. With whole_text, anything but white space (or comments) after
// the value makes the text fail ("{...} trailing" is not one JSON text); without it the
// reader stops after the first value. Comments are allowed and kept. Never throws.
inline bool parse(std::string_view text, Json::Value* root, bool whole_text = false) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = true;
  builder["failIfExtra"] = whole_text;
  builder["stackLimit"] = kMaxDepth;
  // A comma before a closing brace or bracket is not JSON.
  builder["allowTrailingCommas"] = false;
  try {
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    return reader->parse(text.data(), text.data() + text.size(), root, &errors);
  } catch (const std::exception&) {
    *root = Json::Value();
    return false;
  }
}

}  // namespace jsontext

#endif

// The result reader's quick scan against JsonCpp: on every text the scan accepts, both
// ways give the same fields; the usual results take the quick way.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "result_fields.h"

using namespace __http_svr_ns__;

namespace {

void expect_same(const std::string& json) {
  ResultFields quick, full;
  parse_result_fields(json, &full);
  if (!scan_result_fields(json, &quick)) return;
  EXPECT_EQ(quick.parsed, full.parsed) << json;
  EXPECT_EQ(quick.has_flow, full.has_flow) << json;
  EXPECT_EQ(quick.flow, full.flow) << json;
  EXPECT_EQ(quick.has_result, full.has_result) << json;
  EXPECT_EQ(quick.result_is_text, full.result_is_text) << json;
  EXPECT_EQ(quick.result, full.result) << json;
}

TEST(ResultFields, UsualResultsAreScannedAndReadAsJsonCppReadsThem) {
  const char* usual[] = {
      "{\"flow\":100001,\"result\":\"ok\"}",
      "{\"result\":\"done\",\"flow\":7}",
      " {\n\t\"flow\" : 0 , \"result\" : \"\" }\r\n",
      "{\"flow\":123456789012345678,\"result\":\"x\",\"extra\":\"y\",\"n\":5}",
      "{}",
      "{\"result\":\"only\"}",
      "{\"flow\":\"12\",\"result\":\"text flow names no one\"}",
      "{\"flow\":3,\"result\":42}",
      "{\"flow\":9,\"result\":\"caf\xc3\xa9 \x01 raw bytes\"}",
  };
  for (const char* json : usual) {
    ResultFields f;
    EXPECT_TRUE(scan_result_fields(json, &f)) << json;
    expect_same(json);
  }
  ResultFields f;
  read_result_fields("{\"flow\":100001,\"result\":\"ok\"}", &f);
  EXPECT_TRUE(f.parsed && f.has_flow && f.result_is_text);
  EXPECT_EQ(f.flow, 100001u);
  EXPECT_EQ(f.result, "ok");
}

TEST(ResultFields, TextsOutsideTheFlatFormGoToJsonCpp) {
  const char* other[] = {
      "{\"flow\":-1,\"result\":\"x\"}",
      "{\"flow\":1.5,\"result\":\"x\"}",
      "{\"flow\":1e3}",
      "{\"flow\":007}",
      "{\"flow\":1234567890123456789012}",
      "{\"flow\":true}",
      "{\"flow\":null}",
      "{\"result\":\"a\\\"b\"}",
      "{\"flow\":1,\"flow\":2}",
      "{\"result\":\"a\",\"result\":\"b\"}",
      "{\"flow\":1} trailing",
      "{\"flow\":1,}",
      "{\"flow\":1",
      "[1,2]",
      "/* c */ {\"flow\":1}",
      "{\"flow\":{\"a\":1}}",
      "{\"flow\":12a}",
      "",
      "{\"\\u0066low\":5}",
  };
  for (const char* json : other) {
    ResultFields f;
    EXPECT_FALSE(scan_result_fields(json, &f)) << json;
  }
  // And JsonCpp's own reading stands for them.
  ResultFields f;
  read_result_fields("{\"flow\":1.5,\"result\":\"x\"}", &f);
  EXPECT_TRUE(f.has_flow);
  EXPECT_EQ(f.flow, 1u);
  read_result_fields("{\"flow\":1,\"flow\":2}", &f);
  EXPECT_EQ(f.flow, 2u);
  read_result_fields("{\"flow\":1} trailing", &f);
  EXPECT_TRUE(f.parsed);
  // A number with a leading '+' is not JSON: the result names no one.
  read_result_fields("{\"flow\":+3}", &f);
  EXPECT_FALSE(f.parsed || f.has_flow);
  // 2^64 and the numbers that round to it fit JsonCpp's range check, but its conversion
  // overflows (to 0 here): they name no one, client 0 least of all.
  for (const char* huge :
       {"{\"flow\":18446744073709551616}", "{\"flow\":18446744073709553663}", "{\"flow\":1.8446744073709552e19}"}) {
    read_result_fields(huge, &f);
    EXPECT_TRUE(f.parsed) << huge;
    EXPECT_FALSE(f.has_flow) << huge;
  }
}

// Texts put together from JSON pieces at random, many of them broken: wherever the scan
// answers, JsonCpp agrees.
TEST(ResultFields, RandomTextsReadTheSameBothWays) {
  const std::vector<std::string> pieces = {
      "{",
      "}",
      "\"flow\"",
      "\"result\"",
      "\"other\"",
      ":",
      ",",
      " ",
      "\n",
      "0",
      "7",
      "42",
      "18446744073709551615",
      "-3",
      "1.0",
      "\"text\"",
      "\"\"",
      "\"a\\\\b\"",
      "true",
      "null",
      "[",
      "]",
      "\"",
  };
  std::mt19937 rng(20261208);
  int scanned = 0;
  for (int i = 0; i < 20000; ++i) {
    std::string json = "{";
    const int n = static_cast<int>(rng() % 12);
    for (int k = 0; k < n; ++k) json += pieces[rng() % pieces.size()];
    if (rng() % 4 != 0) json += "}";
    ResultFields f;
    if (scan_result_fields(json, &f)) ++scanned;
    expect_same(json);
  }
  EXPECT_GT(scanned, 100);  // the comparison did cover accepted texts
}

}  // namespace

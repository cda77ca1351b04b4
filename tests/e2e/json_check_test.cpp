// The strict JSON check that the end-to-end tests rely on must itself be strict.
#include <gtest/gtest.h>

#include "support/run.h"

TEST(JsonCheck, AcceptsAndRejectsLikeRfc8259) {
  struct Row {
    const char* text;
    bool valid;
  } rows[] = {
      {"{\"a\":1,\"b\":[1.5,-0.0000,2e3],\"c\":\"x\\u0001\\t\"}", true},
      {"{\"a\":null}", true},
      {"{\"a\":nan}", false},
      {"{\"a\":inf}", false},
      {"{\"a\":-inf}", false},
      {"{\"a\":\"tab\there\"}", false},
      {"{\"a\":\"\x01\"}", false},
      {"{\"a\":01}", false},
      {"{\"a\":1,}", false},
      {"{\"a\":1}x", false},
      {"{\"a\":\"\\x\"}", false},
  };
  for (const Row& row : rows) EXPECT_EQ(json_is_valid(row.text), row.valid) << row.text;
}

TEST(JsonCheck, FieldReadsTopLevelValues) {
  std::string o = "{\"n\":{\"triangle_count\":9},\"triangle_count\":12,\"s\":\"a,b\",\"v\":[1,2]}";
  EXPECT_EQ(json_field(o, "triangle_count"), "12");
  EXPECT_EQ(json_field(o, "s"), "\"a,b\"");
  EXPECT_EQ(json_field(o, "v"), "[1,2]");
  EXPECT_EQ(json_field(o, "missing"), "");
}

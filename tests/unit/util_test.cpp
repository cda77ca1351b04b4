// Shared helpers: atoi-like reading and JSON output.
#include "util.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdio>
#include <string>

#include "support/run.h"

TEST(ParseIntAtoi, BehavesLikeTheWindowsRuntime) {
  struct Row {
    const char* text;
    int value;
  } rows[] = {
      {"256", 256},
      {"  -17x", -17},
      {"+42", 42},
      {"64abc", 64},
      {"abc", 0},
      {"", 0},
      {"-", 0},
      {"\t\n\v\f\r 9", 9},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-2147483649", INT_MIN},
      {"-99999999999999999999999", INT_MIN},
      {"1/2/3", 1},
      {"--5", 0},
  };
  for (const Row& row : rows) EXPECT_EQ(parse_int_atoi(row.text), row.value) << row.text;
}

static std::string captured(void (*write)(FILE*)) {
  TempDir dir;
  std::string path = dir.file("out");
  FILE* f = fopen(path.c_str(), "wb");
  write(f);
  fclose(f);
  return read_file(path);
}

TEST(Json, StringsEscapeEveryControlByte) {
  std::string s =
      captured([](FILE* f) { json_write_string(f, "a\"b\\c\td\re\nf\x01g\x1f\xc3\xa9"); });
  EXPECT_EQ(s, "\"a\\\"b\\\\c\\td\\re\\nf\\u0001g\\u001f\xc3\xa9\"");
  EXPECT_TRUE(json_is_valid(s));
}

TEST(Json, BoxWritesNullForNonFiniteValues) {
  std::string s = captured([](FILE* f) {
    const float min[3] = {0, -1.5f, -INFINITY};
    const float max[3] = {2, 1.5f, NAN};
    fputc('{', f);
    json_write_box(f, min, max);
    fputc('}', f);
  });
  EXPECT_EQ(s,
            "{\"bbox\":[2.0000,3.0000,null],\"center\":[1.0000,0.0000,null],"
            "\"mins\":[0.0000,-1.5000,null],\"maxs\":[2.0000,1.5000,null]}");
  EXPECT_TRUE(json_is_valid(s));
}

// Number scanning against the C library's sscanf.
#include "scan.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "guarded_text.h"

namespace {

uint32_t bits_of(float f) {
  uint32_t b;
  memcpy(&b, &f, sizeof b);
  return b;
}

// Texts where a hand-written number scanner tends to part ways with scanf.
const char* const kTrickyNumbers[] = {
    "", "  ", "1", "-1", "+1", "-", "+", ".", "-.", "+.", "..", "1.", "1.5", ".5", "-.5e1",
    // An exponent marker without digits is taken by scanf and read as absent.
    "1e", "1e+", "1e-", "1e+-5 3", "1E5", "1e5x", "1.2.3", "1.e5", "1.e", "0.e+1", "1e+5e5", "e5",
    "-e5", "+-1", "--1", "1ee", "0e", "0e+",
    // Hex floats, and "0x" runs that hold no digit.
    "0", "0x", "0X", "-0x", "0x.", "-0x.", "0x.p1", "0xp1", "0x1p", "0x1p+", "0x1.8p1", "0X1.8P1",
    "0x1e5", "0x.8", "0xg", "0x1.8p1x", "00x1", "0x0x1", "+0x0p0", "-0x1p-149", "0x1p-150",
    "0x1p-151", "0x1p128", "0x1.fffffep127", "0x1.ffffffp127", "0xffffffffffffffffffffffffp0",
    // inf, infinity and nan in any case; a half-written "infinity" fails.
    "inf", "INF", "-inf", "+Infinity", "infinity", "infinit", "infi", "infx", "infinityx", "in",
    "i", "n", "na", "nan", "NaN", "-nan", "nan(123)", "nan()", "nanx", "nax",
    // Overflow to inf, denormals, underflow to zero, rounding at halfway points.
    "1e39", "-1e39", "1e-39", "1e-45", "1e-46", "7e-46", "1e-50", "3.4028235e38", "3.4028236e38",
    "3.40282357e38", "340282366920938463463374607431768211455", "1e999999999999", "1e-999999999999",
    "0e999999999", "0.000000000000000000000000000000000000000000001",
    "0.00000000000000000000000000000000000000000000000000001e40", "1.17549435e-38", "1.1754942e-38",
    "1.401298464324817e-45", "7.006492321624085e-46", "7.006492321624086e-46",
    "1.000000059604644775390625", "1.00000005960464477539062500000000000000000000001", "16777217",
    "16777217.0000000001", "0.1000000000000000055511151231257827021181583404541015625", "-0",
    "-0.0e-5",
    // Whitespace of every kind before a number, and separators after it.
    "\v1", "\f2", "\t3", "\r4", "\n5", " \v\f\t\r\n 6", "1\v2\f3", "1 2 3", "1 2", "1,2,3", "1/2/3",
    "1 2 3 4", "nan 1 2", "nan(1) 2 3", "1e 2 3",
    "\x80"
    "1",
    "1\x80", "1e5 2e-5 3e+5",
    // The borders of the one-operation decimal path: 2^53 and one above, 19 and
    // 20 significant digits, 10^22 and 10^23, leading and trailing zeros.
    "9007199254740992", "9007199254740993", "9007199254740993e-10", "1234567890123456789",
    "12345678901234567890", "0.0000000000000000000000012345", "1e22", "1e23", "1e-22", "1e-23",
    "3e22", "1.5e-22", "000000000000000000000000000001.5", "1.50000000000000000000000000", "1e0000",
    "1e00001", "0e00000", "-0e-0",
    // Decimals whose nearest double is a float halfway point (the path must
    // fall back), and their neighbours in the last digit.
    "0.8751586377620697", "0.8751586377620696", "-5.278259038732358e-07", "0.02360824029892683",
    "7.560549323262344e+21", "16777217e0", "33554434", "0.500000029802322387695", "8388609.5",
    "8388609.49999999"};

TEST(ScanFloat, SingleFloatMatchesSscanf) {
  for (const char* text : kTrickyNumbers) {
    float expected = 0.0f;
    int consumed = -1;
    int rc = sscanf(text, "%f%n", &expected, &consumed);
    float value = 0.0f;
    const char* end = nullptr;
    bool ok = scan_float(text, &end, &value);
    ASSERT_EQ(ok, rc == 1) << "[" << text << "]";
    if (!ok) continue;
    EXPECT_EQ(end - text, consumed) << "[" << text << "]";
    EXPECT_EQ(bits_of(value), bits_of(expected)) << "[" << text << "]";
  }
}

TEST(ScanFloat, ThreeFloatsMatchSscanf) {
  for (const char* text : kTrickyNumbers) {
    float expected[3] = {0, 0, 0};
    int rc = sscanf(text, "%f %f %f", &expected[0], &expected[1], &expected[2]);
    if (rc < 0) rc = 0;  // EOF before the first conversion
    float xyz[3] = {0, 0, 0};
    int n = scan_float3(text, xyz);
    ASSERT_EQ(n, rc) << "[" << text << "]";
    for (int i = 0; i < n; i++)
      EXPECT_EQ(bits_of(xyz[i]), bits_of(expected[i])) << "[" << text << "]";
  }
}

// glibc 2.36 truncates some hex inputs in the denormal range instead of
// rounding them to nearest; these are the correctly rounded results.
TEST(ScanFloat, HexDenormalsRoundToNearest) {
  struct Row {
    const char* text;
    float value;
  } rows[] = {
      {"0x1.000001p-150", 0x1p-149f},  // just above half the smallest denormal
      {"0x679de0cp-153", 0x1.9e7784p-127f},
      {"-0X302e092p-154", -0x1.81705p-129f},
      {"0x1.000002p-127", 0x1p-127f},  // exact tie goes to even
  };
  for (const Row& row : rows) {
    float value = 0.0f;
    const char* end = nullptr;
    ASSERT_TRUE(scan_float(row.text, &end, &value)) << row.text;
    EXPECT_EQ(bits_of(value), bits_of(row.value)) << row.text;
    EXPECT_EQ(*end, '\0') << row.text;
  }
}

// Every decimal a writer may produce, at random: "%.9g" round trips, "%.6f"
// as generated meshes use, and 17-digit texts at and beside the halfway
// point of two floats, where one exact double operation is not enough.
TEST(ScanFloat, RandomDecimalsMatchSscanf) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<int> exponent(-30, 38);
  std::uniform_real_distribution<double> mantissa(1.0, 10.0);
  std::vector<std::string> texts;
  char buffer[64];
  for (int i = 0; i < 60000; i++) {
    const float f = static_cast<float>(mantissa(rng) * pow(10.0, exponent(rng)));
    if (!std::isfinite(f)) continue;
    const double half = (static_cast<double>(f) + static_cast<double>(nextafterf(f, INFINITY))) / 2;
    snprintf(buffer, sizeof buffer, "%.9g", f);
    texts.push_back(buffer);
    snprintf(buffer, sizeof buffer, "%.17g", half);
    texts.push_back(buffer);
    snprintf(buffer, sizeof buffer, "%.16e", half);
    texts.push_back(buffer);
    texts.back().back() = static_cast<char>(texts.back().back() == '9' ? '0' : '9');
    snprintf(buffer, sizeof buffer, "%.6f", f / 1e25f);
    texts.push_back(buffer);
    snprintf(buffer, sizeof buffer, "-%.3f", static_cast<double>(rng() % 100000000) / 7.0);
    texts.push_back(buffer);
    // Up to 15 digits with the point anywhere, and halfway points cut to 15.
    snprintf(buffer, sizeof buffer, "%.*f", static_cast<int>(rng() % 15),
             static_cast<double>(rng() % 1000000000000000u) / pow(10.0, static_cast<int>(rng() % 15)));
    texts.push_back(buffer);
    // Halfway points that short texts hold exactly (floats from 2^16 on).
    const float big = static_cast<float>(mantissa(rng) * pow(10.0, 5 + static_cast<int>(rng() % 8)));
    snprintf(buffer, sizeof buffer, "%.10f",
             (static_cast<double>(big) + static_cast<double>(nextafterf(big, INFINITY))) / 2);
    std::string exact = buffer;
    exact.erase(exact.find_last_not_of('0') + 1);
    if (exact.size() < 16) texts.push_back(exact);
  }
  int mismatches = 0;
  for (const std::string& text : texts) {
    float expected = 0.0f;
    int consumed = -1;
    ASSERT_EQ(sscanf(text.c_str(), "%f%n", &expected, &consumed), 1) << text;
    float value = 0.0f;
    const char* stop = nullptr;
    ASSERT_TRUE(scan_float(text.c_str(), &stop, &value)) << text;
    EXPECT_EQ(stop - text.c_str(), consumed) << text;
    if (bits_of(value) != bits_of(expected) && ++mismatches < 10) ADD_FAILURE() << text;
    // Followed by more text, as in a file, where 16 bytes are read at once.
    const std::string padded = text + " 0123456789abcdef";
    ASSERT_TRUE(scan_float(padded.data(), padded.data() + padded.size(), &stop, &value)) << text;
    EXPECT_EQ(stop - padded.data(), consumed) << text;
    if (bits_of(value) != bits_of(expected) && ++mismatches < 10) ADD_FAILURE() << padded;
  }
  EXPECT_EQ(mismatches, 0);
}

// The text ends at the end of the range, not at a NUL: nothing past it is
// read (the range sits right before an inaccessible page), and what is read
// equals the NUL-terminated reading.
TEST(ScanFloat, RangeEndActsAsTheTextEnd) {
  for (const char* text : kTrickyNumbers) {
    GuardedText guarded(text);
    ASSERT_TRUE(guarded.ok());
    float expected[3] = {0, 0, 0};
    float xyz[3] = {0, 0, 0};
    const int n = scan_float3(text, expected);
    ASSERT_EQ(scan_float3(guarded.begin(), guarded.end(), xyz), n) << "[" << text << "]";
    for (int i = 0; i < n; i++) EXPECT_EQ(bits_of(xyz[i]), bits_of(expected[i])) << text;
  }
  // A NUL inside the range ends the text as well.
  float xyz[3] = {0, 0, 0};
  const char nul_inside[] = "1 2\0 3";
  EXPECT_EQ(scan_float3(nul_inside, nul_inside + sizeof nul_inside - 1, xyz), 2);
}

// Line mode reads a line of a longer text as scan_float3 reads the line cut
// just after its LF or CR, and stops before that line end.
TEST(ScanFloat, LineModeStopsAtTheLineEnd) {
  for (const char* text : kTrickyNumbers) {
    for (const char* eol : {"\n", "\r", "\r\n"}) {
      const std::string line = std::string(text).substr(0, strcspn(text, "\n\r"));
      const std::string whole = line + eol + "7 8 9\n";
      const std::string piece = line + eol[0];
      float expected[3] = {0, 0, 0};
      float xyz[3] = {0, 0, 0};
      const int n = scan_float3(piece.c_str(), expected);
      const char* stop = nullptr;
      ASSERT_EQ(scan_line_float3(whole.data(), whole.data() + whole.size(), xyz, &stop), n) << text;
      for (int i = 0; i < n; i++) EXPECT_EQ(bits_of(xyz[i]), bits_of(expected[i])) << text;
      EXPECT_LE(stop, whole.data() + line.size()) << text;
    }
  }
}

}  // namespace

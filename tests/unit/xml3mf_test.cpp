// XML attribute scanner, element search and number readers of packshot.
#include "xml3mf.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "guarded_text.h"

namespace {

// The attribute values of one tag, each as the text up to its end quote or
// delimiter, "-" when absent.
struct Scanned {
  AttrSet a;
  std::string text;
  std::string value(int slot) const {
    const char* v = a.value[slot];
    if (!v) return "-";
    const char* end = text.data() + text.size();
    std::string s;
    while (v < end && *v != '"' && *v != '\'' && *v != ' ' && *v != '/' && *v != '>') s += *v++;
    return s;
  }
};

Scanned scan(const std::string& attrs) {
  Scanned s;
  s.text = attrs;
  scan_attrs(&s.a, s.text.data(), s.text.data() + s.text.size());
  return s;
}

float ff(const std::string& text) {
  return fast_float(text.data(), text.data() + text.size());
}

}  // namespace

TEST(ScanAttrs, QuotesApostrophesAndBareValues) {
  Scanned s = scan(" x=\"1.5\" y='2' z=3 v1=\"7\"/");
  EXPECT_EQ(s.value(kAttrX), "1.5");
  EXPECT_EQ(s.value(kAttrY), "2");
  EXPECT_EQ(s.value(kAttrZ), "3");
  EXPECT_EQ(s.value(kAttrV1), "7");
  EXPECT_EQ(s.value(kAttrV2), "-");
  // A bare value ends at a space, '/' or '>'.
  for (const char* tag : {" z=3 x=1", " z=3/", " z=3>"}) {
    EXPECT_EQ(scan(tag).value(kAttrZ), "3") << tag;
  }
}

TEST(ScanAttrs, EveryKnownNameLandsInItsSlot) {
  Scanned s = scan(
      "\tx='a' y='b' z='c' v1='d' v2='e' v3='f' id='g' name='h' objectid='i' transform='j' "
      "type='k' p:path='l' Type='m' Target='n'");
  const char* expected = "abcdefghijklmn";
  for (int slot = 0; slot < kAttrCount; slot++) {
    EXPECT_EQ(s.value(slot), std::string(1, expected[slot])) << "slot " << slot;
  }
}

TEST(ScanAttrs, NamesCompareExactlyAndTheLastWins) {
  Scanned s = scan(" X=\"1\" xx=\"2\" ID=\"3\" name=\"first\" name=\"second\" p:x=\"4\"");
  EXPECT_EQ(s.value(kAttrX), "-");
  EXPECT_EQ(s.value(kAttrId), "-");
  EXPECT_EQ(s.value(kAttrName), "second");
}

TEST(ScanAttrs, StopsAtSlashGreaterOrMissingEquals) {
  EXPECT_EQ(scan(" / x=\"1\"").value(kAttrX), "-");
  EXPECT_EQ(scan(" > x=\"1\"").value(kAttrX), "-");
  EXPECT_EQ(scan(" x/ y=\"2\"").value(kAttrY), "-");
  EXPECT_EQ(scan(" x").value(kAttrX), "-");
  // Spaces before '=' are stepped over, but a space after it is an empty
  // bare value; a line feed belongs to the name.
  EXPECT_EQ(scan(" x = \"5\"").value(kAttrX), "");
  EXPECT_EQ(scan(" x =\"5\"").value(kAttrX), "5");
  EXPECT_EQ(scan(" \nx=\"5\"").value(kAttrX), "5");
  EXPECT_EQ(scan(" x\n=\"5\"").value(kAttrX), "-");
}

TEST(ScanAttrs, ValueCutByTheRangeEnd) {
  // An empty value at the very end points at the end; an open quote runs to it.
  Scanned s = scan(" x=");
  ASSERT_NE(s.a.value[kAttrX], nullptr);
  EXPECT_EQ(s.a.value[kAttrX], s.text.data() + s.text.size());
  EXPECT_EQ(scan(" y=\"12").value(kAttrY), "12");
}

TEST(XmlReaders, UnsignedIntegers) {
  struct Case {
    const char* text;
    uint32_t expected;
  } cases[] = {{"0", 0},          {"123\"", 123},    {"", 0},       {" 5", 5},
               {"-5", 0},         {"+5", 0},         {"42abc", 42}, {"4294967295", 4294967295u},
               {"4294967296", 0}, {"4294967297", 1}, {"007", 7}};
  for (const Case& c : cases) {
    EXPECT_EQ(xml_read_uint(c.text, c.text + strlen(c.text)), c.expected) << c.text;
  }
}

TEST(XmlReaders, NamesStopAtQuotesAndKeepEntities) {
  char out[256];
  struct Case {
    std::string text;
    std::string expected;
  } cases[] = {
      {"Box\"", "Box"},
      {"it's", "it"},
      {"a>b", "a"},
      {std::string("ab\0cd", 5), "ab"},
      {"Tom &amp; Jerry&quot;\"", "Tom &amp; Jerry&quot;"},
      {"", ""},
      {std::string(300, 'n') + "\"", std::string(255, 'n')},
  };
  for (const Case& c : cases) {
    xml_read_name(c.text.data(), c.text.data() + c.text.size(), out);
    EXPECT_EQ(std::string(out), c.expected) << c.text.substr(0, 20);
  }
}

TEST(XmlReaders, ModelTypeTest) {
  struct Case {
    std::string text;
    int expected;
  } cases[] = {{"model\"", 1}, {"modelx\"", 1}, {"support\"", 0}, {"other\"", 0},
               {"Model\"", 0}, {"\"", 0},       {"mode", 0}};
  EXPECT_EQ(xml_is_model_type(nullptr, nullptr), 1);
  for (const Case& c : cases) {
    EXPECT_EQ(xml_is_model_type(c.text.data(), c.text.data() + c.text.size()), c.expected)
        << c.text;
  }
}

TEST(FastFloat, TheDocumentedTexts) {
  const float tenth = 0.1f;
  struct Case {
    const char* text;
    float expected;
  } cases[] = {
      {"5.", 5.0f},           {".5", 0.5f},
      {"1e", 1.0f},           {"1e-", 1.0f},
      {"1e+", 1.0f},          {"2.5E+2", 250.0f},
      {"-.5", -0.5f},         {"1.5E0", 1.5f},
      {"7e-0", 7.0f},         {"12abc", 12.0f},
      {"abc", 0.0f},          {"+3", 3.0f},
      {" 3", 3.0f},           {"1e-3", 1.0f * (tenth * tenth * tenth)},
      {"3.25e1\"", 32.5f},    {"-12.75", -12.75f},
      {"2e4294967296", 2.0f},  // the exponent wraps to 0
      {"2e3000000000", 2.0f},  // and here to a negative count
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ff(c.text), c.expected) << c.text;
  }
  // The fraction is f / s in float: 14159 / 100000 + 3, not the nearest float.
  EXPECT_EQ(ff("3.14159"), 14159.0f / 100000.0f + 3.0f);
  EXPECT_TRUE(std::signbit(ff("-")));
}

TEST(XmlReaders, BlankPaddedValuesReadAsTheirNumber) {
  // Writers pad to a fixed width ("    1.089429E+02"); XML whitespace before
  // and after a value is skipped, anything else still ends the number.
  struct Case {
    std::string text;
    float number;
    uint32_t integer;
  } cases[] = {
      {"    1.089429E+02\"", 1.089429f * 100.0f, 1},
      {"\t\r\n 42 \"", 42.0f, 42},
      {"  -7.5\t\"", -7.5f, 0},
      {"\n\n3\r\n\"", 3.0f, 3},
      {"   \"", 0.0f, 0},
      {" \v5\"", 0.0f, 0},  // a vertical tab is not XML whitespace
      {" , 5\"", 0.0f, 0},
  };
  for (const Case& c : cases) {
    const char* end = c.text.data() + c.text.size();
    EXPECT_EQ(fast_float(c.text.data(), end), c.number) << c.text;
    EXPECT_EQ(xml_read_uint(c.text.data(), end), c.integer) << c.text;
  }
  // Blanks up to the end of the document read nothing beyond it.
  GuardedText g("   ");
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(fast_float(g.begin(), g.end()), 0.0f);
  EXPECT_EQ(xml_read_uint(g.begin(), g.end()), 0u);

  Transform3x4 t;
  const std::string padded =
      "\r\n  1.0E+00  0.0E+00 0\n0\t\t1 0\r\n0 0    1\n  1.0E+01 2.0E+01\r\n  3.0E+01  \r\n\"";
  ASSERT_EQ(mat3mf_parse(padded.data(), padded.data() + padded.size(), &t), 1);
  const float expected[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 10, 20, 30};
  for (int i = 0; i < 12; i++) EXPECT_EQ(t.m[i], expected[i]) << i;
  const std::string eleven = "\n1 0 0 0 1 0 0 0 1 10 20\r\n\"";
  EXPECT_EQ(mat3mf_parse(eleven.data(), eleven.data() + eleven.size(), &t), 0);
}

TEST(FastFloat, HugeExponentsEndEarlyWithTheSameResult) {
  // Two billion multiplications would take seconds; the factor saturates
  // after a few dozen steps.
  EXPECT_EQ(ff("1e2000000000"), INFINITY);
  EXPECT_EQ(ff("-1e2000000000"), -INFINITY);
  EXPECT_EQ(ff("1e-2000000000"), 0.0f);
  EXPECT_EQ(ff("1e39"), INFINITY);
  float big = 1.0f;
  for (int i = 0; i < 38; i++) big *= 10.0f;
  EXPECT_EQ(ff("1e38"), big);
  EXPECT_TRUE(std::isnan(ff("0e2147483647")));  // 0 times infinity
  float factor = 1.0f;
  for (int i = 0; i < 45; i++) factor *= 0.1f;
  EXPECT_EQ(ff("3e-45"), 3.0f * factor);
}

TEST(Mat3mf, TwelveNumbersWithSpacesAndTabs) {
  Transform3x4 t;
  const std::string v = "1 0 0 0 1 0 0 0 1 10 20 30\"";
  ASSERT_EQ(mat3mf_parse(v.data(), v.data() + v.size(), &t), 1);
  const float expected[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 10, 20, 30};
  for (int i = 0; i < 12; i++) EXPECT_EQ(t.m[i], expected[i]) << i;

  const std::string spaced = "  2\t\t0 0 0   2 0 0 0 2 -1.5e1 +2 .5' trailing";
  ASSERT_EQ(mat3mf_parse(spaced.data(), spaced.data() + spaced.size(), &t), 1);
  EXPECT_EQ(t.m[0], 2.0f);
  EXPECT_EQ(t.m[9], -15.0f);
  EXPECT_EQ(t.m[10], 2.0f);
  EXPECT_EQ(t.m[11], 0.5f);
}

TEST(Mat3mf, ElevenNumbersAreNotATransform) {
  Transform3x4 t;
  for (const char* const v_text : {"1 0 0 0 1 0 0 0 1 10 20\"", "1 0 0 0 1 0 0 0 1 10 20 \"",
                                   "1 0 0 0 1 0 0 0 1 10 20'", "\"", "", "   "}) {
    const std::string v = v_text;
    EXPECT_EQ(mat3mf_parse(v.data(), v.data() + v.size(), &t), 0) << v;
  }
}

TEST(Mat3mf, CommasReadAsZeros) {
  Transform3x4 t;
  const std::string v = "1,0,0,0,1,0,0,0,1,10,20,30\"";
  ASSERT_EQ(mat3mf_parse(v.data(), v.data() + v.size(), &t), 1);
  EXPECT_EQ(t.m[0], 1.0f);
  for (int i = 1; i < 12; i++) EXPECT_EQ(t.m[i], 0.0f) << i;
}

TEST(Mat3mf, TwelveNumbersWithoutTheirEnd) {
  // The twelfth number may end with the document.
  Transform3x4 t;
  GuardedText g("1 2 3 4 5 6 7 8 9 10 11 12");
  ASSERT_TRUE(g.ok());
  EXPECT_EQ(mat3mf_parse(g.begin(), g.end(), &t), 1);
  EXPECT_EQ(t.m[11], 12.0f);
}

TEST(Transforms, PointsAreRowVectorsAndComponentsComposeChildFirst) {
  // C scales by 2, M rotates 90 degrees about z (x -> y) and moves by (10, 0, 0).
  const Transform3x4 c = {{2, 0, 0, 0, 2, 0, 0, 0, 2, 1, 0, 0}};
  const Transform3x4 m = {{0, 1, 0, -1, 0, 0, 0, 0, 1, 10, 0, 0}};
  Transform3x4 n;
  transform_compose(&c, &m, &n);
  const float p[3] = {1, 2, 3};
  float via_c[3], expected[3], got[3];
  transform_point(&c, p, via_c);
  transform_point(&m, via_c, expected);
  transform_point(&n, p, got);
  for (int a = 0; a < 3; a++) EXPECT_EQ(got[a], expected[a]) << a;
  EXPECT_EQ(got[0], 10.0f - 4.0f);
  EXPECT_EQ(got[1], 3.0f);
  EXPECT_EQ(got[2], 6.0f);
}

TEST(ReadersAtTheDocumentEnd, NeverReadPastTheLastByte) {
  // Every reader on a value that runs into the end of the document, which
  // lies right before an inaccessible page.
  for (const char* const c_text : {"123456", "-12.5e", "1.25e-", "9e99999", "name_without_quote",
                                   "model", "mod", "1 2 3 4", "1 2 3 4 ", ""}) {
    const std::string text = c_text;
    GuardedText g(text);
    ASSERT_TRUE(g.ok());
    char name[256];
    Transform3x4 t;
    xml_read_uint(g.begin(), g.end());
    fast_float(g.begin(), g.end());
    xml_read_name(g.begin(), g.end(), name);
    EXPECT_EQ(std::string(name), text.substr(0, 255));
    xml_is_model_type(g.begin(), g.end());
    // Letters read as zeros, so only the short number lists fall short.
    const int numbers = mat3mf_parse(g.begin(), g.end(), &t);
    if (text.empty() || text[0] == '1') {
      EXPECT_EQ(numbers, 0) << text;
    }
    AttrSet a;
    scan_attrs(&a, g.begin(), g.end());
  }
  GuardedText tag(" x=\"1.5\" name='abc");
  AttrSet a;
  scan_attrs(&a, tag.begin(), tag.end());
  ASSERT_NE(a.value[kAttrName], nullptr);
  EXPECT_EQ(fast_float(a.value[kAttrX], tag.end()), 1.5f);
}

TEST(ElementSearch, TagNamesNeedTheirDelimiterAndNoPrefix) {
  struct Case {
    std::string doc;
    bool found;
  } cases[] = {
      {"<object id=\"1\">....", true},
      {"<object>.........", true},
      {"<object\nid=\"1\">...", false},
      {"<object\tid=\"1\">...", false},
      {"<m:object id=\"1\">.", false},
      {"<objects>.........", false},
      {"<object ", false},  // start positions must stay below end - 8
  };
  for (const Case& c : cases) {
    const char* end = c.doc.data() + c.doc.size();
    EXPECT_EQ(xml_find_tag(c.doc.data(), end, "<object", 7, 8, 1) != nullptr, c.found) << c.doc;
  }
  // A closing tag that ends the document exactly is not found; one more byte is enough.
  const std::string tail = "xx</object>";
  EXPECT_EQ(xml_find_tag(tail.data(), tail.data() + tail.size(), "</object>", 9, 9, 0), nullptr);
  const std::string tail2 = tail + "\n";
  EXPECT_EQ(xml_find_tag(tail2.data(), tail2.data() + tail2.size(), "</object>", 9, 9, 0),
            tail2.data() + 2);
}

TEST(ElementSearch, GreaterFinderAgreesWithAPlainSearch) {
  const std::string doc = "<a <b> <c <d <e> f g > <h";
  const char* limit = doc.data() + doc.size();
  GtFinder finder = {nullptr, nullptr};
  for (const char* p = doc.data(); p <= limit; p++) {
    const void* plain = memchr(p, '>', static_cast<size_t>(limit - p));
    EXPECT_EQ(gt_find(&finder, p, limit), plain) << "at " << (p - doc.data());
  }
  // A new limit starts a new search.
  const char* short_limit = doc.data() + 4;
  EXPECT_EQ(gt_find(&finder, doc.data(), short_limit), nullptr);
}

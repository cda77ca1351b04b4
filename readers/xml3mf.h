// 3MF model XML lexical layer: element search, attribute scanning and the
// number readers, all in place on the document bytes.
//
// Every function takes the document end and never reads at or beyond it; a
// value that runs into the end reads as if a zero byte stood there.
#pragma once

#include <cstdint>

// Slots of AttrSet::value, in scan order.
enum AttrSlot {
  kAttrX,
  kAttrY,
  kAttrZ,
  kAttrV1,
  kAttrV2,
  kAttrV3,
  kAttrId,
  kAttrName,
  kAttrObjectId,
  kAttrTransform,
  kAttrType,
  kAttrPath,     // "p:path", the production extension's part reference
  kAttrRelType,  // "Type" and "Target" of package relationships
  kAttrTarget,
  kAttrCount
};

// Pointers into the document at the first byte of each value (after the
// opening quote), null when the attribute is absent.
struct AttrSet {
  const char* value[kAttrCount];
};

// m00 m01 m02 m10 m11 m12 m20 m21 m22 m30 m31 m32: a 4x3 matrix, rows first,
// the last row the translation; points are row vectors times the matrix.
struct Transform3x4 {
  float m[12];
};

extern const Transform3x4 k_identity_transform;

// Scans the attributes of one start tag over [start, end) (end is the tag's
// '>', exclusive) and returns result, filled.
AttrSet* scan_attrs(AttrSet* result, const char* start, const char* end);

// Unsigned decimal digits at p after any XML whitespace (space, tab, CR, LF),
// wrapping in 32 bits; no digits read as 0.
uint32_t xml_read_uint(const char* p, const char* doc_end);

// xml_read_uint into *out; returns the first byte after the digits.
const char* xml_scan_uint(const char* p, const char* doc_end, uint32_t* out);

// Copies at most 255 name bytes into out (256 bytes), up to a zero byte, a
// quote, an apostrophe or '>', and terminates it. The result may be empty.
void xml_read_name(const char* p, const char* doc_end, char out[256]);

// 1 unless the value's first five bytes differ from "model" (null: 1).
int xml_is_model_type(const char* p, const char* doc_end);

// The single-precision number at p after any XML whitespace:
// [sign] digits [. digits] [e [sign] digits], everything in float
// arithmetic; no digits read as 0.
float fast_float(const char* p, const char* doc_end);

// fast_float into *out; returns the first byte it did not take (after the
// exponent's digits, or where the number or its exponent stopped).
const char* xml_scan_float(const char* p, const char* doc_end, float* out);

// The rest of a vertex tag after "<vertex" as writers put it: one space
// before each of x="..", y="..", z="..", values in double quotes that the
// number reader takes whole, then XML whitespace and '>' or "/>". Sets v
// to the values as fast_float reads them (scan_attrs would find the same)
// and returns the tag's '>'; null for any other shape, or when lim comes
// first. Reads nothing at or beyond lim.
const char* xml_plain_vertex(const char* s, const char* lim, float v[3]);

// The same for a triangle tag after "<triangle" and its v1, v2, v3, read as
// xml_read_uint reads them.
const char* xml_plain_triangle(const char* s, const char* lim, uint32_t v[3]);

// Reads twelve numbers of a transform value, separated by XML whitespace,
// into t. Returns 1 when twelve were read, 0 when the value ended first (t
// then holds what was read).
int mat3mf_parse(const char* p, const char* doc_end, Transform3x4* t);

// Maps point p by t: x' = m00 x + m10 y + m20 z + m30, and so on.
void transform_point(const Transform3x4* t, const float p[3], float out[3]);

// Child transform of a component: its own c applied first, the parent's m second.
void transform_compose(const Transform3x4* c, const Transform3x4* m, Transform3x4* out);

// First position p in [from, end - tail) where the len bytes of pattern
// match and, when need_delimiter is set, p[len] is a space or '>'; null when
// none. tail is how many bytes before the end a match may not start.
const char* xml_find_tag(const char* from, const char* doc_end, const char* pattern, int len,
                         int tail, int need_delimiter);

// Remembers the last '>' found so that repeated searches from rising
// positions inside one element cost linear time in total, even when a
// hostile document holds thousands of tags without a closing '>'.
struct GtFinder {
  const char* found;  // the first '>' at or after the last start, or limit
  const char* limit;
};

// First '>' in [p, limit), or null. Searches must come from non-decreasing p
// for the same limit.
const char* gt_find(GtFinder* finder, const char* p, const char* limit);

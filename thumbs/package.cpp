// Package thumbnail lookup: the relationships part read in place, then the
// named part extracted.
#include "package.h"

#include <cstdlib>
#include <cstring>

#include "zip.h"

const char* const kThumbnailRelationshipType =
    "http://schemas.openxmlformats.org/package/2006/relationships/metadata/thumbnail";

static const char kRelationshipsPart[] = "_rels/.rels";
static const size_t kMaxTargetBytes = 1024;

static bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of attribute name in the start tag [p, end): *value and *length
// set to the quoted text. Names are matched whole, without namespace prefix.
static bool find_attribute(const char* p, const char* end, const char* name, const char** value,
                           size_t* length) {
  const size_t name_length = strlen(name);
  while (p < end) {
    while (p < end && is_space(*p)) p++;
    const char* attr = p;
    while (p < end && *p != '=' && !is_space(*p)) p++;
    const size_t attr_length = static_cast<size_t>(p - attr);
    while (p < end && is_space(*p)) p++;
    if (p >= end || *p != '=') {
      if (attr_length == 0 && p < end) p++;  // a stray byte such as '/'
      continue;
    }
    p++;
    while (p < end && is_space(*p)) p++;
    if (p >= end || (*p != '"' && *p != '\'')) continue;
    const char quote = *p++;
    const char* text = p;
    while (p < end && *p != quote) p++;
    if (p >= end) return false;
    if (attr_length == name_length && memcmp(attr, name, name_length) == 0) {
      *value = text;
      *length = static_cast<size_t>(p - text);
      return true;
    }
    p++;
  }
  return false;
}

// Copies the target of the first thumbnail relationship in [doc, doc_end)
// into out (kMaxTargetBytes + 1) as a ZIP entry name.
static bool find_thumbnail_target(const char* doc, const char* doc_end, char* out) {
  static const char kTag[] = "<Relationship";
  const size_t tag_length = sizeof kTag - 1;
  const char* p = doc;
  while (static_cast<size_t>(doc_end - p) > tag_length) {
    const char* tag = static_cast<const char*>(memchr(p, '<', static_cast<size_t>(doc_end - p)));
    if (!tag || static_cast<size_t>(doc_end - tag) <= tag_length) return false;
    p = tag + 1;
    if (memcmp(tag, kTag, tag_length) != 0 || !is_space(tag[tag_length])) continue;
    const char* tag_end =
        static_cast<const char*>(memchr(tag, '>', static_cast<size_t>(doc_end - tag)));
    if (!tag_end) return false;
    const char* type = nullptr;
    const char* target = nullptr;
    size_t type_length = 0, target_length = 0;
    const char* attrs = tag + tag_length;
    if (find_attribute(attrs, tag_end, "Type", &type, &type_length) &&
        type_length == strlen(kThumbnailRelationshipType) &&
        memcmp(type, kThumbnailRelationshipType, type_length) == 0 &&
        find_attribute(attrs, tag_end, "Target", &target, &target_length)) {
      if (target_length > 0 && target[0] == '/') {
        target++;
        target_length--;
      }
      if (target_length == 0 || target_length > kMaxTargetBytes) return false;
      memcpy(out, target, target_length);
      out[target_length] = 0;
      return true;
    }
    p = tag_end;
  }
  return false;
}

int package_thumbnail_part(const uint8_t* zip, uint64_t length, uint8_t** part,
                           uint64_t* part_length) {
  *part = nullptr;
  *part_length = 0;
  uint8_t* rels = nullptr;
  uint64_t rels_length = 0;
  if (!zip_extract_entry(zip, length, kRelationshipsPart, &rels, &rels_length)) return 0;
  char target[kMaxTargetBytes + 1];
  const char* doc = reinterpret_cast<const char*>(rels);
  const bool found = find_thumbnail_target(doc, doc + rels_length, target);
  free(rels);
  if (!found) return 0;
  return zip_extract_entry(zip, length, target, part, part_length);
}

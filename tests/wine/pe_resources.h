// A small reader for the resources of a Windows PE file (PE32 and PE32+),
// written from the file format so that the checks do not trust the tools
// that produced the resources.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PeResource {
  uint32_t type;  // numeric type (3 icon, 14 icon group, 16 version, ...), 0 when named
  uint32_t id;    // numeric name, 0 when named
  uint32_t language;
  std::string data;
};

struct PeFile {
  uint16_t subsystem = 0;  // 2 GUI, 3 console
  std::vector<std::string> imported_dlls;
  std::vector<PeResource> resources;  // in directory order
  bool has_named_resource = false;    // a type or name given as a string
};

// Parses the file's headers, imports and resource tree. Returns false with a
// reason in *error when the file is not a well-formed PE image.
bool pe_read(const std::string& image, PeFile* out, std::string* error);

// One node of a version resource (VS_VERSIONINFO, StringFileInfo, a string
// table, a string, VarFileInfo, Var): its key, value bytes and children.
struct VersionNode {
  std::string key;            // UTF-16 key narrowed to ASCII ('?' for other characters)
  uint16_t value_length = 0;  // as stored: bytes for binary, characters for text
  uint16_t type = 0;          // 1 text, 0 binary
  std::string value;          // raw value bytes
  std::vector<VersionNode> children;
};

// Parses a version resource into its node tree. Returns false with a reason
// when a length runs past its parent or the layout is broken.
bool version_parse(const std::string& data, VersionNode* root, std::string* error);

// A text value as ASCII/Latin-1 (UTF-16LE narrowed), without the terminator;
// *terminated tells whether the stored value ended in a NUL character.
std::string version_text(const VersionNode& node, bool* terminated = nullptr);

// PE resource reader: headers, section table, import names, resource tree.
#include "pe_resources.h"

#include <cstring>

namespace {

struct Reader {
  const std::string& bytes;
  bool ok = true;

  bool has(uint64_t offset, uint64_t len) const {
    return offset <= bytes.size() && len <= bytes.size() - offset;
  }
  uint32_t u8(uint64_t offset) {
    if (!has(offset, 1)) return ok = false, 0;
    return static_cast<uint8_t>(bytes[offset]);
  }
  uint32_t u16(uint64_t offset) { return u8(offset) | (u8(offset + 1) << 8); }
  uint32_t u32(uint64_t offset) { return u16(offset) | (u16(offset + 2) << 16); }
};

struct Section {
  uint32_t rva, virtual_size, raw_offset, raw_size;
};

// Maps a relative virtual address to a file offset, or returns false.
bool rva_to_offset(const std::vector<Section>& sections, uint32_t rva, uint64_t* offset) {
  for (const Section& s : sections) {
    uint32_t size = s.virtual_size > s.raw_size ? s.virtual_size : s.raw_size;
    if (rva >= s.rva && rva - s.rva < size) {
      if (rva - s.rva >= s.raw_size) return false;
      *offset = static_cast<uint64_t>(s.raw_offset) + (rva - s.rva);
      return true;
    }
  }
  return false;
}

std::string narrow_utf16(const std::string& bytes, size_t offset, size_t chars) {
  std::string out;
  for (size_t i = 0; i < chars && offset + 2 * i + 1 < bytes.size(); i++) {
    unsigned c = static_cast<uint8_t>(bytes[offset + 2 * i]) |
                 (static_cast<uint8_t>(bytes[offset + 2 * i + 1]) << 8);
    out += c < 256 ? static_cast<char>(c) : '?';
  }
  return out;
}

}  // namespace

bool pe_read(const std::string& image, PeFile* out, std::string* error) {
  Reader r{image};
  *out = PeFile();
  if (image.size() < 64 || image.compare(0, 2, "MZ") != 0) return *error = "no MZ header", false;
  uint32_t pe = r.u32(0x3C);
  if (!r.has(pe, 24) || image.compare(pe, 4, std::string("PE\0\0", 4)) != 0) {
    return *error = "no PE signature", false;
  }
  uint32_t section_count = r.u16(pe + 6);
  uint32_t optional_size = r.u16(pe + 20);
  uint64_t opt = pe + 24;
  uint32_t magic = r.u16(opt);
  if (magic != 0x10B && magic != 0x20B) return *error = "unknown optional header", false;
  const bool plus = magic == 0x20B;
  out->subsystem = static_cast<uint16_t>(r.u16(opt + 68));
  uint64_t directories = opt + (plus ? 112 : 96);
  uint32_t directory_count = r.u32(opt + (plus ? 108 : 92));
  auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* size) {
    *rva = *size = 0;
    if (index < directory_count) {
      *rva = r.u32(directories + index * 8);
      *size = r.u32(directories + index * 8 + 4);
    }
  };

  std::vector<Section> sections;
  uint64_t table = opt + optional_size;
  for (uint32_t i = 0; i < section_count; i++) {
    uint64_t s = table + i * 40;
    sections.push_back({r.u32(s + 12), r.u32(s + 8), r.u32(s + 20), r.u32(s + 16)});
  }
  if (!r.ok) return *error = "headers cut short", false;

  uint32_t import_rva, import_size;
  directory(1, &import_rva, &import_size);
  uint64_t imports;
  if (import_rva != 0 && rva_to_offset(sections, import_rva, &imports)) {
    for (uint64_t d = imports; r.has(d, 20) && r.u32(d + 12) != 0; d += 20) {
      uint64_t name;
      if (!rva_to_offset(sections, r.u32(d + 12), &name)) return *error = "bad import", false;
      size_t end = image.find('\0', name);
      if (end == std::string::npos) return *error = "import name cut", false;
      out->imported_dlls.push_back(image.substr(name, end - name));
    }
  }

  uint32_t resource_rva, resource_size;
  directory(2, &resource_rva, &resource_size);
  if (resource_rva == 0) return true;
  uint64_t root;
  if (!rva_to_offset(sections, resource_rva, &root)) return *error = "bad resource rva", false;

  // Three levels: type, name, language. Each directory is 16 bytes followed
  // by its named entries, then its numbered ones; the high bit of an entry's
  // second word marks a subdirectory.
  auto entries = [&](uint64_t dir, std::vector<std::pair<uint32_t, uint32_t>>* list) {
    uint32_t count = r.u16(dir + 12) + r.u16(dir + 14);
    for (uint32_t i = 0; i < count && r.ok; i++) {
      list->push_back({r.u32(dir + 16 + i * 8), r.u32(dir + 20 + i * 8)});
    }
    return r.ok && count < 4096;
  };
  std::vector<std::pair<uint32_t, uint32_t>> types;
  if (!entries(root, &types)) return *error = "resource directory cut", false;
  for (auto& type : types) {
    if (!(type.second & 0x80000000u)) return *error = "type entry is not a directory", false;
    if (type.first & 0x80000000u) out->has_named_resource = true;
    std::vector<std::pair<uint32_t, uint32_t>> names;
    if (!entries(root + (type.second & 0x7FFFFFFFu), &names)) return *error = "name dir cut", false;
    for (auto& name : names) {
      if (!(name.second & 0x80000000u)) return *error = "name entry is not a directory", false;
      if (name.first & 0x80000000u) out->has_named_resource = true;
      std::vector<std::pair<uint32_t, uint32_t>> languages;
      if (!entries(root + (name.second & 0x7FFFFFFFu), &languages)) {
        return *error = "language dir cut", false;
      }
      for (auto& language : languages) {
        if (language.second & 0x80000000u) return *error = "fourth directory level", false;
        uint64_t entry = root + language.second;
        uint32_t data_rva = r.u32(entry), data_size = r.u32(entry + 4);
        uint64_t data;
        if (!r.ok || !rva_to_offset(sections, data_rva, &data) || !r.has(data, data_size)) {
          return *error = "resource data outside the file", false;
        }
        out->resources.push_back({type.first & 0x80000000u ? 0 : type.first,
                                  name.first & 0x80000000u ? 0 : name.first, language.first,
                                  image.substr(data, data_size)});
      }
    }
  }
  return true;
}

namespace {

// Parses one node at offset within [offset, limit); every node is aligned
// to 4 bytes and its wLength covers its key, value and children.
bool parse_node(const std::string& data, size_t offset, size_t limit, VersionNode* node,
                std::string* error) {
  Reader r{data};
  if (limit - offset < 6) return *error = "node header cut", false;
  size_t length = r.u16(offset);
  node->value_length = static_cast<uint16_t>(r.u16(offset + 2));
  node->type = static_cast<uint16_t>(r.u16(offset + 4));
  if (length < 6 || length > limit - offset) return *error = "node length out of range", false;
  size_t end = offset + length;
  size_t key = offset + 6;
  size_t p = key;
  while (p + 1 < end && (data[p] != 0 || data[p + 1] != 0)) p += 2;
  if (p + 1 >= end) return *error = "key not terminated", false;
  node->key = narrow_utf16(data, key, (p - key) / 2);
  p = (p + 2 + 3) & ~static_cast<size_t>(3);
  size_t value_bytes = node->type == 1 ? node->value_length * 2u : node->value_length;
  if (value_bytes > 0) {
    if (p > end || value_bytes > end - p)
      return *error = "value runs past node: " + node->key, false;
    node->value = data.substr(p, value_bytes);
    p += value_bytes;
  }
  p = (p + 3) & ~static_cast<size_t>(3);
  while (p < end) {
    VersionNode child;
    if (!parse_node(data, p, end, &child, error)) return false;
    size_t child_length = r.u16(p);
    node->children.push_back(child);
    p = (p + child_length + 3) & ~static_cast<size_t>(3);
  }
  return true;
}

}  // namespace

bool version_parse(const std::string& data, VersionNode* root, std::string* error) {
  *root = VersionNode();
  if (data.size() < 6) return *error = "version resource too short", false;
  Reader r{data};
  if (r.u16(0) != data.size() && ((r.u16(0) + 3) & ~3u) != data.size()) {
    return *error = "wLength does not match the resource size", false;
  }
  return parse_node(data, 0, r.u16(0), root, error);
}

std::string version_text(const VersionNode& node, bool* terminated) {
  std::string text = narrow_utf16(node.value, 0, node.value.size() / 2);
  bool nul = !text.empty() && text.back() == '\0';
  if (nul) text.pop_back();
  if (terminated) *terminated = nul;
  return text;
}

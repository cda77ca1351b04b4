// Reads the resources back out of the cross-built .exe files and checks every
// field of the version blocks and of the launcher's icon group.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "pe_resources.h"
#include "support/run.h"
#include "windows_env.h"

namespace {

constexpr uint32_t kIcon = 3, kIconGroup = 14, kVersion = 16;
constexpr uint32_t kEnglishUs = 1033;

struct VersionExpectation {
  const char* program;
  uint16_t version[4];
  std::map<std::string, std::string> strings;  // LegalCopyright checked apart
};

const VersionExpectation kVersions[] = {
    {"facetshot",
     {3, 10, 2, 0},
     {{"CompanyName", "Korvane"},
      {"FileDescription", "STL Thumbnail Renderer"},
      {"FileVersion", "3.10.2.0"},
      {"InternalName", "facetshot"},
      {"OriginalFilename", "facetshot.exe"},
      {"ProductName", "Orrery"},
      {"ProductVersion", "3.10.2.0"}}},
    {"packshot",
     {3, 10, 2, 0},
     {{"CompanyName", "Korvane"},
      {"FileDescription", "3MF Thumbnail Renderer"},
      {"FileVersion", "3.10.2.0"},
      {"InternalName", "packshot"},
      {"OriginalFilename", "packshot.exe"},
      {"ProductName", "Orrery"},
      {"ProductVersion", "3.10.2.0"}}},
    {"orrery",
     {3, 7, 0, 0},
     {{"CompanyName", "Korvane"},
      {"FileDescription", "Orrery Launcher"},
      {"FileVersion", "3.7.0.0"},
      {"InternalName", "orrery"},
      {"OriginalFilename", "orrery.exe"},
      {"ProductName", "Orrery"},
      {"ProductVersion", "3.7.0.0"}}},
};

uint32_t le32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; i--) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

uint16_t le16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(s[at]) |
                               (static_cast<uint8_t>(s[at + 1]) << 8));
}

uint32_t be32(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 0; i < 4; i++) v = (v << 8) | static_cast<uint8_t>(s[at + i]);
  return v;
}

// Loads and parses a cross-built program; skips when it is not in the tree.
bool load(const char* program, PeFile* pe) {
  std::string path = mingw_exe(program);
  if (path.empty()) return false;
  std::string error;
  EXPECT_TRUE(pe_read(read_file(path), pe, &error)) << path << ": " << error;
  return error.empty();
}

const VersionNode* child(const VersionNode& node, const std::string& key) {
  for (const VersionNode& c : node.children) {
    if (c.key == key) return &c;
  }
  return nullptr;
}

void check_version(const VersionExpectation& want, const PeFile& pe) {
  SCOPED_TRACE(want.program);
  const PeResource* found = nullptr;
  int versions = 0;
  for (const PeResource& res : pe.resources) {
    if (res.type != kVersion) continue;
    versions++;
    found = &res;
  }
  ASSERT_EQ(versions, 1);
  EXPECT_EQ(found->id, 1u);
  EXPECT_EQ(found->language, kEnglishUs);

  VersionNode root;
  std::string error;
  ASSERT_TRUE(version_parse(found->data, &root, &error)) << error;
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  EXPECT_EQ(root.type, 0);
  ASSERT_EQ(root.value_length, 52);
  ASSERT_EQ(root.value.size(), 52u);
  const std::string& fixed = root.value;
  EXPECT_EQ(le32(fixed, 0), 0xFEEF04BDu) << "signature";
  EXPECT_EQ(le32(fixed, 4), 0x00010000u) << "structure version";
  const uint32_t ms = (static_cast<uint32_t>(want.version[0]) << 16) | want.version[1];
  const uint32_t ls = (static_cast<uint32_t>(want.version[2]) << 16) | want.version[3];
  EXPECT_EQ(le32(fixed, 8), ms) << "file version MS";
  EXPECT_EQ(le32(fixed, 12), ls) << "file version LS";
  EXPECT_EQ(le32(fixed, 16), ms) << "product version MS";
  EXPECT_EQ(le32(fixed, 20), ls) << "product version LS";
  EXPECT_EQ(le32(fixed, 24), 0x3Fu) << "flags mask";
  EXPECT_EQ(le32(fixed, 28), 0u) << "flags";
  EXPECT_EQ(le32(fixed, 32), 0x40004u) << "VOS_NT_WINDOWS32";
  EXPECT_EQ(le32(fixed, 36), 1u) << "VFT_APP";
  EXPECT_EQ(le32(fixed, 40), 0u) << "subtype";

  ASSERT_EQ(root.children.size(), 2u);
  const VersionNode* strings = child(root, "StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u);
  const VersionNode& table = strings->children[0];
  EXPECT_EQ(table.key, "040904B0");
  std::map<std::string, std::string> got;
  for (const VersionNode& entry : table.children) {
    bool terminated = false;
    EXPECT_EQ(entry.type, 1) << entry.key;
    std::string text = version_text(entry, &terminated);
    EXPECT_TRUE(terminated) << entry.key << " is stored without its terminator";
    EXPECT_EQ(text.find('\0'), std::string::npos) << entry.key;
    EXPECT_TRUE(got.emplace(entry.key, text).second) << "duplicate " << entry.key;
  }
  ASSERT_EQ(got.count("LegalCopyright"), 1u);
  EXPECT_FALSE(got["LegalCopyright"].empty());
  got.erase("LegalCopyright");
  EXPECT_EQ(got, want.strings);

  const VersionNode* vars = child(root, "VarFileInfo");
  ASSERT_NE(vars, nullptr);
  ASSERT_EQ(vars->children.size(), 1u);
  const VersionNode& translation = vars->children[0];
  EXPECT_EQ(translation.key, "Translation");
  EXPECT_EQ(translation.type, 0);
  ASSERT_EQ(translation.value.size(), 4u);
  EXPECT_EQ(le16(translation.value, 0), 0x0409);
  EXPECT_EQ(le16(translation.value, 2), 0x04B0);
}

TEST(ResourcesTest, VersionBlocksHoldEveryFieldOfTheirProgram) {
  for (const VersionExpectation& want : kVersions) {
    PeFile pe;
    if (!load(want.program, &pe)) continue;
    check_version(want, pe);
  }
}

TEST(ResourcesTest, RenderersCarryNoOtherResources) {
  // facetshot and packshot: the version block alone; vertexshot: nothing.
  const std::pair<const char*, size_t> programs[] = {
      {"facetshot", 1}, {"packshot", 1}, {"vertexshot", 0}};
  for (const auto& program : programs) {
    PeFile pe;
    if (!load(program.first, &pe)) continue;
    SCOPED_TRACE(program.first);
    EXPECT_EQ(pe.resources.size(), program.second);
    EXPECT_FALSE(pe.has_named_resource);
    EXPECT_EQ(pe.subsystem, 3) << "console subsystem";
  }
}

TEST(ResourcesTest, LauncherIsAGuiProgramWithIconAndVersionOnly) {
  PeFile pe;
  if (!load("orrery", &pe)) GTEST_SKIP() << "orrery.exe not built";
  EXPECT_EQ(pe.subsystem, 2) << "GUI subsystem: no console window";
  EXPECT_FALSE(pe.has_named_resource);
  std::map<uint32_t, int> per_type;
  for (const PeResource& res : pe.resources) per_type[res.type]++;
  EXPECT_EQ(per_type, (std::map<uint32_t, int>{{kIcon, 7}, {kIconGroup, 1}, {kVersion, 1}}));
}

TEST(ResourcesTest, IconGroupListsSevenPngImagesFrom16To256) {
  PeFile pe;
  if (!load("orrery", &pe)) GTEST_SKIP() << "orrery.exe not built";
  const PeResource* group = nullptr;
  std::map<uint32_t, const PeResource*> icons;
  for (const PeResource& res : pe.resources) {
    if (res.type == kIconGroup) group = &res;
    if (res.type == kIcon) {
      EXPECT_EQ(res.language, kEnglishUs) << "icon " << res.id;
      icons[res.id] = &res;
    }
  }
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->id, 1u);
  EXPECT_EQ(group->language, kEnglishUs);
  const std::string& dir = group->data;
  ASSERT_EQ(dir.size(), 6u + 7u * 14u) << "GRPICONDIR with seven entries";
  EXPECT_EQ(le16(dir, 0), 0) << "reserved";
  EXPECT_EQ(le16(dir, 2), 1) << "type icon";
  ASSERT_EQ(le16(dir, 4), 7);

  // The committed icon file holds the same images in the same order.
  const std::string ico = read_file(source_path("launcher/art/orrery.ico"));
  ASSERT_GE(ico.size(), 6u + 7u * 16u);
  const int sizes[] = {16, 24, 32, 48, 64, 128, 256};
  TempDir tmp;
  for (int k = 0; k < 7; k++) {
    SCOPED_TRACE("icon " + std::to_string(k + 1));
    const size_t e = 6 + k * 14;
    const int size = sizes[k];
    EXPECT_EQ(static_cast<uint8_t>(dir[e]), size == 256 ? 0 : size) << "width";
    EXPECT_EQ(static_cast<uint8_t>(dir[e + 1]), size == 256 ? 0 : size) << "height";
    EXPECT_EQ(static_cast<uint8_t>(dir[e + 2]), 0) << "palette";
    EXPECT_EQ(static_cast<uint8_t>(dir[e + 3]), 0) << "reserved";
    EXPECT_EQ(le16(dir, e + 4), 1) << "planes";
    EXPECT_EQ(le16(dir, e + 6), 32) << "bits per pixel";
    const uint16_t id = le16(dir, e + 12);
    EXPECT_EQ(id, k + 1);
    ASSERT_EQ(icons.count(id), 1u);
    const std::string& png = icons[id]->data;
    EXPECT_EQ(le32(dir, e + 8), png.size()) << "bytes in resource";

    // PNG signature, then IHDR: size x size, 8 bits, colour type 6 (RGBA).
    ASSERT_GE(png.size(), 33u);
    EXPECT_EQ(png.compare(0, 8, "\x89PNG\r\n\x1a\n"), 0);
    EXPECT_EQ(png.compare(12, 4, "IHDR"), 0);
    EXPECT_EQ(be32(png, 16), static_cast<uint32_t>(size));
    EXPECT_EQ(be32(png, 20), static_cast<uint32_t>(size));
    EXPECT_EQ(static_cast<uint8_t>(png[24]), 8) << "bit depth";
    EXPECT_EQ(static_cast<uint8_t>(png[25]), 6) << "colour type RGBA";
    write_file(tmp.file("icon.png"), png);
    Image image = decode_png(tmp.file("icon.png"));
    ASSERT_EQ(image.width, size);
    // Drawn in the middle, transparent in the corners.
    const int mid = size / 2;
    EXPECT_EQ(image.at(mid, mid)[3], 255);
    EXPECT_EQ(image.at(0, 0)[3], 0);
    EXPECT_EQ(image.at(size - 1, size - 1)[3], 0);

    const size_t ie = 6 + k * 16;
    EXPECT_EQ(png, ico.substr(le32(ico, ie + 12), le32(ico, ie + 8))) << "differs from orrery.ico";
  }
}

}  // namespace

// ZIP entry reader on archives built byte by byte in the test.
#include "zip.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "input3mf.h"
#include "support/run.h"

namespace {

struct Entry {
  std::string name;
  std::string data;
  uint16_t method = 0;           // 0 stored, 8 deflate, anything else as written
  bool data_descriptor = false;  // local sizes zero, sizes after the data
  int64_t recorded_size = -1;    // central uncompressed size override
  int64_t recorded_compressed = -1;
};

void put16(std::string& s, uint32_t v) {
  s += static_cast<char>(v & 0xFF);
  s += static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& s, uint32_t v) {
  put16(s, v & 0xFFFF);
  put16(s, v >> 16);
}

void poke64(std::string& s, size_t at, uint64_t v) {
  for (int i = 0; i < 8; i++) s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

// Local headers and data, the central directory, the end record with its
// comment, then any junk.
std::string build_zip(const std::vector<Entry>& entries, const std::string& comment = "",
                      const std::string& junk = "", int64_t total_override = -1) {
  std::string body, dir;
  for (const Entry& e : entries) {
    const std::string payload = e.method == 8 ? raw_deflate(e.data, 9) : e.data;
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    const uint32_t offset = static_cast<uint32_t>(body.size());
    const uint32_t size =
        static_cast<uint32_t>(e.recorded_size >= 0 ? e.recorded_size : e.data.size());
    const uint32_t csize =
        static_cast<uint32_t>(e.recorded_compressed >= 0 ? e.recorded_compressed : payload.size());
    const uint16_t flags = e.data_descriptor ? 8 : 0;

    body += std::string("PK\x03\x04", 4);
    put16(body, 20);
    put16(body, flags);
    put16(body, e.method);
    put32(body, 0);  // time and date
    put32(body, e.data_descriptor ? 0 : crc);
    put32(body, e.data_descriptor ? 0 : csize);
    put32(body, e.data_descriptor ? 0 : size);
    put16(body, static_cast<uint32_t>(e.name.size()));
    put16(body, 4);  // an extra field the reader must skip
    body += e.name;
    body += std::string("\xFE\xCA\x00\x00", 4);
    body += payload;
    if (e.data_descriptor) {
      body += std::string("PK\x07\x08", 4);
      put32(body, crc);
      put32(body, csize);
      put32(body, size);
    }

    dir += std::string("PK\x01\x02", 4);
    put16(dir, 20);
    put16(dir, 20);
    put16(dir, flags);
    put16(dir, e.method);
    put32(dir, 0);
    put32(dir, crc);
    put32(dir, csize);
    put32(dir, size);
    put16(dir, static_cast<uint32_t>(e.name.size()));
    put16(dir, 0);
    put16(dir, 3);  // a file comment the walk must step over
    put16(dir, 0);
    put16(dir, 0);
    put32(dir, 0);
    put32(dir, offset);
    dir += e.name;
    dir += "abc";
  }
  std::string zip = body + dir;
  zip += std::string("PK\x05\x06", 4);
  put16(zip, 0);
  put16(zip, 0);
  const uint32_t total =
      static_cast<uint32_t>(total_override >= 0 ? total_override : entries.size());
  put16(zip, total);
  put16(zip, total);
  put32(zip, static_cast<uint32_t>(dir.size()));
  put32(zip, static_cast<uint32_t>(body.size()));
  put16(zip, static_cast<uint32_t>(comment.size()));
  zip += comment;
  zip += junk;
  return zip;
}

struct Extracted {
  int ok = 0;
  std::string data;
  bool terminated = false;
};

// Extracts from an exact-size heap copy, so that a sanitizer build catches
// any read outside the archive.
Extracted extract(const std::string& zip, const char* name = "3D/3dmodel.model") {
  std::vector<uint8_t> copy(zip.begin(), zip.end());
  uint8_t* out = reinterpret_cast<uint8_t*>(1);
  uint64_t len = 99;
  Extracted r;
  r.ok = zip_extract_entry(copy.empty() ? nullptr : copy.data(), copy.size(), name, &out, &len);
  if (r.ok) {
    r.data.assign(reinterpret_cast<char*>(out), len);
    r.terminated = out[len] == 0;
    free(out);
  } else {
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(len, 0u);
  }
  return r;
}

const std::string kModel =
    "<?xml version=\"1.0\"?><model><resources><object id=\"1\">...</object></resources></model>";

std::string repeated(const std::string& unit, size_t times) {
  std::string s;
  for (size_t i = 0; i < times; i++) s += unit;
  return s;
}

}  // namespace

TEST(LooksLikeZip, SignatureBytesAreTestedIndependently) {
  struct Case {
    std::string bytes;
    int expected;
  } cases[] = {
      {std::string("PK\x03\x04", 4), 1},
      {std::string("PK\x05\x06", 4), 1},
      {std::string("PK\x07\x08", 4), 1},
      {std::string("PK\x03\x06", 4), 1},
      {std::string("PK\x07\x04rest", 8), 1},
      {std::string("PK\x03", 3), 0},
      {std::string("PK\x04\x03", 4), 0},
      {std::string("pk\x03\x04", 4), 0},
      {"<?xml", 0},
      {"", 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(looks_like_zip(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size()),
              c.expected)
        << "bytes of length " << c.bytes.size();
  }
}

TEST(ZipExtract, StoredAndDeflatedEntriesComeBackTerminated) {
  const std::string big = repeated("<vertex x=\"1.5\" y=\"2\" z=\"3\"/>\n", 5000);
  for (uint16_t method : {0, 8}) {
    std::vector<Entry> entries = {{"[Content_Types].xml", "<Types/>", method},
                                  {"3D/3dmodel.model", big, method},
                                  {"3D/3dmodel.model.rels", "x", method}};
    Extracted r = extract(build_zip(entries));
    ASSERT_EQ(r.ok, 1) << "method " << method;
    EXPECT_EQ(r.data, big);
    EXPECT_TRUE(r.terminated);
  }
}

TEST(ZipExtract, DataDescriptorEntryUsesCentralSizes) {
  Entry e{"3D/3dmodel.model", kModel, 8};
  e.data_descriptor = true;
  Extracted r = extract(build_zip({e}));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.data, kModel);
}

TEST(ZipExtract, NamesCompareExactly) {
  const std::string zip = build_zip({{"/3D/3dmodel.model", kModel, 8}});
  EXPECT_EQ(extract(zip, "3D/3dmodel.model").ok, 0);
  EXPECT_EQ(extract(zip, "/3D/3dmodel.model").ok, 1);
  for (const char* other : {"3D/3DModel.model", "3D\\3dmodel.model", "/3D/3dmodel.mode"}) {
    EXPECT_EQ(extract(build_zip({{other, kModel, 0}})).ok, 0) << other;
  }
}

TEST(ZipExtract, EndRecordSearchReachesAFullComment) {
  const std::string comment(65535, 'c');
  EXPECT_EQ(extract(build_zip({{"3D/3dmodel.model", kModel, 8}}, comment)).ok, 1);
  // Two more bytes put the record beyond the searched tail.
  EXPECT_EQ(extract(build_zip({{"3D/3dmodel.model", kModel, 8}}, comment, "jj")).ok, 0);
}

TEST(ZipExtract, JunkSignatureAfterTheEndRecordIsTakenAndFails) {
  const std::string junk = std::string("garbage PK\x05\x06", 12) + std::string(30, '\xFF');
  EXPECT_EQ(extract(build_zip({{"3D/3dmodel.model", kModel, 8}}, "", junk)).ok, 0);
  // Junk without the signature is harmless.
  EXPECT_EQ(extract(build_zip({{"3D/3dmodel.model", kModel, 8}}, "", "trailing junk")).ok, 1);
}

TEST(ZipExtract, UnsupportedMethodsFail) {
  for (uint16_t method : {1, 9, 12, 14, 99}) {
    EXPECT_EQ(extract(build_zip({{"3D/3dmodel.model", kModel, method}})).ok, 0) << method;
  }
}

TEST(ZipExtract, BrokenDirectoryRecordsFail) {
  const std::vector<Entry> one = {{"a.txt", "aaa", 0}, {"3D/3dmodel.model", kModel, 8}};
  const std::string good = build_zip(one);
  ASSERT_EQ(extract(good).ok, 1);

  // The end record counts more entries than the directory holds: the entry
  // is still found, and a missing one makes the walk meet the end record's
  // signature where a header should be.
  EXPECT_EQ(extract(build_zip(one, "", "", 3)).ok, 1);
  EXPECT_EQ(extract(build_zip(one, "", "", 3), "absent").ok, 0);
  // A count of zero, or a count that stops the walk before the entry.
  EXPECT_EQ(extract(build_zip(one, "", "", 0)).ok, 0);
  EXPECT_EQ(extract(build_zip(one, "", "", 1)).ok, 0);

  // Directory size or offset pointing beyond the input.
  const size_t eocd = good.size() - 22;
  std::string z = good;
  z[eocd + 12] = '\xFF';
  z[eocd + 13] = '\xFF';
  EXPECT_EQ(extract(z).ok, 0);
  z = good;
  z[eocd + 19] = '\x7F';
  EXPECT_EQ(extract(z).ok, 0);

  // A local header offset beyond the input, and a wrong local signature.
  const size_t dir = good.size() - 22 - (46 + 5 + 3) - (46 + 16 + 3);
  const size_t second = dir + 46 + 5 + 3;
  ASSERT_EQ(good.compare(second, 4, std::string("PK\x01\x02", 4)), 0);
  z = good;
  z[second + 45] = '\x70';
  EXPECT_EQ(extract(z).ok, 0);
  std::string local_broken = build_zip({{"3D/3dmodel.model", kModel, 8}});
  local_broken[2] = '\x09';
  EXPECT_EQ(extract(local_broken).ok, 0);
}

TEST(ZipExtract, EveryTruncationFailsCleanly) {
  const std::string good =
      build_zip({{"a.txt", "aaa", 0}, {"3D/3dmodel.model", repeated(kModel, 20), 8}}, "note");
  for (size_t len = 0; len < good.size(); len++) {
    Extracted r = extract(good.substr(0, len));
    // Only cuts inside the trailing comment keep the end record intact.
    if (len < good.size() - 4) {
      EXPECT_EQ(r.ok, 0) << "length " << len;
    }
  }
}

TEST(ZipExtract, StoredSizesMustAgree) {
  // A stored entry whose uncompressed size exceeds its compressed size would
  // be copied from beyond the entry (here: beyond the input).
  Entry longer{"3D/3dmodel.model", kModel, 0};
  longer.recorded_size = 1 << 20;
  EXPECT_EQ(extract(build_zip({longer})).ok, 0);
  Entry shorter{"3D/3dmodel.model", kModel, 0};
  shorter.recorded_size = 5;
  EXPECT_EQ(extract(build_zip({shorter})).ok, 0);
}

TEST(ZipExtract, ImpossibleDeflateRatioIsRefusedBeforeAllocating) {
  // A 1 KiB package claiming a 4 GiB entry.
  Entry bomb{"3D/3dmodel.model", kModel, 8};
  bomb.recorded_size = 0xFFFFFFF0u;
  const std::string zip = build_zip({bomb});
  ASSERT_LT(zip.size(), 1024u);
  EXPECT_EQ(extract(zip).ok, 0);

  // Just above the bound fails; at the bound the size is accepted, and an
  // entry that inflates to less keeps its recorded size with a zero tail.
  const uint64_t csize = raw_deflate(kModel, 9).size();
  const uint64_t bound = csize * 1032 + 65536;
  Entry over{"3D/3dmodel.model", kModel, 8};
  over.recorded_size = static_cast<int64_t>(bound + 1);
  EXPECT_EQ(extract(build_zip({over})).ok, 0);
  Entry at{"3D/3dmodel.model", kModel, 8};
  at.recorded_size = static_cast<int64_t>(bound);
  Extracted r = extract(build_zip({at}));
  ASSERT_EQ(r.ok, 1);
  ASSERT_EQ(r.data.size(), bound);
  EXPECT_EQ(r.data.substr(0, kModel.size()), kModel);
  EXPECT_EQ(r.data.find_first_not_of('\0', kModel.size()), std::string::npos);
}

TEST(ZipExtract, RecordedSizeBelowTheRealSizeFails) {
  Entry e{"3D/3dmodel.model", kModel, 8};
  e.recorded_size = static_cast<int64_t>(kModel.size() - 1);
  EXPECT_EQ(extract(build_zip({e})).ok, 0);
}

TEST(ZipExtract, CorruptDeflateDataFails) {
  Entry e{"3D/3dmodel.model", kModel, 8};
  std::string zip = build_zip({e});
  const size_t data = 30 + e.name.size() + 4;
  for (size_t i = 0; i < 6; i++) zip[data + i] = '\xFF';
  EXPECT_EQ(extract(zip).ok, 0);
}

TEST(ZipExtract, StoredEmptyEntryIsOneZeroByte) {
  Extracted r = extract(build_zip({{"3D/3dmodel.model", "", 0}}));
  ASSERT_EQ(r.ok, 1);
  EXPECT_EQ(r.data, "");
  EXPECT_TRUE(r.terminated);
}

TEST(ZipExtract, EmptyAndTinyInputsFail) {
  EXPECT_EQ(extract("").ok, 0);
  EXPECT_EQ(extract("PK").ok, 0);
  EXPECT_EQ(extract(std::string("PK\x05\x06", 4)).ok, 0);
}

TEST(ZipExtract, Zip64RecordsAndFields) {
  // One entry, "3D/3dmodel.model" (16 bytes): with Zip64::kFull the package
  // ends with the central header (46 + 16 + 28), the ZIP64 end record (56),
  // its locator (20) and the end record (22).
  const std::string deflated = raw_deflate(kModel, 9);
  const std::vector<ZipItem> items = {
      {"3D/3dmodel.model", deflated, 8, static_cast<int64_t>(kModel.size())}};
  const std::string full = zip_archive(items, Zip64::kFull);
  const size_t eocd = full.size() - 22, record = eocd - 20 - 56, extra = record - 28;
  struct Case {
    const char* what;
    std::string zip;
    int ok;
  } cases[] = {
      {"central ZIP64 fields only", zip_archive(items, Zip64::kFields), 1},
      {"ZIP64 end record and fields", full, 1},
      {"stored", zip_archive({{"3D/3dmodel.model", kModel}}, Zip64::kFull), 1},
      {"only the offset is a marker", full, 1},
      {"locator names a record beyond itself", full, 0},
      {"record without its signature", full, 0},
      {"directory offset wraps past 2^64", full, 0},
      {"extra field cut before the offset", full, 0},
      {"local offset beyond the input", full, 0},
      {"a 2^62-byte entry in a small package", full, 0},
      {"stored sizes that differ", zip_archive({{"3D/3dmodel.model", kModel, 0, 7}}, Zip64::kFull),
       0},
  };
  // lib3mf writes true counts and size beside the offset marker.
  std::string& lib3mf = cases[3].zip;
  lib3mf[eocd + 8] = 1, lib3mf[eocd + 9] = 0, lib3mf[eocd + 10] = 1, lib3mf[eocd + 11] = 0;
  lib3mf[eocd + 12] = 90, lib3mf[eocd + 13] = lib3mf[eocd + 14] = lib3mf[eocd + 15] = 0;
  poke64(cases[4].zip, eocd - 20 + 8, record + 1);
  cases[5].zip[record + 3] = 7;
  poke64(cases[6].zip, record + 40, ~uint64_t{0} - 10);
  cases[7].zip[extra + 2] = 16;
  poke64(cases[8].zip, extra + 20, full.size());
  poke64(cases[9].zip, extra + 4, uint64_t{1} << 62);
  for (const Case& c : cases) {
    Extracted r = extract(c.zip);
    EXPECT_EQ(r.ok, c.ok) << c.what;
    if (c.ok) {
      EXPECT_EQ(r.data, kModel) << c.what;
      EXPECT_TRUE(r.terminated) << c.what;
    }
  }
  // Without markers the ZIP64 record is never consulted, even where it says
  // something else.
  std::string plain = zip_archive(items);
  std::string records = full.substr(record, 56 + 20);
  poke64(records, 48, 12345);
  poke64(records, 56 + 8, plain.size() - 22);
  plain.insert(plain.size() - 22, records);
  EXPECT_EQ(extract(plain).ok, 1);
}

TEST(ZipExtract, PartNamesFollowThePackageRules) {
  struct Case {
    const char* stored;
    const char* asked;
    int ok;
  } cases[] = {
      {"3D/3dmodel.model", "3D/3dmodel.model", 1},
      {"3D/3DModel.model", "/3d/3dmodel.MODEL", 1},
      {"/3D/x.model", "3D/x.model", 1},
      {"3D/x.model", "//3D/x.model", 0},
      {"3D/x.model", "3D/x.model ", 0},
      {"3D/x.modelx", "3D/x.model", 0},
      {"3D/\xC3\x89.model", "3D/\xC3\xA9.model", 0},  // only ASCII letters fold
      {"", "/", 1},
  };
  for (const Case& c : cases) {
    const std::string zip = build_zip({{"a.txt", "a", 0}, {c.stored, kModel, 8}});
    std::vector<uint8_t> copy(zip.begin(), zip.end());
    uint8_t* out = nullptr;
    uint64_t len = 0;
    EXPECT_EQ(zip_extract_part(copy.data(), copy.size(), c.asked, &out, &len), c.ok)
        << c.stored << " / " << c.asked;
    if (out) {
      EXPECT_EQ(std::string(reinterpret_cast<char*>(out), len), kModel);
    }
    free(out);
    EXPECT_EQ(part_names_equal(c.stored, strlen(c.stored), c.asked, strlen(c.asked)), c.ok);
  }
}

TEST(PackageRelationshipTarget, FirstRelationshipOfTheType) {
  const std::string model = kRelationship3dModel;
  const std::string thumb = kRelationshipThumbnail;
  auto rel = [](const std::string& type, const std::string& target, char q = '"') {
    return std::string("<Relationship Type=") + q + type + q + " Target=" + q + target + q +
           " Id='r'/>";
  };
  std::string upper = model;
  for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* what;
    std::string rels;
    const char* part;  // the name of the relationships part
    const char* type;
    const char* target;  // null: none
  } cases[] = {
      {"the model", rel(thumb, "/t.png") + rel(model, "/3D/m.model"), "_rels/.rels",
       kRelationship3dModel, "/3D/m.model"},
      {"the thumbnail", rel(thumb, "/t.png") + rel(model, "/3D/m.model"), "_rels/.rels",
       kRelationshipThumbnail, "/t.png"},
      {"the first of two", rel(model, "a") + rel(model, "b"), "/_RELS/.rels", kRelationship3dModel,
       "a"},
      {"type in upper case, apostrophes", rel(upper, "x y", '\''), "_rels/.rels",
       kRelationship3dModel, "x y"},
      {"a longer type", rel(model + "x", "a"), "_rels/.rels", kRelationship3dModel, nullptr},
      {"no target", "<Relationship Type=\"" + model + "\"/>", "_rels/.rels", kRelationship3dModel,
       nullptr},
      {"Relationships is not a Relationship", "<Relationships Type=\"" + model + "\" Target=\"a\">",
       "_rels/.rels", kRelationship3dModel, nullptr},
      {"another part", rel(model, "a"), "3D/_rels/3dmodel.model.rels", kRelationship3dModel,
       nullptr},
  };
  for (const Case& c : cases) {
    const std::string zip =
        zip_archive({{"[Content_Types].xml", "<Types/>"}, {c.part, "<Relationships>\n" + c.rels}});
    std::vector<uint8_t> copy(zip.begin(), zip.end());
    char* target = package_relationship_target(copy.data(), copy.size(), c.type);
    if (c.target) {
      ASSERT_NE(target, nullptr) << c.what;
      EXPECT_STREQ(target, c.target) << c.what;
    } else {
      EXPECT_EQ(target, nullptr) << c.what;
    }
    free(target);
  }
  const std::string xml = "<Relationships>" + rel(model, "a");
  EXPECT_EQ(package_relationship_target(reinterpret_cast<const uint8_t*>(xml.data()), xml.size(),
                                        kRelationship3dModel),
            nullptr);
}

TEST(ZipEntryReader, PiecesOfAnySizeGiveTheEntryOrItsRefusal) {
  // Whatever the piece size, the bytes and the refusals are those of
  // zip_extract_at (which reads the entry in one piece).
  const std::string text = repeated("<vertex x=\"1.5\" y=\"2\" z=\"3\"/>\n", 400);
  Entry stored{"3D/3dmodel.model", text, 0};
  Entry deflated{"3D/3dmodel.model", text, 8};
  Entry tail = deflated;  // inflates to less: a zero tail
  tail.recorded_size = static_cast<int64_t>(text.size() + 5000);
  Entry longer = deflated;  // inflates to more than recorded
  longer.recorded_size = static_cast<int64_t>(text.size() - 1);
  Entry cut = deflated;  // the compressed data ends early
  cut.recorded_compressed = static_cast<int64_t>(raw_deflate(text, 9).size() / 2);
  Entry empty{"3D/3dmodel.model", "", 8};
  std::string corrupt = build_zip({deflated});
  for (size_t i = 0; i < 6; i++) corrupt[30 + 16 + 4 + i] = '\xFF';
  const struct {
    std::string zip;
    int ok;
  } cases[] = {{build_zip({stored}), 1},
               {build_zip({deflated}), 1},
               {build_zip({tail}), 1},
               {build_zip({longer}), 0},
               {build_zip({cut}), 0},
               {build_zip({empty}), 1},
               {corrupt, 0}};
  for (const auto& c : cases) {
    const std::string& zip = c.zip;
    const std::vector<uint8_t> copy(zip.begin(), zip.end());
    const uint64_t header = zip_find_entry(copy.data(), copy.size(), "3D/3dmodel.model");
    ASSERT_NE(header, UINT64_MAX);
    const Extracted whole = extract(zip);
    EXPECT_EQ(whole.ok, c.ok);
    for (uint64_t piece : {1, 3, 4096}) {
      ZipEntryReader r;
      ASSERT_EQ(zip_reader_open(&r, copy.data(), copy.size(), header), 1);
      std::string got;
      std::vector<uint8_t> buf(piece);
      int64_t n;
      while ((n = zip_reader_read(&r, buf.data(), piece)) > 0) {
        got.append(reinterpret_cast<char*>(buf.data()), static_cast<size_t>(n));
      }
      zip_reader_close(&r);
      EXPECT_EQ(n == 0, whole.ok == 1) << piece;
      if (n == 0) {
        EXPECT_EQ(got, whole.data) << piece;
      }
    }
  }
}

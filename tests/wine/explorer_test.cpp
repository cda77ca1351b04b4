// orrery-thumbs.dll under Wine: per-user registration with regsvr32 and what
// unregistering leaves; the handler driven by thumbs-host as Explorer drives
// it, against the Linux orrery-thumbnailer on the same bytes; its version block.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>
#include <sstream>

#include "pe_resources.h"
#include "windows_env.h"

namespace {

const std::string kClsid = "{161AAF23-4152-4235-9086-90E58FF25BD6}";
const std::string kClasses = "HKCU\\Software\\Classes\\";
const std::string kClassKey = kClasses + "CLSID\\" + kClsid;
const std::string kSlot = "\\ShellEx\\{E357FCCD-A995-4576-B01F-234630154E96}";
const std::string kForeign = "{0BADF00D-0000-4000-8000-000000000001}";
constexpr uint64_t kLimit = 268435456;  // the handler's stream limit, 256 MiB

// A file of the cross build's explorer folder; empty when explorer/ is not in
// the tree (the tests skip), a failure when it is but the file is missing.
std::string explorer_file(const std::string& name) {
  if (!file_exists(source_path("explorer/CMakeLists.txt"))) return "";
  const std::string path = env_or("ORRERY_MINGW_BUILD", "") + "/explorer/" + name;
  if (!file_exists(path)) ADD_FAILURE() << name << " is in the tree but not built: " << path;
  return file_exists(path) ? path : "";
}

std::string corpus(const std::string& relative) {
  return env_or("ORRERY_CORPUS_DIR", source_path("tests/data/corpus")) + "/" + relative;
}

// The DLL as installed: in an app folder whose path holds a blank.
std::string install_dll(const TempDir& dir) {
  mkdir((dir.path + "/Orrery Suite").c_str(), 0755);
  mkdir((dir.path + "/Orrery Suite/app").c_str(), 0755);
  const std::string path = dir.path + "/Orrery Suite/app/orrery-thumbs.dll";
  write_file(path, read_file(explorer_file("orrery-thumbs.dll")));
  return path;
}

RunResult regsvr32(const std::string& dll, bool unregister) {
  std::vector<std::string> args = {"/s", windows_path(dll)};
  if (unregister) args.insert(args.begin(), "/u");
  return run_wine("regsvr32", args);
}

// A value as `reg query` shows it; type is empty when the key or the value
// does not exist.
struct RegEntry {
  std::string type, data;
};

RegEntry reg_entry(const std::string& key, const std::string& name) {
  std::vector<std::string> args = {"query", key};
  if (name.empty()) {
    args.push_back("/ve");
  } else {
    args.insert(args.end(), {"/v", name});
  }
  RunResult r = run_wine("reg", args);
  if (r.exit_code != 0) return {};
  for (std::string line : split_lines(r.out)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t type = line.find("    REG_");
    if (type == std::string::npos) continue;
    const size_t data = line.find("    ", type + 4);
    if (data == std::string::npos) return {line.substr(type + 4), ""};
    return {line.substr(type + 4, data - type - 4), line.substr(data + 4)};
  }
  return {};
}

// A REG_SZ value ("" names the default value), or "(absent)".
std::string reg_value(const std::string& key, const std::string& name) {
  const RegEntry entry = reg_entry(key, name);
  return entry.type == "REG_SZ" ? entry.data : "(absent)";
}

bool reg_key_exists(const std::string& key) {
  return run_wine("reg", {"query", key}).exit_code == 0;
}

void reg_set(const std::string& key, const std::string& data) {
  ASSERT_EQ(run_wine("reg", {"add", key, "/ve", "/d", data, "/f"}).exit_code, 0) << key;
}

void reg_delete(const std::string& key) {
  run_wine("reg", {"delete", key, "/f"});
}

TEST(ExplorerHandlerTest, RegistersPerUserAndUnregistersOnlyWhatItWrote) {
  if (explorer_file("orrery-thumbs.dll").empty()) GTEST_SKIP() << "explorer/ not in the tree";
  TempDir dir;
  const std::string dll = install_dll(dir);
  for (const char* ext : {".stl", ".3mf", ".obj"}) reg_delete(kClasses + ext);
  // Another program's handler for .obj, registered before ours.
  reg_set(kClasses + ".obj" + kSlot, kForeign);

  RunResult r = regsvr32(dll, false);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  const struct {
    std::string key, name, data;
  } rows[] = {
      {kClassKey, "", "Orrery Thumbnail Handler"},
      {kClassKey + "\\InprocServer32", "", windows_path(dll)},
      {kClassKey + "\\InprocServer32", "ThreadingModel", "Apartment"},
      {kClasses + ".stl" + kSlot, "", kClsid},
      {kClasses + ".3mf" + kSlot, "", kClsid},
      {kClasses + ".obj" + kSlot, "", kClsid},
  };
  for (const auto& row : rows) EXPECT_EQ(reg_value(row.key, row.name), row.data) << row.key;

  r = regsvr32(dll, true);
  ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
  EXPECT_FALSE(reg_key_exists(kClassKey));
  EXPECT_FALSE(reg_key_exists(kClasses + ".stl"));
  EXPECT_FALSE(reg_key_exists(kClasses + ".3mf"));
  EXPECT_EQ(reg_value(kClasses + ".obj" + kSlot, ""), kForeign) << "the replaced handler is back";

  // A program that takes a slot after us keeps it when we unregister.
  ASSERT_EQ(regsvr32(dll, false).exit_code, 0);
  reg_set(kClasses + ".stl" + kSlot, kForeign);
  ASSERT_EQ(regsvr32(dll, true).exit_code, 0);
  EXPECT_EQ(reg_value(kClasses + ".stl" + kSlot, ""), kForeign);
  EXPECT_EQ(reg_value(kClasses + ".obj" + kSlot, ""), kForeign);
  EXPECT_FALSE(reg_key_exists(kClasses + ".3mf"));
  EXPECT_FALSE(reg_key_exists(kClassKey));
  for (const char* ext : {".stl", ".obj"}) reg_delete(kClasses + ext);
}

const char kTriangleXml[] =
    "<model><resources><object id=\"1\"><mesh><vertices><vertex x=\"0\" y=\"0\" z=\"0\"/>"
    "<vertex x=\"1\" y=\"0\" z=\"0\"/><vertex x=\"0\" y=\"1\" z=\"0\"/></vertices><triangles>"
    "<triangle v1=\"0\" v2=\"1\" v3=\"2\"/></triangles></mesh></object></resources><build>"
    "<item objectid=\"1\"/></build></model>";

// Object 2 names itself 31 times and object 1 once: fan-out over a cycle.
std::string cycle_xml() {
  std::string components;
  for (int i = 0; i < 31; i++) components += "<component objectid=\"2\"/>";
  components += "<component objectid=\"1\"/>";
  std::string xml = kTriangleXml;
  xml.replace(xml.find("</resources>"), 0,
              "<object id=\"2\"><components>" + components + "</components></object>");
  xml.replace(xml.find("objectid=\"1\"/></build>"), 12, "objectid=\"2\"");
  return xml;
}

// HRESULTs the handler gives for the thumbnailer's failures.
std::string expected_result(const RunResult& native) {
  if (native.exit_code == 0) return "0x00000000";
  const std::pair<const char*, const char*> kinds[] = {
      {"not an STL, 3MF or OBJ file", "0x8007000B"},  // ERROR_BAD_FORMAT
      {"cannot parse the file", "0x8007000D"},        // ERROR_INVALID_DATA
      {"no triangles to draw", "0x80004005"},         // E_FAIL
      {"out of memory", "0x8007000E"},                // E_OUTOFMEMORY
  };
  for (const auto& kind : kinds) {
    if (native.err.find(kind.first) != std::string::npos) return kind.second;
  }
  return "unexpected: " + native.err;
}

struct HostRow {
  std::string name;
  std::string kind;  // mem, file (a file in the work folder) or zeros, unsized (a byte count)
  std::string what;  // file name in the work folder, or the count
  std::vector<int> sizes;
  std::string init = "0x00000000";
  bool must_fail = false;  // hostile: no thumbnail, whatever the thumbnailer says
};

// Every row runs in one host process: the files of each format, the sizes
// around the core's range, and every kind of failure. A file row is compared
// with orrery-thumbnailer on the same bytes and the same name hint (a memory
// stream has no name: the thumbnailer reads a copy named .bin): the same
// HRESULT class, and on success the same pixels once BGRA is read as RGBA
// (straight alpha both sides, nothing to undo).
TEST(ExplorerHandlerTest, HostDrawsWhatTheLinuxThumbnailerDraws) {
  const std::string host = explorer_file("thumbs-host.exe");
  const std::string thumbnailer =
      env_or("ORRERY_NATIVE_BUILD", "") + "/thumbnailer/orrery-thumbnailer";
  if (host.empty()) GTEST_SKIP() << "explorer/ not in the tree";
  ASSERT_TRUE(file_exists(thumbnailer)) << "the native build lacks " << thumbnailer;
  TempDir dir;
  const std::string dll = install_dll(dir);
  ASSERT_EQ(regsvr32(dll, false).exit_code, 0);
  const std::string work = dir.path + "/work";
  mkdir(work.c_str(), 0755);

  auto copy = [&](const std::string& from, const std::string& name) {
    write_file(work + "/" + name, read_file(corpus(from)));
    return name;
  };
  const std::string helix = read_file(corpus("stl/lib3mf__Helix.stl"));
  write_file(work + "/cut.stl", helix.substr(0, 1000));
  const std::string box = read_file(corpus("3mf/samples__core_box.3mf"));
  write_file(work + "/cut.3mf", box.substr(0, box.size() / 2));
  write_file(work + "/one.stl", "s");
  std::string padded = kTriangleXml;
  padded.append(64u << 20, ' ');
  const std::string deflated = raw_deflate(padded, 9);
  write_file(work + "/bomb.3mf", zip_package("3D/3dmodel.model", deflated, 8, padded.size()));
  write_file(work + "/liar.3mf", zip_package("3D/3dmodel.model", deflated, 8, 0xFFFFFFFF));
  write_file(work + "/cycle.3mf", cycle_xml());
  // No OBJ keyword on the first line: only the name says OBJ.
  write_file(work + "/named.obj", "cstype bezier\nv 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
  const std::vector<int> sizes = {96, 256, 1024};
  const std::vector<HostRow> rows = {
      {"binary STL", "mem", copy("stl/lib3mf__Helix.stl", "helix.stl"), sizes},
      {"ASCII STL", "mem", copy("stl/numpystl__ascii_HalfDonut.stl", "donut.stl"), sizes},
      {"3MF package", "mem", copy("3mf/samples__core_cube_gears.3mf", "gears.3mf"), sizes},
      {"OBJ", "mem", copy("obj/trimesh__rabbit.obj", "rabbit.obj"), sizes},
      {"below 32 and above 2048",
       "file",
       copy("3mf/samples__core_box.3mf", "box.3mf"),
       {1, 16, 3000}},
      {"name from Stat", "file", "named.obj", {96}},
      {"no name, no format", "mem", "named.obj", {96}, "0x00000000", true},
      {"STL without triangles", "mem", copy("stl/trimesh__stl_empty_bin.stl", "e.stl"), {96}},
      {"cut binary STL", "mem", "cut.stl", {96}, "0x00000000", true},
      {"cut 3MF", "mem", "cut.3mf", {96}, "0x00000000", true},
      {"one byte", "mem", "one.stl", {96}, "0x00000000", true},
      {"ZIP bomb", "mem", "bomb.3mf", {256}},
      {"ZIP entry claiming 4 GiB", "mem", "liar.3mf", {256}, "0x00000000", true},
      {"component cycle", "mem", "cycle.3mf", {256}},
      {"stream at the limit", "zeros", std::to_string(kLimit), {96}, "0x00000000", true},
      {"stream over the limit", "zeros", std::to_string(kLimit + 1), {96}, "0x800700DF", true},
      {"unsized stream over the limit",
       "unsized",
       std::to_string(kLimit + 1),
       {96},
       "0x800700DF",
       true},
  };

  std::vector<std::string> args = {windows_path(work)};
  for (const HostRow& row : rows) {
    std::string sizes_text;
    for (int size : row.sizes) sizes_text += (sizes_text.empty() ? "" : ",") + std::to_string(size);
    const bool is_file = row.kind == "mem" || row.kind == "file";
    args.push_back(row.kind + ":" + sizes_text + ":" +
                   (is_file ? windows_path(work + "/" + row.what) : row.what));
  }
  // The handler writes no file: a temp folder named beyond ASCII, as under a
  // user name in Chinese, must still be empty after every run.
  const std::string temp = dir.path + "/Temp \xE6\xA8\xA1\xE5\x9E\x8B";
  mkdir(temp.c_str(), 0755);
  const std::string environment = "HKCU\\Environment";
  std::map<std::string, RegEntry> saved;
  for (const char* name : {"TEMP", "TMP"}) {
    saved[name] = reg_entry(environment, name);
    run_wine("reg", {"add", environment, "/v", name, "/d", windows_path(temp), "/f"});
  }
  RunOptions options;
  options.timeout_seconds = 900;
  RunResult run = run_wine(host, args, options);
  for (const auto& entry : saved) {
    if (entry.second.type.empty()) {
      run_wine("reg", {"delete", environment, "/v", entry.first, "/f"});
    } else {
      run_wine("reg", {"add", environment, "/v", entry.first, "/t", entry.second.type, "/d",
                       entry.second.data, "/f"});
    }
  }
  ASSERT_EQ(run.exit_code, 0) << run.out << run.err;
  EXPECT_EQ(run_command({"rmdir", temp}, RunOptions()).exit_code, 0) << "files left in " << temp;
  std::map<std::string, std::string> lines;  // "k" / "k SIZE" / a word: the rest of the line
  for (std::string line : split_lines(run.out)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find(' ');
    const size_t second = line.find(' ', first + 1);
    const bool sized =
        second != std::string::npos && line[first + 1] >= '0' && line[first + 1] <= '9';
    const size_t cut = sized ? second : first;
    lines[line.substr(0, cut)] +=
        (lines.count(line.substr(0, cut)) ? "\n" : "") + line.substr(cut + 1);
  }

  for (size_t k = 0; k < rows.size(); k++) {
    const HostRow& row = rows[k];
    SCOPED_TRACE(row.name);
    const std::string id = std::to_string(k);
    std::istringstream head(lines[id]);
    std::string via, init, again, release;
    head >> via >> init >> again;
    EXPECT_EQ(init, "init=" + row.init);
    if (row.init == "0x00000000") {
      EXPECT_EQ(again, "again=0x800704DF");  // ERROR_ALREADY_INITIALIZED
    }
    EXPECT_NE(lines[id].find("release=0"), std::string::npos) << lines[id];
    for (int size : row.sizes) {
      SCOPED_TRACE(size);
      std::istringstream thumb(lines[id + " " + std::to_string(size)]);
      std::string result, alpha, dims, bpp, memory;
      thumb >> result >> alpha >> dims >> bpp >> memory;
      std::string expected = "thumb=0x8000FFFF";  // E_UNEXPECTED: not initialized
      RunResult native{0, "", ""};
      const bool is_file = row.kind == "mem" || row.kind == "file";
      if (is_file) {
        std::string input = work + "/" + row.what;
        if (row.kind == "mem") {
          write_file(work + "/nameless.bin", read_file(input));
          input = work + "/nameless.bin";
        }
        native = run_command({thumbnailer, input, work + "/native.png", std::to_string(size)},
                             RunOptions());
        expected = "thumb=" + expected_result(native);
      } else if (row.init == "0x00000000") {
        expected = "thumb=0x8007000B";  // zeros: not an STL, 3MF or OBJ file
      }
      EXPECT_EQ(result, expected) << native.err;
      if (row.must_fail) {
        EXPECT_NE(result, "thumb=0x00000000");
      }
      if (result != "thumb=0x00000000" || native.exit_code != 0) continue;
      EXPECT_EQ(alpha, "alpha=2") << "WTSAT_ARGB";
      EXPECT_EQ(bpp, "bpp=32");
      EXPECT_EQ(memory, "memory=same") << "a top-down DIB section";
      const Image want = decode_png(work + "/native.png");
      ASSERT_FALSE(want.rgba.empty());
      EXPECT_EQ(dims, std::to_string(want.width) + "x" + std::to_string(want.height));
      const std::string bgra = read_file(work + "/" + id + "-" + std::to_string(size) + ".bgra");
      ASSERT_EQ(bgra.size(), want.rgba.size());
      size_t differing = 0;
      for (size_t i = 0; i < bgra.size(); i += 4) {
        const uint8_t* p = &want.rgba[i];
        differing +=
            static_cast<uint8_t>(bgra[i]) != p[2] || static_cast<uint8_t>(bgra[i + 1]) != p[1] ||
            static_cast<uint8_t>(bgra[i + 2]) != p[0] || static_cast<uint8_t>(bgra[i + 3]) != p[3];
      }
      EXPECT_EQ(differing, 0u) << "pixels differ from orrery-thumbnailer";
    }
  }
  EXPECT_EQ(lines["interfaces"], "identity=same other=0x80004002");  // E_NOINTERFACE
  EXPECT_EQ(lines["factory"], "locked=0x00000001 unlocked=0x00000000 release=0");
  EXPECT_EQ(lines["unload"], "0x00000000") << "DllCanUnloadNow once all is released";
  EXPECT_EQ(regsvr32(dll, true).exit_code, 0);
}

TEST(ExplorerHandlerTest, VersionBlockNamesTheHandler) {
  const std::string path = explorer_file("orrery-thumbs.dll");
  if (path.empty()) GTEST_SKIP() << "explorer/ not in the tree";
  PeFile pe;
  std::string error;
  ASSERT_TRUE(pe_read(read_file(path), &pe, &error)) << error;
  ASSERT_EQ(pe.resources.size(), 1u) << "the version block alone";
  EXPECT_EQ(pe.resources[0].type, 16u);
  EXPECT_EQ(pe.resources[0].language, 1033u);
  VersionNode root;
  ASSERT_TRUE(version_parse(pe.resources[0].data, &root, &error)) << error;
  ASSERT_EQ(root.value.size(), 52u);
  EXPECT_EQ(static_cast<uint8_t>(root.value[36]), 2) << "VFT_DLL";
  std::map<std::string, std::string> strings;
  for (const VersionNode& table : root.children[0].children) {
    for (const VersionNode& entry : table.children) strings[entry.key] = version_text(entry);
  }
  EXPECT_EQ(strings["FileDescription"], "Orrery Thumbnail Handler");
  EXPECT_EQ(strings["OriginalFilename"], "orrery-thumbs.dll");
  EXPECT_EQ(strings["InternalName"], "orrery-thumbs");
  EXPECT_EQ(strings["FileVersion"], "3.10.2.0");
  EXPECT_EQ(strings["ProductName"], "Orrery");
  EXPECT_EQ(strings["CompanyName"], "Korvane");
}

}  // namespace

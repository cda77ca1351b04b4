// The launcher under Wine, with a stand-in orrery-core.exe that reports how it
// was started: command line, working folder, PATH, ORRERY_DATA_DIR, exit code,
// the arguments of CreateProcessW and the error box (from Wine's relay trace).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <map>

#include "windows_env.h"

namespace {

const char kErrorText[] =
    "Orrery konnte nicht gestartet werden.\n\n"
    "Stelle sicher, dass der 'app' Ordner vorhanden ist\n"
    "und 'app\\orrery-core.exe' existiert.";

// A suite folder as installed: orrery.exe, app\orrery-core.exe, data\.
struct Suite {
  std::string base;  // Unix path of the base folder
  std::string windows_base() const { return windows_path(base); }
  std::string launcher() const { return base + "/orrery.exe"; }
  std::string report_path() const { return base + "/app/core-report.txt"; }
};

void make_dirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    mkdir(path.substr(0, slash).c_str(), 0755);
    if (slash == std::string::npos) break;
  }
}

// Lays out a suite under parent/name; without_core leaves app\ empty, and
// without_app leaves out the app folder itself.
Suite make_suite(const std::string& parent, const std::string& name, bool with_core = true,
                 bool with_app = true) {
  Suite suite{parent + "/" + name};
  make_dirs(suite.base + "/data");
  write_file(suite.launcher(), read_file(mingw_exe("orrery")));
  if (with_app) make_dirs(suite.base + "/app");
  if (with_core)
    write_file(suite.base + "/app/orrery-core.exe", read_file(mingw_exe("orrery-core")));
  return suite;
}

// The stand-in's report: key=value lines.
std::map<std::string, std::string> read_report(const Suite& suite) {
  std::map<std::string, std::string> report;
  for (const std::string& line : split_lines(read_file(suite.report_path()))) {
    size_t eq = line.find('=');
    if (eq != std::string::npos) report[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return report;
}

// Starts the launcher through spawn.exe with an exact command line and
// environment changes ("set=NAME=VALUE" / "unset=NAME" lines).
RunResult spawn_launcher(const Suite& suite, const std::string& command_line,
                         const std::vector<std::string>& extra_lines = {},
                         const std::string& cwd = "") {
  TempDir tmp;
  std::string request =
      "app=" + windows_path(suite.launcher()) + "\ncmdline=" + command_line + "\n";
  if (!cwd.empty()) request += "cwd=" + cwd + "\n";
  for (const std::string& line : extra_lines) request += line + "\n";
  write_file(tmp.file("request.txt"), request);
  return run_wine(mingw_exe("spawn"), {windows_path(tmp.file("request.txt"))});
}

// Undoes Wine's debugstr_w quoting: \\ \" \n \r \t and \xNNNN (as UTF-8).
std::string unescape_debug_string(const std::string& s) {
  std::string out;
  for (size_t i = 0; i < s.size(); i++) {
    if (s[i] != '\\' || i + 1 >= s.size()) {
      out += s[i];
      continue;
    }
    char e = s[++i];
    if (e == 'n') {
      out += '\n';
    } else if (e == 'r') {
      out += '\r';
    } else if (e == 't') {
      out += '\t';
    } else if (e == 'x' && i + 4 < s.size()) {
      unsigned c = static_cast<unsigned>(std::stoul(s.substr(i + 1, 4), nullptr, 16));
      i += 4;
      if (c < 0x80) {
        out += static_cast<char>(c);
      } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
      } else {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
      }
    } else {
      out += e;
    }
  }
  return out;
}

// The arguments of the first relay "Call <dll>.<function>(...)" line, split at
// the commas between them; string arguments become their unescaped text and
// other arguments stay as their hex digits.
bool relay_call(const std::string& trace, const std::string& function,
                std::vector<std::string>* args) {
  args->clear();
  size_t at = 0;
  for (;; at += function.size()) {
    at = trace.find("." + function + "(", at);
    if (at == std::string::npos) return false;
    size_t line = trace.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    if (trace.find(":Call ", line) < at) break;  // not the list of traced names
  }
  size_t i = at + function.size() + 2;
  std::string current;
  bool in_string = false, is_string = false;
  for (; i < trace.size(); i++) {
    char c = trace[i];
    if (in_string) {
      if (c == '\\' && i + 1 < trace.size()) {
        current += c;
        current += trace[++i];
      } else if (c == '"') {
        in_string = false;
      } else {
        current += c;
      }
    } else if (c == 'L' && i + 1 < trace.size() && trace[i + 1] == '"') {
      current.clear();  // drop the pointer in front of the string
      in_string = is_string = true;
      i++;
    } else if (c == ',' || c == ')') {
      args->push_back(is_string ? unescape_debug_string(current) : current);
      current.clear();
      is_string = false;
      if (c == ')') return true;
    } else if (c != ' ') {
      current += c;
    }
  }
  return false;
}

// The low 32 bits of a relay argument (Wine prints whole registers).
uint32_t low32(const std::string& hex) {
  std::string tail = hex.size() > 8 ? hex.substr(hex.size() - 8) : hex;
  return static_cast<uint32_t>(std::stoul(tail.empty() ? "0" : tail, nullptr, 16));
}

// Limits the relay trace to the two calls the tests read (a full trace of a
// run is close to a million lines).
void restrict_relay_trace() {
  static bool done = false;
  if (done) return;
  RunResult r = run_command(
      {env_or("ORRERY_WINE", "wine"), "reg", "add", "HKCU\\Software\\Wine\\Debug", "/v",
       "RelayInclude", "/t", "REG_SZ", "/d",
       "user32.MessageBoxW;kernel32.CreateProcessW;kernelbase.CreateProcessW", "/f"},
      RunOptions{"", "", {{"WINEDEBUG", "-all"}, {"WINEDLLOVERRIDES", "mscoree,mshtml="}}});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  done = true;
}

RunResult run_traced(const Suite& suite, const std::vector<std::string>& args) {
  restrict_relay_trace();
  RunOptions options;
  options.env = {{"WINEDEBUG", "-all,+relay"}};
  return run_wine(suite.launcher(), args, options);
}

class LauncherTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (mingw_exe("orrery").empty() || mingw_exe("orrery-core").empty() ||
        mingw_exe("spawn").empty()) {
      if (HasFailure()) FAIL() << "orrery.exe or the test helpers are not built";
      GTEST_SKIP() << "the launcher is not in the tree";
    }
  }
  TempDir tmp;
};

TEST_F(LauncherTest, CommandLineReachesCoreUnchanged) {
  Suite suite = make_suite(tmp.path, "suite");
  const std::string exe = windows_path(suite.launcher());
  // Whatever the quoting, the child's GetCommandLineW is the launcher's own.
  const std::string command_lines[] = {
      "\"" + exe + "\"",
      "\"" + exe + "\" plain words --exit=0",
      "orrery \"with space\" \"a \\\"quoted\\\" word\" back\\\\slash x\\\"y",
      "  orrery.exe   spaced    out  ",
      "ORRERY.EXE Grüße €uro 星",
      "orrery \"\" \"\" trailing\\",
  };
  for (const std::string& command_line : command_lines) {
    SCOPED_TRACE(command_line);
    remove(suite.report_path().c_str());
    RunResult r = spawn_launcher(suite, command_line);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_EQ(read_report(suite)["cmdline"], command_line);
  }
}

TEST_F(LauncherTest, ExitCodeOfCorePassesThrough) {
  Suite suite = make_suite(tmp.path, "suite");
  // The Unix exit status carries the low byte...
  for (int code : {0, 7, 255}) {
    RunResult r = run_wine(suite.launcher(), {"--exit=" + std::to_string(code)});
    EXPECT_EQ(r.exit_code, code) << r.err;
  }
  // ...and a Windows parent sees all 32 bits.
  for (unsigned long code : {0ul, 7ul, 255ul, 256ul, 70000ul, 3221225477ul}) {
    RunResult r = spawn_launcher(suite, "orrery --exit=" + std::to_string(code));
    EXPECT_EQ(r.out, "exit_code=" + std::to_string(code) + "\r\n") << r.err;
  }
}

TEST_F(LauncherTest, CoreGetsPathDataFolderAndBaseFolderAsWorkingFolder) {
  Suite suite = make_suite(tmp.path, "suite");
  const std::string base = suite.windows_base();
  RunResult r = spawn_launcher(suite, "orrery", {"set=PATH=C:\\windows\\system32;C:\\some dir"},
                               "C:\\windows");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  auto report = read_report(suite);
  EXPECT_EQ(report["path"], base + "\\app;C:\\windows\\system32;C:\\some dir");
  EXPECT_EQ(report["data"], base + "\\data");
  EXPECT_EQ(report["cwd"], base);
  EXPECT_EQ(report["startup"], "1,0") << "STARTF_USESHOWWINDOW with SW_HIDE";
}

TEST_F(LauncherTest, StartedFromAnotherFolderStillUsesItsOwn) {
  Suite suite = make_suite(tmp.path, "suite");
  make_dirs(tmp.path + "/elsewhere/app");  // a decoy the launcher must not use
  RunOptions options;
  options.cwd = tmp.path + "/elsewhere";
  RunResult r = run_wine(suite.launcher(), {"--exit=3"}, options);
  EXPECT_EQ(r.exit_code, 3) << r.err;
  auto report = read_report(suite);
  EXPECT_EQ(report["cwd"], suite.windows_base());
  EXPECT_EQ(report["data"], suite.windows_base() + "\\data");
}

TEST_F(LauncherTest, BaseFolderWithSpacesAndNonAsciiCharacters) {
  Suite suite = make_suite(tmp.path, "Mond und Stérne € 星");
  RunResult r = run_wine(suite.launcher(), {"--exit=9"});
  EXPECT_EQ(r.exit_code, 9) << r.err;
  auto report = read_report(suite);
  EXPECT_EQ(report["cwd"], suite.windows_base());
  EXPECT_EQ(report["data"], suite.windows_base() + "\\data");
  EXPECT_EQ(report["path"].rfind(suite.windows_base() + "\\app;", 0), 0u) << report["path"];
}

TEST_F(LauncherTest, UnsetPathBecomesAppFolderAndSemicolon) {
  Suite suite = make_suite(tmp.path, "suite");
  RunResult r = spawn_launcher(suite, "orrery", {"unset=PATH"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_report(suite)["path"], suite.windows_base() + "\\app;");
}

TEST_F(LauncherTest, CreateProcessGetsTheCorePathAndItsSettings) {
  Suite suite = make_suite(tmp.path, "suite");
  RunResult r = run_traced(suite, {"--exit=4"});
  EXPECT_EQ(r.exit_code, 4);
  std::vector<std::string> args;
  ASSERT_TRUE(relay_call(r.err, "CreateProcessW", &args)) << r.err.substr(0, 4000);
  ASSERT_EQ(args.size(), 10u);
  EXPECT_EQ(args[0], suite.windows_base() + "\\app\\orrery-core.exe") << "application name";
  EXPECT_EQ(args[1], read_report(suite)["cmdline"]) << "command line";
  EXPECT_EQ(low32(args[2]), 0u) << "process security";
  EXPECT_EQ(low32(args[3]), 0u) << "thread security";
  EXPECT_EQ(low32(args[4]), 0u) << "inherit handles";
  EXPECT_EQ(low32(args[5]), 0x08000000u) << "CREATE_NO_WINDOW";
  EXPECT_EQ(low32(args[6]), 0u) << "environment";
  EXPECT_EQ(args[7], suite.windows_base()) << "working folder";
  EXPECT_FALSE(relay_call(r.err, "MessageBoxW", &args)) << "no error box";
}

TEST_F(LauncherTest, MissingCoreShowsTheGermanErrorBoxAndExits1) {
  // No program in app\, and no app folder at all.
  const std::pair<const char*, bool> layouts[] = {{"no core", true}, {"no app", false}};
  for (const auto& layout : layouts) {
    SCOPED_TRACE(layout.first);
    Suite suite = make_suite(tmp.path, layout.first, false, layout.second);
    RunResult r = run_traced(suite, {"a", "b"});
    EXPECT_EQ(r.exit_code, 1);
    std::vector<std::string> args;
    ASSERT_TRUE(relay_call(r.err, "MessageBoxW", &args)) << r.err.substr(0, 4000);
    ASSERT_EQ(args.size(), 4u);
    EXPECT_EQ(low32(args[0]), 0u) << "no owner window";
    EXPECT_EQ(args[1], kErrorText);
    EXPECT_EQ(args[2], "Orrery");
    EXPECT_EQ(args[3], "00000010") << "MB_ICONERROR with the OK button";
  }
}

// Folders nested under parent until the Windows name of the base folder is
// exactly length characters long.
Suite make_suite_of_length(const std::string& parent, size_t length) {
  std::string base = parent;
  while (windows_path(base).size() + 1 + 100 < length) base += "/" + std::string(99, 'd');
  size_t rest = length - windows_path(base).size() - 1;
  return make_suite(base, std::string(rest, 'e'));
}

TEST_F(LauncherTest, BaseFolderTooLongForTheBuffersIsRefusedWithTheBox) {
  // The core path is the base folder plus 20 characters ("\app\orrery-core.exe")
  // and must fit 259 characters; the launcher's own name is 11 more than the base.
  struct Case {
    size_t length;
    bool starts;
  };
  const Case cases[] = {{239, true}, {240, false}, {250, false}, {300, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("base folder of " + std::to_string(c.length) + " characters");
    Suite suite = make_suite_of_length(tmp.path + "/" + std::to_string(c.length), c.length);
    ASSERT_EQ(suite.windows_base().size(), c.length);
    RunResult r = run_traced(suite, {"--exit=5"});
    std::vector<std::string> args;
    if (c.starts) {
      EXPECT_EQ(r.exit_code, 5);
      EXPECT_EQ(read_report(suite)["cwd"], suite.windows_base());
      EXPECT_FALSE(relay_call(r.err, "MessageBoxW", &args));
    } else {
      EXPECT_EQ(r.exit_code, 1);
      EXPECT_FALSE(file_exists(suite.report_path())) << "the core must not be started";
      ASSERT_TRUE(relay_call(r.err, "MessageBoxW", &args));
      EXPECT_EQ(args[1], kErrorText);
    }
  }
}

TEST_F(LauncherTest, SearchPathIsNeverCutShort) {
  // An environment value holds at most 32766 characters: a PATH that still
  // fits after the app folder and the semicolon arrives whole; one that does
  // not is refused with the box instead of being cut.
  Suite suite = make_suite(tmp.path, "suite");
  const size_t prefix = suite.windows_base().size() + 5;  // "\app;"
  const size_t fits = 32766 - prefix;
  for (size_t length : {fits, fits + 1}) {
    SCOPED_TRACE("old PATH of " + std::to_string(length) + " characters");
    remove(suite.report_path().c_str());
    std::string old_path = "C:\\windows\\system32;" + std::string(length - 20, 'p');
    RunResult r = spawn_launcher(suite, "orrery --exit=6", {"set=PATH=" + old_path});
    if (length == fits) {
      EXPECT_EQ(r.exit_code, 6) << r.err;
      const std::string want = suite.windows_base() + "\\app;" + old_path;
      const std::string got = read_report(suite)["path"];
      size_t first = 0;
      while (first < got.size() && first < want.size() && got[first] == want[first]) first++;
      EXPECT_TRUE(got == want) << "got " << got.size() << " characters, want " << want.size()
                               << ", first difference at " << first;
    } else {
      EXPECT_EQ(r.exit_code, 1) << r.err;
      EXPECT_FALSE(file_exists(suite.report_path()));
    }
  }
}

}  // namespace

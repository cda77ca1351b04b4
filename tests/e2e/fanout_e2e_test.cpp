// Fan-out over cores with existing tools, as README documents it: a batch
// split by GNU parallel over two facetshot processes, and single runs of
// vertexshot started by xargs -P 2, give exactly what one process gives.
#include <dirent.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "support/run.h"

namespace {

std::vector<std::string> corpus_files(const std::string& sub) {
  std::vector<std::string> files;
  const std::string dir = std::string(ORRERY_CORPUS_DIR) + "/" + sub;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      if (e->d_name[0] != '.') files.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
  }
  std::sort(files.begin(), files.end());
  return files;
}

bool tool_present(const std::string& name) {
  RunOptions options;
  options.timeout_seconds = 30;
  return run_command({"sh", "-c", "command -v " + name + " >/dev/null"}, options).exit_code == 0;
}

// Records in a stable order, with the timings (the only varying fields) masked.
std::vector<std::string> sorted_records(const std::string& out) {
  static const std::regex timings("\"parse_ms\":[0-9.]+,\"total_ms\":[0-9.]+");
  std::vector<std::string> records;
  for (const std::string& line : split_lines(out)) {
    records.push_back(std::regex_replace(line, timings, "\"parse_ms\":0,\"total_ms\":0"));
  }
  std::sort(records.begin(), records.end());
  return records;
}

// Each job's PNG in folder a equals the one in folder b (or both are absent).
void expect_same_pictures(const TempDir& dir, const std::string& a, const std::string& b,
                          size_t jobs) {
  for (size_t i = 0; i < jobs; i++) {
    const std::string name = "/" + std::to_string(i) + ".png";
    const std::string pa = dir.file(a + name), pb = dir.file(b + name);
    ASSERT_EQ(file_exists(pa), file_exists(pb)) << "job " << i;
    if (file_exists(pa)) {
      EXPECT_EQ(read_file(pa), read_file(pb)) << "job " << i;
    }
  }
}

}  // namespace

TEST(FanOut, BatchThroughParallelEqualsOneProcess) {
  const std::string facetshot = program_path("facetshot");
  if (facetshot.empty() || getenv("ORRERY_RUNNER")) GTEST_SKIP() << "native facetshot only";
  if (!tool_present("parallel")) GTEST_SKIP() << "GNU parallel is not installed";
  const std::vector<std::string> inputs = corpus_files("stl");
  ASSERT_GE(inputs.size(), 12u) << ORRERY_CORPUS_DIR;
  TempDir dir;
  // Every corpus file twice: a few dozen jobs, failures among them.
  std::string one, two;
  size_t jobs = 0;
  for (int round = 0; round < 2; round++) {
    for (const std::string& input : inputs) {
      const std::string name = "/" + std::to_string(jobs++) + ".png";
      one += input + "\t" + dir.file("one") + name + "\n";
      two += input + "\t" + dir.file("two") + name + "\n";
    }
  }
  ASSERT_EQ(run_command({"mkdir", "-p", dir.file("one"), dir.file("two")}, RunOptions()).exit_code,
            0);

  RunResult single = run_program(facetshot, {"--batch"}, one);
  ASSERT_EQ(single.exit_code, 0) << single.err;
  // The recipe: blocks of 4 job lines dealt in turn to two long-running
  // processes; each process's records come out together when it ends.
  RunOptions options;
  options.stdin_data = two;
  RunResult fanned = run_command({"parallel", "--will-cite", "--pipe", "--round-robin", "-N", "4",
                                  "-j", "2", facetshot, "--batch"},
                                 options);
  ASSERT_EQ(fanned.exit_code, 0) << fanned.err;

  const std::vector<std::string> expected = sorted_records(single.out);
  ASSERT_EQ(expected.size(), jobs);
  EXPECT_EQ(sorted_records(fanned.out), expected);
  // Each worker reports its own share; together they processed what one did.
  int processed = 0, workers = 0;
  for (const std::string& line : split_lines(fanned.err)) {
    if (line.rfind("BATCH: ", 0) == 0) {
      processed += atoi(line.c_str() + 7);
      workers++;
    }
  }
  EXPECT_EQ(workers, 2) << fanned.err;
  EXPECT_EQ("BATCH: " + std::to_string(processed) + " files processed", split_lines(single.err)[0]);
  expect_same_pictures(dir, "one", "two", jobs);
}

TEST(FanOut, SingleRunsThroughXargsEqualOneByOne) {
  const std::string vertexshot = program_path("vertexshot");
  if (vertexshot.empty() || getenv("ORRERY_RUNNER")) GTEST_SKIP() << "native vertexshot only";
  if (!tool_present("xargs")) GTEST_SKIP() << "xargs is not installed";
  const std::vector<std::string> inputs = corpus_files("obj");
  ASSERT_GE(inputs.size(), 8u) << ORRERY_CORPUS_DIR;
  TempDir dir;
  ASSERT_EQ(run_command({"mkdir", "-p", dir.file("one"), dir.file("two")}, RunOptions()).exit_code,
            0);
  // Pairs of input and output separated by NULs, two arguments per run.
  std::string pairs;
  for (size_t i = 0; i < inputs.size(); i++) {
    run_program(vertexshot, {inputs[i], dir.file("one/" + std::to_string(i) + ".png")});
    pairs += inputs[i] + '\0' + dir.file("two/" + std::to_string(i) + ".png") + '\0';
  }
  RunOptions options;
  options.stdin_data = pairs;
  // xargs exits 123 when some run failed, as corpus files with no mesh do.
  RunResult fanned = run_command({"xargs", "-0", "-n", "2", "-P", "2", vertexshot}, options);
  EXPECT_TRUE(fanned.exit_code == 0 || fanned.exit_code == 123) << fanned.err;
  expect_same_pictures(dir, "one", "two", inputs.size());
}

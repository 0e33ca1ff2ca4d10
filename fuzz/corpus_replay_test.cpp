// Every fuzz target run once on each input of its seed corpus, in the test build with its
// sanitizers: the corpus holds the inputs that once found a fault, so each stays a regression
// test. The targets' entry points are renamed after them by the build.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

extern "C" {
int air_fuzz_Initialize(int*, char***);
int air_fuzz_TestOneInput(const uint8_t*, size_t);
int device_file_fuzz_TestOneInput(const uint8_t*, size_t);
int formatter_fuzz_TestOneInput(const uint8_t*, size_t);
int http_fuzz_Initialize(int*, char***);
int http_fuzz_TestOneInput(const uint8_t*, size_t);
int options_fuzz_TestOneInput(const uint8_t*, size_t);
int profile_fuzz_Initialize(int*, char***);
int profile_fuzz_TestOneInput(const uint8_t*, size_t);
}

namespace {

using Initialize = int (*)(int*, char***);
using TestOneInput = int (*)(const uint8_t*, size_t);

// The files of fuzz/corpus/TARGET, in name order.
std::vector<std::filesystem::path> corpus(const std::string& target) {
  std::vector<std::filesystem::path> files;
  const auto directory = std::filesystem::path(VELNOR_SOURCE_DIR) / "fuzz" / "corpus" / target;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<uint8_t> contents(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Target {
  std::string name;
  Initialize initialize;
  TestOneInput testOneInput;
};

// The test's name in a listing is the target's.
void PrintTo(const Target& target, std::ostream* os) {
  *os << target.name;
}

class FuzzCorpusTest : public ::testing::TestWithParam<Target> {};

// Runs the target as libFuzzer would: its initialisation once, then every input of the corpus.
// A fault aborts the process under the sanitizers, which fails the test.
TEST_P(FuzzCorpusTest, TakesEverySeed) {
  const Target& target = GetParam();
  auto files = corpus(target.name);
  ASSERT_FALSE(files.empty()) << "no seed corpus for " << target.name;
  if (target.initialize != nullptr) {
    // The targets send standard output to /dev/null; the tests after them keep theirs.
    std::fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    ASSERT_EQ(target.initialize(nullptr, nullptr), 0);
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  for (const auto& file : files) {
    std::vector<uint8_t> input = contents(file);
    EXPECT_EQ(target.testOneInput(input.data(), input.size()), 0) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Targets, FuzzCorpusTest,
    ::testing::Values(Target{"air_fuzz", air_fuzz_Initialize, air_fuzz_TestOneInput},
                      Target{"device_file_fuzz", nullptr, device_file_fuzz_TestOneInput},
                      Target{"formatter_fuzz", nullptr, formatter_fuzz_TestOneInput},
                      Target{"http_fuzz", http_fuzz_Initialize, http_fuzz_TestOneInput},
                      Target{"options_fuzz", nullptr, options_fuzz_TestOneInput},
                      Target{"profile_fuzz", profile_fuzz_Initialize, profile_fuzz_TestOneInput}),
    [](const ::testing::TestParamInfo<Target>& info) { return info.param.name; });

}  // namespace

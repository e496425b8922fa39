// Every kernel this CPU can run against the per-byte rules.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FileStream.hpp"
#include "KernelChoice.hpp"
#include "RunRemove.hpp"

// Names the kernel in test output instead of dumping its bytes.
void PrintTo(const NamedKernel& kernel, std::ostream* out) { *out << kernel.name; }

namespace {

struct Outcome {
  Tally tally;
  std::string kept;
};

Outcome by_bytes(const std::string& input) {
  Outcome outcome;
  for (const char c : input) {
    const auto byte = static_cast<unsigned char>(c);
    count_byte(outcome.tally, byte);
    if (keeps_byte(byte)) {
      outcome.kept += c;
    }
  }
  return outcome;
}

constexpr unsigned char kGuard = 0xA5;

// The input ends `gap` bytes before an inaccessible page, so with no gap a kernel that reads or
// writes past the block faults, and the gap sets the block's alignment. The kept buffer is
// followed by guard bytes right after the block's size; `in_place` compacts into the block itself.
Outcome by_kernel(ScanKernel scan, const std::string& input, std::size_t gap, bool in_place) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const std::size_t span = (input.size() + gap + page - 1) / page * page + page;
  auto* base = static_cast<unsigned char*>(
      ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  EXPECT_NE(base, MAP_FAILED);
  ::mprotect(base + span - page, page, PROT_NONE);
  unsigned char* block = base + span - page - gap - input.size();
  std::memcpy(block, input.data(), input.size());

  std::vector<unsigned char> kept(input.size() + 80, kGuard);
  Outcome outcome;
  outcome.tally.characters = 1000;  // kernels add to what the tally holds
  const std::size_t count =
      scan({block, input.size()}, outcome.tally, in_place ? block : kept.data());
  outcome.tally.characters -= 1000;
  if (in_place) {
    std::memcpy(kept.data(), block, input.size());
  }
  ::munmap(base, span);

  EXPECT_LE(count, input.size());
  for (std::size_t i = input.size(); i < kept.size(); ++i) {
    EXPECT_EQ(kept[i], kGuard) << "write past the bytes consumed at " << i;
  }
  outcome.kept.assign(reinterpret_cast<const char*>(kept.data()), std::min(count, input.size()));
  return outcome;
}

void expect_same(const NamedKernel& kernel, const std::string& input, const std::string& what,
                 std::size_t gap = 0) {
  const Outcome want = by_bytes(input);
  for (const bool in_place : {false, true}) {
    const Outcome got = by_kernel(kernel.scan, input, gap, in_place);
    const std::string where =
        std::string(kernel.name) + ", " + what + (in_place ? ", in place" : "");
    ASSERT_EQ(got.tally.characters, want.tally.characters) << where;
    ASSERT_EQ(got.tally.newlines, want.tally.newlines) << where;
    ASSERT_EQ(got.tally.tabs, want.tally.tabs) << where;
    ASSERT_EQ(got.tally.spaces, want.tally.spaces) << where;
    ASSERT_TRUE(got.kept == want.kept) << where << ": " << first_difference(got.kept, want.kept);
  }
}

// Bytes on both sides of every edge of the rules and of the case-folding trick.
const std::string kBoundaryBytes(
    "\x2f\x30\x39\x3a\x40\x41\x5a\x5b\x60\x61\x7a\x7b\xda\xfa\xc1\xe1\x80\xff\xfe\x5f\xaa\xb5\xba"
    "\xc0\xe0\xdf\xff\x09\x0a\x20\x0b\x0d\x00\x01\x10\x11\x19\x1a\x29",
    39);

class Kernels : public ::testing::TestWithParam<NamedKernel> {
 protected:
  void SetUp() override {
    if (!can_run(GetParam(), cpu_features())) {
      GTEST_SKIP() << GetParam().name << " needs instructions this CPU lacks";
    }
  }
};

// promise: byte-counts, kept-bytes
TEST_P(Kernels, EveryLengthAndAlignmentMatchesTheRules) {
  const std::string pool = random_bytes(4096, 17, kBoundaryBytes + "azAZ09 \t\n");
  for (std::size_t length = 0; length <= 300; ++length) {
    for (std::size_t gap = 0; gap < 64; ++gap) {
      expect_same(GetParam(), pool.substr(gap * 13 + length, length),
                  "length " + std::to_string(length) + " gap " + std::to_string(gap), gap);
    }
  }
}

// promise: byte-counts, kept-bytes
TEST_P(Kernels, AllByteValuesAndRandomBlocksMatchTheRules) {
  std::string all;
  for (int value = 0; value <= 255; ++value) {
    all += static_cast<char>(value);
  }
  expect_same(GetParam(), all + all + all, "all byte values");
  for (unsigned seed = 0; seed < 20; ++seed) {
    expect_same(GetParam(), random_bytes(1000 + seed * 997, seed),
                "random seed " + std::to_string(seed));
  }
  expect_same(GetParam(), random_bytes(kStreamBufferSize, 99), "a whole buffer");
}

// promise: counts-any-size
TEST_P(Kernels, LongRunsOfOneByteDoNotWrapTheCounters) {
  // A whole buffer of the same byte: far more than 255 vectors, and more than 16-bit chunk sums
  // can hold, so narrow counters of any kind would wrap.
  for (const char c : {'\n', '\t', ' ', 'a', '\xff'}) {
    expect_same(GetParam(), std::string(kStreamBufferSize, c),
                "run of byte " + std::to_string(static_cast<unsigned char>(c)));
  }
}

INSTANTIATE_TEST_SUITE_P(AllKernels, Kernels, ::testing::ValuesIn(kKernels),
                         [](const auto& kernel) { return std::string(kernel.param.name); });

TEST(ChooseKernel, EveryFeatureSetGetsTheFastestKernelItCanRun) {
  for (CpuFeatures features = 0; features <= kAllCpuFeatures; ++features) {
    const NamedKernel& chosen = choose_kernel(features);
    EXPECT_TRUE(can_run(chosen, features)) << chosen.name << " for features " << features;
    for (const NamedKernel& kernel : kKernels) {
      // Listed slowest first, so no later kernel may be runnable.
      if (&kernel > &chosen) {
        EXPECT_FALSE(can_run(kernel, features)) << kernel.name << " for features " << features;
      }
    }
  }
  EXPECT_STREQ(choose_kernel(kAllCpuFeatures).name, kKernels.back().name);
#if defined(REMOVE_X86_KERNELS)
  EXPECT_STREQ(choose_kernel(0).name, "plain");
  EXPECT_STREQ(choose_kernel(kAvx2 | kPopcnt | kBmi1 | kBmi2 | kAvx512F | kAvx512BW).name, "avx2");
  EXPECT_STREQ(choose_kernel(kAvx2 | kPopcnt).name, "plain");
  EXPECT_STREQ(choose_kernel(kAvx2 | kPopcnt | kBmi1).name, "plain");
#endif
  EXPECT_TRUE(can_run(choose_kernel(cpu_features()), cpu_features()));
}

#if defined(REMOVE_X86_KERNELS)
TEST(CpuFeatures, AgreeWithTheFlagsTheKernelReports) {
  // A feature read wrongly would choose a slower kernel, or one the CPU cannot run, and the
  // kernel tests would skip what the CPU "lacks".
  const std::string info = read_file("/proc/cpuinfo").value_or("");
  const std::size_t start = info.find("\nflags");
  ASSERT_NE(start, std::string::npos) << "no flags in /proc/cpuinfo";
  const std::string flags = info.substr(start, info.find('\n', start + 1) - start) + " ";
  for (const auto& [feature, flag] : {std::pair{kPopcnt, " popcnt "},
                                      {kAvx2, " avx2 "},
                                      {kAvx512F, " avx512f "},
                                      {kAvx512BW, " avx512bw "},
                                      {kAvx512Vbmi2, " avx512_vbmi2 "},
                                      {kBmi1, " bmi1 "},
                                      {kBmi2, " bmi2 "}}) {
    EXPECT_EQ((cpu_features() & feature) != 0, flags.find(flag) != std::string::npos) << flag;
  }
}
#endif

}  // namespace

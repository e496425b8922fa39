// Bytes per second of the per-byte rules and of each block kernel, on text and random data.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "FileStream.hpp"
#include "KernelChoice.hpp"

namespace {

std::vector<unsigned char> text_block() {
  const std::string line =
      "\tfor (int i = 0; i < count; ++i) {  // caf\xc3\xa9 na\xc3\xafve\r\n"
      "\t\ttotal += values[i] * 31;\n\t}\n";
  std::vector<unsigned char> block;
  while (block.size() < kStreamBufferSize) {
    block.insert(block.end(), line.begin(), line.end());
  }
  block.resize(kStreamBufferSize);
  return block;
}

std::vector<unsigned char> random_block() {
  std::mt19937 generator(42);
  std::vector<unsigned char> block(kStreamBufferSize);
  for (unsigned char& byte : block) {
    byte = static_cast<unsigned char>(generator());
  }
  return block;
}

const std::vector<unsigned char>& input(bool text) {
  static const std::vector<unsigned char> text_input = text_block();
  static const std::vector<unsigned char> random_input = random_block();
  return text ? text_input : random_input;
}

void per_byte_rules(benchmark::State& state) {
  const auto& block = input(state.range(0) != 0);
  std::vector<unsigned char> kept(block.size());
  for (auto _ : state) {
    Tally tally;
    std::size_t count = 0;
    for (const unsigned char byte : block) {
      count_byte(tally, byte);
      if (keeps_byte(byte)) {
        kept[count++] = byte;
      }
    }
    benchmark::DoNotOptimize(tally);
    benchmark::DoNotOptimize(count);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

// Compacts in place, as the program does. The block is restored after each scan, outside the
// time taken, which is only the scan's.
void kernel(benchmark::State& state, ScanKernel scan) {
  const auto& block = input(state.range(0) != 0);
  std::vector<unsigned char> work(block);
  for (auto _ : state) {
    Tally tally;
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(scan(work, tally, work.data()));
    benchmark::DoNotOptimize(tally);
    state.SetIterationTime(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    std::copy(block.begin(), block.end(), work.begin());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(block.size()));
}

void register_kernel(const std::string& name, ScanKernel scan) {
  benchmark::RegisterBenchmark(("kernel_" + name).c_str(), kernel, scan)
      ->ArgName("text")
      ->Arg(1)
      ->Arg(0)
      ->UseManualTime();
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::RegisterBenchmark("per_byte_rules", per_byte_rules)->ArgName("text")->Arg(1)->Arg(0);
  for (const NamedKernel& named : kKernels) {
    if (can_run(named, cpu_features())) {
      register_kernel(named.name, named.scan);
    }
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

// Prints the name of the kernel that remove chooses on this CPU, for the benchmark's report.
#include <cstdio>

#include "KernelChoice.hpp"

int main() {
  std::puts(choose_kernel(cpu_features()).name);
  return 0;
}

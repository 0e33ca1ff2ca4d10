// A read round trip between processes on the simulated radio: the central manager here asks,
// an emulated device in a velnor-sim process answers. Prints the median and the spread.
// Target: median at most 0.5 ms.
#include <cstdio>
#include <filesystem>

#include "bench/radio_reader.h"

int main() {
  std::string dir = bench::makeTempDirWithAir();
  constexpr int kReads = 5000;
  auto micros = bench::radioReadRoundTrips(dir, dir + "/air", kReads);
  std::filesystem::remove_all(dir);
  if (micros.empty()) return 1;
  std::printf("read round trips: %d\n", kReads);
  std::printf("median %.1f us (target <= 500 us), p90 %.1f us, p99 %.1f us, max %.1f us\n",
              micros[kReads / 2], micros[kReads * 9 / 10], micros[kReads * 99 / 100],
              micros.back());
  return micros[kReads / 2] <= 500 ? 0 : 1;
}

#include "platform/console.h"

#include <cstdio>
#include <mutex>

namespace Console {

void writeLine(std::string_view line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace Console

#include "platform/date_text.h"

#include <ctime>

namespace DateText {

std::string shortDateMediumTime(std::chrono::system_clock::time_point when) {
  std::time_t t = std::chrono::system_clock::to_time_t(when);
  std::tm local{};
  localtime_r(&t, &local);
  char buffer[128];
  size_t n = std::strftime(buffer, sizeof buffer, "%x %X", &local);
  return std::string(buffer, n);
}

}  // namespace DateText

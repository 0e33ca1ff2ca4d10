#include "platform/system_log.h"

#include <syslog.h>

#include <mutex>

namespace SystemLog {
namespace {
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}
std::function<void(const std::string&)>& sink() {
  static std::function<void(const std::string&)> s;
  return s;
}
}  // namespace

void write(const std::string& message) {
  std::lock_guard lock(sinkMutex());
  if (sink()) {
    sink()(message);
    return;
  }
  syslog(LOG_NOTICE, "%s", message.c_str());
}

void setSinkForTesting(std::function<void(const std::string&)> s) {
  std::lock_guard lock(sinkMutex());
  sink() = std::move(s);
}

}  // namespace SystemLog

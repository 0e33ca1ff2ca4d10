// The system log (syslog(3)), the stand-in for the platform's NSLog.
#pragma once

#include <functional>
#include <string>

namespace SystemLog {

// Writes `message` to the system log. Any thread.
void write(const std::string& message);

// Replaces where messages go (tests capture them); an empty function restores syslog.
void setSinkForTesting(std::function<void(const std::string&)> sink);

}  // namespace SystemLog

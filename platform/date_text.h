// Local date and time texts.
#pragma once

#include <chrono>
#include <string>

namespace DateText {

// The short date and the medium time of `when` in the current locale and time zone, separated
// by a space (the C library's %x and %X). Any thread.
std::string shortDateMediumTime(std::chrono::system_clock::time_point when);

}  // namespace DateText

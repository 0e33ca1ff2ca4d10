// The process's standard output, shared by every thread.
#pragma once

#include <string_view>

namespace Console {

// Writes `line` and a newline as one whole line under one lock, then flushes. Any thread.
void writeLine(std::string_view line);

}  // namespace Console

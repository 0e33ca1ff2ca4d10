// The process's standard output, shared by every thread.
#pragma once

#include <chrono>
#include <string_view>

namespace Console {

// Queues `line` to be written with a newline as one whole line, after every line queued before
// it, and returns at once: any thread, the command server's loop included, may call it. One
// writer thread writes the queue. While standard output is blocked (a reader that stopped
// reading), the queue fills, and lines beyond it are dropped and counted; once a write goes
// through again, one line reports how many were dropped. At exit, the queued lines are written
// for about a second at most.
void writeLine(std::string_view line);

// Waits until the queue is written, for at most `timeout`; false when the time ran out (standard
// output blocked). Any thread.
bool flush(std::chrono::milliseconds timeout);

}  // namespace Console

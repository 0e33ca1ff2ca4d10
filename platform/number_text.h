// Numbers as the log lines write them.
#pragma once

#include <string>

// A double in its shortest round-trip form, always with a fraction or an exponent: 10 gives
// "10.0", 0.5 "0.5", 1e16 "1e+16". Any thread.
std::string shortestDoubleText(double value);

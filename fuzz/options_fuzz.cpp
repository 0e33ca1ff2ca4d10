// Scan and connection option texts, as the plug-in hands them over: each parses or records a
// failure, and never crashes.
#include "central/connection_options.h"
#include "central/scan_options.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::facade();
  std::string text(reinterpret_cast<const char*>(data), size);
  parseScanOptions(text);
  parseConnectionOptions(text);
  return 0;
}

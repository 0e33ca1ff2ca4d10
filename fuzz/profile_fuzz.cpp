// Local profile texts set through the facade, as "/set" "localprofile" hands them over: each is
// accepted and published, or refused with its message and the earlier profile kept. What is
// accepted is reported back as JSON.
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "fuzz/fuzz_support.h"
#include "peripheral/local_profile.h"
#include "plugin/errors.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (!std::freopen("/dev/null", "w", stdout)) std::abort();
  fuzz::facade();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Plugin& plugin = fuzz::facade();
  std::string text(reinterpret_cast<const char*>(data), size);
  auto decoded = loadProfile(text);
  if (decoded) isValidProfile(*decoded);
  plugin.set("localprofile", text, "Fuzz");
  bool accepted = plugin.getLastError() == Errors::kNoError;
  std::string report = plugin.get("localprofile");
  if (accepted && !nlohmann::json::accept(report)) std::abort();
  return 0;
}

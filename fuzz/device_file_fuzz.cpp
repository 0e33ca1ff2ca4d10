// Device files of the emulator: each is accepted or refused with a DeviceFileError.
#include "tools/device_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    tool::parseDeviceFile(std::string(reinterpret_cast<const char*>(data), size), "fuzz.json");
  } catch (const tool::DeviceFileError&) {
  }
  return 0;
}

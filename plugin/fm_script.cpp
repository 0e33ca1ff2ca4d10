#include "plugin/fm_script.h"

#include <exception>

#include "format/formatter.h"
#include "platform/console.h"
#include "plugin/plugin.h"
#include "server/script_scheduler.h"

std::optional<FMScript> FMScript::make(const std::string& scriptName,
                                       std::optional<std::string> format) {
  if (scriptName.empty()) return std::nullopt;
  return FMScript{scriptName, Plugin::shared().commandFileName(),
                  format ? std::move(*format) : Plugin::defaultFormat()};
}

void FMScript::schedule(const std::string& param) const {
  ScriptScheduler::scheduleScript(sName, fName, param);
}

void FMScript::schedule(const std::string& param, const std::vector<uint8_t>& binary) const {
  std::string value;
  try {
    value = Formatter::binaryToString(binary, format);
  } catch (const FormatError& e) {
    Console::writeLine(std::string("ScriptError: ") + e.what());
    return;
  } catch (...) {
    Console::writeLine("ScriptError: unknown error");
    return;
  }
  schedule(param + "\r" + value);
}

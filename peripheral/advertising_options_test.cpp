#include "peripheral/advertising_options.h"

#include <gtest/gtest.h>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// The parsed options as "stopAfter|displayName" ("-" for absent), or the facade's message.
std::string parsed(const std::optional<std::string>& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  auto options = parseAdvertisingOptions(text);
  if (!options) {
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters);
    return Plugin::shared().getLastErrorMessage();
  }
  std::string stop = "-";
  if (options->stopAfter) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", *options->stopAfter);
    stop = buffer;
  }
  return stop + "|" + options->displayName.value_or("-");
}

// The line grammar and number forms shared with the scan options are checked there.
TEST(AdvertisingOptionsTest, Grammar) {
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {std::nullopt, "-|-"},
      {"", "-|-"},
      {"displayName=Lab Sensor", "-|Lab Sensor"},
      {"DISPLAYNAME=x", "-|x"},
      {"displayName=", "-|"},
      {"stopAfter=never", "-|-"},
      {"stopAfter=5\rstopAfter=NEVER", "-|-"},
      {"stopAfter=0.1", "0.10000000149011612|-"},
      {"stopAfter=2.5", "2.5|-"},
      {"stopAfter=0", "0|-"},
      {"stopAfter=-0", "0|-"},
      {"stopAfter==5", "5|-"},
      {"displayName=A\rstopAfter=5", "5|A"},
      {"displayName=A\rdisplayName=B", "-|B"},
      {"displayName=A\rstopAfter=5\r", "Invalid format for advertising option"},
      {"displayName=A\r\nstopAfter=5", "Unknown advertising option: \nstopAfter"},
      {"stopAfter", "Invalid format for advertising option"},
      {"\r", "Invalid format for advertising option"},
      {"foo=1", "Unknown advertising option: foo"},
      {"stopAfter=-1", "Invalid stopAfter value"},
      {"STOPAFTER=inf", "Invalid STOPAFTER value"},
      {"stopAfter=abc", "Invalid stopAfter value"},
      {"stopAfter=1e39", "Invalid stopAfter value"},
      {"stopAfter=", "Invalid stopAfter value"},
      // A bad line anywhere means nothing of the text takes effect.
      {"displayName=A\rfoo=1", "Unknown advertising option: foo"},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parsed(text), expected) << (text ? *text : "(none)");
  }
}

}  // namespace

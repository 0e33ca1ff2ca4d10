#include "central/connection_options.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

// The parsed options as the fields that are set, or the facade's message for a refusal. Parsed
// with no last error before, so that a refusal is seen to set it and an acceptance to leave it.
std::string parsed(const std::string& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  auto o = parseConnectionOptions(text);
  if (!o) {
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters) << text;
    return Plugin::shared().getLastErrorMessage();
  }
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kNoError) << text;
  std::string fields = "options:";
  auto script = [&](const char* name, const std::optional<FMScript>& s) {
    if (s) fields += std::string(" ") + name + "=" + s->sName + "@" + s->fName + "/" + s->format;
  };
  script("connect", o->onConnect);
  script("failed", o->onConnectionFailed);
  script("disconnect", o->onDisconnect);
  script("services", o->onDiscoverServices);
  script("characteristics", o->onDiscoverCharacteristics);
  if (o->timeout) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.17g", *o->timeout + 0.0);  // -0 written as 0
    fields += std::string(" timeout=") + seconds;
  }
  return fields;
}

// The line grammar and number forms shared with the scan options are checked there.
TEST(ConnectionOptions, FieldsAndRefusalsWithTheirExactMessage) {
  Plugin::shared().setCurrentFileName("Lab.fmp12");
  const std::pair<std::string, std::string> cases[] = {
      {"", "options:"},
      // Scripts keep their text, take the request's file and the default format; an empty one
      // removes the script.
      {"ONCONNECT=Connected\ronConnectionFailed=Script A\rondisconnect= Gone\r"
       "onDiscoverServices==Svc\r=onDiscoverCharacteristics=Chars",
       "options: connect=Connected@Lab.fmp12/UTF-8 failed=Script A@Lab.fmp12/UTF-8 "
       "disconnect= Gone@Lab.fmp12/UTF-8 services=Svc@Lab.fmp12/UTF-8 "
       "characteristics=Chars@Lab.fmp12/UTF-8"},
      {"onConnect=A\ronConnect=\r=ondisconnect=", "options:"},
      // The timeout passes through single precision.
      {"timeout=2.5", "options: timeout=2.5"},
      {"timeout=0", "options: timeout=0"},
      {"timeout=-0", "options: timeout=0"},
      {"timeout=+1e1", "options: timeout=10"},
      {"timeout=0x1p-1", "options: timeout=0.5"},
      {"timeout=0.1", "options: timeout=0.10000000149011612"},
      {"onConnect=A\r", "Invalid format for connection option"},
      {"onConnect=A\r\nonDisconnect=B", "Unknown connection option: \nonDisconnect"},
      {"onConnect=A\nonDisconnect=B", "Invalid format for connection option"},
      {"onConnect", "Invalid format for connection option"},
      {"onConnect=A\rfoo", "Invalid format for connection option"},
      {"foo=1", "Unknown connection option: foo"},
      {" onConnect=A", "Unknown connection option:  onConnect"},
      {"onConnect=A\ronconnect =B", "Unknown connection option: onconnect "},
      {"timeout=-1", "Invalid timeout value"},
      {"timeout=abc", "Invalid timeout value"},
      {"timeout=", "Invalid timeout value"},
      {"timeout=inf", "Invalid timeout value"},
      {"timeout=nan", "Invalid timeout value"},
      {std::string("timeout=2\0", 10), "Invalid timeout value"},
      {"TIMEOUT=x", "Invalid TIMEOUT value"},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(parsed(text), expected) << text;
}

}  // namespace

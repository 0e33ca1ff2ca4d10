#include "central/connection_options.h"

#include <gtest/gtest.h>

#include "plugin/errors.h"
#include "plugin/plugin.h"

namespace {

std::optional<ConnectionOptions> parse(const std::string& text) {
  Plugin::shared().setLastError(Errors::kNoError);
  return parseConnectionOptions(text);
}

// The line grammar and number forms shared with the scan options are checked there.
TEST(ConnectionOptions, RefusalsCarryTheirExactMessage) {
  const std::vector<std::pair<std::string, std::string>> cases = {
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
  for (const auto& [text, message] : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse(text));
    EXPECT_EQ(Plugin::shared().getLastError(), Errors::kWrongParameters);
    EXPECT_EQ(Plugin::shared().getLastErrorMessage(), message);
  }
}

TEST(ConnectionOptions, ScriptsTakeTheRequestFileAndKeepTheirText) {
  Plugin::shared().setCurrentFileName("Lab.fmp12");
  auto o = parse("");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->onConnect || o->onConnectionFailed || o->onDisconnect || o->onDiscoverServices ||
               o->onDiscoverCharacteristics || o->timeout);

  o = parse(
      "ONCONNECT=Connected\ronConnectionFailed=Script A\rondisconnect= Gone\r"
      "onDiscoverServices==Svc\r=onDiscoverCharacteristics=Chars");
  ASSERT_TRUE(o);
  ASSERT_TRUE(o->onConnect && o->onConnectionFailed && o->onDisconnect && o->onDiscoverServices &&
              o->onDiscoverCharacteristics);
  EXPECT_EQ(o->onConnect->sName, "Connected");
  EXPECT_EQ(o->onConnect->fName, "Lab.fmp12");
  EXPECT_EQ(o->onConnect->format, "UTF-8");
  EXPECT_EQ(o->onConnectionFailed->sName, "Script A");
  EXPECT_EQ(o->onDisconnect->sName, " Gone");
  EXPECT_EQ(o->onDiscoverServices->sName, "Svc");
  EXPECT_EQ(o->onDiscoverCharacteristics->sName, "Chars");

  o = parse("onConnect=A\ronConnect=\r=ondisconnect=");
  ASSERT_TRUE(o);
  EXPECT_FALSE(o->onConnect);
  EXPECT_FALSE(o->onDisconnect);
  EXPECT_EQ(Plugin::shared().getLastError(), Errors::kNoError);
}

TEST(ConnectionOptions, TimeoutPassesThroughSinglePrecision) {
  const std::vector<std::pair<std::string, double>> cases = {
      {"timeout=2.5", 2.5},   {"timeout=0", 0.0},      {"timeout=-0", 0.0},
      {"timeout=+1e1", 10.0}, {"timeout=0x1p-1", 0.5}, {"timeout=0.1", static_cast<double>(0.1F)},
  };
  for (const auto& [text, seconds] : cases) {
    SCOPED_TRACE(text);
    auto o = parse(text);
    ASSERT_TRUE(o && o->timeout);
    EXPECT_EQ(*o->timeout, seconds);
  }
}

}  // namespace

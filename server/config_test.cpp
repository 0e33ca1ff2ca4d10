#include "server/config.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "child_process.h"

namespace {

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = makeTemporaryDirectory("velnor-config"); }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  int32_t portFrom(const std::string& text) {
    std::string path = dir_ + "/config.json";
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    return Config::loadPortFromConfig(path);
  }

  std::string dir_;
};

TEST_F(ConfigTest, ReadsPortAsInteger) {
  EXPECT_EQ(portFrom(R"({"port": 8080})"), 8080);
  EXPECT_EQ(portFrom(R"({"other": "x", "port": 8080})"), 8080);
  EXPECT_EQ(portFrom(R"({"port": 0})"), 0);
  EXPECT_EQ(portFrom(R"({"port": 8080.9})"), 8080);
  EXPECT_EQ(portFrom(R"({"port": -7.9})"), -7);
  EXPECT_EQ(portFrom(R"({"port": 1e3})"), 1000);
  EXPECT_EQ(portFrom(R"({"port": true})"), 1);
  EXPECT_EQ(portFrom(R"({"port": false})"), 0);
  // No range check: the integer goes to the server unchanged.
  EXPECT_EQ(portFrom(R"({"port": 70000})"), 70000);
  EXPECT_EQ(portFrom(R"({"port": -1})"), -1);
}

TEST_F(ConfigTest, OnlyTheFirstValueIsRead) {
  EXPECT_EQ(portFrom("{\"port\": 8080} trailing text"), 8080);
  EXPECT_EQ(portFrom("{\"port\": 8080}\n{\"port\": 9090}"), 8080);
}

TEST_F(ConfigTest, EveryProblemFallsBackToTheDefault) {
  for (const char* text :
       {"", "   ", "{", "{\"port\": }", "{\"port\": \"8080\"}", "{\"port\": null}",
        "{\"port\": [8080]}", "{\"port\": {\"n\": 8080}}", "{}", "[8080]", "8080", "null",
        "// comment\n{\"port\": 8080}", "{\"port\": 1e300}", "{\"Port\": 8080}"}) {
    EXPECT_EQ(portFrom(text), Config::DEFAULT_PORT) << text;
  }
  EXPECT_EQ(Config::loadPortFromConfig(dir_ + "/missing.json"), 24026);
  EXPECT_EQ(Config::loadPortFromConfig(dir_), Config::DEFAULT_PORT);  // a directory
}

}  // namespace

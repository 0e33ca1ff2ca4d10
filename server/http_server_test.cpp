#include "server/http_server.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "server/script_scheduler.h"
#include "thrown.h"

namespace {

using json = nlohmann::json;

std::string readerFailure(const std::function<void()>& fn) {
  return thrown<std::invalid_argument>(fn);
}

TEST(FieldReadersTest, StringsAreStrictlyTypedAndCutAtNul) {
  json body = json::parse(R"({"s": "abc", "e": "", "n": 5, "z": null, "nul": "x\u0000y"})");
  EXPECT_EQ(HTTPServer::NSStringFromJSON(body, "s"), "abc");
  EXPECT_EQ(HTTPServer::NSStringFromJSON(body, "e"), "");
  EXPECT_EQ(HTTPServer::NSStringFromJSON(body, "nul"), "x");
  for (const char* name : {"n", "z", "missing", "S"}) {
    EXPECT_EQ(readerFailure([&] { HTTPServer::NSStringFromJSON(body, name); }),
              "String paramater not in JSON")
        << name;
  }
  EXPECT_EQ(readerFailure([] { HTTPServer::NSStringFromJSON(json::array({"s"}), "s"); }),
            "String paramater not in JSON");
}

TEST(FieldReadersTest, AnyIntegerLiteralIsPassedOnAs32BitsSigned) {
  json body = json::parse(
      R"({"neg": -16, "pos": 7, "max": 2147483647, "min": -2147483648, "big": 2147483648,
          "all": 4294967295, "small": -2147483649, "wide": 4294967296000000007,
          "huge": 18446744073709551615, "f": -16.0, "b": true, "s": "1", "z": null})");
  const std::pair<const char*, int32_t> read[] = {
      {"neg", -16},         {"pos", 7},         {"max", INT32_MAX},
      {"min", INT32_MIN},   {"big", INT32_MIN}, {"all", -1},
      {"small", INT32_MAX}, {"wide", 7},        {"huge", -1}};
  for (const auto& [name, value] : read)
    EXPECT_EQ(HTTPServer::IntFromJSON(body, name), value) << name;
  for (const char* name : {"f", "b", "s", "z", "missing"}) {
    EXPECT_EQ(readerFailure([&] { HTTPServer::IntFromJSON(body, name); }),
              "Int parameter not in JSON")
        << name;
  }
}

TEST(FieldReadersTest, FloatsMustHaveAFractionOrExponent) {
  json body = json::parse(R"({"f": 5.0, "half": 2.5, "exp": 1e1, "i": 5, "s": "5.0"})");
  EXPECT_EQ(HTTPServer::DoubleFromJSON(body, "f"), 5.0);
  EXPECT_EQ(HTTPServer::DoubleFromJSON(body, "half"), 2.5);
  EXPECT_EQ(HTTPServer::DoubleFromJSON(body, "exp"), 10.0);
  for (const char* name : {"i", "s", "missing"}) {
    EXPECT_EQ(readerFailure([&] { HTTPServer::DoubleFromJSON(body, name); }),
              "Float parameter not in JSON")
        << name;
  }
}

TEST(StandardReplyTest, CompactSortedUnescapedAndNeverThrows) {
  EXPECT_EQ(HTTPServer::standardReply(0, "No error", "0"),
            R"({"lastError":0,"lastErrorMessage":"No error","result":"0"})");
  EXPECT_EQ(HTTPServer::standardReply(-16, "caf\xC3\xA9 \"q\" \\ \x01", "\xE2\x82\xAC"),
            "{\"lastError\":-16,\"lastErrorMessage\":\"caf\xC3\xA9 \\\"q\\\" \\\\ \\u0001\","
            "\"result\":\"\xE2\x82\xAC\"}");
  // Invalid UTF-8 is replaced, not thrown.
  EXPECT_EQ(HTTPServer::standardReply(1, "a\xFF", "?"),
            "{\"lastError\":1,\"lastErrorMessage\":\"a\xEF\xBF\xBD\",\"result\":\"?\"}");
  // The code is written as a 32-bit value.
  EXPECT_EQ(HTTPServer::standardReply(int64_t{1} << 32 | 5, "", ""),
            R"({"lastError":5,"lastErrorMessage":"","result":""})");
}

HTTPServer::Request requestWith(const std::vector<std::pair<std::string, std::string>>& headers) {
  HTTPServer::Request req;
  req.headers = headers;
  return req;
}

TEST(WebPageHeaderTest, OriginCrossSiteFetchesAndForeignHostsMarkAWebPage) {
  EXPECT_EQ(HTTPServer::webPageHeader(requestWith({})), std::nullopt);
  for (const char* host :
       {"127.0.0.1", "127.0.0.1:24026", "localhost", "LocalHost:1", "[::1]", "[::1]:24026"}) {
    EXPECT_EQ(HTTPServer::webPageHeader(requestWith({{"Host", host}, {"Sec-Fetch-Site", "none"}})),
              std::nullopt)
        << host;
  }
  for (const char* host :
       {"attacker.example", "attacker.example:24026", "127.0.0.2", "localhost.attacker.example",
        "127.0.0.1:", "127.0.0.1:x", "127.0.0.1:1:2", "[::2]", "::1", "", "0.0.0.0:24026"}) {
    EXPECT_EQ(HTTPServer::webPageHeader(requestWith({{"Host", host}})),
              std::string("Host: ") + host)
        << host;
  }
  EXPECT_EQ(HTTPServer::webPageHeader(requestWith({{"Host", "localhost"}, {"origin", "null"}})),
            "origin: null");
  for (const char* site : {"cross-site", "same-site", "same-origin", "None", ""}) {
    EXPECT_EQ(HTTPServer::webPageHeader(requestWith({{"Sec-Fetch-Site", site}})),
              std::string("Sec-Fetch-Site: ") + site)
        << site;
  }
}

TEST(DequeueHandlerTest, AnswersTheScriptRecordAsJSON) {
  double now = 1000.0;
  ScriptScheduler::resetForTesting([&now] { return now; });
  now = 1000.1;
  HTTPServer::Request req;
  ScriptScheduler::scheduleScript("On \"Read\"", "Caf\xC3\xA9.fmp12", "a\rb\\c\x01");
  HTTPServer::Response res;
  HTTPServer::dequeueScriptIfTime(req, res);
  EXPECT_EQ(res.status, 200);
  EXPECT_EQ(res.body,
            "{\"fileName\":\"Caf\xC3\xA9.fmp12\",\"parameters\":\"a\\rb\\\\c\\u0001\","
            "\"scriptName\":\"On \\\"Read\\\"\"}");
  EXPECT_EQ(res.contentType, "application/json");
  ScriptScheduler::resetForTesting(nullptr);
}

}  // namespace

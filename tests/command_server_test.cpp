// End-to-end tests of the command server: the built helper on its own port and air directory.
#include <gtest/gtest.h>

#include "helper_process.h"

namespace {

const std::string kOK = R"({"lastError":0,"lastErrorMessage":"No error","result":"0"})";
const std::string kBadRequest =
    R"({"lastError":-300,"lastErrorMessage":"Helper App received bad request","result":"?"})";

}  // namespace

TEST(CommandServerTest, AnswersVersionAndLastErrorRoundTrip) {
  HelperProcess helper;
  HttpReply version = helper.get("/version");
  EXPECT_EQ(version.status, 200);
  EXPECT_EQ(version.body, "4.0.0.12");
  EXPECT_EQ(version.contentType, "text/plain");

  HttpReply set = helper.post("/setLastError", R"({"code": -16, "message": "x"})");
  EXPECT_EQ(set.status, 200);
  EXPECT_EQ(set.body, R"({"lastError":-16,"lastErrorMessage":"x","result":"0"})");
  EXPECT_EQ(set.contentType, "application/json");
  EXPECT_EQ(helper.post("/getLastError", "{}").body,
            R"({"lastError":-16,"lastErrorMessage":"x","result":"-16"})");
  EXPECT_EQ(helper.post("/getLastErrorMessage", "[]").body,
            R"({"lastError":-16,"lastErrorMessage":"x","result":"x"})");
  HttpReply empty = helper.post("/getLastError", "");
  EXPECT_EQ(empty.status, 400);
  EXPECT_EQ(empty.body, kBadRequest);
}

// A page in a real browser tries to drive the helper: Debian's chromium, headless, loads a page
// served from another local port whose script posts to the helper with fetch (mode "no-cors")
// and with a form. Every attempt must be refused and change nothing.
#include <gtest/gtest.h>
#include <httplib.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "helper_process.h"

namespace {

const std::string kChromium = "/usr/bin/chromium";

// The attacking page: two fetches, then a form submitted into a frame; when the frame has
// loaded, it tells the page server that it is done.
std::string attackPage(int helperPort) {
  std::string helper = "http://127.0.0.1:" + std::to_string(helperPort);
  return R"(<!doctype html><html><body>
<iframe name="sink" id="sink"></iframe>
<form id="form" method="POST" enctype="text/plain" target="sink" action=")" +
         helper + R"(/startScan">
<input name='{"options":"","filename":"F","x":"' value='"}'></form>
<script>
const helper = ")" +
         helper + R"(";
const post = (path, body) =>
  fetch(helper + path, {method: "POST", mode: "no-cors", body}).catch(() => {});
Promise.all([
  post("/setLastError", '{"code": -1, "message": "page"}'),
  post("/startScan", '{"options": "", "filename": "F"}'),
]).then(() => {
  document.getElementById("sink").onload = () => fetch("/done");
  document.getElementById("form").submit();
});
</script></body></html>)";
}

TEST(WebPageTest, ABrowserPageCannotDriveTheHelper) {
  if (access(kChromium.c_str(), X_OK) != 0) {
    GTEST_SKIP() << "no browser: install Debian's chromium to run this test (.ci/run does)";
  }
  HelperProcess helper;
  ASSERT_EQ(helper.post("/setLastError", R"({"code": -77, "message": "before"})").status, 200);
  // The set-up request's own log line may follow its reply: only lines after it count.
  ASSERT_TRUE(helper.waitForStdoutLine("HTTPServer: Request OK"));
  size_t linesBefore = helper.stdoutLines().size();

  httplib::Server pages;
  std::atomic<bool> done{false};
  pages.Get("/", [&](const httplib::Request&, httplib::Response& res) {
    res.set_content(attackPage(helper.port()), "text/html");
  });
  pages.Get("/done", [&](const httplib::Request&, httplib::Response& res) {
    done = true;
    res.set_content("", "text/plain");
  });
  int pagePort = pages.bind_to_any_port("127.0.0.1");
  ASSERT_GT(pagePort, 0);
  std::thread serving([&] { pages.listen_after_bind(); });

  std::string profile = helper.directory() + "/browser";
  std::filesystem::create_directory(profile);
  ChildProcess browser(
      {.program = kChromium,
       .args = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--disable-background-networking", "--disable-component-update", "--disable-sync",
                "--no-first-run", "--no-default-browser-check", "--user-data-dir=" + profile,
                "http://127.0.0.1:" + std::to_string(pagePort) + "/"}});
  auto deadline = ChildProcess::after(90);
  while (!done && ChildProcess::Clock::now() < deadline &&
         !browser.waitForExit(ChildProcess::after(0.1))) {
  }
  bool pageFinished = done;
  browser.terminate();
  browser.waitForExit(ChildProcess::after(20));
  pages.stop();
  serving.join();
  ASSERT_TRUE(pageFinished) << "the page never finished; browser said:\n"
                            << testing::PrintToString(browser.stderrLines());

  // Three refusals, each naming the page's origin, and no other line of the command server.
  const std::string refused =
      "HTTPServer: Refused a request from a web page (Origin: http://127.0.0.1:" +
      std::to_string(pagePort) + ")";
  size_t index = 0, refusals = 0;
  helper.process().waitForLine(
      [&](const std::string& line) {
        refusals += index++ >= linesBefore && line == refused;
        return refusals == 3;
      },
      ChildProcess::after(10));
  auto lines = helper.stdoutLines();
  std::vector<std::string> serverLines;
  for (size_t i = linesBefore; i < lines.size(); ++i) {
    if (lines[i].rfind("HTTPServer: ", 0) == 0) serverLines.push_back(lines[i]);
  }
  EXPECT_EQ(serverLines, std::vector<std::string>(3, refused));
  EXPECT_EQ(helper.post("/getLastError", "{}").body,
            R"({"lastError":-77,"lastErrorMessage":"before","result":"-77"})");
  auto status = nlohmann::json::parse(helper.post("/get", R"({"selector":"status"})").body);
  EXPECT_NE(status["result"].get<std::string>().find(R"("isScanning": false)"), std::string::npos);
}

}  // namespace

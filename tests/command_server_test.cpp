// End-to-end tests of the command server: the built helper on its own port and air directory.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <thread>
#include <tuple>

#include "bluetooth/sim/air.h"
#include "bluetooth/sim/emulated_device.h"
#include "eventually.h"
#include "helper_process.h"
#include "platform/dispatch_queue.h"
#include "plugin/errors.h"
#include "tools/helper_client.h"

namespace {

using json = nlohmann::json;

const std::string kBadRequest =
    R"({"lastError":-300,"lastErrorMessage":"Helper App received bad request","result":"?"})";

// One helper for the whole suite: starting it per test would only cost time.
class CommandServerTest : public ::testing::Test {
 protected:
  // The roles report Bluetooth's state from their queues, which can be after the server
  // listens: the suite waits for those lines, so that no test counts them as its own.
  static void SetUpTestSuite() {
    try {
      helper_ = new HelperProcess();
      if (!helper_->waitForStdoutLine("CentralDelegate: Is powered on") ||
          !helper_->waitForStdoutLine("PeripheralDelegate: Is powered on")) {
        startFailure_ = "the roles never reported Bluetooth's state";
      }
    } catch (const std::exception& e) {
      startFailure_ = e.what();
    }
  }
  // A set-up that failed fails each test: GoogleTest would mark them skipped, and CTest
  // counts a skipped test as passed.
  void SetUp() override { ASSERT_TRUE(startFailure_.empty()) << startFailure_; }
  static void TearDownTestSuite() {
    delete helper_;
    helper_ = nullptr;
  }

  // Posts and returns the reply, with the stdout lines the request wrote. A command writes its
  // one line before it answers, but the line may still be in the pipe: wait for it, so that it
  // is never counted as the next request's.
  HttpReply post(const std::string& path, const std::string& body,
                 std::vector<std::string>* lines = nullptr) {
    size_t before = helper_->stdoutLines().size();
    HttpReply reply = helper_->post(path, body);
    bool writesLine = path != "/dequeueScriptIfTime" && reply.status != 404 && reply.status != 0;
    if (writesLine) {
      size_t index = 0;
      helper_->process().waitForLine([&](const std::string&) { return index++ >= before; },
                                     ChildProcess::after(10));
    }
    if (lines) {
      auto all = helper_->stdoutLines();
      lines->assign(all.begin() + static_cast<long>(before), all.end());
    }
    return reply;
  }

  static HelperProcess* helper_;
  static std::string startFailure_;
};

HelperProcess* CommandServerTest::helper_ = nullptr;
std::string CommandServerTest::startFailure_;

TEST_F(CommandServerTest, LastErrorRoundTripAndRequestFailuresOverwriteIt) {
  std::vector<std::string> lines;
  HttpReply set = post("/setLastError", R"({"code": -16, "message": "x"})", &lines);
  EXPECT_EQ(set.status, 200);
  EXPECT_EQ(set.body, R"({"lastError":-16,"lastErrorMessage":"x","result":"0"})");
  EXPECT_EQ(set.contentType, "application/json");
  EXPECT_EQ(lines, std::vector<std::string>{"HTTPServer: Request OK"});
  EXPECT_EQ(post("/getLastError", "{}").body,
            R"({"lastError":-16,"lastErrorMessage":"x","result":"-16"})");
  EXPECT_EQ(post("/getLastErrorMessage", " [1] ").body,
            R"({"lastError":-16,"lastErrorMessage":"x","result":"x"})");
  // A code beyond 32 bits is taken as its low 32 bits, signed.
  EXPECT_EQ(post("/setLastError", R"({"code": 4294967295, "message": "y"})").body,
            R"({"lastError":-1,"lastErrorMessage":"y","result":"0"})");

  // A request refused as bad (CommandsWithoutFieldsAcceptAnyJSONValue checks the answer) is the
  // last error.
  EXPECT_EQ(post("/getLastError", "").status, 400);
  EXPECT_EQ(
      post("/getLastError", "{}").body,
      R"({"lastError":-300,"lastErrorMessage":"Helper App received bad request","result":"-300"})");

  HttpReply floatCode = post("/setLastError", R"({"code": -16.0, "message": "x"})", &lines);
  EXPECT_EQ(floatCode.status, 500);
  EXPECT_EQ(floatCode.body, kBadRequest);
  EXPECT_EQ(lines, std::vector<std::string>{"HTTPServer: STD Error: Int parameter not in JSON"});
}

TEST_F(CommandServerTest, FieldsAreReadInOrderAndTheFirstFailureIsLogged) {
  const std::string str = "HTTPServer: STD Error: String paramater not in JSON";
  const std::string flt = "HTTPServer: STD Error: Float parameter not in JSON";
  // Each path with a body and the line its failure logs.
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"/read", R"({"deviceID":"D","servID":"S","charID":"C","format":"hex","timeout":5})", flt},
      {"/read", R"({"deviceID":"D","servID":"S","charID":"C"})", str},
      {"/connect", R"({"deviceID":"D","options":"","filename":"F","timeout":"1.0"})", flt},
      {"/connect", R"({"deviceID":"D","options":"","timeout":1.0})", str},
      {"/subscribe",
       R"({"deviceID":"D","servID":"S","charID":"C","script":"X","format":"hex","timeout":1.0})",
       str},
      {"/get", R"({"selector":"status","deviceID":null})", str},
      {"/get", R"({"deviceID":"D"})", str},
      {"/set", R"({"selector":"authorization","value":"1"})", str},
      {"/set", R"({"selector":"authorization","deviceID":5,"filename":"F","value":"1"})", str},
      {"/startScan", "[]", str},
      {"/startScan", "null", str},
      {"/setLocalChar", R"({"servID":"S","charID":"C","format":"hex"})", str},
      {"/startAdvertising", R"({"Options":""})", str},
  };
  for (const auto& [path, body, line] : cases) {
    std::vector<std::string> lines;
    HttpReply reply = post(path, body, &lines);
    EXPECT_EQ(reply.status, 500) << path << " " << body;
    EXPECT_EQ(reply.body, kBadRequest) << path << " " << body;
    EXPECT_EQ(lines, std::vector<std::string>{line}) << path << " " << body;
  }
}

TEST_F(CommandServerTest, CommandsWithoutFieldsAcceptAnyJSONValue) {
  for (const char* body : {"{}", "[]", "null", "  7  ", "\"text\""}) {
    EXPECT_EQ(post("/getLastErrorMessage", body).status, 200) << body;
    EXPECT_EQ(post("/stopAdvertising", body).status, 200) << body;
    EXPECT_EQ(post("/stopScan", body).status, 200) << body;
  }
  // Not JSON at all, or JSON followed by more text, or a comment.
  for (const char* body : {"", "{", "{} x", "{}{}", "/* c */ {}", "{'a':1}", "nul"}) {
    std::vector<std::string> lines;
    HttpReply reply = post("/stopScan", body, &lines);
    EXPECT_EQ(reply.status, 400) << body;
    EXPECT_EQ(reply.body, kBadRequest) << body;
    ASSERT_EQ(lines.size(), 1u) << body;
    EXPECT_EQ(lines[0].rfind("HTTPServer: JSON Error: [json.exception.parse_error.101]", 0), 0u)
        << lines[0];
  }
}

TEST_F(CommandServerTest, DequeueAnswersNullSilently) {
  for (const char* body : {"", "garbage", "{}"}) {
    HttpReply reply = post("/dequeueScriptIfTime", body);
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.body, "null");
    EXPECT_EQ(reply.contentType, "application/json");
    // The next line written is the following command's: the poll wrote none.
    std::vector<std::string> lines;
    post("/getLastError", "{}", &lines);
    EXPECT_EQ(lines, std::vector<std::string>{"HTTPServer: Request OK"});
  }
}

TEST_F(CommandServerTest, VersionIsPlainTextAndOtherMethodsAndPathsGetTheLibrary404) {
  ASSERT_EQ(post("/setLastError", R"({"code": -78, "message": "kept"})").status, 200);
  EXPECT_EQ(helper_->get("/read").status, 404);
  EXPECT_EQ(post("/version", "{}").status, 404);
  EXPECT_EQ(post("/Read", "{}").status, 404);
  EXPECT_EQ(post("/read/", "{}").status, 404);
  HttpReply version = helper_->get("/version?x=1");
  EXPECT_EQ(version.status, 200);
  EXPECT_EQ(version.body, "4.0.0.12");
  EXPECT_EQ(version.contentType, "text/plain");
  // No handler ran, so the last error is what it was.
  EXPECT_EQ(post("/getLastError", "{}").body,
            R"({"lastError":-78,"lastErrorMessage":"kept","result":"-78"})");
}

// Sixteen clients at once, each setting its own error, reading the last error and failing a
// command, many times: every reply reports its own command. A /setLastError reply shows what
// it set, a failed command its own failure, and a /getLastError reply a code and a message that
// belong together, with the result equal to that code.
TEST_F(CommandServerTest, EachReplyReportsItsOwnCommandUnderOverlap) {
  constexpr int kClients = 16;
  constexpr int kRounds = 12;
  const std::string notConnected = Errors::message(Errors::kNotConnected);
  // The message that goes with each code that any of the commands below can leave.
  auto messageOf = [&](int64_t code) -> std::optional<std::string> {
    if (code <= -100000) return "client error " + std::to_string(code);
    if (code == Errors::kNotConnected) return notConnected;
    if (code == Errors::kNoError) return "No error";
    if (code == -300) return "Helper App received bad request";
    return std::nullopt;
  };
  // Each command with a text/plain body; with no answer, status 0 and the reason as the body.
  auto post = [](tool::HelperClient& client, const std::string& path, const std::string& body) {
    try {
      return client.request("POST", path, body, {{"Content-Type", "text/plain"}});
    } catch (const tool::HelperUnreachable& e) {
      return tool::HttpAnswer{0, "", std::string("no answer, ") + e.what()};
    }
  };
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      tool::HelperClient client(helper_->port());
      for (int round = 0; round < kRounds; ++round) {
        int64_t code = -100000 - c * 1000 - round;
        std::string message = "client error " + std::to_string(code);
        auto set = post(client, "/setLastError", json{{"code", code}, {"message", message}}.dump());
        EXPECT_EQ(
            set.body,
            json({{"lastError", code}, {"lastErrorMessage", message}, {"result", "0"}}).dump());
        json last = json::parse(post(client, "/getLastError", "{}").body, nullptr, false);
        int64_t got = last.is_object() ? last.value("lastError", int64_t{1}) : 1;
        EXPECT_TRUE(last.is_object() && last.value("result", "") == std::to_string(got) &&
                    messageOf(got) == last.value("lastErrorMessage", ""))
            << last;
        auto failed = post(client, "/disconnect", R"({"deviceID": "Nobody"})");
        EXPECT_EQ(failed.body, json({{"lastError", Errors::kNotConnected},
                                     {"lastErrorMessage", notConnected},
                                     {"result", "0"}})
                                   .dump());
        auto bad = post(client, "/stopScan", "");
        EXPECT_TRUE(bad.status == 400 && bad.body == kBadRequest) << bad.body;
      }
    });
  }
  for (auto& client : clients) client.join();
}

// Requests that a web page could send are refused before any handler: nothing changes, the
// refusal is logged once with the header, and no CORS header invites the page to read on.
TEST_F(CommandServerTest, RequestsFromWebPagesAreRefusedBeforeAnyHandler) {
  ASSERT_EQ(post("/setLastError", R"({"code": -77, "message": "before"})").status, 200);
  const std::string refused = "HTTPServer: Refused a request from a web page (";
  // Each header that marks a page, on a command, the version and a path with no route.
  const std::vector<std::tuple<std::string, std::string, tool::HelperClient::Headers, std::string>>
      cases = {
          {"POST", "/setLastError", {{"Host", "attacker.example:1"}}, "Host: attacker.example:1"},
          {"POST", "/startScan", {{"Sec-Fetch-Site", "cross-site"}}, "Sec-Fetch-Site: cross-site"},
          {"GET", "/version", {{"Origin", "http://evil.example"}}, "Origin: http://evil.example"},
          // A page served from another local port, as a browser's fetch or form sends it.
          {"POST", "/nowhere", {{"Origin", "http://127.0.0.1:80"}}, "Origin: http://127.0.0.1:80"},
      };
  for (auto [method, path, headers, logged] : cases) {
    size_t before = helper_->stdoutLines().size();
    tool::HelperClient client(helper_->port());
    std::string body;
    if (method == "POST") {
      body = R"({"code": -1, "message": "page", "options": "", "filename": "F"})";
      headers.emplace_back("Content-Type", "text/plain");
    }
    auto reply = client.request(method, path, body, headers);
    EXPECT_EQ(reply.status, 403) << logged;
    EXPECT_EQ(reply.body, "") << logged;
    EXPECT_EQ(reply.header("Connection"), "close") << logged;
    EXPECT_EQ(reply.head.find("\r\nAccess-Control-"), std::string::npos) << reply.head;
    EXPECT_TRUE(helper_->waitForStdoutLine(refused + logged + ")", before)) << logged;
    auto lines = helper_->stdoutLines();
    EXPECT_EQ(lines.size(), before + 1) << logged;
  }
  EXPECT_EQ(post("/getLastError", "{}").body,
            R"({"lastError":-77,"lastErrorMessage":"before","result":"-77"})");
  // The refused scan did not start. What is not refused reaches the handlers: every other
  // request of these tests, and the forms of the headers that WebPageHeaderTest checks.
  std::string status = json::parse(post("/get", R"({"selector":"status"})").body)["result"];
  EXPECT_NE(status.find(R"("isScanning": false)"), std::string::npos);
}

// What no ordinary client sends: each request gets its clear answer in order, or a refusal and a
// close, and none of it changes the last error.
TEST(TransportTest, EveryRequestIsAnsweredInOrderOrRefusedClearly) {
  HelperProcess helper;
  ASSERT_EQ(helper.post("/setLastError", R"({"code": -5, "message": "kept"})").status, 200);
  const std::string host = "Host: 127.0.0.1\r\n";

  // Pipelined requests, one of them with a chunked body, answered in order on one connection,
  // which the last one asks to close.
  tool::HelperClient pipelined(helper.port());
  ASSERT_TRUE(pipelined.send("POST /getLastErrorMessage HTTP/1.1\r\n" + host +
                             "Content-Length: 2\r\n\r\n{}"
                             "GET /version HTTP/1.1\r\n" +
                             host +
                             "\r\n"
                             "POST /nowhere HTTP/1.1\r\n" +
                             host +
                             "Content-Length: 0\r\n\r\n"
                             "POST /getLastError HTTP/1.1\r\n" +
                             host +
                             "Connection: close\r\nTransfer-Encoding: chunked\r\n\r\n"
                             "1\r\n{\r\n1\r\n}\r\n0\r\n\r\n"));
  auto first = pipelined.nextAnswer();
  EXPECT_EQ(first.body, R"({"lastError":-5,"lastErrorMessage":"kept","result":"kept"})");
  EXPECT_EQ(first.head, "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 58");
  EXPECT_EQ(pipelined.nextAnswer().body, "4.0.0.12");
  auto missing = pipelined.nextAnswer();
  EXPECT_EQ(missing.status, 404);
  EXPECT_EQ(missing.body, "");
  auto last = pipelined.nextAnswer();
  EXPECT_EQ(last.body, R"({"lastError":-5,"lastErrorMessage":"kept","result":"-5"})");
  EXPECT_EQ(last.head,
            "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n"
            "Content-Length: 56");
  EXPECT_TRUE(pipelined.closedByServer());

  // An HTTP/1.0 client is answered in its version, and kept only when it asks to be.
  tool::HelperClient older(helper.port());
  ASSERT_TRUE(older.send("GET /version HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"));
  EXPECT_EQ(older.nextAnswer().head,
            "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nConnection: keep-alive\r\n"
            "Content-Length: 8");
  ASSERT_TRUE(older.send("POST /nowhere HTTP/1.0\r\n\r\n"));
  EXPECT_EQ(older.nextAnswer().head, "HTTP/1.0 404 Not Found\r\nContent-Length: 0");
  EXPECT_TRUE(older.closedByServer());

  // A body one byte over 16 MiB is refused before it is sent, and the connection ends.
  tool::HelperClient huge(helper.port());
  ASSERT_TRUE(huge.send("POST /read HTTP/1.1\r\n" + host +
                        "Content-Length: 16777217\r\n\r\n{\"deviceID\""));
  auto refusal = huge.nextAnswer();
  EXPECT_EQ(refusal.status, 413);
  EXPECT_EQ(refusal.header("Connection"), "close");
  EXPECT_EQ(refusal.body, "Request body over the limit of 16777216 bytes");
  EXPECT_TRUE(huge.closedByServer());
  EXPECT_TRUE(
      helper.waitForStdoutLine("HTTPServer: Refused a body over the limit of 16777216 bytes"));

  // A client that asks before sending its body is told to go on.
  tool::HelperClient asking(helper.port());
  ASSERT_TRUE(asking.send("POST /getLastError HTTP/1.1\r\n" + host +
                          "Expect: 100-continue\r\nContent-Length: 2\r\n\r\n"));
  EXPECT_EQ(asking.nextAnswer().status, 100);
  ASSERT_TRUE(asking.send("{}"));
  EXPECT_EQ(asking.nextAnswer().status, 200);

  // A malformed request line, an oversized header and a body cut short: 400, then the close.
  for (const std::string& bad : std::vector<std::string>{
           "GARBAGE\r\n\r\n",
           "POST /getLastError HTTP/1.1\r\nX-Big: " + std::string(9000, 'x') + "\r\n\r\n",
           "POST /getLastError HTTP/1.1\r\n" + host + "Content-Length: 10\r\n\r\n{}"}) {
    tool::HelperClient connection(helper.port());
    ASSERT_TRUE(connection.send(bad));
    connection.shutdownWrite();
    EXPECT_EQ(connection.nextAnswer().status, 400) << bad.substr(0, 40);
    EXPECT_TRUE(connection.closedByServer()) << bad.substr(0, 40);
  }
  EXPECT_EQ(helper.post("/getLastError", "{}").body,
            R"({"lastError":-5,"lastErrorMessage":"kept","result":"-5"})");

  // A Content-Length of characters instead of UTF-8 bytes leaves the body's end behind, in the
  // read of the request or in a later one: it is dropped, and the next request is answered.
  const std::string dropped = "HTTPServer: Dropped 2 bytes after a request's body";
  const std::string undercounted = "POST /dequeueScriptIfTime HTTP/1.1\r\n" + host +
                                   "Content-Length: 6\r\n\r\n[\"\xC3\xA9\xC3\xA9";
  tool::HelperClient rest(helper.port());
  size_t before = helper.stdoutLines().size();
  ASSERT_TRUE(rest.send(undercounted + "\"]GET /version HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(rest.nextAnswer().body, "null");
  EXPECT_EQ(rest.nextAnswer().body, "4.0.0.12");
  EXPECT_TRUE(helper.waitForStdoutLine(dropped, before));
  ASSERT_TRUE(rest.send(undercounted));
  EXPECT_EQ(rest.nextAnswer().body, "null");
  before = helper.stdoutLines().size();
  // The start of a method waits for the rest of it.
  ASSERT_TRUE(rest.send("\"]PO"));
  EXPECT_TRUE(helper.waitForStdoutLine(dropped, before));
  ASSERT_TRUE(rest.send("ST /getLastError HTTP/1.1\r\n" + host + "Content-Length: 2\r\n\r\n{}"));
  EXPECT_EQ(rest.nextAnswer().body, R"({"lastError":-5,"lastErrorMessage":"kept","result":"-5"})");

  // Any content type is read as JSON, at any size up to the limit itself (a form is not
  // limited otherwise).
  tool::HelperClient client(helper.port());
  std::string padded = R"({"code": -6, "message": "form"})";
  padded.resize(size_t{16} << 20, ' ');
  auto form = client.request("POST", "/setLastError", padded,
                             {{"Content-Type", "application/x-www-form-urlencoded"}});
  EXPECT_EQ(form.status, 200);
  EXPECT_EQ(form.body, R"({"lastError":-6,"lastErrorMessage":"form","result":"0"})");
}

// A discovered name with bytes that are not UTF-8 makes the whole "devices" answer "{}", as for
// every JSON answer, rather than a text with replacement characters.
TEST(SelectorAnswerTest, DevicesAnswerThatIsNotUTF8IsAnEmptyObject) {
  HelperProcess helper;
  DispatchQueue queue("test.device");
  sim::EmulatedDeviceObserver observer;
  sim::EmulatedDeviceConfig config;
  config.name = "Belt \xFF\xFE";
  config.advertising = sim::AdvertisingConfig{};
  config.advertising->localName = config.name;
  config.advertising->interval = std::chrono::milliseconds(20);
  auto device =
      sim::EmulatedDevice::create(sim::makeSocketAir(helper.airDir()), config, observer, queue);

  ASSERT_EQ(helper.post("/startScan", R"({"options": "", "filename": "F"})").body, kOK.dump());
  std::string result = "[]";
  auto deadline = ChildProcess::after(10);
  while (result == "[]" && ChildProcess::Clock::now() < deadline) {
    result = json::parse(helper.post("/get", R"({"selector": "devices"})").body)["result"];
  }
  EXPECT_EQ(result, "{}");
}

// ---- Start-up and configuration: each test starts its own helper. ----

// The lines of the start-up itself, without those of the Bluetooth roles, whose managers report
// their state on their own queues at any moment.
std::vector<std::string> startupLines(const std::vector<std::string>& lines) {
  std::vector<std::string> kept;
  for (const auto& l : lines) {
    if (l.rfind("CentralDelegate: ", 0) != 0 && l.rfind("PeripheralDelegate: ", 0) != 0) {
      kept.push_back(l);
    }
  }
  return kept;
}

// The banner, then the Listening line of the configured port; for a port another helper holds,
// or one outside the TCP range, the same lines, then exit 0.
TEST(StartupTest, ListeningLineOnTheConfiguredPortOrABindFailure) {
  HelperProcess first;
  auto lines = first.stdoutLines();
  ASSERT_GE(lines.size(), 3u);
  // The facade, and with it the central role, is made before the server.
  EXPECT_EQ(lines[1], "CentralDelegate: Starting Bluetooth");
  auto startup = [](int64_t port) {
    return std::vector<std::string>{"Initializing Velnor Helper App (version 4.0.0.12)",
                                    "HTTPServer: Listening on 127.0.0.1:" + std::to_string(port)};
  };
  EXPECT_EQ(lines[0], startup(0)[0]);
  EXPECT_EQ(startupLines(lines), startup(first.port()));
  for (int64_t port : {int64_t{first.port()}, int64_t{65536}, int64_t{-1}}) {
    HelperProcess helper(
        {.configText = "{\"port\": " + std::to_string(port) + "}", .waitUntilReady = false});
    EXPECT_EQ(helper.process().exitCode(ChildProcess::after(20)), 0) << "port " << port;
    EXPECT_EQ(startupLines(helper.stdoutLines()), startup(port));
    EXPECT_TRUE(helper.process().stderrLines().empty()) << "port " << port;
  }
  EXPECT_EQ(first.get("/version").body, "4.0.0.12");
}

TEST(StartupTest, ARestartBindsAtOnceWhileTheOldConnectionsClose) {
  HelperProcess first;
  ASSERT_EQ(first.get("/version").status, 200);  // a connection the client still holds open
  first.process().kill();
  ASSERT_TRUE(first.process().waitForExit(ChildProcess::after(10)));
  // Throws when it cannot bind.
  HelperProcess restarted({.configText = "{\"port\": " + std::to_string(first.port()) + "}"});
  EXPECT_EQ(restarted.get("/version").body, "4.0.0.12");
}

// The reader of the helper's standard output may stop reading (a stuck log pipe) or go away
// (journald restarting): the lines that neither the pipe nor the helper's queue hold are
// dropped and counted, the writes fail, and the helper goes on answering.
TEST(StartupTest, AStandardOutputWithoutReaderStopsNothing) {
  std::string fifo = makeTemporaryDirectory("velnor-stdout") + "/stdout";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  HelperProcess helper({.stdoutPath = fifo});
  std::string text;
  // Reads what has come; false when nothing more comes within 20 s.
  auto readMore = [&] {
    pollfd p{reader, POLLIN, 0};
    char chunk[64 * 1024];
    ssize_t n = 0;
    if (::poll(&p, 1, 20000) <= 0 || (n = ::read(reader, chunk, sizeof chunk)) <= 0) return false;
    text.append(chunk, static_cast<size_t>(n));
    return true;
  };
  auto count = [&](const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  while (count("Delegate: Is powered on\n") < 2) ASSERT_TRUE(readMore());

  // Each refusal logs its 7000-byte Origin: a few hundred overflow the pipe and the queue.
  constexpr size_t kRefused = 300;
  for (size_t i = 0; i < kRefused; ++i) {
    tool::HelperClient page(helper.port());
    ASSERT_TRUE(page.send("GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nOrigin: " +
                          std::string(7000, 'o') + "\r\n\r\n"));
    ASSERT_EQ(page.nextAnswer().status, 403) << i;
  }
  ASSERT_EQ(helper.post("/getLastError", "{}").status, 200);
  // Read again, each line logged since comes, or is counted in a report of the lines dropped.
  const std::string report = " lines dropped while standard output was blocked\n";
  auto dropped = [&] {
    size_t n = 0;
    for (size_t at = text.find(report); at != std::string::npos; at = text.find(report, at + 1)) {
      size_t number = text.rfind("\nConsole: ", at) + 10;
      n += std::stoul(text.substr(number, at - number));
    }
    return n;
  };
  auto accounted = [&] {
    return count("\nHTTPServer: Refused a request from a web page (Origin: o") +
           count("\nHTTPServer: Request OK\n") + dropped();
  };
  while (accounted() < kRefused + 1) ASSERT_TRUE(readMore()) << accounted();
  EXPECT_EQ(accounted(), kRefused + 1);
  EXPECT_GT(dropped(), 0u);

  ::close(reader);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(helper.post("/getLastError", "{}").status, 200) << i;
  std::filesystem::remove_all(std::filesystem::path(fifo).parent_path());
}

TEST(StartupTest, ATerminatedHelperTakesItsSocketOutOfTheAir) {
  HelperProcess helper;
  auto sockets = [&] {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(helper.airDir()))
      n += e.path().extension() == ".sock";
    return n;
  };
  ASSERT_TRUE(eventually([&] { return sockets() == 1; }));
  helper.process().terminate();
  helper.process().waitForExit(ChildProcess::after(10));
  EXPECT_EQ(sockets(), 0u);
}

TEST(StartupTest, UnknownArgumentIsAUsageError) {
  const std::string usage =
      "usage: Velnor_HelperApp [--config PATH] [--air DIR] [--radio sim|bluez[:hciN]]";
  for (std::vector<std::string> args :
       {std::vector<std::string>{"--verbose"}, {"--config"}, {"extra"}, {"--radio"}}) {
    ChildProcess child({.program = VELNOR_HELPER_PATH, .args = args});
    EXPECT_EQ(child.exitCode(ChildProcess::after(20)), 2);
    EXPECT_EQ(child.stderrLines(), std::vector<std::string>{usage});
    EXPECT_TRUE(child.stdoutLines().empty());
  }
  for (std::string radio : {"wifi", "bluez:", "bluez:../hci0"}) {
    ChildProcess child({.program = VELNOR_HELPER_PATH, .args = {"--radio", radio}});
    EXPECT_EQ(child.exitCode(ChildProcess::after(20)), 2);
    EXPECT_EQ(child.stderrLines(),
              (std::vector<std::string>{"Velnor_HelperApp: no such radio: " + radio, usage}));
  }
}

}  // namespace

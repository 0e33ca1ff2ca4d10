// HTTP figures of the helper, each printed beside its target and its baseline from the same run:
//   1. requests per second of 1, 8, 64 and 256 concurrent keep-alive clients (POST /getLastError
//      and an empty POST /dequeueScriptIfTime poll), against a bare cpp-httplib server with
//      Nagle off answering a constant body of the same size;
//   2. resident set of the idle helper after start-up;
//   3. every client at once: with 64 reads blocked on a silent emulated device and 1,000 idle
//      keep-alive connections held, the wait of /getLastError on a new connection, and what the
//      idle connections cost in threads and resident set;
//   4. beyond the cap: with 512 commands blocked, the wait of one more, which must wait its
//      turn until the first blocked one ends, and of /getLastError meanwhile, which must not;
//   5. bad input: slow and silent clients, bodies cut short, pipelining, a client that leaves
//      while its command waits, 10,000 connections at once; the helper keeps answering others
//      and its resident set returns to within 2 MiB.
// Every server runs as its own process; the bare server is this program started with
// --bare-server. Build in Release: cmake -DCMAKE_BUILD_TYPE=Release.
#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "child_process.h"
#include "helper_process.h"
#include "tools/helper_client.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kLastErrorReply = R"({"lastError":0,"lastErrorMessage":"No error","result":"0"})";
constexpr double kRoundSeconds = 1.0;
constexpr int kRounds = 7;
constexpr int kBlocked = 64;
constexpr int kIdle = 1000;
constexpr int kFlood = 10000;
constexpr int kCommandCap = 512;  // the helper's default cap on commands in flight
const std::string kVersionRequest = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// ---- The bare server: constant answers, the library's defaults but Nagle off. ----
int runBareServer() {
  httplib::Server server;
  server.set_tcp_nodelay(true);
  server.Post("/getLastError", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(kLastErrorReply, "application/json");
  });
  server.Post("/dequeueScriptIfTime", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("null", "application/json");
  });
  int port = server.bind_to_any_port("127.0.0.1");
  std::printf("listening %d\n", port);
  std::fflush(stdout);
  server.listen_after_bind();
  return 0;
}

class BareServer {
 public:
  BareServer()
      : process_({.program = std::filesystem::read_symlink("/proc/self/exe"),
                  .args = {"--bare-server"},
                  .dieWithParent = true}) {
    auto line =
        process_.waitForLine([](const std::string& l) { return l.rfind("listening ", 0) == 0; },
                             ChildProcess::after(20));
    if (!line) throw std::runtime_error("bare server did not start");
    port_ = std::stoi(line->substr(10));
  }
  int port() const { return port_; }
  pid_t pid() const { return process_.pid(); }

 private:
  ChildProcess process_;
  int port_ = 0;
};

// Requests per second of `clients` keep-alive clients posting `path` for `seconds`.
// Every answer is checked; a wrong one ends the program.
// The bare server's fixed pool of 8 workers drops some of 64 or more clients' requests; those
// are counted in `dropped` and not in the rate, where the helper's are fatal.
double requestsPerSecond(int port, const std::string& path, const std::string& body,
                         const std::string& expected, int clients, double seconds,
                         std::atomic<long>* dropped = nullptr) {
  std::atomic<bool> stop{false};
  std::atomic<long> total{0};
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&] {
      httplib::Client client("127.0.0.1", port);
      client.set_keep_alive(true);
      client.set_tcp_nodelay(true);
      long count = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        auto res = client.Post(path.c_str(), body, "application/json");
        if (!res && dropped != nullptr) {
          ++*dropped;
          continue;
        }
        if (!res || res->status != 200 || res->body != expected) {
          std::cerr << "unexpected answer on port " << port << " " << path << ": "
                    << (res ? res->body : httplib::to_string(res.error())) << "\n";
          std::exit(1);
        }
        ++count;
      }
      total += count;
    });
  }
  auto start = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : threads) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(total.load()) / elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

struct SideBySide {
  double helper;  // median requests per second
  double bare;
  double ratio;  // median of the per-round ratios helper / bare
};

// Helper and bare server measured in alternating rounds, each pair in swapped order every other
// round, so that load from elsewhere on the machine falls on both alike.
SideBySide sideBySide(int helperPort, int barePort, const std::string& path,
                      const std::string& expected, int clients, int rounds) {
  std::vector<double> helper, bare, ratio;
  std::atomic<long> dropped{0};
  for (int r = 0; r < rounds; ++r) {
    double h = 0, b = 0;
    if (r % 2 == 0) {
      h = requestsPerSecond(helperPort, path, "{}", expected, clients, kRoundSeconds);
      b = requestsPerSecond(barePort, path, "{}", expected, clients, kRoundSeconds, &dropped);
    } else {
      b = requestsPerSecond(barePort, path, "{}", expected, clients, kRoundSeconds, &dropped);
      h = requestsPerSecond(helperPort, path, "{}", expected, clients, kRoundSeconds);
    }
    helper.push_back(h);
    bare.push_back(b);
    ratio.push_back(h / b);
  }
  if (dropped > 0) {
    std::printf("  bare server: %ld requests dropped (connection reset or timed out)\n",
                dropped.load());
  }
  return {median(helper), median(bare), median(ratio)};
}

std::string loadAverage() {
  std::ifstream file("/proc/loadavg");
  std::string one, five, fifteen;
  file >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

void report(const char* what, double value, const char* unit, const std::string& target,
            const std::string& baseline, bool met) {
  std::printf("%-58s %10.1f %-6s target %-22s baseline %-26s %s\n", what, value, unit,
              target.c_str(), baseline.c_str(), met ? "MET" : "NOT MET");
}

std::string format(const char* pattern, double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, pattern, value);
  return buffer;
}

// Latencies in ms of `count` POST /getLastError, each on a new connection.
std::vector<double> newConnectionLatencies(int port, int count) {
  std::vector<double> times;
  for (int i = 0; i < count; ++i) {
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(60, 0);
    auto start = Clock::now();
    auto res = client.Post("/getLastError", "{}", "application/json");
    times.push_back(res ? bench::milliseconds(Clock::now() - start) : 1e9);
  }
  return times;
}

// Whether `bytes` went out on `connection`, which a refused connect also reads as not.
bool sent(tool::HelperClient& connection, const std::string& bytes) {
  try {
    return connection.send(bytes);
  } catch (const tool::HelperUnreachable&) {
    return false;
  }
}

// `count` connections that have each been answered once and then stay open.
std::vector<std::unique_ptr<tool::HelperClient>> idleConnections(int port, int count) {
  std::vector<std::unique_ptr<tool::HelperClient>> idle;
  for (int i = 0; i < count; ++i) {
    auto c = std::make_unique<tool::HelperClient>(port);
    if (sent(*c, kVersionRequest) && c->nextAnswer().status != 0) idle.push_back(std::move(c));
  }
  return idle;
}

nlohmann::json silentDevice() {
  return nlohmann::json::parse(R"([{"id": "B10C0000-0000-4000-8000-000000000001",
    "advertising": {"localName": "Silent", "intervalMs": 20},
    "services": [{"uuid": "FFF0", "characteristics": [
      {"uuid": "FFF1", "properties": "read", "value": "00", "onRead": "ignore"},
      {"uuid": "FFF2", "properties": "read", "value": "01"}]}]}])");
}

std::string readBody(const std::string& charID, double timeout) {
  return nlohmann::json{{"deviceID", "B10C0000-0000-4000-8000-000000000001"},
                        {"servID", "FFF0"},
                        {"charID", charID},
                        {"format", "hex"},
                        {"timeout", timeout}}
      .dump();
}

// Connects the helper to the silent device; false when it does not get there in 20 s.
bool connectSilentDevice(HelperProcess& helper) {
  helper.post("/startScan", R"({"options": "", "filename": "Bench"})");
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    helper.post("/connect", R"({"deviceID": "B10C0000-0000-4000-8000-000000000001",
                                "options": "", "filename": "Bench", "timeout": 5.0})");
    if (helper.post("/read", readBody("FFF2", 5.0)).body.find(R"("result":"01")") !=
        std::string::npos) {
      return true;
    }
  }
  return false;
}

// Waits until `count` reads of FFF1 have reached the emulated device; false after 30 s.
bool waitForReads(ChildProcess& emulator, int count) {
  int seen = 0;
  return emulator
      .waitForLine(
          [&](const std::string& line) {
            seen += line.find(R"("event":"read")") != std::string::npos &&
                    line.find(R"("characteristic":"FFF1")") != std::string::npos;
            return seen == count;
          },
          ChildProcess::after(30))
      .has_value();
}

// 64 reads blocked and 1,000 idle keep-alive connections; returns whether the targets held.
bool everyClientAtOnce(HelperProcess& helper) {
  pid_t pid = helper.process().pid();
  auto emulator = bench::startEmulator(helper, silentDevice());
  if (!connectSilentDevice(helper)) {
    std::printf("the silent device was not connected\n");
    return false;
  }
  double rssBefore = bench::residentMiB(pid);
  int threadsBefore = bench::threadCount(pid);
  auto idle = idleConnections(helper.port(), kIdle);
  double rssIdle = bench::residentMiB(pid);
  int threadsIdle = bench::threadCount(pid);
  std::vector<std::thread> blocked;
  for (int i = 0; i < kBlocked; ++i) {
    blocked.emplace_back([port = helper.port()] {
      httplib::Client client("127.0.0.1", port);
      client.set_read_timeout(60, 0);
      client.Post("/read", readBody("FFF1", 8.0), "application/json");
    });
  }
  if (!waitForReads(*emulator, kBlocked)) std::printf("the reads did not all reach the device\n");
  std::vector<double> waits = newConnectionLatencies(helper.port(), 200);
  int threadsBlocked = bench::threadCount(pid);
  for (auto& t : blocked) t.join();
  double p99 = bench::percentile(waits, 0.99);
  double perIdleKiB = (rssIdle - rssBefore) * 1024 / static_cast<double>(idle.size());
  report("new connection's /getLastError, 64 blocked + 1,000 idle, p99", p99, "ms", "<= 5 ms",
         format("p50 %.2f ms", bench::percentile(waits, 0.5)), p99 <= 5);
  report("resident set per idle keep-alive connection", perIdleKiB, "KiB", "<= 16 KiB",
         format("%.0f connections held", static_cast<double>(idle.size())), perIdleKiB <= 16);
  report("threads added by 1,000 idle connections", threadsIdle - threadsBefore, "", "0",
         format("%.0f threads before", threadsBefore), threadsIdle == threadsBefore);
  std::printf("%-58s %10d\n", "  threads while 64 commands were blocked", threadsBlocked);
  return p99 <= 5 && perIdleKiB <= 16 && threadsIdle == threadsBefore;
}

// One request on a new raw connection; the seconds until its answer came, or -1.
double answerSeconds(int port, const std::string& request) {
  tool::HelperClient connection(port);
  auto start = Clock::now();
  if (!sent(connection, request) || connection.nextAnswer(30).status == 0) return -1;
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The raw text of a POST of `body` to `path`.
std::string postRequest(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\n\r\n" + body;
}

// 512 reads blocked on the silent device for 3 s fill the pool; one more command waits until
// the first of them ends, while /getLastError, which runs on the loop, answers at once.
bool beyondTheCap(HelperProcess& helper) {
  int port = helper.port();
  pid_t pid = helper.process().pid();
  auto emulator = bench::startEmulator(helper, silentDevice());
  if (!connectSilentDevice(helper)) {
    std::printf("the silent device was not connected\n");
    return false;
  }
  constexpr double kBlockedFor = 3.0;
  std::vector<std::unique_ptr<tool::HelperClient>> blocked;
  auto start = Clock::now();
  for (int i = 0; i < kCommandCap; ++i) {
    blocked.push_back(std::make_unique<tool::HelperClient>(port));
    sent(*blocked.back(), postRequest("/read", readBody("FFF1", kBlockedFor)));
  }
  bool full = waitForReads(*emulator, kCommandCap);
  int threads = bench::threadCount(pid);
  double lastError = answerSeconds(port, postRequest("/getLastError", "{}"));
  auto sent = Clock::now();
  double beyond = answerSeconds(port, postRequest("/read", readBody("FFF2", 5.0)));
  double firstEnded = kBlockedFor - std::chrono::duration<double>(sent - start).count();
  for (auto& c : blocked) c->nextAnswer(30);
  bool waitedItsTurn = full && beyond >= firstEnded - 0.05 && beyond <= firstEnded + 1.0;
  report("a command beyond the cap of 512: its wait", beyond * 1000, "ms",
         format("%.0f ms, its turn", firstEnded * 1000), format("%.0f threads while full", threads),
         waitedItsTurn);
  report("/getLastError while the pool is full", lastError * 1000, "ms", "<= 5 ms",
         "runs on the loop", lastError >= 0 && lastError <= 0.005);
  return waitedItsTurn && lastError >= 0 && lastError <= 0.005;
}

// Whether a new client is answered at once (within 1 s) now.
bool answersOthers(int port) {
  auto waits = newConnectionLatencies(port, 3);
  return *std::max_element(waits.begin(), waits.end()) < 1000;
}

// Lets this process hold 10,000 connections.
void raiseOwnDescriptorLimit() {
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
}

// Each kind of bad input, then whether others were answered meanwhile and memory came back.
bool badInput(HelperProcess& helper) {
  int port = helper.port();
  pid_t pid = helper.process().pid();
  double rssBefore = bench::residentMiB(pid);
  bool fine = true;
  auto verdict = [&](const std::string& what, bool ok) {
    std::printf("  %-62s %s\n", what.c_str(), ok ? "ok" : "WRONG");
    fine &= ok;
  };
  std::printf("bad input:\n");
  {
    // 100 clients sending a header one byte a second, and 1,000 that send nothing.
    std::vector<std::unique_ptr<tool::HelperClient>> slow, silent;
    for (int i = 0; i < 100; ++i) slow.push_back(std::make_unique<tool::HelperClient>(port));
    for (int i = 0; i < kIdle; ++i) {
      silent.push_back(std::make_unique<tool::HelperClient>(port));
      sent(*silent.back(), "");
    }
    bool answered = true;
    for (int second = 0; second < 3; ++second) {
      for (auto& c : slow) sent(*c, std::string(1, kVersionRequest[static_cast<size_t>(second)]));
      answered &= answersOthers(port);
      std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    verdict("100 slow headers and 1,000 silent connections: others answered", answered);
  }
  {
    tool::HelperClient cut(port);
    sent(cut, "POST /getLastError HTTP/1.1\r\nContent-Length: 100\r\n\r\n{\"a\"");
    cut.shutdownWrite();
    verdict("body cut short: 400", cut.nextAnswer().status == 400);
  }
  {
    tool::HelperClient pipelined(port);
    std::string batch;
    for (int i = 0; i < 100; ++i) batch += kVersionRequest;
    sent(pipelined, batch);
    int answers = 0;
    while (answers < 100 && pipelined.nextAnswer().status != 0) ++answers;
    verdict("100 pipelined requests: 100 answers", answers == 100);
  }
  {
    auto emulator = bench::startEmulator(helper, silentDevice());
    bool connected = connectSilentDevice(helper);
    int threads = bench::threadCount(pid);
    {
      tool::HelperClient leaving(port);
      sent(leaving, postRequest("/read", readBody("FFF1", 1.0)));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    auto after = nlohmann::json::parse(helper.post("/read", readBody("FFF2", 2.0)).body);
    verdict("client gone while its read waits: read ended, next read answered",
            connected && after["result"] == "01" && bench::threadCount(pid) <= threads + 1);
  }
  {
    raiseOwnDescriptorLimit();
    std::vector<std::unique_ptr<tool::HelperClient>> flood;
    for (int i = 0; i < kFlood; ++i) {
      flood.push_back(std::make_unique<tool::HelperClient>(port));
      sent(*flood.back(), kVersionRequest);
    }
    size_t answered = 0, closed = 0;
    for (auto& c : flood) {
      if (c->nextAnswer(5).status != 0) {
        ++answered;
      } else if (c->closedByServer(0.1)) {
        ++closed;
      }
    }
    bool others = answersOthers(port);
    flood.clear();
    verdict("10,000 connections at once: " + std::to_string(answered) + " answered, " +
                std::to_string(closed) + " closed; others answered",
            answered + closed == kFlood && others);
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double growth = bench::residentMiB(pid) - rssBefore;
  std::printf("  resident set afterwards: %+.2f MiB (target: at most 2)\n", growth);
  return fine && growth <= 2.0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--bare-server") return runBareServer();

  HelperProcess::Options options;
  options.stdoutToFile = true;   // like a service's log file; no capturing reader in this process
  options.dieWithParent = true;  // a wrong answer ends this program without its destructors
  HelperProcess helper(options);
  // Idle after start-up: measured before any command has run.
  double rss = bench::residentMiB(helper.process().pid());
  BareServer bare;
  double bareRss = bench::residentMiB(bare.pid());

  // The reply of /getLastError carries whatever the last command left; start from "No error".
  helper.post("/setLastError", R"({"code": 0, "message": "No error"})");

  std::printf("helper on port %d, bare server on port %d\n", helper.port(), bare.port());
  std::printf("hardware threads: %u; rounds of %.1f s, median of %d (3 for 64 and 256 clients)\n",
              std::thread::hardware_concurrency(), kRoundSeconds, kRounds);
  bool pass = true;
  for (int clients : {1, 8, 64, 256}) {
    int rounds = clients <= 8 ? kRounds : 3;
    for (auto [path, expected] :
         {std::pair<std::string, std::string>{"/getLastError", kLastErrorReply},
          {"/dequeueScriptIfTime", "null"}}) {
      SideBySide s = sideBySide(helper.port(), bare.port(), path, expected, clients, rounds);
      std::string what = std::to_string(clients) + " keep-alive clients, POST " + path;
      bool met = clients > 8 || s.ratio >= 0.95;
      report(what.c_str(), s.helper, "req/s", clients > 8 ? "(reported)" : ">= 0.95 x bare",
             format("%.1f req/s (bare)", s.bare), met);
      std::printf("%-58s %10.3f\n", "  ratio helper / bare (median of rounds)", s.ratio);
      pass &= met;
    }
  }
  report("resident set of the idle helper after start-up", rss, "MiB", "<= 10 MiB",
         format("%.1f MiB (bare server)", bareRss), rss <= 10.0);
  pass &= rss <= 10.0;
  pass &= everyClientAtOnce(helper);
  pass &= badInput(helper);
  pass &= beyondTheCap(helper);
  std::printf("load average at the end: %s\n", loadAverage().c_str());
  return pass ? 0 : 1;
}

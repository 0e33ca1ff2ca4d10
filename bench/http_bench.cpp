// HTTP figures of the helper, each printed beside its target and its baseline from the same run:
//   1. round trips per second of one keep-alive client (POST /getLastError), against a bare
//      cpp-httplib server with the library's defaults (Nagle on);
//   2. requests per second of 8 concurrent keep-alive clients (POST /getLastError and an empty
//      POST /dequeueScriptIfTime poll), against a bare cpp-httplib server with the same settings
//      answering a constant body of the same size;
//   3. resident set of the idle helper after start-up.
// Every server runs as its own process; the bare server is this program started with
// --bare-server. Build in Release: cmake -DCMAKE_BUILD_TYPE=Release.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_support.h"
#include "child_process.h"
#include "helper_process.h"

namespace {

using Clock = std::chrono::steady_clock;

const std::string kLastErrorReply = R"({"lastError":0,"lastErrorMessage":"No error","result":"0"})";
constexpr double kRoundSeconds = 1.0;
constexpr int kRounds = 7;
constexpr int kClients = 8;

// ---- The bare server: constant answers, the library's defaults, Nagle optionally off. ----
int runBareServer(bool nodelay) {
  httplib::Server server;
  server.set_tcp_nodelay(nodelay);
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
  explicit BareServer(bool nodelay)
      : process_({.program = "/proc/self/exe",
                  .args = {nodelay ? "--bare-server" : "--bare-server-nagle"}}) {
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
double requestsPerSecond(int port, const std::string& path, const std::string& body,
                         const std::string& expected, int clients, double seconds) {
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
        if (!res || res->status != 200 || res->body != expected) {
          std::cerr << "unexpected answer on " << path << ": "
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
                      const std::string& expected, int clients) {
  std::vector<double> helper, bare, ratio;
  for (int r = 0; r < kRounds; ++r) {
    double h = 0, b = 0;
    if (r % 2 == 0) {
      h = requestsPerSecond(helperPort, path, "{}", expected, clients, kRoundSeconds);
      b = requestsPerSecond(barePort, path, "{}", expected, clients, kRoundSeconds);
    } else {
      b = requestsPerSecond(barePort, path, "{}", expected, clients, kRoundSeconds);
      h = requestsPerSecond(helperPort, path, "{}", expected, clients, kRoundSeconds);
    }
    helper.push_back(h);
    bare.push_back(b);
    ratio.push_back(h / b);
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

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::string(argv[1]) == "--bare-server") return runBareServer(true);
  if (argc == 2 && std::string(argv[1]) == "--bare-server-nagle") return runBareServer(false);

  HelperProcess::Options options;
  options.stdoutToFile = true;  // like a service's log file; no capturing reader in this process
  HelperProcess helper(options);
  // Idle after start-up: measured before any command has run.
  double rss = bench::residentMiB(helper.process().pid());
  BareServer bare(true);
  double bareRss = bench::residentMiB(bare.pid());
  BareServer nagle(false);

  // The reply of /getLastError carries whatever the last command left; start from "No error".
  helper.post("/setLastError", R"({"code": 0, "message": "No error"})");
  const std::string helperLastError = kLastErrorReply;

  // 1. Latency: one keep-alive client.
  std::vector<double> one;
  for (int r = 0; r < kRounds; ++r) {
    one.push_back(
        requestsPerSecond(helper.port(), "/getLastError", "{}", helperLastError, 1, kRoundSeconds));
  }
  double nagleOne =
      requestsPerSecond(nagle.port(), "/getLastError", "{}", kLastErrorReply, 1, kRoundSeconds);
  // The bare server with Nagle off tells how much of a shortfall is the machine, not the helper.
  std::vector<double> bareOne;
  for (int r = 0; r < kRounds; ++r) {
    bareOne.push_back(
        requestsPerSecond(bare.port(), "/getLastError", "{}", kLastErrorReply, 1, kRoundSeconds));
  }

  // 2. Throughput: 8 clients, helper beside the bare server with the same settings.
  SideBySide lastError =
      sideBySide(helper.port(), bare.port(), "/getLastError", kLastErrorReply, kClients);
  SideBySide poll =
      sideBySide(helper.port(), bare.port(), "/dequeueScriptIfTime", "null", kClients);

  std::printf("hardware threads: %u; load average at the end: %s; rounds of %.1f s, median of %d\n",
              std::thread::hardware_concurrency(), loadAverage().c_str(), kRoundSeconds, kRounds);
  report("1 keep-alive client, POST /getLastError", median(one), "req/s", ">= 10000 req/s",
         format("%.1f req/s (bare, Nagle on)", nagleOne), median(one) >= 10000);
  std::printf("%-58s %10.1f req/s\n", "  same client against the bare server, Nagle off",
              median(bareOne));
  report("8 clients, POST /getLastError", lastError.helper, "req/s", ">= 0.90 x bare",
         format("%.1f req/s (bare)", lastError.bare), lastError.ratio >= 0.9);
  std::printf("%-58s %10.3f\n", "  ratio helper / bare (median of rounds)", lastError.ratio);
  report("8 clients, empty POST /dequeueScriptIfTime", poll.helper, "req/s", ">= 0.90 x bare",
         format("%.1f req/s (bare)", poll.bare), poll.ratio >= 0.9);
  std::printf("%-58s %10.3f\n", "  ratio helper / bare (median of rounds)", poll.ratio);
  report("resident set of the idle helper after start-up", rss, "MiB", "<= 10 MiB",
         format("%.1f MiB (bare server)", bareRss), rss <= 10.0);
  return 0;
}

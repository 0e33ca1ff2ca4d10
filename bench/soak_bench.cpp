// Load, soak and faults against one helper, with the device emulator in its own process:
// - soak: 64 keep-alive clients send mixed commands for --seconds (default 60) while 1,000
//   emulated devices advertise: each client cycles through /getLastError, /get "status",
//   /get "devices", /dequeueScriptIfTime and connect, read, write, subscribe and disconnect on
//   an emulated device of its own. Targets: no unexpected answer; from 10 s to the end the
//   resident set grows at most 2 MiB; once the clients have gone, the helper holds no more
//   descriptors than before they came (while they run, their connections come and go).
// - faults: an emulated device killed, and the radio switched off, during a connect, a read, a
//   write and a subscribe; a device killed during service discovery; emulated centrals killed
//   during discovery, a read and a write of the helper's profile; a client that goes away in
//   the middle of a large "devices" answer; a 64 MiB body. Targets: each waiting command ends by
//   its timeout, the next command is answered correctly, memory returns to within 2 MiB.
// --sanitized (a sanitizer build, as in CI) skips the memory targets, which the sanitizers'
// own allocations make meaningless; --soak-only runs the soak alone (CI runs 10 seconds of it).
// Exits 1 when a target is missed.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench/bench_support.h"
#include "emulated_central.h"
#include "helper_process.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using bench::milliseconds;
using bench::percentile;
using bench::post;

constexpr int kClients = 64;
constexpr int kAdvertisers = 1000;

std::string deviceID(int group, int i) {
  char id[37];
  std::snprintf(id, sizeof id, "50A%05X-0000-4000-8000-%012X", group, i);
  return id;
}

json cycleDevice(int i) {
  return bench::emulatedDevice(
      deviceID(1, i), "Cycle " + std::to_string(i), 50, "FFF0",
      {{{"uuid", "FFF1"}, {"properties", "read|write|notify"}, {"value", "00"}}});
}

json advertiser(int i) {
  return {{"id", deviceID(2, i)},
          {"advertising",
           {{"localName", "Tag " + std::to_string(i)},
            {"intervalMs", 1000},
            {"manufacturerData", "4c000215"}}}};
}

struct Figures {
  double rss;
  int threads;
  int descriptors;
};
Figures figuresOf(pid_t pid) {
  return {bench::residentMiB(pid), bench::threadCount(pid), bench::descriptorCount(pid)};
}

// What every client records: latencies by command and the answers that were not expected.
struct Tally {
  std::mutex mutex;
  std::map<std::string, std::vector<double>> times;
  std::vector<std::string> unexpected;
  size_t unexpectedCount = 0;
  std::mutex connecting;  // held by the client whose connect is under way

  void add(const std::string& command, double ms, const std::string& problem) {
    std::lock_guard lock(mutex);
    times[command].push_back(ms);
    if (problem.empty()) return;
    ++unexpectedCount;
    if (unexpected.size() < 10) unexpected.push_back(command + ": " + problem);
  }
};

class Client {
 public:
  Client(int port, int index, Tally& tally)
      : http_("127.0.0.1", port), index_(index), tally_(tally) {
    http_.set_keep_alive(true);
    http_.set_tcp_nodelay(true);
    http_.set_read_timeout(30, 0);
  }

  // One round of the mix; false when the helper stopped answering.
  void round() {
    expectOK("/getLastError", json::object(), [](const json& a) {
      return a["result"] == std::to_string(a["lastError"].get<int64_t>());
    });
    expectOK("/get status", json{{"selector", "status"}}, [](const json& a) {
      return a["lastError"] == 0 && json::parse(a["result"].get<std::string>()).size() == 3;
    });
    expectOK("/get devices", json{{"selector", "devices"}}, [](const json& a) {
      return a["lastError"] == 0 &&
             json::parse(a["result"].get<std::string>()).size() >= kClients + kAdvertisers;
    });
    expectBody("/dequeueScriptIfTime", "", [](const std::string& body) {
      json script = json::parse(body, nullptr, false);
      return script.is_null() || (script.is_object() && script.contains("scriptName"));
    });
    std::string device = deviceID(1, index_);
    std::string value = json(std::vector<uint8_t>{static_cast<uint8_t>(++writes_)}).dump();
    char hex[3];
    std::snprintf(hex, sizeof hex, "%02x", writes_ & 0xFF);
    json target = {{"deviceID", device}, {"servID", "FFF0"}, {"charID", "FFF1"}};
    auto ok = [](const json& a) { return a["lastError"] == 0; };
    // The role waits for one connection at a time (a second connect takes over the first's
    // wait), so the clients take turns to connect; everything else overlaps.
    {
      std::lock_guard turn(tally_.connecting);
      expectOK("/connect",
               json{{"deviceID", device}, {"options", ""}, {"filename", "Soak"}, {"timeout", 5.0}},
               ok);
    }
    // The characteristics arrive just after the connection: a read may have to wait for them.
    json read = target;
    read["format"] = "hex";
    read["timeout"] = 5.0;
    for (int i = 0; i < 100; ++i) {
      json a = postJSON("/read", read);
      if (a["lastError"] != -13) break;
    }
    json write = read;
    write["value"] = hex;
    expectOK("/write", write, ok);
    expectOK("/read", read,
             [&](const json& a) { return a["lastError"] == 0 && a["result"] == hex; });
    json subscribe = read;
    subscribe["script"] = "OnSoak";
    subscribe["filename"] = "Soak";
    expectOK("/subscribe", subscribe, ok);
    expectOK("/disconnect", json{{"deviceID", device}}, ok);
  }

 private:
  json postJSON(const std::string& path, const json& body) {
    auto answer = http_.Post(path, body.dump(), "application/json");
    if (!answer) return json();
    return json::parse(answer->body, nullptr, false);
  }

  template <class Check>
  void expectOK(const std::string& name, const json& body, Check check) {
    std::string path = name.substr(0, name.find(' '));
    auto start = Clock::now();
    auto answer = http_.Post(path, body.dump(), "application/json");
    double ms = milliseconds(Clock::now() - start);
    std::string problem;
    if (!answer) {
      problem = "no answer";
    } else if (answer->status != 200) {
      problem = "status " + std::to_string(answer->status);
    } else {
      json a = json::parse(answer->body, nullptr, false);
      bool fine = false;
      try {
        fine = a.is_object() && check(a);
      } catch (const std::exception&) {
      }
      if (!fine) problem = answer->body.substr(0, 200);
    }
    tally_.add(name, ms, problem);
  }

  template <class Check>
  void expectBody(const std::string& path, const std::string& body, Check check) {
    auto start = Clock::now();
    auto answer = http_.Post(path, body, "application/json");
    double ms = milliseconds(Clock::now() - start);
    std::string problem;
    if (!answer) {
      problem = "no answer";
    } else if (answer->status != 200 || !check(answer->body)) {
      problem = std::to_string(answer->status) + " " + answer->body.substr(0, 200);
    }
    tally_.add(path, ms, problem);
  }

  httplib::Client http_;
  int index_;
  Tally& tally_;
  int writes_ = 0;
};

void soak(HelperProcess& helper, double seconds, bool sanitized, bool& pass) {
  json devices = json::array();
  for (int i = 0; i < kClients; ++i) devices.push_back(cycleDevice(i));
  for (int i = 0; i < kAdvertisers; ++i) devices.push_back(advertiser(i));
  auto emulator = bench::startEmulator(helper, devices);
  post(helper, "/startScan", {{"options", ""}, {"filename", "Soak"}});
  auto deadline = Clock::now() + std::chrono::seconds(60);
  while (Clock::now() < deadline) {
    json list =
        json::parse(post(helper, "/get", {{"selector", "devices"}})["result"].get<std::string>(),
                    nullptr, false);
    if (list.is_array() && list.size() >= kClients + kAdvertisers) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }

  pid_t pid = helper.process().pid();
  int idleDescriptors = bench::descriptorCount(pid);
  Tally tally;
  std::atomic<bool> running{true};
  std::vector<std::thread> clients;
  auto start = Clock::now();
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back([&, i] {
      Client client(helper.port(), i, tally);
      while (running) client.round();
    });
  }
  double early = std::min(10.0, seconds / 2);
  std::this_thread::sleep_until(start + std::chrono::duration<double>(early));
  Figures atEarly = figuresOf(pid);
  std::this_thread::sleep_until(start + std::chrono::duration<double>(seconds));
  Figures atEnd = figuresOf(pid);
  running = false;
  for (auto& t : clients) t.join();
  // The clients' connections close as they go; then the helper holds what it held before.
  int quiet = bench::descriptorCount(pid);
  for (auto until = Clock::now() + std::chrono::seconds(10);
       quiet > idleDescriptors && Clock::now() < until; quiet = bench::descriptorCount(pid)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }

  std::printf("soak: %d clients, %.0f s, %d advertising devices\n", kClients, seconds,
              kAdvertisers);
  for (const auto& [command, times] : tally.times) {
    std::printf("  %-22s %7zu answers  p50 %7.2f ms  p99 %7.2f ms\n", command.c_str(), times.size(),
                percentile(times, 0.5), percentile(times, 0.99));
  }
  std::printf("  unexpected answers: %zu (target 0)\n", tally.unexpectedCount);
  for (const auto& u : tally.unexpected) std::printf("    %s\n", u.c_str());
  std::printf("  at %.0f s: resident set %.1f MiB, %d threads, %d descriptors\n", early,
              atEarly.rss, atEarly.threads, atEarly.descriptors);
  std::printf(
      "  at %.0f s: resident set %.1f MiB, %d threads, %d descriptors "
      "(target: resident set growth at most 2 MiB)\n",
      seconds, atEnd.rss, atEnd.threads, atEnd.descriptors);
  std::printf("  descriptors before the clients came: %d, after they left: %d (target: no more)\n",
              idleDescriptors, quiet);
  pass = pass && tally.unexpectedCount == 0 && quiet <= idleDescriptors;
  if (!sanitized) pass = pass && atEnd.rss - atEarly.rss <= 2.0;
}

// ---- Faults ----

json faultDevice() {
  return json::array({{{"id", deviceID(3, 0)},
                       {"advertising", {{"localName", "Faulty"}, {"intervalMs", 20}}},
                       {"services",
                        {{{"uuid", "FFF0"},
                          {"characteristics",
                           {{{"uuid", "FFF1"},
                             {"properties", "read|write|notify"},
                             {"value", "00"},
                             {"onRead", "ignore"},
                             {"onWrite", "ignore"},
                             {"onSubscribe", "ignore"}},
                            {{"uuid", "FFF2"}, {"properties", "read"}, {"value", "00"}}}}}}}},
                      {{"id", deviceID(3, 1)},
                       {"connection", "ignore"},
                       {"advertising", {{"localName", "Deaf"}, {"intervalMs", 20}}}}});
}

// Connects the helper to the faulty device (scanning first) and waits for its characteristics.
void connectFaulty(HelperProcess& helper) {
  post(helper, "/stopScan", json::object());
  post(helper, "/startScan", {{"options", ""}, {"filename", "Faults"}});
  json read = {{"deviceID", deviceID(3, 0)},
               {"servID", "FFF0"},
               {"charID", "FFF2"},
               {"format", "hex"},
               {"timeout", 5.0}};
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    post(helper, "/connect",
         {{"deviceID", deviceID(3, 0)}, {"options", ""}, {"filename", "F"}, {"timeout", 5.0}});
    if (post(helper, "/read", read)["lastError"] == 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  throw std::runtime_error("the faulty device was not connected");
}

// Runs `command` on its own connection while `fault` strikes, and checks that the command ends
// by its timeout (1 s) and that the helper then answers a command correctly.
bool commandSurvives(HelperProcess& helper, const std::string& path, const json& body,
                     const std::function<void()>& fault, const std::string& what) {
  auto start = Clock::now();
  std::thread waiting([&] {
    httplib::Client client("127.0.0.1", helper.port());
    client.Post(path, body.dump(), "application/json");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  fault();
  waiting.join();
  double seconds = milliseconds(Clock::now() - start) / 1000;
  json check = post(helper, "/setLastError", {{"code", 7}, {"message", "check"}});
  bool fine = seconds < 3.0 && check["lastError"] == 7 && check["lastErrorMessage"] == "check";
  std::printf("  %-44s ended after %.2f s, next command %s\n", what.c_str(), seconds,
              fine ? "answered correctly" : "WRONG");
  return fine;
}

bool discoveryAndProfileFaults(HelperProcess& helper);

void faults(HelperProcess& helper, bool sanitized, bool& pass) {
  std::printf("faults:\n");
  pid_t pid = helper.process().pid();
  double rssBefore = bench::residentMiB(pid);
  json target = {{"deviceID", deviceID(3, 0)},
                 {"servID", "FFF0"},
                 {"charID", "FFF1"},
                 {"format", "hex"},
                 {"timeout", 1.0},
                 {"filename", "F"},
                 {"value", "01"},
                 {"script", "S"}};
  json connect = {
      {"deviceID", deviceID(3, 1)}, {"options", ""}, {"filename", "F"}, {"timeout", 1.0}};
  struct Operation {
    std::string path;
    json body;
  };
  const Operation operations[] = {
      {"/connect", connect}, {"/read", target}, {"/write", target}, {"/subscribe", target}};
  bool fine = true;
  for (const char* fault : {"killed device", "power off"}) {
    for (const auto& op : operations) {
      auto emulator = bench::startEmulator(helper, faultDevice());
      connectFaulty(helper);
      if (std::string(fault) == "killed device") {
        fine &= commandSurvives(
            helper, op.path, op.body, [&] { emulator->kill(); },
            op.path + " with the device killed");
      } else {
        auto power = [&](const char* state) {
          ChildProcess p(ChildProcess::Options{
              VELNOR_SIM_PATH, {"power", state}, {{"VELNOR_AIR", helper.airDir()}}, {}});
          p.exitCode(ChildProcess::after(20));
        };
        fine &= commandSurvives(
            helper, op.path, op.body, [&] { power("off"); },
            op.path + " with the radio switched off");
        power("on");
      }
      post(helper, "/disconnect", {{"deviceID", deviceID(3, 0)}});
    }
  }

  // A client that reads a little of a large answer and goes away.
  {
    auto emulator = bench::startEmulator(helper, [] {
      json many = json::array();
      for (int i = 0; i < kAdvertisers; ++i) many.push_back(advertiser(i));
      return many;
    }());
    post(helper, "/stopScan", json::object());
    post(helper, "/startScan", {{"options", ""}, {"filename", "F"}});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(helper.port()));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string body = R"({"selector":"devices"})";
    std::string request =
        "POST /get HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: "
        "application/json\r\nContent-Length: " +
        std::to_string(body.size()) + "\r\n\r\n" + body;
    if (::connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        send(s, request.data(), request.size(), 0) > 0) {
      char some[100];
      recv(s, some, sizeof some, 0);
    }
    close(s);
    json check = post(helper, "/getLastError", json::object());
    bool answered = check.contains("result");
    std::printf("  client gone in the middle of a \"devices\" answer: next command %s\n",
                answered ? "answered correctly" : "WRONG");
    fine &= answered;
  }

  // A body of 64 MiB: refused for its length.
  {
    httplib::Client client("127.0.0.1", helper.port());
    client.set_read_timeout(60, 0);
    std::string huge(64 << 20, 'x');
    auto answer = client.Post("/read", huge, "application/json");
    huge.clear();
    huge.shrink_to_fit();
    json check = post(helper, "/setLastError", {{"code", 8}, {"message", "after"}});
    bool answered = answer && answer->status == 413 && check["lastError"] == 8;
    std::printf("  64 MiB body: status %d, next command %s\n", answer ? answer->status : 0,
                answered ? "answered correctly" : "WRONG");
    fine &= answered;
  }
  fine &= discoveryAndProfileFaults(helper);
  double growth = bench::residentMiB(pid) - rssBefore;
  std::printf("  resident set after the faults: %+.2f MiB (target: at most 2)\n", growth);
  pass = pass && fine && (sanitized || growth <= 2.0);
}

// ---- Faults of the peripheral role and of discovery ----

// A set command whose reply says the helper still answers correctly.
bool answersCorrectly(HelperProcess& helper) {
  json check = post(helper, "/setLastError", {{"code", 9}, {"message", "still here"}});
  return check["lastError"] == 9 && check["lastErrorMessage"] == "still here";
}

// Emulated centrals killed during discovery, a read and a write of the helper's own profile;
// then a fresh central must be served as before. Also an emulated device killed while the
// helper discovers its services.
bool discoveryAndProfileFaults(HelperProcess& helper) {
  bool fine = true;
  std::string profile =
      R"([{"UUID":"180D","characteristics":[{"UUID":"2A38","properties":"read|write",)"
      R"("afterRead":"R","afterWrite":"W","format":"hex"}]}])";
  post(helper, "/set", {{"selector", "localprofile"}, {"value", profile}, {"filename", "F"}});
  post(helper, "/setLocalChar",
       {{"servID", "180D"}, {"charID", "2A38"}, {"format", "hex"}, {"value", "0a0b"}});
  post(helper, "/startAdvertising", {{"options", "displayName=Soak Helper"}});
  for (const char* during : {"discover", "read 180D 2A38", "write 180D 2A38 0102"}) {
    EmulatedCentral central(helper.airDir());
    central.send("scan");
    bool found = !central.next({{"event", "discovered"}, {"name", "Soak Helper"}}).is_null();
    central.send("stop");
    central.send("connect Soak Helper");
    bool connected = found && !central.next({{"event", "connected"}}).is_null();
    if (std::string(during) != "discover") {
      central.send("discover");
      connected = connected && !central.next({{"event", "services"}}).is_null();
    }
    central.send(during);
    central.process().kill();
    EmulatedCentral fresh(helper.airDir());
    bool served = !fresh.connect("Soak Helper").is_null();
    fresh.send("read 180D 2A38");
    json read = fresh.next({{"event", "read"}});
    served = served && !read.is_null() && read["att"] == 0;
    bool ok = connected && served && answersCorrectly(helper);
    std::printf("  a central killed during \"%s\": %s\n", during,
                ok ? "the next central was served, next command answered correctly" : "WRONG");
    fine &= ok;
  }
  post(helper, "/stopAdvertising", json::object());

  auto emulator = bench::startEmulator(helper, faultDevice());
  post(helper, "/stopScan", json::object());
  post(helper, "/startScan", {{"options", ""}, {"filename", "F"}});
  bool connected = false;
  for (auto until = Clock::now() + std::chrono::seconds(20); !connected && Clock::now() < until;) {
    connected = post(helper, "/connect",
                     {{"deviceID", deviceID(3, 0)},
                      {"options", ""},
                      {"filename", "F"},
                      {"timeout", 5.0}})["lastError"] == 0;
  }
  emulator->kill();  // the helper is discovering the device's services now
  bool gone = false;
  for (auto until = Clock::now() + std::chrono::seconds(10); !gone && Clock::now() < until;) {
    gone = post(helper, "/get", {{"selector", "connections"}})["result"] == "";
  }
  bool ok = connected && gone && answersCorrectly(helper);
  std::printf("  a device killed during service discovery: %s\n",
              ok ? "link reported lost, next command answered correctly" : "WRONG");
  return fine && ok;
}

// ---- The script queue under a notification flood ----

// The emulated device notifies `count` numbered values at once; the poll must hand out a
// script for each, in order, when they stay below the queue's bound of 101.
void scriptQueue(HelperProcess& helper, bool& pass) {
  constexpr int kValues = 100;
  json device = cycleDevice(999);
  auto emulator = bench::startEmulator(helper, json::array({device}));
  std::string id = device["id"];
  post(helper, "/stopScan", json::object());
  post(helper, "/startScan", {{"options", ""}, {"filename", "Queue"}});
  json subscribe = {{"deviceID", id},    {"servID", "FFF0"}, {"charID", "FFF1"}, {"script", "N"},
                    {"format", "uint8"}, {"timeout", 5.0},   {"filename", "Q"}};
  auto deadline = Clock::now() + std::chrono::seconds(20);
  while (Clock::now() < deadline) {
    post(helper, "/connect",
         {{"deviceID", id}, {"options", ""}, {"filename", "Q"}, {"timeout", 5.0}});
    if (post(helper, "/subscribe", subscribe)["lastError"] == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  while (helper.takeScripts(1, 0.2).size() == 1) {
  }
  std::string batch;
  char line[160];
  for (int i = 0; i < kValues; ++i) {
    std::snprintf(line, sizeof line, "notify %s FFF0 FFF1 %02x\n", id.c_str(), i);
    batch += line;
  }
  batch.pop_back();
  emulator->writeLine(batch);
  auto scripts = helper.takeScripts(kValues, 30);
  bool inOrder = scripts.size() == kValues;
  for (size_t i = 0; inOrder && i < scripts.size(); ++i) {
    inOrder = scripts[i] == "N(" + id + "\rFFF0\rFFF1\r" + std::to_string(i) + ")@Q";
  }
  std::printf(
      "script queue: %d notifications sent at once, %zu scripts handed out, %s "
      "(target: all, in order)\n",
      kValues, scripts.size(), inOrder ? "all in order" : "NOT all in order");
  pass = pass && inOrder;
  post(helper, "/disconnect", {{"deviceID", id}});
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 60;
  bool sanitized = false;
  bool soakOnly = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::stod(argv[++i]);
    } else if (arg == "--sanitized") {
      sanitized = true;
    } else if (arg == "--soak-only") {
      soakOnly = true;
    } else {
      std::printf("usage: soak_bench [--seconds N] [--sanitized] [--soak-only]\n");
      return 2;
    }
  }
  bool pass = true;
  try {
    HelperProcess::Options options;
    options.stdoutToFile = true;
    HelperProcess helper(options);
    soak(helper, seconds, sanitized, pass);
    if (!soakOnly) {
      faults(helper, sanitized, pass);
      scriptQueue(helper, pass);
    }
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
    return 1;
  }
  return pass ? 0 : 1;
}

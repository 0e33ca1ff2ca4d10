#include "helper_process.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <nlohmann/json.hpp>

namespace {

const std::string kListeningPrefix = "HTTPServer: Listening on 127.0.0.1:";

}  // namespace

int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    close(fd);
    throw std::runtime_error("cannot bind a loopback port");
  }
  close(fd);
  return ntohs(addr.sin_port);
}

HelperProcess::HelperProcess() : HelperProcess(Options{}) {}

HelperProcess::HelperProcess(Options options) {
  dir_ = makeTemporaryDirectory("velnor-test");
  configPath_ = dir_ + "/config.json";
  airDir_ = options.airDir.value_or(dir_ + "/air");
  std::filesystem::create_directories(airDir_);
  if (!options.configText) port_ = freeLoopbackPort();
  std::ofstream(configPath_, std::ios::binary)
      << options.configText.value_or("{\"port\": " + std::to_string(port_) + "}\n");
  ChildProcess::Options child;
  child.program = VELNOR_HELPER_PATH;
  child.args = {"--config", configPath_, "--air", airDir_};
  child.args.insert(child.args.end(), options.extraArgs.begin(), options.extraArgs.end());
  child.env = options.env;
  child.dieWithParent = options.dieWithParent;
  if (options.stdoutToFile) child.stdoutFile = dir_ + "/stdout.log";
  if (options.stdoutPath) child.stdoutFile = *options.stdoutPath;
  bool captured = child.stdoutFile.empty();
  process_ = std::make_unique<ChildProcess>(std::move(child));
  if (options.waitUntilReady) waitReady(captured);
}

HelperProcess::~HelperProcess() {
  client_.reset();
  process_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(dir_, ignored);
}

void HelperProcess::waitReady(bool lineCaptured) {
  auto deadline = ChildProcess::after(20);
  if (lineCaptured) {
    auto line = process_->waitForLine(
        [](const std::string& l) { return l.rfind(kListeningPrefix, 0) == 0; }, deadline);
    if (!line) {
      throw std::runtime_error("helper printed no Listening line; stdout:\n" +
                               ChildProcess::joined(process_->stdoutLines()) + "stderr:\n" +
                               ChildProcess::joined(process_->stderrLines()));
    }
    port_ = std::stoi(line->substr(kListeningPrefix.size()));
  }
  // The line comes just before the bind: retry until the port answers.
  while (ChildProcess::Clock::now() < deadline) {
    if (get("/version").status == 200) return;
    if (process_->waitForExit(ChildProcess::Clock::now())) break;
    client_.reset();
  }
  throw std::runtime_error("helper did not answer GET /version on port " + std::to_string(port_) +
                           "; stdout:\n" + ChildProcess::joined(process_->stdoutLines()));
}

tool::HelperClient& HelperProcess::client() {
  if (!client_) client_ = std::make_unique<tool::HelperClient>(static_cast<uint16_t>(port_));
  return *client_;
}

HttpReply requestOrNothing(tool::HelperClient& client, const std::string& method,
                           const std::string& path, const std::string& body) {
  try {
    auto answer = client.request(method, path, body);
    return {answer.status, answer.body, answer.header("Content-Type")};
  } catch (const tool::HelperUnreachable&) {
    return {};
  }
}

HttpReply HelperProcess::post(const std::string& path, const std::string& body) {
  return requestOrNothing(client(), "POST", path, body);
}

HttpReply HelperProcess::get(const std::string& path) {
  return requestOrNothing(client(), "GET", path);
}

std::vector<std::string> HelperProcess::takeScripts(size_t count, double seconds) {
  std::vector<std::string> taken;
  auto deadline = ChildProcess::after(seconds);
  while (taken.size() < count && ChildProcess::Clock::now() < deadline) {
    auto script = nlohmann::json::parse(post("/dequeueScriptIfTime", "").body, nullptr, false);
    if (!script.is_object()) {
      std::this_thread::yield();
      continue;
    }
    taken.push_back(script["scriptName"].get<std::string>() + "(" +
                    script["parameters"].get<std::string>() + ")@" +
                    script["fileName"].get<std::string>());
  }
  return taken;
}

bool HelperProcess::waitForStdoutLine(const std::string& line, size_t skip, double seconds) {
  size_t index = 0;
  return process_
      ->waitForLine([&](const std::string& l) { return index++ >= skip && l == line; },
                    ChildProcess::after(seconds))
      .has_value();
}

// The built helper, started for one test: its own configuration file naming a free loopback
// port, its own air directory, and a keep-alive HTTP client to talk to it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "child_process.h"
#include "tools/helper_client.h"

// The standard reply of a command that succeeded with nothing to return.
inline const nlohmann::json kOK = {
    {"lastError", 0}, {"lastErrorMessage", "No error"}, {"result", "0"}};

// A port on 127.0.0.1 that was free a moment ago (bound to port 0, then released).
int freeLoopbackPort();

struct HttpReply {
  int status = 0;  // 0 when no answer came (connection refused or broken)
  std::string body;
  std::string contentType;
};

// One request on `client`'s connection; status 0 and nothing else when no answer came.
HttpReply requestOrNothing(tool::HelperClient& client, const std::string& method,
                           const std::string& path, const std::string& body = "");

// Not copyable. Used from the test's thread; the captured lines may be read from any thread.
// The destructor kills the helper and removes the temporary directory.
class HelperProcess {
 public:
  struct Options {
    // The configuration file's whole text. None: {"port": N} with a free port N.
    std::optional<std::string> configText{};
    // Wait for the "Listening" line and for GET /version to answer before returning.
    bool waitUntilReady = true;
    // Send standard output to stdout.log in the temporary directory instead of capturing it
    // (benchmarks: a capturing reader would compete for the CPU). Needs the generated config.
    bool stdoutToFile = false;
    // Send standard output to this file (a FIFO, say) instead of capturing it.
    std::optional<std::string> stdoutPath{};
    // Join this air directory (another helper's, say) instead of a new one of its own.
    std::optional<std::string> airDir{};
    // More arguments (--radio bluez, say) and environment (a private system bus, say).
    std::vector<std::string> extraArgs{};
    std::map<std::string, std::string> env{};
    // Killed with the test's thread even when the test crashes (ChildProcess::dieWithParent).
    bool dieWithParent = false;
  };

  // Starts the helper with --config and --air. With waitUntilReady, throws std::runtime_error
  // when the helper does not become ready within 20 s (its captured output is in the message).
  HelperProcess();
  explicit HelperProcess(Options options);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  // The port the "Listening" line named (once seen), else the port written to the config.
  int port() const { return port_; }
  const std::string& directory() const { return dir_; }
  const std::string& airDir() const { return airDir_; }

  // One request on the keep-alive client.
  HttpReply post(const std::string& path, const std::string& body);
  HttpReply get(const std::string& path);

  ChildProcess& process() { return *process_; }
  std::vector<std::string> stdoutLines() const { return process_->stdoutLines(); }

  // Polls /dequeueScriptIfTime until `count` scripts were handed out or `seconds` passed; each
  // as "name(parameter)@file", in the order handed out.
  std::vector<std::string> takeScripts(size_t count, double seconds = 10);

  // Waits for a standard-output line equal to `line` that arrived after the first `skip`
  // lines. Returns whether it came within `seconds`.
  bool waitForStdoutLine(const std::string& line, size_t skip = 0, double seconds = 10);

 private:
  void waitReady(bool lineCaptured);
  tool::HelperClient& client();

  std::string dir_;
  std::string configPath_;
  std::string airDir_;
  int port_ = 0;
  std::unique_ptr<ChildProcess> process_;
  std::unique_ptr<tool::HelperClient> client_;
};

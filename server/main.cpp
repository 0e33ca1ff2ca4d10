// Velnor_HelperApp: prints the banner, creates the facade with both Bluetooth roles, registers
// the command routes and serves them on 127.0.0.1 until the process is ended from outside.
#include <httplib.h>
#include <malloc.h>
#include <sys/socket.h>

#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/backend.h"
#include "platform/console.h"
#include "plugin/plugin.h"
#include "server/config.h"
#include "server/http_server.h"

namespace {

constexpr const char* kUsage =
    "usage: Velnor_HelperApp [--config PATH] [--air DIR] [--radio sim|bluez[:hciN]]";

struct Arguments {
  std::string configPath = Config::CONFIG_PATH;
  std::optional<std::string> airDir;
  std::string radio = "sim";
};

// --config PATH, --air DIR and --radio sim|bluez[:hciN]; anything else is a usage error (none).
std::optional<Arguments> parseArguments(int argc, char** argv) {
  Arguments args;
  std::vector<std::string> words(argv + 1, argv + argc);
  for (size_t i = 0; i < words.size(); ++i) {
    bool hasValue = i + 1 < words.size();
    if (words[i] == "--config" && hasValue) {
      args.configPath = words[++i];
    } else if (words[i] == "--air" && hasValue) {
      args.airDir = words[++i];
    } else if (words[i] == "--radio" && hasValue) {
      args.radio = words[++i];
    } else {
      return std::nullopt;
    }
  }
  return args;
}

}  // namespace

int main(int argc, char** argv) {
  // Each of the many HTTP worker threads would otherwise get a heap of its own and keep in it
  // the largest answer it ever built (megabytes for thousands of discoveries); four heaps
  // bound what stays resident without making the threads wait for one another.
  mallopt(M_ARENA_MAX, 4);
  std::optional<Arguments> args = parseArguments(argc, argv);
  if (!args) {
    std::cerr << kUsage << std::endl;
    return 2;
  }
  // The Bluetooth backend reads its air directory from the environment when first used.
  if (args->airDir) setenv("VELNOR_AIR", args->airDir->c_str(), 1);
  if (!useRadio(args->radio)) {
    std::cerr << "Velnor_HelperApp: no such radio: " << args->radio << "\n" << kUsage << std::endl;
    return 2;
  }

  Console::writeLine("Initializing Velnor Helper App (version " + Config::VERSION + ")");
  Plugin& plugin = Plugin::shared();
  (void)plugin;  // created before the server, kept for the life of the process

  httplib::Server server;
  // Nagle's algorithm off on accepted sockets: otherwise every small answer on a keep-alive
  // connection waits for the client's delayed acknowledgement (about 40 ms). It changes nothing
  // but latency.
  server.set_tcp_nodelay(true);
  // SO_REUSEADDR only: a restart need not wait for the old connections' TIME_WAIT, but a port
  // that a live helper holds is never shared. The library's default adds SO_REUSEPORT on
  // Linux, with which a second helper binds the same port and takes half of the commands.
  server.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  HTTPServer::refuseWebPages(server);
  HTTPServer::registerRoutes(server);

  int32_t port = Config::loadPortFromConfig(args->configPath);
  Console::writeLine("HTTPServer: Listening on " + Config::ADDRESS + ":" + std::to_string(port));
  // A port outside the TCP range is a bind failure: the library would bind it modulo 65536.
  if (port < 0 || port > 65535) return 0;
  // Blocks in the accept loop for the rest of the process; returns only when binding failed.
  server.listen(Config::ADDRESS.c_str(), port);
  return 0;
}

// Velnor_HelperApp: prints the banner, creates the facade with both Bluetooth roles, registers
// the command routes and serves them on 127.0.0.1 until the process is ended from outside.
#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "bluetooth/backend.h"
#include "platform/console.h"
#include "platform/memory.h"
#include "plugin/plugin.h"
#include "server/command_server.h"
#include "server/config.h"

namespace {

std::string usage() {
  return "usage: Velnor_HelperApp [--config PATH] [--air DIR] [--radio " + radioChoices() + "]";
}

struct Arguments {
  std::string configPath = Config::CONFIG_PATH;
  std::optional<std::string> airDir;
  std::string radio = defaultRadio();
};

// --config PATH, --air DIR and --radio NAME; anything else is a usage error (none).
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

// Raises the soft limit on open descriptors to the hard limit, as servers do, and returns the
// soft limit in force.
rlim_t raiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlim_t raised = limit.rlim_max;
    limit.rlim_cur = raised;
    if (setrlimit(RLIMIT_NOFILE, &limit) == 0) return raised;
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

// The server's settings: its connections stay well below the descriptor limit, leaving room
// for the roles' sockets, the air and the log.
CommandServer::Settings serverSettings(rlim_t descriptors) {
  constexpr rlim_t kKeptForTheRest = 256;
  CommandServer::Settings settings;
  rlim_t room = descriptors > 2 * kKeptForTheRest ? descriptors - kKeptForTheRest : descriptors / 2;
  settings.maxConnections = static_cast<size_t>(std::min<rlim_t>(room, settings.maxConnections));
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  Memory::limitArenas();
  std::optional<Arguments> args = parseArguments(argc, argv);
  if (!args) {
    std::cerr << usage() << std::endl;
    return 2;
  }
  // The Bluetooth backend reads its air directory from the environment when first used.
  if (args->airDir) setenv("VELNOR_AIR", args->airDir->c_str(), 1);
  if (!useRadio(args->radio)) {
    std::cerr << "Velnor_HelperApp: no such radio: " << args->radio << "\n" << usage() << std::endl;
    return 2;
  }

  Console::writeLine("Initializing Velnor Helper App (version " + Config::VERSION + ")");
  Plugin& plugin = Plugin::shared();
  (void)plugin;  // created before the server, kept for the life of the process

  CommandServer server(serverSettings(raiseDescriptorLimit()));
  int32_t port = Config::loadPortFromConfig(args->configPath);
  Console::writeLine("HTTPServer: Listening on " + Config::ADDRESS + ":" + std::to_string(port));
  // A port outside the TCP range is a bind failure, as is one that another process holds.
  if (port < 0 || port > 65535) return 0;
  if (!server.bind(Config::ADDRESS, static_cast<uint16_t>(port))) return 0;
  // The event loop runs on the main thread for the rest of the process.
  server.run();
  return 0;
}

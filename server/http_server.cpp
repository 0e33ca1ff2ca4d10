#include "server/http_server.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <functional>
#include <stdexcept>
#include <string_view>

#include "format/json_text.h"
#include "platform/console.h"
#include "plugin/plugin.h"
#include "server/config.h"
#include "server/script_scheduler.h"

namespace HTTPServer {
namespace {

using json = nlohmann::json;

constexpr int64_t kBadRequest = -300;
const char* const kBadRequestMessage = "Helper App received bad request";
const char* const kJSONContentType = "application/json";

// Serialises compactly without escaping non-ASCII; invalid UTF-8 becomes U+FFFD, never a throw.
std::string compact(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// The parsed body, strictly: one value, nothing but whitespace after it, no comments.
json parseBody(const Request& req) {
  return json::parse(req.body);
}

// Runs `command` (which reads its fields from the parsed body, calls the facade and gives the
// result text), classifies any exception into the status and log line, and writes the standard
// reply in every case.
void runCommand(const Request& req, Response& res,
                const std::function<std::string(const json&)>& command) {
  // The reply reports this command's own outcome, not whatever another command left meanwhile.
  Plugin::CommandOutcome outcome;
  std::string result = "?";
  try {
    json body = parseBody(req);
    result = command(body);
    res.status = 200;
    Console::writeLine("HTTPServer: Request OK");
  } catch (const json::exception& e) {
    res.status = 400;
    Console::writeLine(std::string("HTTPServer: JSON Error: ") + e.what());
  } catch (const std::exception& e) {
    res.status = 500;
    Console::writeLine(std::string("HTTPServer: STD Error: ") + e.what());
  } catch (...) {
    res.status = 500;
    Console::writeLine("HTTPServer: Unknown Error");
  }
  Plugin& plugin = Plugin::shared();
  if (res.status != 200) plugin.setLastError(kBadRequest, kBadRequestMessage);
  // Every command records at least its reset; the shared pair is only a fallback.
  Plugin::LastError reported = outcome.recorded().value_or(plugin.lastError());
  res.body = standardReply(reported.code, reported.message, result);
  res.contentType = kJSONContentType;
}

bool hasMember(const json& body, const char* name) {
  return body.is_object() && body.contains(name);
}

const json* member(const json& body, const std::string& name) {
  if (!body.is_object()) return nullptr;
  auto it = body.find(name);
  return it == body.end() ? nullptr : &*it;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// A Host value naming the loopback address: 127.0.0.1, localhost or [::1], with or without a
// port of digits.
bool isLoopbackHost(std::string_view host) {
  size_t colon = host.rfind(':');
  if (colon != std::string_view::npos && host.find(']', colon) == std::string_view::npos) {
    std::string_view port = host.substr(colon + 1);
    bool digits = !port.empty() && std::all_of(port.begin(), port.end(),
                                               [](char c) { return c >= '0' && c <= '9'; });
    if (!digits) return false;
    host = host.substr(0, colon);
  }
  return host == "127.0.0.1" || host == "[::1]" || equalsIgnoringCase(host, "localhost");
}

}  // namespace

std::optional<std::string> webPageHeader(const Request& req) {
  for (const auto& [name, value] : req.headers) {
    bool fromPage = (equalsIgnoringCase(name, "Origin")) ||
                    (equalsIgnoringCase(name, "Sec-Fetch-Site") && value != "none") ||
                    (equalsIgnoringCase(name, "Host") && !isLoopbackHost(value));
    if (fromPage) return name + ": " + value;
  }
  return std::nullopt;
}

bool refuseWebPage(const Request& req, Response& res) {
  std::optional<std::string> header = webPageHeader(req);
  if (!header) return false;
  res.status = 403;
  res.body.clear();
  res.contentType.clear();
  // The body is not read: the connection cannot carry another request.
  res.close = true;
  Console::writeLine("HTTPServer: Refused a request from a web page (" + *header + ")");
  return true;
}

std::string NSStringFromJSON(const json& body, const std::string& name) {
  const json* value = member(body, name);
  if (value == nullptr || !value->is_string()) {
    throw std::invalid_argument("String paramater not in JSON");
  }
  const std::string& text = value->get_ref<const std::string&>();
  // Texts reach the facade as zero-terminated UTF-8.
  return text.substr(0, text.find('\0'));
}

int32_t IntFromJSON(const json& body, const std::string& name) {
  const json* value = member(body, name);
  // Any integer the library holds is taken; its low 32 bits are passed on as a signed value,
  // so 4294967295 arrives as -1 and 2147483648 as -2147483648.
  if (value != nullptr && value->is_number_unsigned()) {
    return static_cast<int32_t>(static_cast<uint32_t>(value->get<uint64_t>()));
  }
  if (value != nullptr && value->is_number_integer()) {
    return static_cast<int32_t>(static_cast<uint32_t>(value->get<int64_t>()));
  }
  throw std::invalid_argument("Int parameter not in JSON");
}

double DoubleFromJSON(const json& body, const std::string& name) {
  const json* value = member(body, name);
  if (value == nullptr || !value->is_number_float()) {
    throw std::invalid_argument("Float parameter not in JSON");
  }
  return value->get<double>();
}

// Written by hand rather than through the JSON library: a "devices" answer puts megabytes of
// text into "result", and the library escapes it several times slower. Same text either way.
std::string standardReply(int64_t lastError, const std::string& lastErrorMessage,
                          const std::string& result) {
  std::string text = "{\"lastError\":" + std::to_string(static_cast<int32_t>(lastError)) +
                     ",\"lastErrorMessage\":";
  appendJSONString(text, lastErrorMessage);
  text += ",\"result\":";
  appendJSONString(text, result);
  text += '}';
  return text;
}

void version(const Request&, Response& res) {
  res.body = Config::VERSION;
  res.contentType = "text/plain";
}

void dequeueScriptIfTime(const Request&, Response& res) {
  res.status = 200;
  std::optional<FileMakerScript> script;
  try {
    script = ScriptScheduler::dequeueScriptIfTime();
  } catch (const std::exception& e) {
    // Only a failing queue could throw here; the poll then answers as if nothing were due.
    Console::writeLine(std::string("HTTPServer: STD Error: ") + e.what());
  }
  res.contentType = kJSONContentType;
  if (!script) {
    res.body = "null";
    return;
  }
  json reply = json::object();
  reply["fileName"] = script->file_name();
  reply["scriptName"] = script->script_name();
  reply["parameters"] = script->script_parameters();
  res.body = compact(reply);
  Console::writeLine("HTTPServer: Script OK");
}

void setLastError(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    int32_t code = IntFromJSON(body, "code");
    std::string message = NSStringFromJSON(body, "message");
    Plugin::shared().setLastError(code, message);
    return Config::OK_RESULT;
  });
}

void getLastError(const Request& req, Response& res) {
  // The code and message are read together, and the reply reports that same pair.
  runCommand(req, res,
             [](const json&) { return std::to_string(Plugin::shared().readLastError().code); });
}

void getLastErrorMessage(const Request& req, Response& res) {
  runCommand(req, res, [](const json&) { return Plugin::shared().readLastError().message; });
}

void startScan(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string options = NSStringFromJSON(body, "options");
    std::string filename = NSStringFromJSON(body, "filename");
    Plugin::shared().startScan(options, filename);
    return Config::OK_RESULT;
  });
}

void stopScan(const Request& req, Response& res) {
  runCommand(req, res, [](const json&) {
    Plugin::shared().stopScan();
    return Config::OK_RESULT;
  });
}

void connect(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string deviceID = NSStringFromJSON(body, "deviceID");
    std::string options = NSStringFromJSON(body, "options");
    std::string filename = NSStringFromJSON(body, "filename");
    double timeout = DoubleFromJSON(body, "timeout");
    Plugin::shared().connect(deviceID, options, timeout, filename);
    return Config::OK_RESULT;
  });
}

void disconnect(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string deviceID = NSStringFromJSON(body, "deviceID");
    Plugin::shared().disconnect(deviceID);
    return Config::OK_RESULT;
  });
}

void read(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string deviceID = NSStringFromJSON(body, "deviceID");
    std::string servID = NSStringFromJSON(body, "servID");
    std::string charID = NSStringFromJSON(body, "charID");
    std::string format = NSStringFromJSON(body, "format");
    double timeout = DoubleFromJSON(body, "timeout");
    return Plugin::shared().read(deviceID, servID, charID, format, timeout);
  });
}

void write(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string deviceID = NSStringFromJSON(body, "deviceID");
    std::string servID = NSStringFromJSON(body, "servID");
    std::string charID = NSStringFromJSON(body, "charID");
    std::string value = NSStringFromJSON(body, "value");
    std::string format = NSStringFromJSON(body, "format");
    double timeout = DoubleFromJSON(body, "timeout");
    Plugin::shared().write(deviceID, servID, charID, value, format, timeout);
    return Config::OK_RESULT;
  });
}

void subscribe(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string deviceID = NSStringFromJSON(body, "deviceID");
    std::string servID = NSStringFromJSON(body, "servID");
    std::string charID = NSStringFromJSON(body, "charID");
    std::string script = NSStringFromJSON(body, "script");
    std::string format = NSStringFromJSON(body, "format");
    double timeout = DoubleFromJSON(body, "timeout");
    std::string filename = NSStringFromJSON(body, "filename");
    Plugin::shared().subscribe(deviceID, servID, charID, script, format, timeout, filename);
    return Config::OK_RESULT;
  });
}

void startAdvertising(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string options = NSStringFromJSON(body, "options");
    Plugin::shared().startAdvertising(options);
    return Config::OK_RESULT;
  });
}

void stopAdvertising(const Request& req, Response& res) {
  runCommand(req, res, [](const json&) {
    Plugin::shared().stopAdvertising();
    return Config::OK_RESULT;
  });
}

void getLocalChar(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string servID = NSStringFromJSON(body, "servID");
    std::string charID = NSStringFromJSON(body, "charID");
    std::string format = NSStringFromJSON(body, "format");
    return Plugin::shared().getLocalChar(servID, charID, format);
  });
}

void setLocalChar(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string servID = NSStringFromJSON(body, "servID");
    std::string charID = NSStringFromJSON(body, "charID");
    std::string value = NSStringFromJSON(body, "value");
    std::string format = NSStringFromJSON(body, "format");
    Plugin::shared().setLocalChar(servID, charID, format, value);
    return Config::OK_RESULT;
  });
}

void get(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string selector = NSStringFromJSON(body, "selector");
    if (hasMember(body, "deviceID")) {
      std::string deviceID = NSStringFromJSON(body, "deviceID");
      return Plugin::shared().get(selector, deviceID);
    }
    return Plugin::shared().get(selector);
  });
}

void set(const Request& req, Response& res) {
  runCommand(req, res, [](const json& body) {
    std::string selector = NSStringFromJSON(body, "selector");
    std::string value = NSStringFromJSON(body, "value");
    if (hasMember(body, "deviceID")) {
      std::string deviceID = NSStringFromJSON(body, "deviceID");
      Plugin::shared().setForDevice(selector, deviceID, value);
    } else {
      std::string filename = NSStringFromJSON(body, "filename");
      Plugin::shared().set(selector, value, filename);
    }
    return Config::OK_RESULT;
  });
}

const std::vector<Route>& routes() {
  static const std::vector<Route> table = {
      {"GET", "/version", version, false},
      {"POST", "/dequeueScriptIfTime", dequeueScriptIfTime, false},
      {"POST", "/setLastError", setLastError, false},
      {"POST", "/getLastError", getLastError, false},
      {"POST", "/getLastErrorMessage", getLastErrorMessage, false},
      {"POST", "/startScan", startScan, true},
      {"POST", "/stopScan", stopScan, true},
      {"POST", "/connect", connect, true},
      {"POST", "/disconnect", disconnect, true},
      {"POST", "/read", read, true},
      {"POST", "/write", write, true},
      {"POST", "/subscribe", subscribe, true},
      {"POST", "/startAdvertising", startAdvertising, true},
      {"POST", "/stopAdvertising", stopAdvertising, true},
      {"POST", "/getLocalChar", getLocalChar, true},
      {"POST", "/setLocalChar", setLocalChar, true},
      {"POST", "/get", get, true},
      {"POST", "/set", set, true},
  };
  return table;
}

const Route* findRoute(std::string_view method, std::string_view path) {
  for (const Route& route : routes()) {
    if (method == route.method && path == route.path) return &route;
  }
  return nullptr;
}

}  // namespace HTTPServer

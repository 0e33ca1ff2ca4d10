// The command endpoints: one free function per route, each turning a request into a call on the
// facade and its outcome into the reply. They know nothing of the transport: the command server
// (server/command_server.h) parses each request, and runs its handler either on its event loop
// (routes that never wait) or on its command pool, several at a time. Handlers keep no state
// and let no exception escape.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace HTTPServer {

// A request as the transport parsed it; the body is whole and within the server's limit.
struct Request {
  std::string method;
  std::string path;  // the target without its query
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The answer a handler fills in: 200 with no body unless it says otherwise.
struct Response {
  int status = 200;
  std::string body;
  std::string contentType;  // none when empty
  bool close = false;       // the connection ends after this answer
};

using Handler = void (*)(const Request&, Response&);

// A route: exact method and path, its handler, and whether the handler may wait (for a
// Bluetooth answer, or on a role's queue): only those need a thread of their own.
struct Route {
  const char* method;
  const char* path;
  Handler handler;
  bool waits;
};

// The eighteen routes in their fixed order. Any thread.
const std::vector<Route>& routes();
// The route for `method` and `path`, or null: the server answers 404 with an empty body.
const Route* findRoute(std::string_view method, std::string_view path);

// ---- Field readers: any thread. Each throws std::invalid_argument with its own message when
// the body is not an object, the member is missing, or it has another JSON type. ----

// A JSON string member, cut at its first NUL character.
// Throws "String paramater not in JSON".
std::string NSStringFromJSON(const nlohmann::json& body, const std::string& name);
// A JSON integer literal (signed or unsigned) of any size the parser keeps as an integer, passed
// on as its low 32 bits read as a signed value. Throws "Int parameter not in JSON".
int32_t IntFromJSON(const nlohmann::json& body, const std::string& name);
// A JSON number written with a fraction or an exponent (5.0, not 5).
// Throws "Float parameter not in JSON".
double DoubleFromJSON(const nlohmann::json& body, const std::string& name);

// The standard reply: compact, members in lexicographic order, non-ASCII unescaped. Invalid
// UTF-8 in `message` or `result` is replaced by U+FFFD instead of failing.
std::string standardReply(int64_t lastError, const std::string& lastErrorMessage,
                          const std::string& result);

// ---- Requests from web pages. A page in the user's browser can post to 127.0.0.1 too (and a
// DNS-rebinding page can even read the answers); the plug-in never sends an Origin header and
// always names a loopback host. ----

// The header that marks `req` as sent by a web page, as "Name: value": an Origin header, a
// Sec-Fetch-Site other than "none", or a Host other than 127.0.0.1, localhost or [::1] (any
// port). None for a request of the plug-in, or of curl. Any thread.
std::optional<std::string> webPageHeader(const Request& req);

// When webPageHeader marks `req`, fills `res` with the refusal (status 403, an empty body,
// Connection: close), writes one log line naming the header and returns true; the request is
// then answered before its body is read, and nothing changes. Any thread.
bool refuseWebPage(const Request& req, Response& res);

// ---- Handlers, named after their routes. ----
void version(const Request& req, Response& res);
void dequeueScriptIfTime(const Request& req, Response& res);
void setLastError(const Request& req, Response& res);
void getLastError(const Request& req, Response& res);
void getLastErrorMessage(const Request& req, Response& res);
void startScan(const Request& req, Response& res);
void stopScan(const Request& req, Response& res);
void connect(const Request& req, Response& res);
void disconnect(const Request& req, Response& res);
void read(const Request& req, Response& res);
void write(const Request& req, Response& res);
void subscribe(const Request& req, Response& res);
void startAdvertising(const Request& req, Response& res);
void stopAdvertising(const Request& req, Response& res);
void getLocalChar(const Request& req, Response& res);
void setLocalChar(const Request& req, Response& res);
void get(const Request& req, Response& res);
void set(const Request& req, Response& res);

}  // namespace HTTPServer

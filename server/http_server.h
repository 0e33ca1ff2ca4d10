// The command endpoints: one free function per route, each turning a request into a call on the
// facade and its outcome into the reply. Handlers run on the HTTP library's worker threads,
// several at a time; they keep no state and let no exception escape.
#pragma once

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

namespace HTTPServer {

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
std::optional<std::string> webPageHeader(const httplib::Request& req);

// Refuses every request that webPageHeader marks before any route runs: status 403, an empty
// body, nothing changed, and one log line naming the header. Main thread, before listen.
void refuseWebPages(httplib::Server& server);

// ---- Handlers, named after their routes. ----
void version(const httplib::Request& req, httplib::Response& res);
void dequeueScriptIfTime(const httplib::Request& req, httplib::Response& res);
void setLastError(const httplib::Request& req, httplib::Response& res);
void getLastError(const httplib::Request& req, httplib::Response& res);
void getLastErrorMessage(const httplib::Request& req, httplib::Response& res);
void startScan(const httplib::Request& req, httplib::Response& res);
void stopScan(const httplib::Request& req, httplib::Response& res);
void connect(const httplib::Request& req, httplib::Response& res);
void disconnect(const httplib::Request& req, httplib::Response& res);
void read(const httplib::Request& req, httplib::Response& res);
void write(const httplib::Request& req, httplib::Response& res);
void subscribe(const httplib::Request& req, httplib::Response& res);
void startAdvertising(const httplib::Request& req, httplib::Response& res);
void stopAdvertising(const httplib::Request& req, httplib::Response& res);
void getLocalChar(const httplib::Request& req, httplib::Response& res);
void setLocalChar(const httplib::Request& req, httplib::Response& res);
void get(const httplib::Request& req, httplib::Response& res);
void set(const httplib::Request& req, httplib::Response& res);

// Registers the eighteen routes on `server`, in their fixed order. Main thread, before listen.
void registerRoutes(httplib::Server& server);

}  // namespace HTTPServer

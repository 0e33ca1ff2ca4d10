// The only translation unit of the helper that includes Boost.Beast and Boost.Asio: they are
// heavy to compile, and nothing else needs them.
#include "server/command_server.h"

#include <sys/resource.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/status.hpp>
#include <boost/beast/http/string_body.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <exception>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "platform/console.h"
#include "platform/memory.h"
#include "server/command_pool.h"
#include "server/http_server.h"

namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using HTTPServer::Request;
using HTTPServer::Response;

constexpr size_t kHeaderLimit = 8 * 1024;
// What an idle connection reads its next request's first bytes into.
constexpr size_t kFirstRead = 512;
// After a refusal, the rest of an unread body is taken and dropped for at most this long, so
// that the client reads the answer instead of a reset.
constexpr auto kLinger = std::chrono::seconds(2);
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
// Asio's records of sockets are reserved this many at a time.
constexpr size_t kRecordBatch = 256;
// Once this many connections have ended, their memory goes back to the system a little later.
constexpr size_t kEndedBeforeTrim = 256;
constexpr auto kTrimDelay = std::chrono::seconds(1);
// Descriptors that connections and socket records leave to the rest of the process (the
// Bluetooth side's sockets, files).
constexpr rlim_t kDescriptorReserve = 64;
// After a request, a run of capitals longer than this is not taken as the next one's method.
constexpr size_t kLongestMethod = 16;
// Event loops at most: beyond this, the loopback's own cost decides the rate.
constexpr size_t kMostLoops = 4;

// The lowest descriptor number that leaves fewer than the reserve free: the system hands out
// the lowest free number, so a socket numbered at or above it took one of the last.
int readDescriptorCeiling() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return INT_MAX;
  rlim_t soft = limit.rlim_cur;
  rlim_t ceiling = soft > 2 * kDescriptorReserve ? soft - kDescriptorReserve : soft / 2;
  return static_cast<int>(std::min<rlim_t>(ceiling, INT_MAX));
}

// One event loop and what only its thread touches: the connections it serves, and Asio's
// records of their sockets. Its members are destroyed in reverse order: the timer, then the
// context with the connections its handlers still hold.
struct EventLoop {
  void reserveSocketRecords(size_t maxConnections, int descriptorCeiling);
  void connectionEnded();

  std::atomic<size_t> open{0};  // connections served here
  net::io_context context{1};
  size_t socketRecords = 0;
  size_t endedSinceTrim = 0;
  bool trimPending = false;
  net::steady_timer trimTimer{context};
};

// What every connection shares: the settings, the loops, the pool and the count of connections.
// The first loop runs on the caller of run and also accepts; each connection is handed to the
// loops in turn and stays on its loop. Members are destroyed in reverse order: the pool first
// (it waits for the commands in flight, whose answers go to the stopped loops and are dropped
// with them), then the acceptor, then the loops.
struct Server {
  explicit Server(CommandServer::Settings s);

  void accept();
  void admit(EventLoop& loop, tcp::socket socket);
  EventLoop& nextLoop();

  const CommandServer::Settings settings;
  const int descriptorCeiling = readDescriptorCeiling();
  std::atomic<size_t> open{0};
  std::vector<std::unique_ptr<EventLoop>> loops;
  tcp::acceptor acceptor;
  net::steady_timer acceptRetry;
  size_t serving = 1;  // loops with a thread of their own, the first ones; set before run
  size_t turn = 0;     // the loop that takes the next connection; first loop's thread only
  CommandPool pool;
};

// How many loops serve connections: one per processor, up to kMostLoops.
size_t loopCount(size_t asked) {
  if (asked > 0) return asked;
  return std::clamp<size_t>(std::thread::hardware_concurrency(), 1, kMostLoops);
}

Server::Server(CommandServer::Settings s)
    : settings(s),
      loops([&] {
        std::vector<std::unique_ptr<EventLoop>> made;
        for (size_t i = loopCount(s.loops); i > 0; --i)
          made.push_back(std::make_unique<EventLoop>());
        return made;
      }()),
      acceptor(loops.front()->context),
      acceptRetry(loops.front()->context),
      pool(s.maxCommands, s.commandIdleTimeout) {}

// Runs the route's handler; a failure that escapes it still gets an answer.
Response carryOutRoute(const HTTPServer::Route& route, const Request& request) {
  Response response;
  try {
    route.handler(request, response);
  } catch (...) {
    response = Response{.status = 500, .body = {}, .contentType = {}, .close = false};
  }
  return response;
}

// The method, path and headers of a parsed header.
Request headerPart(const http::request<http::string_body>& message) {
  Request request;
  request.method = std::string(message.method_string());
  std::string_view target = message.target();
  request.path = std::string(target.substr(0, target.find('?')));
  for (const auto& field : message) {
    request.headers.emplace_back(std::string(field.name_string()), std::string(field.value()));
  }
  return request;
}

// The answer to a method or path without a route: 404 with an empty body.
Response notFound() {
  Response response;
  response.status = 404;
  return response;
}

bool expectsContinue(const http::request<http::string_body>& message) {
  return beast::iequals(message[http::field::expect], "100-continue");
}

// An answer's status line and header fields, as Beast writes them: Content-Type when there is
// one, Connection where keeping the connection is not the version's default, Content-Length.
std::string answerHead(unsigned version, const Response& response, bool keepAlive) {
  auto status = static_cast<unsigned>(response.status);
  std::string head;
  head.reserve(128);  // every head of this server fits: one allocation an answer
  head += "HTTP/";
  head += static_cast<char>('0' + version / 10);
  head += '.';
  head += static_cast<char>('0' + version % 10);
  head += ' ';
  head += std::to_string(status);
  head += ' ';
  head += std::string_view(http::obsolete_reason(http::int_to_status(status)));
  head += "\r\n";
  if (!response.contentType.empty())
    head.append("Content-Type: ").append(response.contentType) += "\r\n";
  if (version >= 11 && !keepAlive) head += "Connection: close\r\n";
  if (version < 11 && keepAlive) head += "Connection: keep-alive\r\n";
  head.append("Content-Length: ").append(std::to_string(response.body.size())) += "\r\n\r\n";
  return head;
}

// Where in `data` a request line can begin: at a method of capitals followed by a space and a
// target starting with '/', or at capitals that the end of `data` cuts short, which the next
// bytes may complete. data.size() when nothing in it can.
size_t requestLineStart(std::string_view data) {
  for (size_t start = 0; start < data.size();) {
    size_t end = start;
    while (end < data.size() && data[end] >= 'A' && data[end] <= 'Z') ++end;
    bool begins =
        end > start && (end == data.size() ||
                        (data[end] == ' ' && (end + 1 == data.size() || data[end + 1] == '/')));
    if (begins) return std::max(start, end > kLongestMethod ? end - kLongestMethod : 0);
    start = end + 1;
  }
  return data.size();
}

// One connection, owned by the handlers of its pending operation (or of its command). Every
// member function runs on its loop's thread, except the command itself, which runs on a pool
// thread while the connection has no operation pending.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(Server& server, EventLoop& loop, tcp::socket socket)
      : server_(server),
        loop_(loop),
        socket_(std::move(socket)),
        deadlineTimer_(socket_.get_executor()),
        stallTimer_(socket_.get_executor()) {
    ++server_.open;
    ++loop_.open;
  }
  ~Session() {
    --loop_.open;
    --server_.open;
  }

  void start() {
    beast::error_code ignored;
    // Nagle off: each small answer goes out at once instead of after the client's delayed ack.
    socket_.set_option(tcp::no_delay(true), ignored);
    // Writes made directly on the socket return at once when it is full.
    socket_.non_blocking(true, ignored);
    readNext();
  }

 private:
  // Waits for the next request: the idle timeout runs until its first byte. A pipelined request
  // may already be here.
  void readNext() {
    bool begun = buffer_.size() > 0 && (!answered_ || dropStrayBytes());
    if (begun) return startRequest();
    waitAtMost(server_.settings.idleTimeout);
    socket_.async_read_some(buffer_.prepare(kFirstRead),
                            [self = shared_from_this()](beast::error_code ec, size_t n) {
                              if (ec) return self->close();
                              self->buffer_.commit(n);
                              self->readNext();
                            });
  }

  // The connection ends if what it waits for has not come within `limit`. The timer is moved
  // only to an earlier time; a later deadline is found when the timer fires, so that a request
  // answered at once costs no timer call.
  void waitAtMost(Clock::duration limit) {
    deadline_ = Clock::now() + limit;
    if (deadline_ < timerAt_) armTimer();
  }

  void stopWaiting() { deadline_ = Clock::time_point::max(); }

  void armTimer() {
    timerAt_ = deadline_;
    deadlineTimer_.expires_at(timerAt_);  // a wait set for later ends with operation_aborted
    deadlineTimer_.async_wait([self = shared_from_this(), at = timerAt_](beast::error_code ec) {
      self->onTimer(ec, at);
    });
  }

  void onTimer(beast::error_code ec, Clock::time_point at) {
    if (ec || at != timerAt_ || closed_) return;  // moved or closed meanwhile
    timerAt_ = Clock::time_point::max();
    if (deadline_ == Clock::time_point::max()) return;  // nothing waits now
    if (Clock::now() >= deadline_) return close();
    armTimer();
  }

  // After a request, drops what cannot begin the next one: the rest of a body that its
  // Content-Length undercounted (characters counted instead of bytes, say). True when a whole
  // method, its space and the target's '/' are here; false when a method may still be arriving.
  bool dropStrayBytes() {
    std::string_view data(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    size_t stray = requestLineStart(data);
    if (stray > 0) {
      Console::writeLine("HTTPServer: Dropped " + std::to_string(stray) +
                         " bytes after a request's body");
      buffer_.consume(stray);
      data.remove_prefix(stray);
    }
    return data.find(" /") != std::string_view::npos;
  }

  // Parses what has arrived: a request that came in one piece, as most do, is carried out
  // without another trip through the loop; only a partial one waits for the rest.
  void startRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(server_.settings.bodyLimit);
    beast::error_code ec;
    buffer_.consume(parser_->put(buffer_.data(), ec));
    if (ec == http::error::need_more) return readHeader();
    onHeader(ec);
  }

  void readHeader() {
    waitAtMost(server_.settings.headerTimeout);
    http::async_read_header(
        socket_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, size_t) { self->onHeader(ec); });
  }

  void onHeader(beast::error_code ec) {
    if (ec) return readFailed(ec);
    const auto& message = parser_->get();
    request_ = headerPart(message);
    version_ = message.version();
    keepAlive_ = message.keep_alive();
    Response refusal;
    if (HTTPServer::refuseWebPage(request_, refusal)) return answer(std::move(refusal));
    // An HTTP/1.0 client cannot have asked to be told to go on.
    if (version_ < 11 || !expectsContinue(message)) return readBody();
    waitAtMost(server_.settings.writeTimeout);
    net::async_write(socket_, net::buffer(kContinue.data(), kContinue.size()),
                     [self = shared_from_this()](beast::error_code ec, size_t) {
                       if (ec) return self->close();
                       self->readBody();
                     });
  }

  void readBody() {
    parser_->eager(true);
    if (!parser_->is_done() && buffer_.size() > 0) {
      beast::error_code ec;
      buffer_.consume(parser_->put(buffer_.data(), ec));
      if (ec && ec != http::error::need_more) return readFailed(ec);
    }
    if (parser_->is_done()) return bodyRead();
    waitAtMost(server_.settings.bodyTimeout);
    readBodyPiece();
  }

  // Reads the body as it arrives, each piece within the stall timeout: a body that stops short
  // of its length is answered, while one that trickles on is cut off at bodyTimeout.
  void readBodyPiece() {
    unsigned piece = ++bodyPieces_;
    stalled_ = false;
    stallTimer_.expires_after(server_.settings.bodyStallTimeout);
    stallTimer_.async_wait([self = shared_from_this(), piece](beast::error_code ec) {
      if (ec || piece != self->bodyPieces_) return;  // the piece arrived in time
      self->stalled_ = true;
      beast::error_code ignored;
      self->socket_.cancel(ignored);
    });
    http::async_read_some(
        socket_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, size_t) {
          ++self->bodyPieces_;
          self->stallTimer_.cancel();
          if (ec == net::error::operation_aborted && self->stalled_) {
            return self->refuseRequest("the body ended before its Content-Length");
          }
          if (ec) return self->readFailed(ec);
          if (!self->parser_->is_done()) return self->readBodyPiece();
          self->bodyRead();
        });
  }

  void bodyRead() {
    stopWaiting();
    request_.body = std::move(parser_->get().body());
    parser_.reset();
    carryOut();
  }

  // A request that could not be read whole: a malformed or oversized one is answered and the
  // connection closed; one whose client went away or was too slow is just closed.
  void readFailed(beast::error_code ec) {
    if (ec == http::error::body_limit) return refuseBody();
    static const beast::error_category& parsing =
        beast::error_code(http::error::bad_target).category();
    if (ec.category() != parsing || ec == http::error::end_of_stream) return close();
    refuseRequest(ec.message());
  }

  void refuseRequest(const std::string& reason) {
    keepAlive_ = false;
    answer(Response{.status = 400,
                    .body = "Bad request: " + reason,
                    .contentType = "text/plain",
                    .close = true});
  }

  void refuseBody() {
    std::string limit = std::to_string(server_.settings.bodyLimit);
    Console::writeLine("HTTPServer: Refused a body over the limit of " + limit + " bytes");
    answer(Response{.status = 413,
                    .body = "Request body over the limit of " + limit + " bytes",
                    .contentType = "text/plain",
                    .close = true});
  }

  // Routes that never wait run here on the loop; the others on the pool, whose thread hands
  // the answer back to the loop.
  void carryOut() {
    const HTTPServer::Route* route = HTTPServer::findRoute(request_.method, request_.path);
    if (route == nullptr) return answer(notFound());
    if (!route->waits) return answer(carryOutRoute(*route, request_));
    bool queued = server_.pool.submit([self = shared_from_this(), route]() mutable {
      Response response = carryOutRoute(*route, self->request_);
      auto executor = self->socket_.get_executor();
      net::post(executor, [self = std::move(self), response = std::move(response)]() mutable {
        self->answer(std::move(response));
      });
    });
    if (!queued) answer(Response{.status = 500, .body = {}, .contentType = {}, .close = false});
  }

  void answer(Response response) {
    request_ = Request{};
    keepAlive_ = keepAlive_ && !response.close;
    head_ = answerHead(version_, response, keepAlive_);
    body_ = std::move(response.body);
    sent_ = 0;
    writeReply();
  }

  // What of the answer is still to go: the rest of its head, then its body.
  std::array<net::const_buffer, 2> unsent() const {
    net::const_buffer head = net::buffer(head_);
    net::const_buffer body = net::buffer(body_);
    if (sent_ < head.size()) return {head + sent_, body};
    return {body + (sent_ - head.size()), net::const_buffer()};
  }

  // Writes what the socket takes at once, as it takes a small answer whole, and waits on the
  // loop only for the rest.
  void writeReply() {
    beast::error_code ec;
    sent_ = socket_.write_some(unsent(), ec);
    bool whole = !ec && sent_ == head_.size() + body_.size();
    if (whole || (ec && ec != net::error::would_block && ec != net::error::try_again)) {
      return onWritten(ec);
    }
    waitAtMost(server_.settings.writeTimeout);
    net::async_write(socket_, unsent(), [self = shared_from_this()](beast::error_code ec, size_t) {
      self->onWritten(ec);
    });
  }

  void onWritten(beast::error_code ec) {
    stopWaiting();
    if (ec) return close();
    if (!keepAlive_) return lingerAndClose();
    answered_ = true;
    head_.clear();
    body_ = {};
    parser_.reset();
    if (buffer_.size() > 0) {
      // A pipelined request goes through the loop, so that a long run of them cannot deepen
      // the stack.
      net::post(socket_.get_executor(), [self = shared_from_this()] { self->readNext(); });
      return;
    }
    // An idle connection keeps no more than the first read's few bytes.
    buffer_.shrink_to_fit();
    readNext();
  }

  // Ends the sending side, then takes and drops what the client still sends (the rest of a
  // refused body, say) until it closes or the linger time is up.
  void lingerAndClose() {
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_send, ignored);
    waitAtMost(kLinger);
    drain();
  }

  void drain() {
    buffer_.clear();
    socket_.async_read_some(buffer_.prepare(16 * 1024),
                            [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (ec) return self->close();
                              self->drain();
                            });
  }

  void close() {
    if (closed_) return;
    closed_ = true;
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    deadlineTimer_.cancel();
    stallTimer_.cancel();
    loop_.connectionEnded();
  }

  Server& server_;
  EventLoop& loop_;
  tcp::socket socket_;
  net::steady_timer deadlineTimer_;
  net::steady_timer stallTimer_;
  // When the operation the connection waits for ends it; max while nothing waits (a command
  // runs). The timer is set for timerAt_, max when it is not set.
  Clock::time_point deadline_ = Clock::time_point::max();
  Clock::time_point timerAt_ = Clock::time_point::max();
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  Request request_;   // read by the command's pool thread while nothing else touches it
  std::string head_;  // the answer's status line and header fields
  std::string body_;
  size_t sent_ = 0;  // bytes of head_ and then body_ written
  unsigned version_ = 11;
  unsigned bodyPieces_ = 0;
  bool stalled_ = false;
  bool keepAlive_ = false;
  bool answered_ = false;  // a request was answered and the connection kept
  bool closed_ = false;
};

bool outOfDescriptors(beast::error_code ec) {
  return ec == net::error::no_descriptors || ec == net::error::no_buffer_space ||
         ec == net::error::no_memory || ec.value() == ENFILE;
}

// First loop's thread. Accepts for ever, each connection onto the next loop's context; when
// descriptors run out, tries again a little later instead of spinning.
void Server::accept() {
  EventLoop& loop = nextLoop();
  acceptor.async_accept(loop.context, [this, &loop](beast::error_code ec, tcp::socket socket) {
    if (!acceptor.is_open()) return;
    if (outOfDescriptors(ec)) {
      acceptRetry.expires_after(std::chrono::milliseconds(50));
      acceptRetry.async_wait([this](beast::error_code waited) {
        if (!waited) accept();
      });
      return;
    }
    accept();  // first, so that no failure below can leave the server without an accept
    if (!ec) admit(loop, std::move(socket));
  });
}

// First loop's thread.
EventLoop& Server::nextLoop() {
  EventLoop& loop = *loops[turn];
  turn = (turn + 1) % serving;
  return loop;
}

// First loop's thread. A connection beyond the cap, or one that took a descriptor of the
// A connection that could not be set up (out of memory, say) is dropped; the others are served
// on. Any thread.
void logDropped(const std::exception& e) {
  Console::writeLine(std::string("HTTPServer: Dropped a connection: ") + e.what());
}

// reserve, is closed at once: the descriptors left are kept for the roles and for the
// connections already served. The others start on their own loop.
void Server::admit(EventLoop& loop, tcp::socket socket) {
  if (open >= settings.maxConnections || socket.native_handle() >= descriptorCeiling) {
    beast::error_code ignored;
    socket.close(ignored);
    return;
  }
  try {
    auto session = std::make_shared<Session>(*this, loop, std::move(socket));
    net::post(loop.context, [this, &loop, session = std::move(session)] {
      try {
        session->start();
        loop.reserveSocketRecords(settings.maxConnections, descriptorCeiling);
      } catch (const std::exception& e) {
        logDropped(e);
      }
    });
  } catch (const std::exception& e) {
    logDropped(e);
  }
}

// This loop's thread. Asio keeps a record for every socket it watches and never frees it: a
// closed socket's record waits for the next socket. Taken one per connection, between that
// connection's buffers, the records would pin a page of the heap each once a burst of
// connections has gone. Reserved in batches ahead of the connections, they lie together.
void EventLoop::reserveSocketRecords(size_t maxConnections, int descriptorCeiling) {
  if (open < socketRecords || socketRecords >= maxConnections) return;
  size_t batch = std::min(kRecordBatch, maxConnections - socketRecords);
  std::vector<tcp::socket> sockets;
  sockets.reserve(batch);
  for (size_t i = 0; i < batch; ++i) {
    tcp::socket socket(context);
    beast::error_code ec;
    socket.open(tcp::v4(), ec);
    // Near the reserve: the next connection takes a record of its own.
    if (ec || socket.native_handle() >= descriptorCeiling) break;
    sockets.push_back(std::move(socket));
  }
  socketRecords += sockets.size();
}  // closing the sockets hands their records back to Asio for the coming connections

// This loop's thread. A second after many connections have ended, their freed memory goes back
// to the system: the C library would keep it.
void EventLoop::connectionEnded() {
  if (++endedSinceTrim < kEndedBeforeTrim || trimPending) return;
  trimPending = true;
  trimTimer.expires_after(kTrimDelay);
  trimTimer.async_wait([this](beast::error_code ec) {
    trimPending = false;
    if (ec) return;
    endedSinceTrim = 0;
    Memory::returnFreedPages();
  });
}

// Runs `loop` on the calling thread until it is stopped; a failure that escapes a handler is
// logged and the loop goes on.
void runLoop(EventLoop& loop) {
  for (;;) {
    try {
      loop.context.run();
      return;
    } catch (const std::exception& e) {
      Console::writeLine(std::string("HTTPServer: STD Error: ") + e.what());
    } catch (...) {
      Console::writeLine("HTTPServer: Unknown Error");
    }
  }
}

}  // namespace

struct CommandServer::Impl : Server {
  using Server::Server;
};

CommandServer::CommandServer(Settings settings) : impl_(std::make_unique<Impl>(settings)) {
  // A standard output whose reader went away (a log pipe, journald restarting) must fail the
  // write, not end the process.
  std::signal(SIGPIPE, SIG_IGN);
}

CommandServer::~CommandServer() {
  stop();
}

bool CommandServer::bind(const std::string& address, uint16_t port) {
  beast::error_code ec;
  net::ip::address ip = net::ip::make_address(address, ec);
  if (ec) return false;
  tcp::endpoint endpoint(ip, port);
  tcp::acceptor& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  // SO_REUSEADDR only: a restart binds while the old connections wait out TIME_WAIT, but a
  // port that a live helper listens on is never shared (SO_REUSEPORT would allow that).
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) acceptor.close(ec);
  return acceptor.is_open();
}

uint16_t CommandServer::port() const {
  beast::error_code ec;
  tcp::endpoint endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void CommandServer::run() {
  std::vector<std::thread> others;
  try {
    for (size_t i = 1; i < impl_->loops.size(); ++i) {
      EventLoop& loop = *impl_->loops[i];
      // Keeps the loop running while it has no connection yet.
      others.emplace_back([&loop, work = net::make_work_guard(loop.context)] { runLoop(loop); });
    }
  } catch (const std::exception& e) {
    // No thread to be had: the loops that started serve on their own.
    Console::writeLine(std::string("HTTPServer: STD Error: ") + e.what());
  }
  impl_->serving = 1 + others.size();
  EventLoop& first = *impl_->loops.front();
  first.reserveSocketRecords(impl_->settings.maxConnections, impl_->descriptorCeiling);
  impl_->accept();
  runLoop(first);
  stop();
  for (std::thread& thread : others) thread.join();
}

void CommandServer::stop() {
  for (const auto& loop : impl_->loops) loop->context.stop();
}

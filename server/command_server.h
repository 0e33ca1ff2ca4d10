// The command server: HTTP/1.1 on 127.0.0.1, event-driven. A few event loops, one per processor,
// each on a thread of its own (the caller of run runs the first), accept connections, read and
// parse requests, and write answers, so an idle keep-alive connection costs a socket and a small
// buffer, never a thread. Routes that never wait run on their connection's loop; every other
// command runs on the command pool, whose threads grow while commands wait and shrink when idle
// (server/command_pool.h). No client can stall another: a blocked command holds one pool
// thread, an idle or slow connection only its socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class CommandServer {
 public:
  struct Settings {
    // A request's header must arrive within this time of its first byte, and its body within
    // bodyTimeout after the header; a slower client is disconnected.
    std::chrono::milliseconds headerTimeout{std::chrono::seconds(10)};
    std::chrono::milliseconds bodyTimeout{std::chrono::seconds(30)};
    // A body of which nothing more arrives for this long is taken to be shorter than its
    // Content-Length: the request is answered 400 and the connection closed.
    std::chrono::milliseconds bodyStallTimeout{std::chrono::seconds(5)};
    // A keep-alive connection with no request for this long is closed.
    std::chrono::milliseconds idleTimeout{std::chrono::seconds(120)};
    // An answer the client does not take within this time ends the connection.
    std::chrono::milliseconds writeTimeout{std::chrono::seconds(30)};
    // Bodies beyond this are refused with 413 before they are read. Headers: 8 KiB.
    size_t bodyLimit = size_t{16} << 20;
    // Connections beyond this are closed as soon as they are accepted, as are those that would
    // leave fewer than 64 descriptors to the rest of the process.
    size_t maxConnections = 16384;
    // Commands in flight at most; beyond it a command waits its turn.
    size_t maxCommands = 512;
    // Event loops serving connections, each on a thread of its own (0: one per processor, at
    // most four). Each connection stays on one loop.
    size_t loops = 0;
    // A pool thread idle for this long ends.
    std::chrono::milliseconds commandIdleTimeout{std::chrono::seconds(10)};
  };

  // Nothing is bound yet. The facade must exist before the first command arrives.
  explicit CommandServer(Settings settings);
  // Waits for the commands in flight and closes everything. run must have returned (or never
  // have been called).
  ~CommandServer();
  CommandServer(const CommandServer&) = delete;
  CommandServer& operator=(const CommandServer&) = delete;

  // Binds `address`:`port` with SO_REUSEADDR only (a port another process listens on is a
  // failure, not a shared port) and listens. False when the address cannot be bound. Call once,
  // before run, on the thread that will call run.
  bool bind(const std::string& address, uint16_t port);
  // The bound port (the one chosen when `port` was 0).
  uint16_t port() const;

  // Runs the first event loop on the calling thread, and the others on threads of their own,
  // until stop; returns once every loop has ended. Never throws.
  void run();
  // Ends run soon. Any thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

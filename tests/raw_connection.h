// A plain TCP connection to a loopback port, for sending what no HTTP client would: pipelined,
// cut-short or oversized requests, or nothing at all.
#pragma once

#include <string>
#include <string_view>
#include <vector>

// One test thread uses it. The destructor closes the socket.
class RawConnection {
 public:
  // Connects to 127.0.0.1:`port`; connected() tells whether it worked.
  explicit RawConnection(int port);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends all of `bytes`; false when the connection broke.
  bool send(std::string_view bytes);
  // Ends the sending side: the server reads end of stream.
  void shutdownWrite();

  // Reads until `count` whole answers (header and Content-Length body) have arrived, the server
  // closed, or `seconds` passed; returns the whole answers, each as its raw text.
  std::vector<std::string> answers(size_t count, double seconds = 10);
  // Whether the server closed the connection within `seconds` (after any answers left).
  bool closedByServer(double seconds = 10);

 private:
  // Waits up to the deadline for bytes; false on close, error or time-out.
  bool receiveMore(double seconds);

  int fd_ = -1;
  std::string received_;
};

// The status code of a raw answer, and the value of one of its headers ("" when absent).
int statusOf(const std::string& answer);
std::string headerOf(const std::string& answer, const std::string& name);
std::string bodyOf(const std::string& answer);

// The air shared by processes: each process binds one Unix datagram socket in the air directory
// and sends its nodes' traffic to the sockets of the others.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <random>
#include <stdexcept>

#include "bluetooth/sim/air.h"
#include "platform/descriptors.h"

namespace sim {

namespace {

constexpr char kMagic[4] = {'V', 'L', 'N', 'A'};
constexpr uint8_t kVersion = 1;
// Advertisements are packed into datagrams of about this size.
constexpr size_t kBatchBytes = 16 * 1024;
constexpr size_t kReceiveBytes = 256 * 1024;
constexpr auto kSocketSuffix = ".sock";

bool isSocketName(const std::string& name) {
  return name.size() > 5 && name.compare(name.size() - 5, 5, kSocketSuffix) == 0;
}

// The socket files of this process's airs, for a SIGTERM that ends it without destructors. Each
// slot is filled before it is marked used, so that the handler reads only whole paths.
constexpr size_t kSocketSlots = 8;
char gSocketFiles[kSocketSlots][sizeof(sockaddr_un::sun_path)];
std::atomic<bool> gSocketFileUsed[kSocketSlots];

// The SIGTERM handler: removes the socket files and ends the process as SIGTERM would have.
void removeSocketFilesAndEnd(int signal) {
  for (size_t i = 0; i < kSocketSlots; ++i) {
    if (gSocketFileUsed[i].load()) ::unlink(gSocketFiles[i]);
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

// Remembers `path` for SIGTERM, and handles SIGTERM where nothing else does; the slot, or -1
// when all are taken. Any thread.
int rememberSocketFile(const std::string& path) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  for (size_t i = 0; i < kSocketSlots; ++i) {
    if (gSocketFileUsed[i].load() || path.size() >= sizeof gSocketFiles[i]) continue;
    std::memcpy(gSocketFiles[i], path.c_str(), path.size() + 1);
    gSocketFileUsed[i].store(true);
    struct sigaction current {};
    if (::sigaction(SIGTERM, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGTERM, removeSocketFilesAndEnd);
    }
    return static_cast<int>(i);
  }
  return -1;
}

// Errors that say nobody is bound to a socket path any more.
bool isGone(int error) {
  return error == ECONNREFUSED || error == ENOENT || error == ENOTSOCK;
}

class SocketAir : public Air {
 public:
  explicit SocketAir(const std::string& dir) : dir_(dir) {
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (!std::filesystem::is_directory(dir_)) {
      throw std::runtime_error("cannot use the air directory " + dir_ + ": not a directory");
    }
    name_ = std::to_string(::getpid()) + "-" + randomSuffix() + kSocketSuffix;
    openSocket();
    refreshPeers();
    // Say hello, so that the processes already here know this one at once.
    for (const auto& peer : peerList()) sendDatagram(peer, header(), /*reliable=*/false);
    receiver_ = std::thread([this] { runReceiver(); });
    startClock();
  }

  ~SocketAir() override {
    stopClock();
    stop_.wake();
    if (receiver_.joinable()) receiver_.join();
    if (socketSlot_ >= 0) gSocketFileUsed[socketSlot_].store(false);
    ::unlink(path(name_).c_str());
    ::close(fd_);
  }

  void send(const Message& message) override {
    if (deliverLocal(message)) return;
    auto peer = routeTo(message.dst);
    if (!peer) return reportLost(message.dst);
    std::vector<uint8_t> datagram = header();
    encodeMessage(message, datagram);
    sendDatagram(*peer, datagram, /*reliable=*/true);
  }

  // One datagram per receiving process (several when they grow large) instead of one per
  // message: a notification to many centrals in few processes costs few system calls.
  void sendAll(const std::vector<Message>& messages) override {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> datagrams;
    auto flush = [&](size_t i) {
      sendDatagram(datagrams[i].first, datagrams[i].second, /*reliable=*/true);
      datagrams[i].second = header();
    };
    for (const auto& message : messages) {
      if (deliverLocal(message)) continue;
      auto peer = routeTo(message.dst);
      if (!peer) {
        reportLost(message.dst);
        continue;
      }
      size_t i = 0;
      while (i < datagrams.size() && datagrams[i].first != *peer) ++i;
      if (i == datagrams.size()) datagrams.emplace_back(*peer, header());
      encodeMessage(message, datagrams[i].second);
      if (datagrams[i].second.size() >= kBatchBytes) flush(i);
    }
    const size_t empty = header().size();
    for (size_t i = 0; i < datagrams.size(); ++i) {
      if (datagrams[i].second.size() > empty) flush(i);
    }
  }

  void setPowerEverywhere(bool on) override {
    setPower(on);
    Message m;
    m.type = MessageType::power;
    m.flag = on;
    std::vector<uint8_t> datagram = header();
    encodeMessage(m, datagram);
    refreshPeers();
    for (const auto& peer : peerList()) sendDatagram(peer, datagram, /*reliable=*/true);
  }

 protected:
  void sendAdvertisements(const std::vector<Message>& batch) override {
    auto peers = peerList();
    if (peers.empty()) return;
    std::vector<std::vector<uint8_t>> datagrams;
    std::vector<uint8_t> current = header();
    const size_t empty = current.size();
    for (const auto& m : batch) {
      encodeMessage(m, current);
      if (current.size() >= kBatchBytes) {
        datagrams.push_back(std::move(current));
        current = header();
      }
    }
    if (current.size() > empty) datagrams.push_back(std::move(current));
    for (const auto& peer : peers) {
      for (const auto& d : datagrams) {
        // An advertisement that finds the receiver busy is lost, as on a real radio.
        if (!sendDatagram(peer, d, /*reliable=*/false)) break;
      }
    }
  }

  void maintain() override {
    refreshPeers();
    superviseLinks();
  }

 private:
  static std::string randomSuffix() {
    std::random_device rd;
    char text[16];
    std::snprintf(text, sizeof text, "%08x", rd());
    return text;
  }

  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  bool makeAddress(const std::string& name, sockaddr_un& addr) const {
    std::string p = path(name);
    if (p.size() >= sizeof(addr.sun_path)) return false;
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, p.c_str(), p.size() + 1);
    return true;
  }

  void openSocket() {
    sockaddr_un addr;
    if (!makeAddress(name_, addr)) {
      throw std::runtime_error("cannot use the air directory " + dir_ + ": path too long");
    }
    fd_ = ::openSocket(AF_UNIX, SOCK_DGRAM);
    if (fd_ < 0) throw std::runtime_error("cannot open a socket for the air: " + errnoText());
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      std::string why = errnoText();
      ::close(fd_);
      throw std::runtime_error("cannot use the air directory " + dir_ + ": " + why);
    }
    socketSlot_ = rememberSocketFile(path(name_));
    int size = 4 * 1024 * 1024;
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    // A reliable send waits this long at most for a receiver whose queue is full.
    timeval timeout{0, 500 * 1000};
    ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  }

  static std::string errnoText() { return std::strerror(errno); }

  // Sized in one step: growing it piecewise sets off a false overflow warning of GCC 12 at -O3.
  std::vector<uint8_t> header() const {
    std::vector<uint8_t> h(6 + name_.size());
    std::memcpy(h.data(), kMagic, 4);
    h[4] = kVersion;
    h[5] = static_cast<uint8_t>(name_.size());
    std::memcpy(h.data() + 6, name_.data(), name_.size());
    return h;
  }

  // Sends one datagram; false when it did not go out. A peer that is gone is forgotten, and
  // its socket file removed when nobody is bound to it any more.
  bool sendDatagram(const std::string& peer, const std::vector<uint8_t>& datagram, bool reliable) {
    sockaddr_un addr;
    if (!makeAddress(peer, addr)) return false;
    for (;;) {
      ssize_t n = sendToNoSignal(fd_, datagram.data(), datagram.size(), reliable ? 0 : MSG_DONTWAIT,
                                 reinterpret_cast<sockaddr*>(&addr), sizeof addr);
      if (n >= 0) return true;
      if (errno == EINTR) continue;
      if (isGone(errno)) peerGone(peer, errno == ECONNREFUSED);
      return false;
    }
  }

  void peerGone(const std::string& peer, bool staleFile) {
    if (staleFile) ::unlink(path(peer).c_str());
    std::vector<NodeId> lost;
    {
      std::lock_guard lock(peersMutex_);
      std::erase(peers_, peer);
      for (auto it = routes_.begin(); it != routes_.end();) {
        if (it->second == peer) {
          lost.push_back(it->first);
          it = routes_.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const auto& id : lost) reportLost(id);
  }

  std::vector<std::string> peerList() {
    std::lock_guard lock(peersMutex_);
    return peers_;
  }

  std::optional<std::string> routeTo(const NodeId& id) {
    std::lock_guard lock(peersMutex_);
    auto it = routes_.find(id);
    if (it == routes_.end()) return std::nullopt;
    return it->second;
  }

  // Lists the air directory; sockets with nobody bound to them are removed on first send.
  void refreshPeers() {
    std::vector<std::string> found;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir_, ec), end; !ec && it != end;
         it.increment(ec)) {
      std::string name = it->path().filename().string();
      if (name != name_ && isSocketName(name)) found.push_back(name);
    }
    std::vector<std::string> added;
    {
      std::lock_guard lock(peersMutex_);
      for (const auto& name : found) {
        if (std::find(peers_.begin(), peers_.end(), name) == peers_.end()) {
          peers_.push_back(name);
          added.push_back(name);
        }
      }
    }
    for (const auto& name : added) sendDatagram(name, header(), /*reliable=*/false);
  }

  // A peer process that died is noticed by a ping to it failing.
  void superviseLinks() {
    std::vector<std::string> hosts;
    for (const auto& id : watchedNodes()) {
      auto peer = routeTo(id);
      if (!peer) {
        if (!isLocal(id)) reportLost(id);
        continue;
      }
      if (std::find(hosts.begin(), hosts.end(), *peer) == hosts.end()) hosts.push_back(*peer);
    }
    for (const auto& peer : hosts) sendDatagram(peer, header(), /*reliable=*/false);
  }

  void runReceiver() {
    std::vector<uint8_t> buffer(kReceiveBytes);
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_.fd(), POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      if (fds[1].revents != 0) return;
      for (;;) {
        ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0) break;
        handleDatagram(buffer.data(), static_cast<size_t>(n));
      }
    }
  }

  // A datagram that is not ours or not well formed is dropped; so is the rest of a datagram
  // after its first bad message.
  void handleDatagram(const uint8_t* data, size_t size) {
    if (size < 6 || std::memcmp(data, kMagic, 4) != 0 || data[4] != kVersion) return;
    size_t nameLength = data[5];
    if (size < 6 + nameLength || nameLength == 0) return;
    std::string peer(reinterpret_cast<const char*>(data + 6), nameLength);
    if (peer == name_ || !isSocketName(peer) || peer.find('/') != std::string::npos) return;
    knowPeer(peer);
    size_t pos = 6 + nameLength;
    while (pos < size) {
      auto m = decodeMessage(data, size, pos);
      if (!m) return;
      handleMessage(peer, std::move(*m));
    }
  }

  void knowPeer(const std::string& peer) {
    std::lock_guard lock(peersMutex_);
    if (std::find(peers_.begin(), peers_.end(), peer) == peers_.end()) peers_.push_back(peer);
  }

  void handleMessage(const std::string& peer, Message m) {
    if (m.type == MessageType::power) return setPower(m.flag);
    if (isLocal(m.src)) return;  // a foreign process cannot speak for our nodes
    {
      std::lock_guard lock(peersMutex_);
      auto& route = routes_[m.src];
      if (route != peer) route = peer;
    }
    if (m.type == MessageType::advertisement) return deliverToScanners(m);
    NodeId from = m.src, to = m.dst;
    MessageType type = m.type;
    if (deliverLocal(std::move(m))) return;
    // The addressee is gone from this process: end the sender's link to it.
    if (type != MessageType::disconnect && type != MessageType::connectRequest &&
        type != MessageType::connectReject) {
      Message end;
      end.type = MessageType::disconnect;
      end.code = 6;
      end.src = to;
      end.dst = from;
      std::vector<uint8_t> datagram = header();
      encodeMessage(end, datagram);
      sendDatagram(peer, datagram, /*reliable=*/false);
    }
  }

  const std::string dir_;
  std::string name_;
  int socketSlot_ = -1;  // where SIGTERM finds the socket file
  int fd_ = -1;
  WakeSignal stop_;  // readable once the receiver is to stop
  std::thread receiver_;

  std::mutex peersMutex_;  // guards peers_ and routes_
  std::vector<std::string> peers_;
  std::unordered_map<NodeId, std::string, NodeIdHash> routes_;
};

}  // namespace

std::shared_ptr<Air> makeSocketAir(const std::string& dir) {
  return std::make_shared<SocketAir>(dir);
}

}  // namespace sim

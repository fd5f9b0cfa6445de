#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "tests/kit/LoopbackAddress.h"

namespace quv::testing {

// Puts servers at network distance: each port opened with AddPort listens on
// 127.0.0.1 and forwards every connection it accepts to a loopback server,
// delivering each chunk of bytes, in either direction, a fixed one-way delay
// after it arrived (so a round trip costs twice the delay). A connect costs
// nothing: the proxy accepts at once, and connects to the server behind it
// when the first bytes arrive, so that a connection closed before it sent
// anything (a reachability probe) costs the server nothing, as it would cost
// a distant server nothing on this machine. End of stream travels like data.
// One thread waits on every socket at once and delivers from a queue ordered
// by due time, which the fixed delay keeps in arrival order; due times come
// from the process-wide clock. The destructor stops and joins that thread and
// closes every socket.
class TLatencyProxy final {
 public:
  explicit TLatencyProxy(int64_t oneWayDelayNs)
      : FDelayNs(oneWayDelayNs),
        FPoll(::epoll_create1(EPOLL_CLOEXEC)),
        FWake(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    if (FPoll < 0 || FWake < 0) throw std::runtime_error("cannot start the latency proxy");
    Watch(FWake, EPOLLIN, &FWakeWatch);
    FLoop = std::thread([this] { Run(); });
  }
  ~TLatencyProxy() {
    FStopping = true;
    const uint64_t one = 1;
    (void)!::write(FWake, &one, sizeof one);
    FLoop.join();
    for (auto& [id, link] : FLinks) CloseSides(*link);
    for (const auto& listener : FListeners) ::close(listener->Fd);
    ::close(FWake);
    ::close(FPoll);
  }
  TLatencyProxy(const TLatencyProxy&) = delete;
  TLatencyProxy& operator=(const TLatencyProxy&) = delete;

  // Opens a loopback port that forwards to 127.0.0.1:`serverPort`; returns its number.
  uint16_t AddPort(uint16_t serverPort) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address = testing::LoopbackAddress();
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      if (fd >= 0) ::close(fd);
      throw std::runtime_error("cannot open a latency proxy port");
    }
    std::lock_guard<std::mutex> guard(FListenersLock);
    FListeners.push_back(std::make_unique<TListener>(TListener{{EKind::Listener}, fd, serverPort}));
    Watch(fd, EPOLLIN, FListeners.back().get());
    return ntohs(address.sin_port);
  }
  // Chunks received and not yet delivered, end-of-stream marks included.
  std::size_t PendingChunks() const { return FPending.load(); }

 private:
  static constexpr std::size_t kReadSize = 64 * 1024;
  // Beyond this many undelivered bytes one way, the sender is not read until
  // the receiver has taken some.
  static constexpr std::size_t kQueueLimit = 4 * 1024 * 1024;
  static constexpr uint32_t kUnwatched = ~0u;

  enum class EKind { Wake, Listener, Side };
  struct TWatch {
    EKind Kind;
  };
  struct TListener : TWatch {
    int Fd;
    uint16_t ServerPort;
  };
  struct TChunk {
    int64_t Due;
    std::string Bytes;  // empty: end of stream
  };
  struct TLink;
  // One socket of a link and what waits to be written to it.
  struct TSide : TWatch {
    explicit TSide(TLink* link) : TWatch{EKind::Side}, Link(link) {}
    TLink* Link;
    int Fd = -1;
    bool Connected = true;  // false until the connect to the server has completed
    bool ReadEnded = false;
    bool WriteEnded = false;
    std::deque<TChunk> Inbound;  // due to be written to this socket
    std::size_t InboundBytes = 0;
    std::size_t Offset = 0;  // of the front chunk, written already
    uint32_t Events = 0;
  };
  // The two sockets of one forwarded connection.
  struct TLink {
    uint64_t Id;
    uint16_t ServerPort;
    TSide Client{this};
    TSide Server{this};
    TSide& Other(TSide& side) { return &side == &Client ? Server : Client; }
  };
  // A due time of some chunk written towards one side.
  struct TDelivery {
    int64_t Due;
    uint64_t LinkId;
    bool ToServer;
  };

  void Watch(int fd, uint32_t events, TWatch* watch) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = watch;
    ::epoll_ctl(FPoll, EPOLL_CTL_ADD, fd, &event);
  }
  // Watches a side's new socket for the events it needs now.
  void Register(TSide& side) {
    side.Events = WantedEvents(side);
    Watch(side.Fd, side.Events, &side);
  }

  void Run() {
    std::vector<epoll_event> events(256);
    while (!FStopping) {
      const int count =
          ::epoll_wait(FPoll, events.data(), static_cast<int>(events.size()), WaitMs());
      for (int i = 0; i < count && !FStopping; ++i) Dispatch(events[i]);
      DeliverDue();
      ReleaseClosed();
    }
  }
  // Until the next delivery, but at most 10 ms, so that a clock that does not
  // follow real time is looked at again.
  int WaitMs() {
    if (FDeliveries.empty()) return -1;
    const int64_t left = FDeliveries.front().Due - Clock().Nanoseconds();
    return static_cast<int>(std::clamp<int64_t>((left + 999999) / 1000000, 0, 10));
  }
  void Dispatch(const epoll_event& event) {
    TWatch* watch = static_cast<TWatch*>(event.data.ptr);
    if (watch->Kind == EKind::Listener) return Accept(*static_cast<TListener*>(watch));
    if (watch->Kind == EKind::Wake) return;
    TSide& side = *static_cast<TSide*>(watch);
    if (side.Fd < 0) return;  // closed by an earlier event of this round
    if (!side.Connected && (event.events & (EPOLLOUT | EPOLLERR | EPOLLHUP)))
      return FinishConnect(side);
    if (event.events & EPOLLIN)
      Receive(side);
    else if (event.events & (EPOLLERR | EPOLLHUP))
      return Close(*side.Link);
    if (side.Fd >= 0 && (event.events & EPOLLOUT)) Flush(side);
  }

  // Takes one connection per event: a listener with more waiting reports again.
  void Accept(const TListener& listener) {
    const int client = ::accept4(listener.Fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (client < 0) return;
    auto link = std::make_unique<TLink>();
    link->Id = ++FLastId;
    link->ServerPort = listener.ServerPort;
    link->Client.Fd = client;
    link->Server.Connected = false;
    TLink& added = *FLinks.emplace(link->Id, std::move(link)).first->second;
    Register(added.Client);
  }
  // Connects the server side of `link`; false when that failed at once.
  bool ConnectServer(TLink& link) {
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (server < 0) return false;
    const int on = 1;
    ::setsockopt(link.Client.Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    ::setsockopt(server, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    link.Server.Fd = server;
    const sockaddr_in address = testing::LoopbackAddress(link.ServerPort);
    const bool connected =
        ::connect(server, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (!connected && errno != EINPROGRESS) return false;
    link.Server.Connected = connected;
    Register(link.Server);
    return true;
  }
  void FinishConnect(TSide& side) {
    int error = 0;
    socklen_t length = sizeof error;
    ::getsockopt(side.Fd, SOL_SOCKET, SO_ERROR, &error, &length);
    if (error != 0) return Close(*side.Link);
    side.Connected = true;
    UpdateEvents(side);
    UpdateEvents(side.Link->Other(side));
  }

  // Reads what `from` sent and files it for delivery to the other side. A
  // client that ends before it sent anything never reaches the server.
  void Receive(TSide& from) {
    TSide& to = from.Link->Other(from);
    const ssize_t got = ::read(from.Fd, FBuffer.data(), FBuffer.size());
    if (got < 0) {
      if (errno != EAGAIN && errno != EINTR) Close(*from.Link);
      return;
    }
    if (to.Fd < 0 && (got == 0 || !ConnectServer(*from.Link))) return Close(*from.Link);
    const int64_t due = Clock().Nanoseconds() + FDelayNs;
    to.Inbound.push_back({due, std::string(FBuffer.data(), static_cast<std::size_t>(got))});
    to.InboundBytes += static_cast<std::size_t>(got);
    ++FPending;
    FDeliveries.push_back({due, from.Link->Id, &to == &from.Link->Server});
    if (got == 0) from.ReadEnded = true;
    UpdateEvents(from);
  }

  void DeliverDue() {
    const int64_t now = Clock().Nanoseconds();
    while (!FDeliveries.empty() && FDeliveries.front().Due <= now) {
      const TDelivery delivery = FDeliveries.front();
      FDeliveries.pop_front();
      const auto found = FLinks.find(delivery.LinkId);
      if (found == FLinks.end() || found->second->Client.Fd < 0) continue;
      TLink& link = *found->second;
      Flush(delivery.ToServer ? link.Server : link.Client);
    }
  }
  // Writes the chunks due for `to` until one would block.
  void Flush(TSide& to) {
    const int64_t now = Clock().Nanoseconds();
    TLink& link = *to.Link;
    while (to.Connected && !to.Inbound.empty() && to.Inbound.front().Due <= now) {
      TChunk& chunk = to.Inbound.front();
      if (chunk.Bytes.empty()) {
        ::shutdown(to.Fd, SHUT_WR);
        to.WriteEnded = true;
      } else {
        const ssize_t put = ::send(to.Fd, chunk.Bytes.data() + to.Offset,
                                   chunk.Bytes.size() - to.Offset, MSG_NOSIGNAL);
        if (put < 0) {
          if (errno == EAGAIN || errno == EINTR) break;
          return Close(link);
        }
        to.Offset += static_cast<std::size_t>(put);
        if (to.Offset < chunk.Bytes.size()) break;
      }
      to.InboundBytes -= chunk.Bytes.size();
      to.Offset = 0;
      to.Inbound.pop_front();
      --FPending;
    }
    if (link.Client.WriteEnded && link.Server.WriteEnded) return Close(link);
    UpdateEvents(to);
    UpdateEvents(link.Other(to));
  }

  // Reads a side while it has not ended and its bytes are not piling up on
  // the other side; waits to write while a due chunk is stuck, or the connect.
  uint32_t WantedEvents(TSide& side) {
    TSide& other = side.Link->Other(side);
    uint32_t events = 0;
    if (!side.ReadEnded && other.InboundBytes < kQueueLimit) events |= EPOLLIN;
    const bool stuck = side.Offset > 0 ||
                       (!side.Inbound.empty() && side.Inbound.front().Due <= Clock().Nanoseconds());
    if (!side.Connected || stuck) events |= EPOLLOUT;
    return events;
  }
  // A side ended both ways is no longer watched: it would report a hang-up
  // while the other side may still have bytes to deliver.
  void UpdateEvents(TSide& side) {
    if (side.Fd < 0 || side.Events == kUnwatched) return;
    if (side.ReadEnded && side.WriteEnded) {
      ::epoll_ctl(FPoll, EPOLL_CTL_DEL, side.Fd, nullptr);
      side.Events = kUnwatched;
      return;
    }
    const uint32_t events = WantedEvents(side);
    if (events == side.Events) return;
    side.Events = events;
    epoll_event event{};
    event.events = events;
    event.data.ptr = &side;
    ::epoll_ctl(FPoll, EPOLL_CTL_MOD, side.Fd, &event);
  }

  // Closes both sockets at once; the link is freed after the current round,
  // since events of this round may still point at it.
  void Close(TLink& link) {
    for (TSide* side : {&link.Client, &link.Server}) FPending -= side->Inbound.size();
    CloseSides(link);
    FClosed.push_back(link.Id);
  }
  static void CloseSides(TLink& link) {
    for (TSide* side : {&link.Client, &link.Server}) {
      if (side->Fd >= 0) ::close(side->Fd);
      side->Fd = -1;
      side->Inbound.clear();
    }
  }
  void ReleaseClosed() {
    for (uint64_t id : FClosed) FLinks.erase(id);
    FClosed.clear();
  }

  const int64_t FDelayNs;
  const int FPoll;
  const int FWake;
  TWatch FWakeWatch{EKind::Wake};
  std::atomic<bool> FStopping{false};
  std::atomic<std::size_t> FPending{0};
  std::mutex FListenersLock;
  std::vector<std::unique_ptr<TListener>> FListeners;
  // The rest belongs to the loop thread.
  std::map<uint64_t, std::unique_ptr<TLink>> FLinks;
  std::deque<TDelivery> FDeliveries;
  std::vector<uint64_t> FClosed;
  uint64_t FLastId = 0;
  std::vector<char> FBuffer = std::vector<char>(kReadSize);
  mutable std::thread FLoop;
};

}  // namespace quv::testing

#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/Streams.h"
#include "platform/Thread.h"
#include "tests/kit/LoopbackServer.h"
#include "transport/quvpack.h"

namespace quv::testing {

// A datagram socket on 127.0.0.1 (a free port) that answers every request
// with `answers`, one datagram each, sent back to the requester. Owned by the
// test, which it joins on destruction. Thread-safe.
class TUdpResponder final : public TThread {
 public:
  explicit TUdpResponder(std::vector<std::string> answers = {})
      : FAnswers(std::move(answers)), FSocket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address = testing::LoopbackAddress();
    if (::bind(FSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
      ADD_FAILURE() << "bind failed";
    FPort = LocalPort(FSocket);
    Start();
  }
  ~TUdpResponder() override {
    TerminateAndWait();
    ::close(FSocket);
  }

  uint16_t Port() const { return FPort; }
  // Every request that reached the socket so far, also those not yet answered.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(FLock);
    Drain();
    return FRequests;
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      pollfd waiter{FSocket, POLLIN, 0};
      if (::poll(&waiter, 1, 20) <= 0) continue;
      std::lock_guard<std::mutex> guard(FLock);
      Drain();
    }
  }

 private:
  // Takes and answers what is queued on the socket.
  void Drain() {
    char buffer[2048];
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ssize_t received;
    while ((received = ::recvfrom(FSocket, buffer, sizeof buffer, MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&peer), &length)) >= 0) {
      FRequests.emplace_back(buffer, static_cast<std::size_t>(received));
      for (const std::string& answer : FAnswers)
        ::sendto(FSocket, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&peer),
                 length);
      length = sizeof peer;
    }
  }

  const std::vector<std::string> FAnswers;
  int FSocket;
  uint16_t FPort = 0;
  std::mutex FLock;
  std::vector<std::string> FRequests;  // guarded by FLock
};

// A locator server on 127.0.0.1 (a free port): reads one locator request
// package per connection and answers with one text item `answer`, then waits
// for the client to close. Owned by the test, which it joins on destruction.
// Thread-safe.
class TTcpLocatorServer final : public TThread {
 public:
  explicit TTcpLocatorServer(std::string answer)
      : FAnswer(std::move(answer)), FListener(BindLoopback(0)) {
    if (FListener < 0 || ::listen(FListener, 4) != 0) ADD_FAILURE() << "listen failed";
    FPort = LocalPort(FListener);
    Start();
  }
  ~TTcpLocatorServer() override {
    TerminateAndWait();
    ::close(FListener);
  }

  std::string Address() const { return "127.0.0.1:" + std::to_string(FPort); }
  // The request texts received so far.
  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> guard(FLock);
    return FRequests;
  }

 protected:
  void Execute() override {
    while (!Terminated()) {
      if (!WaitReadable(FListener)) continue;
      const int peer = ::accept4(FListener, nullptr, nullptr, SOCK_CLOEXEC);
      if (peer < 0) continue;
      try {
        Serve(peer);
      } catch (const std::exception& error) {
        ADD_FAILURE() << "locator server: " << error.what();
      }
      ::close(peer);
    }
  }

 private:
  bool WaitReadable(int fd) const {
    pollfd waiter{fd, POLLIN, 0};
    return ::poll(&waiter, 1, 20) > 0;
  }
  void Serve(int peer) {
    while (!Terminated() && !WaitReadable(peer)) {
    }
    if (Terminated()) return;
    THandleStream stream(peer);
    TquvPackage package(stream);
    if (package.ReadSignature(0) != TquvSignature::Locator) return;
    const std::string request = TquvPackageReader(package).ReadText();
    {
      std::lock_guard<std::mutex> guard(FLock);
      FRequests.push_back(request);
    }
    TquvPackageWriter(package).WriteText(FAnswer);
    package.Flush(0);
    // Closing before the client has closed could reset the reply away.
    char rest[256];
    while (!Terminated())
      if (WaitReadable(peer) && ::read(peer, rest, sizeof rest) <= 0) break;
  }

  const std::string FAnswer;
  int FListener;
  uint16_t FPort = 0;
  std::mutex FLock;
  std::vector<std::string> FRequests;  // guarded by FLock
};

}  // namespace quv::testing

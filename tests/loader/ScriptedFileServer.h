#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tests/kit/LoopbackServer.h"
#include "transport/quvpack.h"

namespace quv::testing {

// A file server on 127.0.0.1 that answers each file request with what a test
// scripts, for the answers the real server never gives (a trickle, endless
// empty blocks, names outside the mask). Each connection is served on the
// listener's thread: its request ("QUFT" and one 268-byte request) is read,
// then `answer` writes to the connection through a TScriptedAnswer; sends to
// a client that went away are dropped. A connection that closes before a
// whole request (a probe) is simply closed. The destructor stops the thread
// and closes every connection.
class TScriptedFileServer final {
 public:
  // The connection of one request, for the script to write to.
  class TScriptedAnswer final {
   public:
    explicit TScriptedAnswer(int fd) : FFd(fd) {}
    // Sends `bytes` at once; false once the client is gone.
    bool Send(std::string_view bytes) {
      while (!bytes.empty()) {
        const ssize_t sent = ::send(FFd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
      }
      return true;
    }
    bool SendInteger(int32_t value) {
      char bytes[4];
      for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
      return Send(std::string_view(bytes, 4));
    }
    // One block that the reader decodes to `data` (stored, not compressed).
    bool SendStoredBlock(std::string_view data) {
      return SendInteger(static_cast<int32_t>(data.size() + 1)) && Send("\x80") && Send(data);
    }
    // The start of a file answer: the marker, then value and size in a block.
    bool SendFileStart(int32_t value, int32_t size) {
      std::string head(8, '\0');
      for (int i = 0; i < 4; ++i) {
        head[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
        head[4 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
      }
      return SendInteger(pack_dt_file) && SendStoredBlock(head);
    }
    // A whole file answer: the start, then `data` in stored blocks.
    bool SendFile(int32_t value, std::string_view data) {
      if (!SendFileStart(value, static_cast<int32_t>(data.size()))) return false;
      for (std::size_t at = 0; at < data.size(); at += kPiece)
        if (!SendStoredBlock(data.substr(at, kPiece))) return false;
      return true;
    }

   private:
    static constexpr std::size_t kPiece = 10240;
    int FFd;
  };

  using TScript = std::function<void(const TquvFileRequest& request, TScriptedAnswer& answer)>;

  explicit TScriptedFileServer(TScript script)
      : FScript(std::move(script)), FListener(BindLoopback(0)) {
    ::listen(FListener, 16);
    FThread = std::thread([this] { Run(); });
  }
  ~TScriptedFileServer() {
    FStopping = true;
    FThread.join();
    for (const int fd : FHeld) ::close(fd);
    ::close(FListener);
  }
  TScriptedFileServer(const TScriptedFileServer&) = delete;
  TScriptedFileServer& operator=(const TScriptedFileServer&) = delete;

  std::string Address() const { return "127.0.0.1:" + std::to_string(LocalPort(FListener)); }
  // The names asked for so far.
  std::vector<std::string> Requested() {
    std::lock_guard<std::mutex> guard(FLock);
    return FRequested;
  }

 private:
  static constexpr int kPollMs = 20;

  void Run() {
    std::vector<int> open;
    while (!FStopping) {
      std::vector<pollfd> waiters{{FListener, POLLIN, 0}};
      for (const int fd : open) waiters.push_back({fd, POLLIN, 0});
      if (::poll(waiters.data(), waiters.size(), kPollMs) <= 0) continue;
      if (waiters[0].revents & POLLIN) {
        const int fd = ::accept(FListener, nullptr, nullptr);
        if (fd >= 0) open.push_back(fd);
      }
      for (std::size_t i = 1; i < waiters.size(); ++i) {
        if (waiters[i].revents == 0) continue;
        const int fd = waiters[i].fd;
        std::erase(open, fd);
        Serve(fd);
      }
    }
    for (const int fd : open) ::close(fd);
  }

  // Reads requests on `fd` and answers them while it stays open.
  void Serve(int fd) {
    for (;;) {
      std::string received;
      if (!ReadExactly(fd, 4 + kFileRequestSize, received) || received.compare(0, 4, "QUFT") != 0) {
        ::close(fd);
        return;
      }
      TFileRequestBytes bytes;
      std::copy(received.begin() + 4, received.end(), bytes.begin());
      const TquvFileRequest request = DecodeFileRequest(bytes);
      {
        std::lock_guard<std::mutex> guard(FLock);
        FRequested.push_back(request.FileName);
      }
      TScriptedAnswer answer(fd);
      FScript(request, answer);
      if (FStopping) break;
    }
    FHeld.push_back(fd);
  }

  bool ReadExactly(int fd, std::size_t count, std::string& received) {
    while (received.size() < count && !FStopping) {
      pollfd peer{fd, POLLIN, 0};
      if (::poll(&peer, 1, kPollMs) <= 0) continue;
      char buffer[512];
      const ssize_t n = ::recv(fd, buffer, std::min(sizeof buffer, count - received.size()), 0);
      if (n <= 0) return false;
      received.append(buffer, static_cast<std::size_t>(n));
    }
    return received.size() == count;
  }

  TScript FScript;
  int FListener;
  std::atomic<bool> FStopping{false};
  std::thread FThread;
  std::vector<int> FHeld;
  std::mutex FLock;
  std::vector<std::string> FRequested;
};

}  // namespace quv::testing

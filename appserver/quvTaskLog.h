#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace quv {

// A file with one line for each request the server starts and one for each
// it ends, so that what a watcher of the server saw can be checked against
// what ran: "<local date-time> start|end <entry> <request number> <method>",
// the date-time in days since 30 December 1899 with nine decimals, the entry
// a number that pairs a start with its end. Each line is flushed as it is
// written. Thread-safe.
class TTaskLog final {
 public:
  // Opens `fileName` for appending; raises Exception naming it when it cannot.
  explicit TTaskLog(const std::string& fileName);
  ~TTaskLog();
  TTaskLog(const TTaskLog&) = delete;
  TTaskLog& operator=(const TTaskLog&) = delete;

  void Started(uint64_t entry, int32_t requestNumber, std::string_view method);
  void Ended(uint64_t entry, int32_t requestNumber, std::string_view method);

 private:
  void Write(std::string_view what, uint64_t entry, int32_t requestNumber, std::string_view method);

  std::mutex FLock;
  std::FILE* FFile;
};

}  // namespace quv

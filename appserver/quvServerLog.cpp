#include "appserver/quvServerLog.h"

#include <cstdio>
#include <mutex>
#include <string>

#include "platform/Cp1252.h"
#include "platform/ProgramIo.h"

namespace quv {

void ServerLogLine(std::string_view line) {
  static std::mutex lock;
  const std::string text = "quvserver: " + program::ShownText(Cp1252ToUtf8(line)) + "\n";
  std::lock_guard<std::mutex> guard(lock);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace quv

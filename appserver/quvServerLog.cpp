#include "appserver/quvServerLog.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace quv {

void ServerLogLine(std::string_view line) {
  static std::mutex lock;
  std::string text = "quvserver: ";
  for (const char c : line) text += static_cast<unsigned char>(c) < 0x20 ? '?' : c;
  text += '\n';
  std::lock_guard<std::mutex> guard(lock);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace quv

#include "appserver/quvTaskLog.h"

#include <cerrno>
#include <cstring>

#include "platform/Clock.h"
#include "platform/Exception.h"
#include "platform/ProgramIo.h"

namespace quv {

TTaskLog::TTaskLog(const std::string& fileName) : FFile(std::fopen(fileName.c_str(), "a")) {
  if (!FFile) throw Exception("cannot open the task log " + fileName + ": " + std::strerror(errno));
}

TTaskLog::~TTaskLog() { std::fclose(FFile); }

void TTaskLog::Started(uint64_t entry, int32_t requestNumber, std::string_view method) {
  Write("start", entry, requestNumber, method);
}

void TTaskLog::Ended(uint64_t entry, int32_t requestNumber, std::string_view method) {
  Write("end", entry, requestNumber, method);
}

void TTaskLog::Write(std::string_view what, uint64_t entry, int32_t requestNumber,
                     std::string_view method) {
  // Method names come from clients: shown without line breaks or other controls.
  const std::string shown = program::ShownText(method);
  std::lock_guard<std::mutex> guard(FLock);
  std::fprintf(FFile, "%.9f %.*s %llu %d %s\n", Clock().Now(), static_cast<int>(what.size()),
               what.data(), static_cast<unsigned long long>(entry), requestNumber, shown.c_str());
  std::fflush(FFile);
}

}  // namespace quv

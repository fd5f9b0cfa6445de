// Appends numbered lines to a log category, for the test of two processes
// writing one log file at once.
// Arguments: log folder, program path, category, tag, line count.
#include <cstdlib>
#include <string>

#include "transport/logfiles.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  quv::TLogFiles logFiles(argv[1], argv[2], quv::TBrokerBridge());
  const std::string tag = argv[4];
  const std::string padding(150, '.');
  const int count = std::atoi(argv[5]);
  for (int i = 0; i < count; ++i) logFiles.Log(0, tag + ":" + std::to_string(i) + padding, argv[3]);
  return 0;
}

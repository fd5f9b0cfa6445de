#pragma once

#include <string>
#include <vector>

// Processes: the programs this one starts, and the hooks a process needs
// around fork and the signals that ask it to stop.
namespace quv {

// Starts `program` (a path; no search of $PATH) with `arguments` and waits for
// it to end: its exit code, or 128 + the signal that ended it. Raises
// EFileError "PROGRAM: REASON" when it cannot be started.
int RunProgram(const std::string& program, const std::vector<std::string>& arguments);

// Has `handler` run in the child after every fork of this process; false
// when the system would not register it.
bool OnForkInChild(void (*handler)());

// Has `onStop` run when the process is asked to stop (SIGINT, SIGTERM), and
// ignores SIGPIPE so that a peer that went away is a failed write, not the
// end of the process. `onStop` runs in a signal handler: it may only do
// what is safe there (an atomic store, a write to a pipe).
void HandleStopSignals(void (*onStop)());

// Blocks the calling thread until the process is asked to stop (SIGINT,
// SIGTERM), through HandleStopSignals; raises EOSError when it cannot wait.
// For programs whose main thread has nothing else to do.
void WaitForStopSignal();

}  // namespace quv

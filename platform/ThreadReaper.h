#pragma once

#include <cstddef>
#include <memory>

#include "platform/Thread.h"

namespace quv {

// Threads told to stop that their owner cannot wait for any longer. A thread
// that has not ended may still hold a lock or touch what it works on, so it
// is never suspended or freed early: the reaper keeps it, frees it once it
// has ended, and joins whatever is left at exit, so that no thread outlives
// main. Thread-safe.

// Takes `thread`, which has been told to stop; frees the kept threads that
// have ended meanwhile.
void HandOverThread(std::unique_ptr<TThread> thread);
// Joins and frees every kept thread. This also runs at exit, after the
// objects made after the reaper: one that hands threads over as it goes must
// make the reaper first (any call here does).
void JoinHandedOverThreads();
// How many handed-over threads are kept, ended or not.
std::size_t HandedOverThreads();

}  // namespace quv

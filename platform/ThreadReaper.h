#pragma once

#include <cstddef>
#include <memory>

#include "platform/ProcessSlot.h"
#include "platform/Thread.h"

namespace quv {

// Threads told to stop that their owner cannot wait for any longer. A thread
// that has not ended may still hold a lock or touch what it works on, so it
// is never suspended or freed early: the reaper keeps it, frees it once it
// has ended, and joins whatever is left at exit, so that no thread outlives
// main. Thread-safe.

// Makes the process's reaper; when the part ends it joins every kept thread,
// so it must outlive whatever hands threads to it.
std::unique_ptr<TScopePart> MakeThreadReaper();
// Takes `thread`, which has been told to stop; frees the kept threads that
// have ended meanwhile.
void HandOverThread(std::unique_ptr<TThread> thread);
// Joins and frees every kept thread.
void JoinHandedOverThreads();
// How many handed-over threads are kept, ended or not.
std::size_t HandedOverThreads();

}  // namespace quv

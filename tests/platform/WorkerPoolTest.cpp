#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "platform/WorkerPool.h"

namespace quv {
namespace {

TEST(WorkerPool, RunsEveryTaskOnceAndKeepsItsThreadsForTheNextBatch) {
  TWorkerPool pool(3);
  for (int batch = 0; batch < 3; ++batch) {
    std::vector<std::atomic<int>> runs(100);
    std::atomic<int> atOnce{0}, mostAtOnce{0};
    pool.Run(runs.size(), [&](std::size_t i) {
      const int now = ++atOnce;
      for (int seen = mostAtOnce; now > seen && !mostAtOnce.compare_exchange_weak(seen, now);) {
      }
      std::this_thread::yield();
      ++runs[i];
      --atOnce;
    });
    for (const auto& count : runs) EXPECT_EQ(count.load(), 1);
    EXPECT_LE(mostAtOnce.load(), 4);  // three pool threads and the caller
    EXPECT_LE(pool.ThreadCount(), 3u);
  }
  pool.Run(0, [](std::size_t) { FAIL(); });
}

TEST(WorkerPool, BatchesFromSeveralThreadsShareThePool) {
  TWorkerPool pool(2);
  std::atomic<int> total{0};
  {
    std::vector<std::jthread> callers;
    for (int c = 0; c < 4; ++c)
      callers.emplace_back([&] { pool.Run(50, [&](std::size_t) { ++total; }); });
  }
  EXPECT_EQ(total.load(), 200);
}

TEST(WorkerPool, ATaskFailureReachesTheCallerAfterTheOthersEnded) {
  TWorkerPool pool(2);
  std::atomic<int> ended{0};
  EXPECT_THROW(pool.Run(20,
                        [&](std::size_t i) {
                          ++ended;
                          if (i == 3) throw std::runtime_error("falhou");
                        }),
               std::runtime_error);
  EXPECT_EQ(ended.load(), 20);
  pool.Run(5, [&](std::size_t) { ++ended; });
  EXPECT_EQ(ended.load(), 25);
}

}  // namespace
}  // namespace quv

#include <atomic>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"
#include "installer/WorkerPool.h"

namespace {

using varnesk::RunHeaviestFirst;

std::vector<std::uint64_t> Weights(std::size_t count) {
  std::vector<std::uint64_t> weights;
  for (std::size_t i = 0; i < count; ++i) weights.push_back((i * 2654435761u) % 97);
  return weights;
}

TEST(WorkerPool, RunsEveryItemOnceOnAWorkerOfItsOwn) {
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    SCOPED_TRACE(threads);
    const std::vector<std::uint64_t> weights = Weights(1000);
    std::vector<std::atomic<int>> runs(weights.size());
    std::vector<unsigned> workerOf(weights.size(), ~0u);  // a slot per item
    std::mutex mutex;
    std::set<std::thread::id> ids;
    RunHeaviestFirst(weights, threads, [&](unsigned worker, std::size_t item) {
      runs[item].fetch_add(1);
      workerOf[item] = worker;
      std::lock_guard<std::mutex> lock(mutex);
      ids.insert(std::this_thread::get_id());
    });
    for (std::size_t i = 0; i < weights.size(); ++i) {
      EXPECT_EQ(runs[i].load(), 1) << i;
      EXPECT_LT(workerOf[i], threads) << i;
    }
    EXPECT_LE(ids.size(), threads);
  }
}

TEST(WorkerPool, OneThreadTakesTheHeaviestFirstAndTiesInOrder) {
  const std::vector<std::uint64_t> weights = {5, 9, 1, 9, 0, 5, 7};
  std::vector<std::size_t> order;
  RunHeaviestFirst(weights, 1, [&](unsigned worker, std::size_t item) {
    EXPECT_EQ(worker, 0u);
    order.push_back(item);
  });
  EXPECT_EQ(order, (std::vector<std::size_t>{1, 3, 6, 0, 5, 2, 4}));
}

TEST(WorkerPool, TheCallingThreadWorksAndNoMoreThreadsThanItems) {
  std::mutex mutex;
  std::set<std::thread::id> ids;
  RunHeaviestFirst({3, 4}, 16, [&](unsigned worker, std::size_t) {
    EXPECT_LT(worker, 2u);
    std::lock_guard<std::mutex> lock(mutex);
    ids.insert(std::this_thread::get_id());
  });
  EXPECT_LE(ids.size(), 2u);

  const std::thread::id self = std::this_thread::get_id();
  RunHeaviestFirst({1}, 2, [&](unsigned worker, std::size_t) {
    EXPECT_EQ(worker, 0u);
    EXPECT_EQ(std::this_thread::get_id(), self);
  });

  int calls = 0;
  RunHeaviestFirst({}, 2, [&](unsigned, std::size_t) { ++calls; });
  RunHeaviestFirst({1, 2, 3}, 0, [&](unsigned, std::size_t) { ++calls; });  // 0 means 1
  EXPECT_EQ(calls, 3);
}

TEST(WorkerPool, AThrowingItemStopsItsThreadOnlyAndIsRethrownAfterAll) {
  const std::vector<std::uint64_t> weights = Weights(300);
  std::vector<std::atomic<int>> runs(weights.size());
  EXPECT_THROW(RunHeaviestFirst(weights, 2,
                                [&](unsigned, std::size_t item) {
                                  runs[item].fetch_add(1);
                                  if (item == 17) throw std::runtime_error("item 17");
                                }),
               std::runtime_error);
  for (std::size_t i = 0; i < weights.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << i;
}

}  // namespace

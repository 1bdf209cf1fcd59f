#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
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

TEST(FeedingPool, RunsItemsWhileTheyAreAddedEachOnce) {
  for (unsigned threads : {1u, 2u, 3u}) {
    SCOPED_TRACE(threads);
    const std::vector<std::uint64_t> weights = Weights(600);
    std::vector<std::atomic<int>> runs(weights.size());
    std::atomic<int> runBeforeFinish{0};
    std::atomic<bool> finishing{false};
    std::vector<std::size_t> order;  // of worker 0 alone, when it is the only one
    varnesk::FeedingPool pool(threads, [&](unsigned worker, std::size_t item) {
      EXPECT_LT(worker, threads);
      runs[item].fetch_add(1);
      if (!finishing) runBeforeFinish.fetch_add(1);
      if (threads == 1) order.push_back(item);
    });
    for (std::size_t i = 0; i < weights.size(); ++i) pool.Add(i, weights[i]);
    // Started threads take items before Finish (bounded wait for a loaded machine).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (threads > 1 && runBeforeFinish == 0 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    finishing = true;
    pool.Finish();
    for (std::size_t i = 0; i < weights.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    if (threads > 1) {
      EXPECT_GT(runBeforeFinish.load(), 0) << "the started threads work while items come";
    } else {
      EXPECT_EQ(runBeforeFinish.load(), 0);
      std::vector<std::size_t> expected(weights.size());
      std::iota(expected.begin(), expected.end(), std::size_t{0});
      std::stable_sort(expected.begin(), expected.end(),
                       [&](std::size_t a, std::size_t b) { return weights[a] > weights[b]; });
      EXPECT_EQ(order, expected) << "heaviest first, equal weights in the order added";
    }
  }
}

TEST(FeedingPool, AThrowingItemIsRethrownByFinishAndAProducerThatGivesUpIsNotKeptWaiting) {
  std::vector<std::atomic<int>> runs(200);
  varnesk::FeedingPool pool(2, [&](unsigned, std::size_t item) {
    runs[item].fetch_add(1);
    if (item == 17) throw std::runtime_error("item 17");
  });
  for (std::size_t i = 0; i < runs.size(); ++i) pool.Add(i, 1);
  EXPECT_THROW(pool.Finish(), std::runtime_error);
  for (std::size_t i = 0; i < runs.size(); ++i) EXPECT_EQ(runs[i].load(), 1) << i;

  // Given up on: what waits is dropped, what runs is waited for, nothing hangs.
  std::atomic<int> ran{0};
  {
    varnesk::FeedingPool abandoned(2, [&](unsigned, std::size_t) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      ran.fetch_add(1);
    });
    for (std::size_t i = 0; i < 1000; ++i) abandoned.Add(i, i);
  }
  EXPECT_LT(ran.load(), 1000);
}

}  // namespace

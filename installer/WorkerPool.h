#pragma once
// Running a list of independent work items on a few threads, heaviest first.
//
// Workers only do the work: each item's outcome goes into a slot of the caller's that
// belongs to that item alone, and the caller reads and reports the slots, in item order,
// after the run has returned. Nothing is logged or raised from a worker.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace varnesk {

/// Calls `run(worker, item)` exactly once for every item in [0, weights.size()), on up
/// to `threads` threads: the calling thread (worker 0) and up to `threads - 1` started
/// ones (workers 1, 2, ...), never more threads than items. Items are taken heaviest
/// first by `weights`, equal weights in item order, each by whichever worker is free;
/// `worker` lets a call use state of its own thread. Returns when every call has
/// returned and every started thread has ended. Where a thread cannot be started, the
/// others do its share. When a call throws, its thread takes no further items, the
/// others go on, and the first such exception is rethrown after all have ended.
void RunHeaviestFirst(const std::vector<std::uint64_t>& weights, unsigned threads,
                      const std::function<void(unsigned worker, std::size_t item)>& run);

/// Runs work items while a producer is still adding them, on up to `threads` threads:
/// `threads - 1` threads started at once (workers 1, 2, ...) take items as they come,
/// the heaviest waiting item first (equal weights in the order added), and the
/// producer's own thread (worker 0) joins in at Finish(). Each added item runs exactly
/// once; where a thread cannot be started, the others do its share. When a call
/// throws, its thread takes no further items and Finish() rethrows the first such
/// exception after all threads have ended.
class FeedingPool {
 public:
  FeedingPool(unsigned threads, std::function<void(unsigned worker, std::size_t item)> run);
  /// Without Finish() (the producer gave up): items not yet started are dropped, and
  /// the threads are waited for.
  ~FeedingPool();
  FeedingPool(const FeedingPool&) = delete;
  FeedingPool& operator=(const FeedingPool&) = delete;

  void Add(std::size_t item, std::uint64_t weight);
  /// No more items: works on the calling thread until every item has run, then waits
  /// for the other threads.
  void Finish();

 private:
  void Work(unsigned worker);
  void Stop(bool dropWaiting);

  std::function<void(unsigned, std::size_t)> m_run;
  std::mutex m_mutex;
  std::condition_variable m_ready;
  // Waiting items as a heap, heaviest on top: (weight, item).
  std::vector<std::pair<std::uint64_t, std::size_t>> m_waiting;
  bool m_closed = false;
  std::vector<std::thread> m_threads;
  std::vector<std::exception_ptr> m_failures;  // one slot per worker
};

}  // namespace varnesk

#pragma once
// Running a list of independent work items on a few threads, heaviest first.
//
// Workers only do the work: each item's outcome goes into a slot of the caller's that
// belongs to that item alone, and the caller reads and reports the slots, in item order,
// after the run has returned. Nothing is logged or raised from a worker.
#include <cstddef>
#include <cstdint>
#include <functional>
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

}  // namespace varnesk

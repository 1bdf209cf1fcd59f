#include "installer/WorkerPool.h"

#include <algorithm>
#include <atomic>
#include <exception>
#include <numeric>
#include <system_error>
#include <thread>

namespace varnesk {

void RunHeaviestFirst(const std::vector<std::uint64_t>& weights, unsigned threads,
                      const std::function<void(unsigned worker, std::size_t item)>& run) {
  std::vector<std::size_t> order(weights.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return weights[a] > weights[b]; });

  const unsigned workers =
      static_cast<unsigned>(std::max<std::size_t>(1, std::min<std::size_t>(threads, order.size())));
  std::atomic<std::size_t> next{0};
  std::vector<std::exception_ptr> failures(workers);
  auto work = [&](unsigned worker) {
    try {
      for (std::size_t i = next.fetch_add(1); i < order.size(); i = next.fetch_add(1)) {
        run(worker, order[i]);
      }
    } catch (...) {
      failures[worker] = std::current_exception();
    }
  };

  std::vector<std::thread> started;
  for (unsigned worker = 1; worker < workers; ++worker) {
    try {
      started.emplace_back(work, worker);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the running ones share the rest
    }
  }
  work(0);
  for (std::thread& thread : started) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace varnesk

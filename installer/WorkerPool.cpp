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

namespace {

// Heap order: the heavier item on top; of equal weights, the one added first.
bool Lighter(const std::pair<std::uint64_t, std::size_t>& a, const std::pair<std::uint64_t, std::size_t>& b) {
  return a.first < b.first || (a.first == b.first && a.second > b.second);
}

}  // namespace

FeedingPool::FeedingPool(unsigned threads, std::function<void(unsigned worker, std::size_t item)> run)
    : m_run(std::move(run)), m_failures(std::max(1u, threads)) {
  for (unsigned worker = 1; worker < threads; ++worker) {
    try {
      m_threads.emplace_back([this, worker] { Work(worker); });
    } catch (const std::system_error&) {
      break;  // no more threads to be had: the running ones share the rest
    }
  }
}

FeedingPool::~FeedingPool() { Stop(true); }

void FeedingPool::Add(std::size_t item, std::uint64_t weight) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_waiting.emplace_back(weight, item);
    std::push_heap(m_waiting.begin(), m_waiting.end(), Lighter);
  }
  m_ready.notify_one();
}

void FeedingPool::Finish() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
  }
  m_ready.notify_all();
  Work(0);
  Stop(false);
  for (const std::exception_ptr& failure : m_failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

void FeedingPool::Work(unsigned worker) {
  try {
    for (;;) {
      std::size_t item = 0;
      {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait(lock, [this] { return !m_waiting.empty() || m_closed; });
        if (m_waiting.empty()) return;  // closed, and nothing left
        std::pop_heap(m_waiting.begin(), m_waiting.end(), Lighter);
        item = m_waiting.back().second;
        m_waiting.pop_back();
      }
      m_run(worker, item);
    }
  } catch (...) {
    m_failures[worker] = std::current_exception();
  }
}

void FeedingPool::Stop(bool dropWaiting) {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    if (dropWaiting) m_waiting.clear();
  }
  m_ready.notify_all();
  for (std::thread& thread : m_threads) {
    if (thread.joinable()) thread.join();
  }
}

}  // namespace varnesk

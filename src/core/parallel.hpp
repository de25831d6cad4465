#pragma once
// Order-preserving fan-out over the one oneTBB work-stealing pool.
#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <cstddef>
#include <vector>

namespace varnek::core {

// Number of worker threads of the pool (one per logical processor unless limited).
inline int worker_count() {
  return tbb::this_task_arena::max_concurrency();
}

// out[i] = f(i) for i in [0, n), computed in parallel; output order is input order, so the
// result does not depend on the number of workers.
template <class Out, class F>
std::vector<Out> parallel_map(std::size_t n, F&& f) {
  std::vector<Out> out(n);
  tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n), [&](const auto& r) {
    for (std::size_t i = r.begin(); i != r.end(); ++i) out[i] = f(i);
  });
  return out;
}

}  // namespace varnek::core

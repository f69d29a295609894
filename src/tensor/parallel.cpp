#include "tensor/parallel.h"

#include <omp.h>

#include <exception>
#include <vector>

namespace tl::parallel {

size_t num_threads() { return static_cast<size_t>(omp_get_max_threads()); }

size_t blocks_for(size_t n, size_t work_per_item) {
  const size_t threads = num_threads();
  if (n <= 1 || threads <= 1 || omp_in_parallel()) return 1;
  const size_t work = n * work_per_item;  // saturating enough for the sizes the model uses
  if (work < kMinParallelWork) return 1;
  const size_t by_work = std::max<size_t>(1, work / kMinWorkPerBlock);
  return std::min({n, by_work, 4 * threads});
}

void run(size_t n, void (*body)(void*, size_t), void* ctx) {
  if (n == 0) return;
  if (n == 1 || num_threads() <= 1 || omp_in_parallel()) {
    for (size_t i = 0; i < n; ++i) body(ctx, i);
    return;
  }
  std::vector<std::exception_ptr> errs(n);
  bool failed = false;
#pragma omp parallel for schedule(dynamic, 1)
  for (size_t i = 0; i < n; ++i) {
    try {
      body(ctx, i);
    } catch (...) {
      errs[i] = std::current_exception();
#pragma omp atomic write
      failed = true;
    }
  }
  if (failed)
    for (const std::exception_ptr& e : errs)
      if (e) std::rethrow_exception(e);
}

}  // namespace tl::parallel

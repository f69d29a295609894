// The one place where work is split over threads. Every parallel region of the library, the
// model and the engine goes through run() or for_ranges(); nothing else starts threads.
//
// Work goes out in blocks that whichever thread is free takes, the calling thread included, so a
// thread that the scheduler has parked delays at most the block it holds, and a worker that has
// not woken up yet delays nothing. A call returns when every block has finished. Idle workers
// spin for a few tens of microseconds, then sleep. Calls made from inside a block, and calls
// made while another thread's call holds the pool, run their blocks on the calling thread, in
// order. If blocks throw, every block still runs, and the exception of the lowest block index is
// rethrown on the caller once all have finished (as a sequential loop would have raised it
// first).
#pragma once
#include <algorithm>
#include <cstddef>

namespace tl::parallel {

// Threads a region may use: the calling thread plus the pool's workers. Read once, at first use:
// RAYON_NUM_THREADS when it is a count above 0, the online processors when it is 0; otherwise
// RAYON_RS_NUM_CPUS, then OMP_NUM_THREADS, likewise; otherwise the online processors. Never more
// than the online processors: threads beyond them cannot run at the same time, and each one
// costs a stack and allocator arenas. Workers start when a region has blocks for them, never
// more than its blocks; a worker that cannot be started (no memory, a thread limit) is done
// without, and the pool keeps the threads it has. In a child made by fork() the pool starts
// anew, with the same size, at its first region.
//
// Results never depend on the pool size: blocks_for() may only cut work whose pieces give the
// same bits however they are cut (rows of independent outputs, element-wise passes). A split
// whose pieces change the rounding (partial sums, product widths) takes its pieces from
// shape_blocks(), which looks at the shapes alone.
size_t num_threads();

// The pool-size rule above for given variable values (null when unset) and online processors.
size_t threads_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                        const char* omp_num_threads, size_t online);

// Makes regions use `threads` threads (at least 1, at most 4096, not bounded by the online
// processors), starting or ending workers as needed. For benchmarks and tests that compare
// thread counts in one process; must not be called from inside a region.
void set_num_threads(size_t threads);

// Work (in multiply-adds or comparable element steps) below which a region is not worth
// splitting: it runs on the calling thread.
inline constexpr size_t kMinParallelWork = size_t{1} << 16;
// The smallest share of work worth handing to another thread.
inline constexpr size_t kMinWorkPerBlock = size_t{1} << 14;

// Blocks of a shape-only cut: at most this many, whatever the pool size.
inline constexpr size_t kShapeBlocks = 64;

// How many blocks to cut n items of `work_per_item` each into: 1 when the whole is below
// kMinParallelWork, there is one thread, or the call is made inside a block; otherwise enough
// blocks for free threads to balance the load (a few per thread), none smaller than
// kMinWorkPerBlock, never more than n. Depends on the pool size: only for cuts that change no
// result.
size_t blocks_for(size_t n, size_t work_per_item);

// The same from the shapes alone, for cuts whose pieces round differently: 1 when the whole is
// below kMinParallelWork; otherwise as many blocks as kMinWorkPerBlock allows, at most
// kShapeBlocks and n.
size_t shape_blocks(size_t n, size_t work_per_item);

// Runs body(ctx, i) for every i in [0, n).
void run(size_t n, void (*body)(void*, size_t), void* ctx);

// Runs f(i) for every i in [0, n), one block per index.
template <typename F>
void run(size_t n, F&& f) {
  run(
      n, [](void* c, size_t i) { (*static_cast<F*>(c))(i); }, static_cast<void*>(&f));
}

// Cuts [0, n) into blocks_for(n, work_per_item) contiguous ranges whose bounds are multiples of
// `grain` (except the end) and runs f(begin, end) on each. The bounds depend on the pool size:
// f's results must not depend on them.
template <typename F>
void for_ranges(size_t n, size_t work_per_item, F&& f, size_t grain = 1) {
  if (n == 0) return;
  const size_t units = (n + grain - 1) / grain;
  const size_t blocks = std::min(units, blocks_for(n, work_per_item));
  if (blocks <= 1) {
    f(size_t{0}, n);
    return;
  }
  run(blocks, [&](size_t b) {
    const size_t u0 = units * b / blocks, u1 = units * (b + 1) / blocks;
    const size_t begin = std::min(n, u0 * grain), end = std::min(n, u1 * grain);
    if (begin < end) f(begin, end);
  });
}

}  // namespace tl::parallel

// The process-wide worker pool behind parallel.h.
//
// A region ("job") is published through words that live in the pool, never in the caller's
// frame, so that a worker waking late can touch nothing that has gone:
//   claim_  (block count << 32) | next unclaimed block. Every thread, the caller included, takes
//           blocks with fetch_add. A value below the count is a claim on a block of the job that
//           is current at that moment: that job cannot finish (and its caller cannot return or
//           publish another) before the claimed block is done, so the job's description, read
//           after the claim, is stable while the block runs. A value at or past the count is no
//           claim at all, whatever job it belongs to: the thread goes back to waiting.
//   done_   blocks finished. The caller waits for it to reach the count, so it waits for blocks,
//           never for a worker that has not woken: blocks left unclaimed are taken by whoever
//           is running, the caller included.
//   wake_   bumped once per job; idle workers wait for it to change, spinning a little before
//           they sleep.
// Memory order: the caller writes the job's description and resets done_ before a release store
// of claim_; every claim is an acquire read-modify-write of claim_, so it synchronizes with that
// store (read-modify-writes continue its release sequence). Finishing a block is a
// read-modify-write of done_ (release), and the caller's acquire read of the final count makes
// every block's writes visible to it. The two sleep handshakes (workers on wake_, the caller on
// done_) use sequentially consistent operations on both sides, so a sleeper either sees the
// change or its waker sees the sleeper.
#include "tensor/parallel.h"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tl::parallel {
namespace {

// How long an idle thread spins before it sleeps. Regions follow each other within microseconds
// during a decode step, and waking a sleeping thread costs tens of microseconds on a virtual
// machine; spinning much longer only takes processor time from other processes.
constexpr auto kSpin = std::chrono::microseconds(50);
// More blocks than this in one call are grouped (claim_ holds 32-bit counts).
constexpr size_t kMaxBlocks = size_t{1} << 30;
// More threads than any machine this runs on can use; keeps the block arithmetic in range.
constexpr size_t kMaxThreads = size_t{1} << 12;

// Whether the calling thread is running a block. A pthread key rather than a thread_local: a
// dynamically loaded library's thread_local is allocated on the thread's first access, and when
// that allocation fails glibc aborts the process; a key's value lives in the thread's own
// descriptor. A key that cannot be made (or set) only costs nested calls their early exit:
// they still run inline, since the outer call owns the pool.
pthread_key_t g_in_block_key;
const bool g_have_in_block_key = pthread_key_create(&g_in_block_key, nullptr) == 0;

bool in_block() {
  return g_have_in_block_key && pthread_getspecific(g_in_block_key) != nullptr;
}
void set_in_block(bool v) {
  static char mark;
  if (g_have_in_block_key) pthread_setspecific(g_in_block_key, v ? &mark : nullptr);
}

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// Spins until done() holds or kSpin has passed; returns done().
template <typename Done>
bool spin_until(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + kSpin;
  for (;;) {
    for (int i = 0; i < 32; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= deadline) return done();
  }
}

// Sleeps while w holds v (may return spuriously); wakes up to `count` sleepers of w.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) &&
              std::atomic<uint32_t>::is_always_lock_free);
void sleep_while(std::atomic<uint32_t>& w, uint32_t v) {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&w), FUTEX_WAIT_PRIVATE, v, nullptr, nullptr, 0);
#else
  w.wait(v, std::memory_order_relaxed);
#endif
}
void wake(std::atomic<uint32_t>& w, uint32_t count) {
#if defined(__linux__)
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(&w), FUTEX_WAKE_PRIVATE,
          static_cast<int>(std::min<uint32_t>(count, INT_MAX)), nullptr, nullptr, 0);
#else
  if (count == 1)
    w.notify_one();
  else
    w.notify_all();
#endif
}

// An unsigned decimal count as the worker-pool variables are read: an optional '+', then digits
// only, no overflow.
bool parse_count(const char* s, size_t* out) {
  if (!s) return false;
  if (*s == '+') ++s;
  if (!*s) return false;
  size_t v = 0;
  for (; *s; ++s) {
    if (*s < '0' || *s > '9') return false;
    const size_t d = static_cast<size_t>(*s - '0');
    if (v > (SIZE_MAX - d) / 10) return false;
    v = v * 10 + d;
  }
  *out = v;
  return true;
}

size_t configured_threads() {
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return threads_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"),
                          std::getenv("OMP_NUM_THREADS"), online > 0 ? online : 1);
}

// One call's work; lives in the caller's frame and is reached only through a claimed block.
struct Job {
  void (*body)(void*, size_t);
  void* ctx;
  std::mutex error_mutex;
  size_t error_index = SIZE_MAX;
  std::exception_ptr error;  // of the lowest failed block
};

// Worker threads started together. In a forked child they do not exist: the team is set aside
// untouched (its std::thread objects can be neither joined nor destroyed there).
struct Team {
  std::vector<std::thread> threads;
  Team* set_aside_before = nullptr;
};

class Pool;
std::atomic<Pool*> g_pool{nullptr};

class Pool {
 public:
  Pool() : threads_(configured_threads()) {}

  static Pool& pool() {
    // Never destroyed: workers may still be waiting when static destructors run.
    static Pool* const p = [] {
      Pool* made = new Pool;
      g_pool.store(made, std::memory_order_release);
      pthread_atfork(nullptr, nullptr, [] {
        if (Pool* q = g_pool.load(std::memory_order_acquire)) q->reset_in_child();
      });
      return made;
    }();
    return *p;
  }

  size_t size() const { return threads_.load(std::memory_order_relaxed); }

  void run(size_t n, void (*body)(void*, size_t), void* ctx) {
    if (n == 1 || size() <= 1 || in_block() || busy_.exchange(true, std::memory_order_acquire)) {
      run_inline(n, body, ctx);
      return;
    }
    const size_t workers = start_workers(n - 1);
    if (workers == 0) {
      busy_.store(false, std::memory_order_release);
      run_inline(n, body, ctx);
      return;
    }
    Job job{body, ctx, {}, SIZE_MAX, nullptr};
    job_.store(&job, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
    claim_.store(static_cast<uint64_t>(n) << 32, std::memory_order_release);
    wake_.fetch_add(1, std::memory_order_seq_cst);
    if (sleepers_.load(std::memory_order_seq_cst) != 0)
      wake(wake_, static_cast<uint32_t>(std::min(n - 1, workers)));
    work();
    const uint32_t count = static_cast<uint32_t>(n);
    if (!spin_until([&] { return done_.load(std::memory_order_acquire) == count; })) {
      caller_sleeping_.store(1, std::memory_order_seq_cst);
      for (uint32_t d; (d = done_.load(std::memory_order_seq_cst)) != count;) sleep_while(done_, d);
      caller_sleeping_.store(0, std::memory_order_relaxed);
    }
    busy_.store(false, std::memory_order_release);
    if (job.error) std::rethrow_exception(job.error);
  }

  void resize(size_t threads) {
    threads = std::clamp<size_t>(threads, 1, kMaxThreads);
    while (busy_.exchange(true, std::memory_order_acquire)) std::this_thread::yield();
    if (team_ && team_->threads.size() >= threads) {
      stop_from_.store(threads - 1, std::memory_order_release);
      wake_.fetch_add(1, std::memory_order_seq_cst);
      wake(wake_, UINT32_MAX);
      for (size_t i = threads - 1; i < team_->threads.size(); ++i) team_->threads[i].join();
      team_->threads.resize(threads - 1);
      stop_from_.store(UINT32_MAX, std::memory_order_release);
    }
    threads_.store(threads, std::memory_order_relaxed);
    busy_.store(false, std::memory_order_release);
  }

 private:
  // Runs every block on this thread; rethrows the lowest block's exception after all ran.
  static void run_inline(size_t n, void (*body)(void*, size_t), void* ctx) {
    if (n == 1) {
      body(ctx, 0);
      return;
    }
    std::exception_ptr first;
    for (size_t i = 0; i < n; ++i) {
      try {
        body(ctx, i);
      } catch (...) {
        if (!first) first = std::current_exception();
      }
    }
    if (first) std::rethrow_exception(first);
  }

  // Starts workers, up to `useful` of them, while fewer than the pool's size exist (the caller
  // owns the pool); returns how many exist. A worker that cannot be started is not retried: the
  // pool shrinks to what it has.
  size_t start_workers(size_t useful) {
    const size_t want = std::min(size() - 1, useful);
    if (!team_) team_ = new Team;
    std::vector<std::thread>& t = team_->threads;
    while (t.size() < want) {
      try {
        t.emplace_back(&Pool::worker, this, static_cast<uint32_t>(t.size()),
                       wake_.load(std::memory_order_relaxed));
      } catch (const std::exception&) {
        threads_.store(t.size() + 1, std::memory_order_relaxed);
        break;
      }
    }
    return t.size();
  }

  void worker(uint32_t id, uint32_t seen) {
    for (;;) {
      uint32_t now = seen;
      auto changed = [&](std::memory_order order) {
        now = wake_.load(order);
        return now != seen;
      };
      if (!spin_until([&] { return changed(std::memory_order_acquire); })) {
        sleepers_.fetch_add(1, std::memory_order_seq_cst);
        while (!changed(std::memory_order_seq_cst)) sleep_while(wake_, seen);
        sleepers_.fetch_sub(1, std::memory_order_relaxed);
      }
      seen = now;
      if (id >= stop_from_.load(std::memory_order_acquire)) return;
      work();
    }
  }

  // Claims and runs blocks of the current job until none is left.
  void work() {
    for (;;) {
      const uint64_t c = claim_.fetch_add(1, std::memory_order_acquire);
      const uint32_t i = static_cast<uint32_t>(c), n = static_cast<uint32_t>(c >> 32);
      if (i >= n) return;
      Job& job = *job_.load(std::memory_order_relaxed);
      set_in_block(true);
      try {
        job.body(job.ctx, i);
      } catch (...) {
        std::lock_guard<std::mutex> lock(job.error_mutex);
        if (i < job.error_index) {
          job.error_index = i;
          job.error = std::current_exception();
        }
      }
      set_in_block(false);
      // The job may be gone once the count is reached: only the pool's own words after this.
      if (done_.fetch_add(1, std::memory_order_seq_cst) + 1 == n &&
          caller_sleeping_.load(std::memory_order_seq_cst) != 0)
        wake(done_, 1);
    }
  }

  // Only the forking thread exists in a child: forget the workers and any job in flight without
  // touching them; the next region starts a new team of the same size.
  void reset_in_child() {
    if (team_) {
      team_->set_aside_before = set_aside_;
      set_aside_ = team_;  // kept reachable, never used again
      team_ = nullptr;
    }
    claim_.store(0, std::memory_order_relaxed);
    done_.store(0, std::memory_order_relaxed);
    caller_sleeping_.store(0, std::memory_order_relaxed);
    sleepers_.store(0, std::memory_order_relaxed);
    stop_from_.store(UINT32_MAX, std::memory_order_relaxed);
    job_.store(nullptr, std::memory_order_relaxed);
    busy_.store(false, std::memory_order_relaxed);
  }

  alignas(64) std::atomic<uint64_t> claim_{0};
  alignas(64) std::atomic<uint32_t> done_{0};
  std::atomic<uint32_t> caller_sleeping_{0};
  alignas(64) std::atomic<uint32_t> wake_{0};
  std::atomic<uint32_t> sleepers_{0};
  std::atomic<uint32_t> stop_from_{UINT32_MAX};  // workers with this id or above exit
  std::atomic<Job*> job_{nullptr};
  alignas(64) std::atomic<bool> busy_{false};  // a caller (or resize) owns the pool
  std::atomic<size_t> threads_;                // caller included
  Team* team_ = nullptr;                       // changed only by the pool's owner
  Team* set_aside_ = nullptr;
};

}  // namespace

size_t threads_from_env(const char* rayon_num_threads, const char* rayon_rs_num_cpus,
                        const char* omp_num_threads, size_t online) {
  const size_t cap = std::clamp<size_t>(online, 1, kMaxThreads);
  size_t n = cap;
  for (const char* value : {rayon_num_threads, rayon_rs_num_cpus, omp_num_threads}) {
    size_t v;
    if (parse_count(value, &v)) {
      if (v > 0) n = v;
      break;
    }
  }
  return std::min(n, cap);
}

size_t num_threads() { return Pool::pool().size(); }

void set_num_threads(size_t threads) { Pool::pool().resize(threads); }

size_t blocks_for(size_t n, size_t work_per_item) {
  const size_t threads = num_threads();
  if (n <= 1 || threads <= 1 || in_block()) return 1;
  const size_t work = n * work_per_item;  // saturating enough for the sizes the model uses
  if (work < kMinParallelWork) return 1;
  const size_t by_work = std::max<size_t>(1, work / kMinWorkPerBlock);
  return std::min({n, by_work, 4 * threads});
}

size_t shape_blocks(size_t n, size_t work_per_item) {
  if (n <= 1) return 1;
  size_t work;
  if (__builtin_mul_overflow(n, work_per_item, &work)) work = SIZE_MAX;
  if (work < kMinParallelWork) return 1;
  return std::min({n, work / kMinWorkPerBlock, kShapeBlocks});
}

void run(size_t n, void (*body)(void*, size_t), void* ctx) {
  if (n == 0) return;
  if (n <= kMaxBlocks) {
    Pool::pool().run(n, body, ctx);
    return;
  }
  // Contiguous groups of indices, each run in order; a group rethrows its first exception after
  // running all its indices, so the lowest failing index still wins.
  struct Groups {
    size_t n;
    void (*body)(void*, size_t);
    void* ctx;
  } g{n, body, ctx};
  Pool::pool().run(
      kMaxBlocks,
      [](void* c, size_t b) {
        const Groups& g = *static_cast<const Groups*>(c);
        std::exception_ptr first;
        for (size_t i = g.n / kMaxBlocks * b + std::min(b, g.n % kMaxBlocks),
                    end = i + g.n / kMaxBlocks + (b < g.n % kMaxBlocks);
             i < end; ++i) {
          try {
            g.body(g.ctx, i);
          } catch (...) {
            if (!first) first = std::current_exception();
          }
        }
        if (first) std::rethrow_exception(first);
      },
      &g);
}

}  // namespace tl::parallel

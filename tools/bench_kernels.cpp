// Kernel benchmark: memory read bandwidth (parallel sum over a large buffer), GEMV GB/s for F32 and
// F16 weights on matrices larger than the last-level cache and on a stack of model-sized matrices
// read one after the other (as a decode step does), and GEMM GFLOP/s, at several thread counts.
// Prints one small table per section and the two bars: GEMV at the most threads >= 80% of the
// measured bandwidth (both dtypes), F16 GEMV time <= 60% of F32.
//
// Usage: bench_kernels [--quick] [--gemv] [--mb N] [--target NAME] [--threads A,B,...] [--busy N]
//   --mb: F32 weight matrix size in MiB; --quick: small sizes, few repeats, for a smoke run;
//   --gemv: the bandwidth and GEMV sections only;
//   --target: run the kernels on one SIMD target this CPU supports (e.g. AVX2 on an AVX-512
//   machine, to see what a machine without AVX-512 gets from the same build);
//   --threads: thread counts to measure (default 1, 2 and all);
//   --busy: start N processes that spin for the whole run (other users' work on a shared
//   machine; the figures then show how the pool copes with cores it does not get).
// The GEMM rows show OpenBLAS's own threaded sgemm of the whole product beside ours.
#include <cblas.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hwy/targets.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

namespace {

namespace k = tl::kernels;
namespace par = tl::parallel;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best (lowest) wall time of `reps` runs after one warm-up run; with `median`, the median instead
// (on a machine where other processes hold cores, the best run is a lucky one).
bool g_median = false;
double best_time(int reps, const std::function<void()>& f) {
  f();
  std::vector<double> t(reps);
  for (int r = 0; r < reps; ++r) {
    const double t0 = now_s();
    f();
    t[r] = now_s() - t0;
  }
  std::sort(t.begin(), t.end());
  return g_median ? t[reps / 2] : t[0];
}

// Page-aligned, first-touched by all threads (so pages are spread like the kernels will read them).
template <typename T>
struct Buffer {
  T* p = nullptr;
  size_t n = 0;
  explicit Buffer(size_t count) : n(count) {
    if (posix_memalign(reinterpret_cast<void**>(&p), 4096, count * sizeof(T)) != 0) {
      std::fprintf(stderr, "out of memory (%zu bytes)\n", count * sizeof(T));
      std::exit(2);
    }
  }
  ~Buffer() { std::free(p); }
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
};

volatile uint64_t g_sink;

// Read bandwidth: each of `threads` threads (started once, released together) sums its
// contiguous share as eight equal parts read side by side, prefetching 512 bytes ahead in each,
// with integer adds (which vectorise without reassociating floats). Measured here, one stream
// without prefetch reaches about half of this: the reader has to be as good as the kernels for
// the comparison to mean anything. Plain threads, not the pool, so that this measures the
// machine.
constexpr size_t kStreams = 8;
double read_bandwidth_gbs(const Buffer<uint64_t>& buf, int threads, int reps) {
  const size_t step = kStreams * 8;  // eight words (one line) per stream per step
  const size_t steps = buf.n / step;
  std::vector<double> times;
  for (int r = 0; r <= reps; ++r) {
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<double> end(threads);
    std::vector<std::thread> team;
    for (int id = 0; id < threads; ++id)
      team.emplace_back([&, id] {
        const size_t lo = steps * id / threads * step, hi = steps * (id + 1) / threads * step;
        const size_t q = (hi - lo) / kStreams;  // a multiple of 8
        ready.fetch_add(1);
        while (!go.load(std::memory_order_acquire)) {
        }
        uint64_t acc[kStreams] = {};
        for (size_t i = 0; i < q; i += 8)
          for (size_t s = 0; s < kStreams; ++s) {
            const uint64_t* p = buf.p + lo + s * q + i;
            __builtin_prefetch(p + 64);
            for (size_t j = 0; j < 8; ++j) acc[s] += p[j];
          }
        uint64_t total = 0;
        for (size_t s = 0; s < kStreams; ++s) total += acc[s];
        g_sink = total;
        end[id] = now_s();
      });
    while (ready.load() < threads) {
    }
    const double t0 = now_s();
    go.store(true, std::memory_order_release);
    for (auto& t : team) t.join();
    if (r > 0) times.push_back(*std::max_element(end.begin(), end.end()) - t0);
  }
  std::sort(times.begin(), times.end());
  const double t = g_median ? times[times.size() / 2] : times[0];
  return steps * step * sizeof(uint64_t) / t / 1e9;
}

void fill_random(float* p, size_t n, uint32_t seed) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = (uint32_t)i * 2654435761u + seed;
    s ^= s >> 15;
    s *= 2246822519u;
    s ^= s >> 13;
    p[i] = (float)(s & 0xffff) / 32768.0f - 1.0f;
  }
}

void fill_random_f16(uint16_t* p, size_t n, uint32_t seed) {
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = (uint32_t)i * 2654435761u + seed;
    s ^= s >> 15;
    s *= 2246822519u;
    s ^= s >> 13;
    p[i] = tl::f32_to_f16((float)(s & 0xffff) / 32768.0f - 1.0f);
  }
}

size_t llc_bytes() {
  long l3 = sysconf(_SC_LEVEL3_CACHE_SIZE);
  if (l3 <= 0) l3 = sysconf(_SC_LEVEL2_CACHE_SIZE);
  return l3 > 0 ? (size_t)l3 : 0;
}

// Processes that spin until killed, standing for other users' work on the machine.
struct Busy {
  std::vector<pid_t> pids;
  explicit Busy(int n) {
    for (int i = 0; i < n; ++i) {
      const pid_t pid = fork();
      if (pid == 0) {
        for (;;) __asm__ volatile("");
      }
      if (pid > 0) pids.push_back(pid);
    }
  }
  ~Busy() {
    for (pid_t pid : pids) kill(pid, SIGKILL);
    for (pid_t pid : pids) waitpid(pid, nullptr, 0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  bool quick = false, gemv_only = false;
  size_t mb = 0;
  int busy = 0;
  std::vector<int> thread_counts;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) {
      quick = true;
    } else if (!std::strcmp(argv[i], "--gemv")) {
      gemv_only = true;
    } else if (!std::strcmp(argv[i], "--mb") && i + 1 < argc) {
      mb = std::strtoull(argv[++i], nullptr, 10);
    } else if (!std::strcmp(argv[i], "--busy") && i + 1 < argc) {
      busy = std::atoi(argv[++i]);
    } else if (!std::strcmp(argv[i], "--threads") && i + 1 < argc) {
      for (char* p = argv[++i]; *p;) {
        thread_counts.push_back(std::max(1, (int)std::strtol(p, &p, 10)));
        if (*p == ',')
          ++p;
        else if (*p)
          break;
      }
    } else if (!std::strcmp(argv[i], "--target") && i + 1 < argc) {
      const char* name = argv[++i];
      int64_t found = 0;
      for (int64_t t : hwy::SupportedAndGeneratedTargets())
        if (!std::strcmp(hwy::TargetName(t), name)) found = t;
      if (!found) {
        std::fprintf(stderr, "target %s not built or not supported by this CPU\n", name);
        return 2;
      }
      hwy::SetSupportedTargetsForTest(found);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick] [--gemv] [--mb N] [--target NAME] [--threads A,B,...] [--busy N]\n",
                   argv[0]);
      return 2;
    }
  }
  const int all = (int)par::num_threads();
  if (thread_counts.empty()) {
    thread_counts.push_back(1);
    if (all >= 2) thread_counts.push_back(2);
    if (all > 2) thread_counts.push_back(all);
  }
  // Best of several runs on a quiet machine (the reads are short, tens of ms, and the best run is
  // the one least disturbed); the median when other processes spin on purpose.
  g_median = busy > 0;
  const int reps = quick ? 2 : busy ? 7 : 5;
  const int read_reps = quick ? 2 : busy ? 11 : 10;
  const size_t llc = llc_bytes();
  // F32 matrix: at least 256 MiB and twice the reported last-level cache, at most 1 GiB.
  if (mb == 0) mb = quick ? 32 : std::min<size_t>(1024, std::max<size_t>(256, 2 * (llc >> 20)));
  std::printf("SIMD target %s, pool of %d threads, last-level cache %zu MiB, %d busy processes\n",
              k::simd_target(), all, llc >> 20, busy);

  // Weights first (filling them is slow), then the spinning processes, then the timings.
  const size_t K = 4096;
  const size_t N = (mb << 20) / (K * sizeof(float));
  Buffer<uint64_t> rbuf((quick ? 64 : 1024) * (size_t{1} << 20) / sizeof(uint64_t));
  for (size_t i = 0; i < rbuf.n; ++i) rbuf.p[i] = i;
  Buffer<float> w32(N * K);
  Buffer<uint16_t> w16(N * K);
  fill_random(w32.p, N * K, 1);
  fill_random_f16(w16.p, N * K, 2);
  // Model-sized matrices read one after the other: 1024 x 1024 (4 MiB in F32), 64 of them.
  const size_t Ks = 1024, Ns = 1024, stack = quick ? 8 : 64;
  Buffer<float> s32(stack * Ns * Ks);
  Buffer<uint16_t> s16(stack * Ns * Ks);
  fill_random(s32.p, stack * Ns * Ks, 7);
  fill_random_f16(s16.p, stack * Ns * Ks, 8);
  // GEMM: M = 512 rows (a prompt) against (K, N) weight shapes of a model with hidden size 1024.
  const size_t Mg = quick ? 64 : 512;
  const std::vector<std::pair<size_t, size_t>> gemm_shapes = {
      {1024, 1024}, {1024, 3072}, {3072, 1024}, {1024, 32000}};
  Buffer<float> g32(1024 * 32000);
  Buffer<uint16_t> g16(1024 * 32000);
  fill_random(g32.p, 1024 * 32000, 4);
  fill_random_f16(g16.p, 1024 * 32000, 5);
  std::vector<float> X(Mg * 3072), Y(Mg * 32000);
  fill_random(X.data(), X.size(), 6);
  Busy others(busy);

  // ---- read bandwidth ----
  std::vector<double> bw(thread_counts.size());
  std::printf("\nread bandwidth (sum over %zu MiB)\n  threads   GB/s\n",
              rbuf.n * sizeof(uint64_t) >> 20);
  for (size_t t = 0; t < thread_counts.size(); ++t) {
    bw[t] = read_bandwidth_gbs(rbuf, thread_counts[t], read_reps);
    std::printf("  %7d %6.1f\n", thread_counts[t], bw[t]);
  }

  // ---- GEMV ----
  bool bars_hold = true;
  {
    std::vector<float> x(K), y(N);
    fill_random(x.data(), K, 3);
    std::printf(
        "\nGEMV y = W x, W %zu x %zu (F32 %zu MiB, F16 %zu MiB); then %zu matrices of %zu x %zu"
        " in turn\n",
        N, K, N * K * 4 >> 20, N * K * 2 >> 20, stack, Ns, Ks);
    std::printf(
        "  threads  F32 GB/s  %%bw   F16 GB/s  %%bw   F16/F32 time  stack F32 GB/s  F16 GB/s\n");
    for (size_t t = 0; t < thread_counts.size(); ++t) {
      par::set_num_threads(thread_counts[t]);
      const double t32 = best_time(
          read_reps, [&] { k::matmul_xwt(x.data(), 1, K, w32.p, tl::DType::F32, N, y.data()); });
      const double t16 = best_time(
          read_reps, [&] { k::matmul_xwt(x.data(), 1, K, w16.p, tl::DType::F16, N, y.data()); });
      const double ts32 = best_time(read_reps, [&] {
        for (size_t i = 0; i < stack; ++i)
          k::matmul_xwt(x.data(), 1, Ks, s32.p + i * Ns * Ks, tl::DType::F32, Ns, y.data());
      });
      const double ts16 = best_time(read_reps, [&] {
        for (size_t i = 0; i < stack; ++i)
          k::matmul_xwt(x.data(), 1, Ks, s16.p + i * Ns * Ks, tl::DType::F16, Ns, y.data());
      });
      const double g32 = N * K * 4 / t32 / 1e9, g16 = N * K * 2 / t16 / 1e9;
      std::printf("  %7d %9.1f %4.0f%% %9.1f %4.0f%%  %6.2f %15.1f %9.1f\n", thread_counts[t], g32,
                  100 * g32 / bw[t], g16, 100 * g16 / bw[t], t16 / t32,
                  stack * Ns * Ks * 4 / ts32 / 1e9, stack * Ns * Ks * 2 / ts16 / 1e9);
      if (t + 1 == thread_counts.size())
        bars_hold = g32 >= 0.8 * bw[t] && g16 >= 0.8 * bw[t] && t16 <= 0.6 * t32;
    }
  }

  // ---- GEMM ----
  if (!gemv_only) {
    std::printf("\nGEMM Y = X W^T, X %zu rows, GFLOP/s\n", Mg);
    std::printf("  threads      K      N   F32 ours  F16 ours  OpenBLAS threaded F32\n");
    for (int threads : thread_counts) {
      par::set_num_threads(threads);
      for (auto [Kg, Ng] : gemm_shapes) {
        const double flop = 2.0 * Mg * Ng * Kg;
        const int r = std::max(3, reps - 2);
        const double t32 = best_time(
            r, [&] { k::matmul_xwt(X.data(), Mg, Kg, g32.p, tl::DType::F32, Ng, Y.data()); });
        const double t16 = best_time(
            r, [&] { k::matmul_xwt(X.data(), Mg, Kg, g16.p, tl::DType::F16, Ng, Y.data()); });
        const int blas_threads = openblas_get_num_threads();
        openblas_set_num_threads(threads);
        const double tb = best_time(r, [&] {
          cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, (int)Mg, (int)Ng, (int)Kg, 1.0f,
                      X.data(), (int)Kg, g32.p, (int)Kg, 0.0f, Y.data(), (int)Ng);
        });
        openblas_set_num_threads(blas_threads);
        std::printf("  %7d %6zu %6zu %9.1f %9.1f %9.1f\n", threads, Kg, Ng, flop / t32 / 1e9,
                    flop / t16 / 1e9, flop / tb / 1e9);
      }
    }
  }
  std::printf("\nbars (GEMV >= 80%% of bandwidth for F32 and F16, F16 time <= 60%% of F32): %s\n",
              bars_hold ? "hold" : "MISSED");
  return 0;
}

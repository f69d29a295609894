// Kernel benchmark: memory read bandwidth (parallel sum over a large buffer), GEMV GB/s for F32 and
// F16 weights on matrices larger than the last-level cache, and GEMM GFLOP/s against OpenBLAS's own
// sgemm, at 1, 2 and all threads. Prints one small table per section and the two bars:
// GEMV at all threads >= 80% of the measured bandwidth (both dtypes), F16 GEMV time <= 60% of F32.
//
// Usage: bench_kernels [--quick] [--mb N] [--target NAME]
//   --mb: F32 weight matrix size in MiB; --quick: small sizes, few repeats, for a smoke run;
//   --target: run the kernels on one SIMD target this CPU supports (e.g. AVX2 on an AVX-512
//   machine, to see what a machine without AVX-512 gets from the same build).
#include <cblas.h>
#include <omp.h>
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
#include <vector>

#include "hwy/targets.h"
#include "tensor/half.h"
#include "tensor/kernels.h"

namespace {

namespace k = tl::kernels;

double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Best (lowest) wall time of `reps` runs after one warm-up run.
double best_time(int reps, const std::function<void()>& f) {
  f();
  double best = 1e30;
  for (int r = 0; r < reps; ++r) {
    const double t0 = now_s();
    f();
    best = std::min(best, now_s() - t0);
  }
  return best;
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

// Read bandwidth: every thread sums its contiguous share as eight equal parts read side by side,
// prefetching 512 bytes ahead in each, with integer adds (which vectorise without reassociating
// floats). Measured here, one stream without prefetch reaches about half of this: the reader has
// to be as good as the kernels for the comparison to mean anything.
constexpr size_t kStreams = 8;
double read_bandwidth_gbs(const Buffer<uint64_t>& buf, int threads, int reps) {
  omp_set_num_threads(threads);
  const size_t step = kStreams * 8;  // eight words (one line) per stream per step
  const size_t used = buf.n / step * step;
  const double t = best_time(reps, [&] {
    uint64_t total = 0;
#pragma omp parallel reduction(+ : total)
    {
      const size_t T = omp_get_num_threads(), id = omp_get_thread_num();
      const size_t steps = buf.n / step;
      const size_t lo = steps * id / T * step, hi = steps * (id + 1) / T * step;
      const size_t q = (hi - lo) / kStreams;  // a multiple of 8
      uint64_t acc[kStreams] = {};
      for (size_t i = 0; i < q; i += 8)
        for (size_t s = 0; s < kStreams; ++s) {
          const uint64_t* p = buf.p + lo + s * q + i;
          __builtin_prefetch(p + 64);
          for (size_t j = 0; j < 8; ++j) acc[s] += p[j];
        }
      for (size_t s = 0; s < kStreams; ++s) total += acc[s];
    }
    g_sink = total;
  });
  return used * sizeof(uint64_t) / t / 1e9;
}

void fill_random(float* p, size_t n, uint32_t seed) {
#pragma omp parallel for schedule(static)
  for (size_t i = 0; i < n; ++i) {
    uint32_t s = (uint32_t)i * 2654435761u + seed;
    s ^= s >> 15;
    s *= 2246822519u;
    s ^= s >> 13;
    p[i] = (float)(s & 0xffff) / 32768.0f - 1.0f;
  }
}

void fill_random_f16(uint16_t* p, size_t n, uint32_t seed) {
#pragma omp parallel for schedule(static)
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

}  // namespace

int main(int argc, char** argv) {
  bool quick = false;
  size_t mb = 0;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--quick")) {
      quick = true;
    } else if (!std::strcmp(argv[i], "--mb") && i + 1 < argc) {
      mb = std::strtoull(argv[++i], nullptr, 10);
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
      std::fprintf(stderr, "usage: %s [--quick] [--mb N] [--target NAME]\n", argv[0]);
      return 2;
    }
  }
  const int all = omp_get_max_threads();
  std::vector<int> thread_counts = {1};
  if (all >= 2) thread_counts.push_back(2);
  if (all > 2) thread_counts.push_back(all);
  // Best of several runs: the reads are short (tens of ms), and on a machine shared with other work
  // the best run is the one least disturbed.
  const int reps = quick ? 2 : 5;
  const int read_reps = quick ? 2 : 10;
  const size_t llc = llc_bytes();
  // F32 matrix: at least 256 MiB and twice the reported last-level cache, at most 1 GiB.
  if (mb == 0) mb = quick ? 32 : std::min<size_t>(1024, std::max<size_t>(256, 2 * (llc >> 20)));
  std::printf("SIMD target %s, %d threads, last-level cache %zu MiB\n", k::simd_target(), all,
              llc >> 20);

  // ---- read bandwidth ----
  std::vector<double> bw(thread_counts.size());
  {
    Buffer<uint64_t> buf((quick ? 64 : 1024) * (size_t{1} << 20) / sizeof(uint64_t));
#pragma omp parallel for schedule(static)
    for (size_t i = 0; i < buf.n; ++i) buf.p[i] = i;
    std::printf("\nread bandwidth (sum over %zu MiB)\n  threads   GB/s\n",
                buf.n * sizeof(uint64_t) >> 20);
    for (size_t t = 0; t < thread_counts.size(); ++t) {
      bw[t] = read_bandwidth_gbs(buf, thread_counts[t], read_reps);
      std::printf("  %7d %6.1f\n", thread_counts[t], bw[t]);
    }
  }

  // ---- GEMV ----
  const size_t K = 4096;
  const size_t N = (mb << 20) / (K * sizeof(float));
  bool bars_hold = true;
  {
    Buffer<float> w32(N * K);
    Buffer<uint16_t> w16(N * K);
    fill_random(w32.p, N * K, 1);
    fill_random_f16(w16.p, N * K, 2);
    std::vector<float> x(K), y(N);
    fill_random(x.data(), K, 3);
    std::printf("\nGEMV y = W x, W %zu x %zu (F32 %zu MiB, F16 %zu MiB)\n", N, K, N * K * 4 >> 20,
                N * K * 2 >> 20);
    std::printf("  threads  F32 GB/s  %%bw   F16 GB/s  %%bw   F16/F32 time\n");
    for (size_t t = 0; t < thread_counts.size(); ++t) {
      omp_set_num_threads(thread_counts[t]);
      const double t32 = best_time(
          read_reps, [&] { k::matmul_xwt(x.data(), 1, K, w32.p, tl::DType::F32, N, y.data()); });
      const double t16 = best_time(
          read_reps, [&] { k::matmul_xwt(x.data(), 1, K, w16.p, tl::DType::F16, N, y.data()); });
      const double g32 = N * K * 4 / t32 / 1e9, g16 = N * K * 2 / t16 / 1e9;
      std::printf("  %7d %9.1f %4.0f%% %9.1f %4.0f%%  %6.2f\n", thread_counts[t], g32,
                  100 * g32 / bw[t], g16, 100 * g16 / bw[t], t16 / t32);
      if (t + 1 == thread_counts.size())
        bars_hold = g32 >= 0.8 * bw[t] && g16 >= 0.8 * bw[t] && t16 <= 0.6 * t32;
    }
    // OpenBLAS's own sgemv, for reference.
    omp_set_num_threads(all);
    const double tb = best_time(read_reps, [&] {
      cblas_sgemv(CblasRowMajor, CblasNoTrans, (int)N, (int)K, 1.0f, w32.p, (int)K, x.data(), 1,
                  0.0f, y.data(), 1);
    });
    std::printf("  OpenBLAS sgemv F32 at %d threads: %.1f GB/s\n", all, N * K * 4 / tb / 1e9);
  }

  // ---- GEMM ----
  {
    const size_t Kg = 4096, Ng = quick ? 1024 : 4096;
    Buffer<float> w32(Ng * Kg);
    Buffer<uint16_t> w16(Ng * Kg);
    fill_random(w32.p, Ng * Kg, 4);
    fill_random_f16(w16.p, Ng * Kg, 5);
    std::printf("\nGEMM Y = X W^T, W %zu x %zu, GFLOP/s\n", Ng, Kg);
    std::printf("  threads     M   F32 ours  OpenBLAS  F16 ours\n");
    for (int threads : thread_counts) {
      omp_set_num_threads(threads);
      for (size_t M : {size_t{2}, size_t{4}, size_t{8}, size_t{16}, size_t{64}, size_t{512}}) {
        if (quick && M == 512) continue;
        std::vector<float> X(M * Kg), Y(M * Ng);
        fill_random(X.data(), M * Kg, 6);
        const double flop = 2.0 * M * Ng * Kg;
        const int r = M >= 64 ? std::max(1, reps - 2) : reps;
        const double t32 = best_time(
            r, [&] { k::matmul_xwt(X.data(), M, Kg, w32.p, tl::DType::F32, Ng, Y.data()); });
        const double tb = best_time(r, [&] {
          cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, (int)M, (int)Ng, (int)Kg, 1.0f,
                      X.data(), (int)Kg, w32.p, (int)Kg, 0.0f, Y.data(), (int)Ng);
        });
        const double t16 = best_time(
            r, [&] { k::matmul_xwt(X.data(), M, Kg, w16.p, tl::DType::F16, Ng, Y.data()); });
        std::printf("  %7d %5zu %9.1f %9.1f %9.1f\n", threads, M, flop / t32 / 1e9, flop / tb / 1e9,
                    flop / t16 / 1e9);
      }
    }
  }
  std::printf("\nbars (GEMV >= 80%% of bandwidth for F32 and F16, F16 time <= 60%% of F32): %s\n",
              bars_hold ? "hold" : "MISSED");
  return 0;
}

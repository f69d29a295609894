// Thread split and path choice for the kernels of tensor/kernels.h; the SIMD work itself lives in
// kernels_simd.cpp (one build per CPU target, dispatched at run time).
#include "tensor/kernels.h"

#include <cblas.h>
#include <omp.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "tensor/error.h"
#include "tensor/kernels_simd.h"

namespace tl::kernels {

namespace {

// A product over fewer weight elements than this runs on the calling thread: below it, waking the
// OpenMP team costs more than it saves (measured: 16 K elements take 0.6 us on one thread and
// 1.0 us on two; 64 K elements 2.3 us on one, 2.0 on two, 1.7 on four).
constexpr size_t kMinParallelWeights = size_t{1} << 16;
// Each thread gets at least this many weight elements (so 4 threads need 128 K, ...).
constexpr size_t kMinWeightsPerThread = size_t{1} << 15;
// Up to this many rows of X, products use the multi-row GEMV (reads W once, no packing); above,
// cblas_sgemm (F32) or widened tiles with sgemm (F16). Measured on a 4096 x 4096 W (from memory),
// GFLOP/s on one / two threads: F32 M = 12: 37 / 72 vs sgemm 33-35 / 40-45, M = 16: 38 / 74 vs
// sgemm 41-43 / 70-80; F16 M = 16: 42 / 80 vs tiles 30 / 56, M = 24: 43 / 83 vs 42 / 77.
constexpr size_t kMaxMultiRowF32 = 12;
constexpr size_t kMaxMultiRowF16 = 16;
// F16 tiles: at most this many rows of W per tile, kTileCols columns (K) per widening step:
// 256 x 1024 f32 = 1 MiB per thread, which stays in L2 while sgemm packs it (measured best of
// 64..512 rows x 256..2048 columns).
constexpr size_t kMaxTileRows = 256;
constexpr size_t kTileCols = 1024;

const uint16_t* as_u16(const void* p) { return static_cast<const uint16_t*>(p); }
const float* as_f32(const void* p) { return static_cast<const float*>(p); }

void check_weight_dtype(DType wdt) {
  if (wdt != DType::F32 && wdt != DType::F16)
    throw Error(std::string("unsupported dtype ") + dtype_name(wdt) + " for op matmul");
}

// Threads for a product that reads `weights` weight elements: one below the threshold or inside
// an enclosing parallel region, otherwise as many as have a useful share each.
int threads_for(size_t weights) {
  if (weights < kMinParallelWeights || omp_in_parallel()) return 1;
  const size_t useful = weights / kMinWeightsPerThread;
  return static_cast<int>(std::min<size_t>(static_cast<size_t>(omp_get_max_threads()), useful));
}

// Contiguous block [n0, n1) of thread t of T over N rows, in units of `unit` rows.
void split_rows(size_t N, size_t unit, int t, int T, size_t* n0, size_t* n1) {
  const size_t units = (N + unit - 1) / unit;
  *n0 = std::min(N, units * t / T * unit);
  *n1 = std::min(N, units * (t + 1) / T * unit);
}

// Runs body(n0, n1) over contiguous row blocks of N rows, one block per thread.
template <typename Body>
void parallel_rows(size_t N, size_t unit, int nt, const Body& body) {
  if (nt <= 1) {
    body(size_t{0}, N);
    return;
  }
#pragma omp parallel num_threads(nt)
  {
    size_t n0, n1;
    split_rows(N, unit, omp_get_thread_num(), omp_get_num_threads(), &n0, &n1);
    if (n0 < n1) body(n0, n1);
  }
}

void gemv(const float* x, size_t K, const void* W, DType wdt, size_t N, float* y) {
  const int nt = threads_for(N * K);
  if (wdt == DType::F16)
    parallel_rows(N, 8, nt,
                  [&](size_t n0, size_t n1) { simd::gemv_f16(x, K, as_u16(W), n0, n1, y); });
  else
    parallel_rows(N, 8, nt,
                  [&](size_t n0, size_t n1) { simd::gemv_f32(x, K, as_f32(W), n0, n1, y); });
}

void gemv_multi(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y) {
  const int nt = threads_for(N * K);
  if (wdt == DType::F16)
    parallel_rows(N, 2, nt, [&](size_t n0, size_t n1) {
      simd::gemv_multi_f16(X, M, K, as_u16(W), n0, n1, Y, N);
    });
  else
    parallel_rows(N, 2, nt, [&](size_t n0, size_t n1) {
      simd::gemv_multi_f32(X, M, K, as_f32(W), n0, n1, Y, N);
    });
}

bool fits_blas_int(size_t M, size_t K, size_t N) {
  return M <= INT_MAX && K <= INT_MAX && N <= INT_MAX;
}

// F16 weights, many rows of X: each thread takes tiles of up to kMaxTileRows weight rows (fewer
// when N is small, so that every thread gets a tile), widens them to f32 kTileCols columns at a
// time into its own slice of a scratch buffer, and accumulates the tile's product with a
// single-threaded sgemm (OpenBLAS runs serially inside an active parallel region).
void gemm_f16_tiled(const float* X, size_t M, size_t K, const uint16_t* W, size_t N, float* Y) {
  const int max_threads = omp_in_parallel() ? 1 : omp_get_max_threads();
  const size_t per_thread = (N + max_threads - 1) / max_threads;
  const size_t tile_rows =
      std::min(kMaxTileRows, std::max<size_t>(16, (per_thread + 15) / 16 * 16));
  const size_t kb_max = std::min(K, kTileCols);
  const size_t tile = tile_rows * kb_max;
  const size_t tiles = (N + tile_rows - 1) / tile_rows;
  // As for the GEMVs, a thread needs enough work to pay for its start: 4 x kMinWeightsPerThread
  // multiply-adds (a few microseconds).
  const size_t useful = std::max<size_t>(1, M * N * K / (4 * kMinWeightsPerThread));
  const int nt = static_cast<int>(std::min({tiles, static_cast<size_t>(max_threads), useful}));
  // Grown, never shrunk: no allocation per call once the largest tile set has been seen. Grown
  // here, on the calling thread, so that a failed allocation surfaces as std::bad_alloc.
  thread_local std::vector<float> scratch;
  if (scratch.size() < tile * nt) scratch.resize(tile * nt);
  float* const base = scratch.data();
#pragma omp parallel for schedule(dynamic, 1) num_threads(nt) if (nt > 1)
  for (size_t t = 0; t < tiles; ++t) {
    float* buf = base + tile * static_cast<size_t>(omp_get_thread_num());
    const size_t n0 = t * tile_rows;
    const size_t nb = std::min(tile_rows, N - n0);
    for (size_t k0 = 0; k0 < K; k0 += kb_max) {
      const size_t kb = std::min(kb_max, K - k0);
      simd::widen_f16_tile(W + n0 * K + k0, K, nb, kb, buf, kb_max);
      cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(M),
                  static_cast<int>(nb), static_cast<int>(kb), 1.0f, X + k0, static_cast<int>(K),
                  buf, static_cast<int>(kb_max), k0 == 0 ? 0.0f : 1.0f, Y + n0,
                  static_cast<int>(N));
    }
  }
}

}  // namespace

void matmul_xwt(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y) {
  if (wdt == DType::BF16) throw Error("unsupported dtype BF16 for op matmul");
  check_weight_dtype(wdt);
  if (M == 0 || N == 0) return;
  if (K == 0) {
    std::fill(Y, Y + M * N, 0.0f);
    return;
  }
  if (M == 1) {
    gemv(X, K, W, wdt, N, Y);
    return;
  }
  const size_t max_multi = wdt == DType::F16 ? kMaxMultiRowF16 : kMaxMultiRowF32;
  if (M <= max_multi || !fits_blas_int(M, K, N)) {
    gemv_multi(X, M, K, W, wdt, N, Y);
    return;
  }
  if (wdt == DType::F16) {
    gemm_f16_tiled(X, M, K, as_u16(W), N, Y);
    return;
  }
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(M), static_cast<int>(N),
              static_cast<int>(K), 1.0f, X, static_cast<int>(K), as_f32(W), static_cast<int>(K),
              0.0f, Y, static_cast<int>(N));
}

float dot_f32(const float* a, const float* b, size_t n) { return simd::dot_f32(a, b, n); }

float dot_row(const float* a, const void* row, DType dt, size_t n) {
  if (dt == DType::F16) return simd::dot_f16(a, as_u16(row), n);
  return simd::dot_f32(a, as_f32(row), n);
}

void axpy_row(float a, const void* row, DType dt, float* y, size_t n) {
  if (dt == DType::F16)
    simd::axpy_f16(a, as_u16(row), y, n);
  else
    simd::axpy_f32(a, as_f32(row), y, n);
}

void round_to_dtype(float* p, size_t n, DType dt) {
  if (dt == DType::F16)
    simd::round_f16(p, n);
  else if (dt == DType::BF16)
    simd::round_bf16(p, n);
}

void store_as(const float* src, void* dst, DType dt, size_t n) {
  if (dt == DType::F16)
    simd::f32_to_f16(src, static_cast<uint16_t*>(dst), n);
  else if (dt == DType::BF16)
    simd::f32_to_bf16(src, static_cast<uint16_t*>(dst), n);
  else if (n)
    std::memcpy(dst, src, n * sizeof(float));
}

void load_as_f32(const void* src, DType dt, float* dst, size_t n) {
  if (dt == DType::F16)
    simd::f16_to_f32(as_u16(src), dst, n);
  else if (dt == DType::BF16)
    simd::bf16_to_f32(as_u16(src), dst, n);
  else if (n)
    std::memcpy(dst, src, n * sizeof(float));
}

int num_threads() { return omp_get_max_threads(); }

const char* simd_target() { return simd::target_name(); }

}  // namespace tl::kernels

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

// A matrix-vector product over fewer weight elements than this runs on the calling thread: below
// it, waking the OpenMP team costs about as much as the product itself.
constexpr size_t kMinParallelWeights = size_t{1} << 15;
// Each thread gets at least this many weight elements (so 2 threads need 2x as many, ...).
constexpr size_t kMinWeightsPerThread = size_t{1} << 14;
// Up to this many rows of X, F32 products use the multi-row GEMV (reads W once, no packing);
// above it, cblas_sgemm.
constexpr size_t kMaxMultiRowF32 = 4;
// Same for F16 weights; above it, tiles of W are widened to f32 and multiplied by sgemm.
constexpr size_t kMaxMultiRowF16 = 8;
// F16 tiles: rows of W per tile and columns (K) per tile. 128 x 512 f32 = 256 KiB per thread,
// small enough to stay in L2 while sgemm packs it.
constexpr size_t kTileRows = 128;
constexpr size_t kTileCols = 512;

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
    parallel_rows(N, 4, nt, [&](size_t n0, size_t n1) { simd::gemv_f16(x, K, as_u16(W), n0, n1, y); });
  else
    parallel_rows(N, 4, nt, [&](size_t n0, size_t n1) { simd::gemv_f32(x, K, as_f32(W), n0, n1, y); });
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

// F16 weights, many rows of X: each thread takes tiles of kTileRows weight rows, widens them to
// f32 kTileCols columns at a time into its own slice of a scratch buffer, and accumulates the
// tile's product with a single-threaded sgemm (OpenBLAS runs serially inside a parallel region).
void gemm_f16_tiled(const float* X, size_t M, size_t K, const uint16_t* W, size_t N, float* Y) {
  const size_t kb_max = std::min(K, kTileCols);
  const size_t tile = kTileRows * kb_max;
  const size_t tiles = (N + kTileRows - 1) / kTileRows;
  const int nt = static_cast<int>(
      std::min<size_t>(tiles, omp_in_parallel() ? 1 : static_cast<size_t>(omp_get_max_threads())));
  // Grown, never shrunk: no allocation per call once the largest tile set has been seen. Grown
  // here, on the calling thread, so that a failed allocation surfaces as std::bad_alloc.
  thread_local std::vector<float> scratch;
  if (scratch.size() < tile * nt) scratch.resize(tile * nt);
  float* const base = scratch.data();
#pragma omp parallel for schedule(dynamic, 1) num_threads(nt) if (nt > 1)
  for (size_t t = 0; t < tiles; ++t) {
    float* buf = base + tile * static_cast<size_t>(omp_get_thread_num());
    const size_t n0 = t * kTileRows;
    const size_t nb = std::min(kTileRows, N - n0);
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

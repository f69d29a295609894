// Thread split and path choice for the kernels of tensor/kernels.h; the SIMD work itself lives in
// kernels_simd.cpp (one build per CPU target, dispatched at run time).
#include "tensor/kernels.h"

#include <cblas.h>

#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "tensor/error.h"
#include "tensor/kernels_simd.h"
#include "tensor/parallel.h"

namespace tl::kernels {

namespace {

// Up to this many rows of X, products use the multi-row GEMV (reads W once, no packing); above,
// sgemm over tiles (F32) or over widened tiles (F16). Measured on a 4096 x 4096 W (from memory),
// GFLOP/s on one / two threads: F32 M = 12: 37 / 72 vs sgemm 33-35 / 40-45, M = 16: 38 / 74 vs
// sgemm 41-43 / 70-80; F16 M = 16: 42 / 80 vs tiles 30 / 56, M = 24: 43 / 83 vs 42 / 77.
constexpr size_t kMaxMultiRowF32 = 12;
constexpr size_t kMaxMultiRowF16 = 16;
// Tiles of products with many rows: at most kMaxTileM rows of X, and a share of the weight rows
// that makes about kTargetTiles tiles (enough for free threads to balance the load), but never
// fewer than kMinTileN rows nor more than kMaxTileN (single-threaded sgemm on 512 x 1024 of X
// measured here: 79 GFLOP/s with 32 weight rows, 85 with 64, 89 with 128 to 512). The tiles
// depend on the shape only, never on the thread count, since sgemm's summation order depends on
// the tile it is given. F16 weight tiles are widened to f32 kTileCols columns (K) at a time:
// 256 x 1024 f32 = 1 MiB per thread, which stays in L2 while sgemm packs it.
constexpr size_t kMaxTileM = 256;
constexpr size_t kTargetTiles = 32;
constexpr size_t kMinTileN = 64;
constexpr size_t kMaxTileN = 256;
constexpr size_t kTileCols = 1024;

// Weight rows per tile for N weight rows shared by `m_blocks` row blocks of X: a multiple of 16.
// A product that runs within one block of its caller's split takes the widest tiles (measured on
// one thread, 64 rows of X: N = 1024, K = 512 at 70 GFLOP/s in tiles of 64 weight rows, 78 in
// tiles of 256; N = 512, K = 1024: 73 and 75).
size_t tile_n(size_t N, size_t m_blocks, bool in_block) {
  if (in_block) return kMaxTileN;
  const size_t share = (N * m_blocks + kTargetTiles - 1) / kTargetTiles;
  return std::clamp((share + 15) / 16 * 16, kMinTileN, kMaxTileN);
}

// OpenBLAS's thread server (pthreads build), present only in builds that have one.
extern "C" int blas_thread_shutdown_(void) __attribute__((weak));

// Every sgemm call here is one tile that a pool thread runs, so OpenBLAS must not start threads of
// its own: told to use one when this library is loaded (before any call), and the idle threads
// that the pthreads build starts when it is loaded are ended.
//
// Callers at once are limited to what the loaded build supports. Each call takes one of the
// build's memory buffers for its duration; a build has twice its MAX_THREADS of them, and a caller
// finding none free ends the process ("too many memory regions") or crashes. A buffer (128 MiB of
// address space on x86_64 builds) is mapped the first time that many callers run at once and kept;
// when that mapping fails, OpenBLAS retries it forever. So a caller beyond the build's thread
// count waits for a free turn, and a caller that would need a new buffer first checks that the
// address space for it exists: if it does not, it waits for a turn on the buffers already mapped,
// or, when there are none, raises std::bad_alloc. Builds other than the pthreads one (a different
// OpenBLAS picked up at run time, e.g. through LD_LIBRARY_PATH) get one call at a time: their
// buffers are not safe under concurrent calls.
class Blas {
 public:
  Blas() {
    openblas_set_num_threads(1);
    const bool concurrent = openblas_get_parallel() == 1;
    if (concurrent && blas_thread_shutdown_) blas_thread_shutdown_();
    limit_ = concurrent ? build_threads() : 1;
  }

  void acquire() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (in_use_ < mapped_) break;  // a buffer already mapped is free
      if (in_use_ < limit_ && address_space_for_buffer()) {
        ++mapped_;
        break;
      }
      if (in_use_ == 0) throw std::bad_alloc();
      turn_.wait(lock);
    }
    ++in_use_;
  }

  void release() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      --in_use_;
    }
    turn_.notify_one();
  }

 private:
  // The build's MAX_THREADS, from its configuration text ("... MAX_THREADS=64"); 16 when the text
  // does not say (builds older than 0.3.10 do not).
  static size_t build_threads() {
    const char* config = openblas_get_config();
    const char* at = config ? std::strstr(config, "MAX_THREADS=") : nullptr;
    const long n = at ? std::strtol(at + std::strlen("MAX_THREADS="), nullptr, 10) : 0;
    return n > 0 ? static_cast<size_t>(n) : 16;
  }

  // Whether a buffer's mapping (with the same protection as OpenBLAS's, so that an address-space
  // limit and strict overcommit count it alike) would succeed now, with room to spare for the
  // calling thread's own needs.
  static bool address_space_for_buffer() {
    constexpr size_t kProbe = size_t{160} << 20;
    void* p = mmap(nullptr, kProbe, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return false;
    munmap(p, kProbe);
    return true;
  }

  std::mutex mutex_;
  std::condition_variable turn_;
  size_t limit_ = 1;   // callers at once
  size_t in_use_ = 0;  // callers now
  size_t mapped_ = 0;  // the most callers there have been at once: buffers the build has mapped
};
Blas g_blas;

const uint16_t* as_u16(const void* p) { return static_cast<const uint16_t*>(p); }
const float* as_f32(const void* p) { return static_cast<const float*>(p); }

void check_weight_dtype(DType wdt) {
  if (wdt != DType::F32 && wdt != DType::F16)
    throw Error(std::string("unsupported dtype ") + dtype_name(wdt) + " for op matmul");
}

void gemv(const float* x, size_t K, const void* W, DType wdt, size_t N, float* y) {
  if (wdt == DType::F16)
    parallel::for_ranges(
        N, K, [&](size_t n0, size_t n1) { simd::gemv_f16(x, K, as_u16(W), n0, n1, y); }, 8);
  else
    parallel::for_ranges(
        N, K, [&](size_t n0, size_t n1) { simd::gemv_f32(x, K, as_f32(W), n0, n1, y); }, 8);
}

void gemv_multi(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y) {
  if (wdt == DType::F16)
    parallel::for_ranges(
        N, M * K,
        [&](size_t n0, size_t n1) { simd::gemv_multi_f16(X, M, K, as_u16(W), n0, n1, Y, N); }, 2);
  else
    parallel::for_ranges(
        N, M * K,
        [&](size_t n0, size_t n1) { simd::gemv_multi_f32(X, M, K, as_f32(W), n0, n1, Y, N); }, 2);
}

bool fits_blas_int(size_t M, size_t K, size_t N) {
  return M <= INT_MAX && K <= INT_MAX && N <= INT_MAX;
}

// Y[m0.., n0..] (mb x nb) = X[m0.., :] W[n0.., :]^T (+ the existing Y when `accumulate`), one
// single-threaded sgemm; W rows here have stride ldw.
void sgemm_tile(const float* X, size_t ldx, size_t mb, size_t kb, const float* W, size_t ldw,
                size_t nb, bool accumulate, float* Y, size_t ldy) {
  g_blas.acquire();
  struct Release {
    ~Release() { g_blas.release(); }
  } release;
  cblas_sgemm(CblasRowMajor, CblasNoTrans, CblasTrans, static_cast<int>(mb), static_cast<int>(nb),
              static_cast<int>(kb), 1.0f, X, static_cast<int>(ldx), W, static_cast<int>(ldw),
              accumulate ? 1.0f : 0.0f, Y, static_cast<int>(ldy));
}

// The tiles of a product with many rows: blocks of at most kMaxTileM rows of X by blocks of `tn`
// weight rows (never wider than N rounded up to 16), numbered row block by row block. Cut from the
// shape (and the call site's in_block) alone.
struct Tiles {
  size_t M, N, m_blocks, tn, n_blocks, count;
  Tiles(size_t M_, size_t N_, bool in_block) : M(M_), N(N_) {
    m_blocks = (M + kMaxTileM - 1) / kMaxTileM;
    tn = std::min(tile_n(N, m_blocks, in_block), (N + 15) / 16 * 16);
    n_blocks = (N + tn - 1) / tn;
    count = m_blocks * n_blocks;
  }
  // Tile t: rows [m0, m1) of X by weight rows [n0, n0 + nb).
  void at(size_t t, size_t& m0, size_t& m1, size_t& n0, size_t& nb) const {
    const size_t mi = t / n_blocks, ni = t % n_blocks;
    m0 = M * mi / m_blocks, m1 = M * (mi + 1) / m_blocks;
    n0 = ni * tn, nb = std::min(tn, N - n0);
  }
};

// F32 weights, many rows of X: each tile one sgemm call, taken by whichever pool thread is free.
void gemm_f32_tiled(const float* X, size_t M, size_t K, const float* W, size_t N, float* Y,
                    bool in_block) {
  const Tiles tiles(M, N, in_block);
  parallel::for_ranges(tiles.count, M * K * N / tiles.count, [&](size_t t0, size_t t1) {
    for (size_t t = t0; t < t1; ++t) {
      size_t m0, m1, n0, nb;
      tiles.at(t, m0, m1, n0, nb);
      sgemm_tile(X + m0 * K, K, m1 - m0, K, W + n0 * K, K, nb, false, Y + m0 * N + n0, N);
    }
  });
}

// F16 weights, many rows of X: the F32 path's tiles, the weight rows widened to f32 kTileCols
// columns at a time into the running thread's own scratch buffer, each accumulated with a
// single-threaded sgemm. A weight tile is widened once per block of rows of X (a 512-token prompt:
// twice), which costs about one part in a thousand of its products and gives the threads twice as
// many tiles to balance (a 256-row projection had only four).
void gemm_f16_tiled(const float* X, size_t M, size_t K, const uint16_t* W, size_t N, float* Y,
                    bool in_block) {
  const Tiles tiles(M, N, in_block);
  const size_t kb_max = std::min(K, kTileCols);
  parallel::for_ranges(tiles.count, M * K * N / tiles.count, [&](size_t t0, size_t t1) {
    // Grown, never shrunk: no allocation per call once the largest tile has been seen. Per
    // thread, so that tiles running side by side never share one.
    thread_local std::vector<float> scratch;
    if (scratch.size() < tiles.tn * kb_max) scratch.resize(tiles.tn * kb_max);
    float* const buf = scratch.data();
    for (size_t t = t0; t < t1; ++t) {
      size_t m0, m1, n0, nb;
      tiles.at(t, m0, m1, n0, nb);
      for (size_t k0 = 0; k0 < K; k0 += kb_max) {
        const size_t kb = std::min(kb_max, K - k0);
        simd::widen_f16_tile(W + n0 * K + k0, K, nb, kb, buf, kb_max);
        sgemm_tile(X + m0 * K + k0, K, m1 - m0, kb, buf, kb_max, nb, k0 != 0, Y + m0 * N + n0, N);
      }
    }
  });
}

}  // namespace

void matmul_xwt(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y,
                bool in_block) {
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
  if (wdt == DType::F16)
    gemm_f16_tiled(X, M, K, as_u16(W), N, Y, in_block);
  else
    gemm_f32_tiled(X, M, K, as_f32(W), N, Y, in_block);
}

bool row_split_exact(size_t M, DType wdt) {
  return M <= (wdt == DType::F16 ? kMaxMultiRowF16 : kMaxMultiRowF32);
}

float dot_f32(const float* a, const float* b, size_t n) { return simd::dot_f32(a, b, n); }

float dot_row(const float* a, const void* row, DType dt, size_t n) {
  if (dt == DType::F16) return simd::dot_f16(a, as_u16(row), n);
  return simd::dot_f32(a, as_f32(row), n);
}

void delta_decay_read_f16(const float* S_in, float* S_out, size_t D, float decay, const float* k,
                          float* r) {
  simd::delta_decay_read_f16(S_in, S_out, D, decay, k, r);
}

void delta_update_read_f16(float* S, size_t D, const float* k, const float* delta, const float* q,
                           float* o) {
  simd::delta_update_read_f16(S, D, k, delta, q, o);
}

bool map_f16_table(const float* x, float* y, size_t n, const uint16_t* table) {
  return simd::map_f16_table(x, y, n, table);
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

int num_threads() { return static_cast<int>(parallel::num_threads()); }

const char* simd_target() { return simd::target_name(); }

}  // namespace tl::kernels

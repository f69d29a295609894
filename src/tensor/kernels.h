// Hot numeric kernels over plain buffers: matrix products against stored weights, vector
// helpers, and rounding of f32 activations to the model dtype. SIMD through Highway with runtime
// dispatch; threads through tensor/parallel.h (single-threaded sgemm calls on tiles).
//
// Activations are always f32 buffers. In an F16 (or BF16) model every activation holds a value
// representable in that dtype: producers round with round_to_dtype after each step whose result
// the model's math rounds.
#pragma once
#include <cstddef>
#include <cstdint>

#include "tensor/dtype.h"

namespace tl::kernels {

// Y[m, n] = sum_k X[m, k] * W[n, k] for m < M, n < N (X: M x K f32 row-major; W: N x K row-major
// in wdt, F32 or F16; Y: M x N f32 row-major). Accumulates in f32 and rounds nothing: the caller
// rounds Y to the model dtype. Y must not overlap X or W. M == 1 uses a threaded GEMV that reads W
// once at memory bandwidth; small M a multi-row GEMV that also reads W once; larger M uses sgemm
// on tiles of X and W for F32 weights and on widened tiles of W for F16 weights. K == 0 gives
// zeros. wdt == BF16 throws tl::Error "unsupported dtype BF16 for op matmul" (any other non-F32/F16
// dtype likewise names itself).
//
// Threads: blocks of output rows (GEMV) or tiles (sgemm) over the pool of tensor/parallel.h;
// products smaller than about 64 K multiply-adds, and calls made inside a parallel block, run on
// the calling thread. A contiguous block of weight rows [r0, r0 + n) is the product with
// W + r0 * K and N = n. With M <= 12 (F32) or M <= 16 (F16) each Y[m, n] is bit-identical to the
// M == 1 result for row m, whatever N, the row block or the thread count; dot_f32 / dot_row give
// the same bits as a one-row product. Products with more rows are the same bits at every thread
// count too. F16 products with M > 16 keep a scratch buffer (up to 1 MiB) per thread that runs
// their tiles, grown on first use and reused.
//
// in_block: the caller runs this product inside a block of a split of its own (always at that
// call site, whatever the pool size), so its sgemm tiles run one after another on one thread and
// are cut 256 weight rows wide: fewer, wider tiles pack X fewer times. Other tiles aim at enough
// of them for the pool to balance.
void matmul_xwt(const float* X, size_t M, size_t K, const void* W, DType wdt, size_t N, float* Y,
                bool in_block = false);

// Whether a product with M rows of X gives each output the same bits whatever block of weight rows
// it is computed in (the GEMV paths: M <= 12 for F32 weights, M <= 16 for F16). Larger products go
// through sgemm, whose summation order follows the width N of the block it is given: a caller
// that cuts their weight rows must take the cut from the shapes alone.
bool row_split_exact(size_t M, DType wdt);

// Plain f32 dot product: dot(a, b) accumulated in f32.
float dot_f32(const float* a, const float* b, size_t n);
// dot of an f32 vector with a stored row of dtype dt (F32 or F16 bits): one output of a one-row
// product, with its summation order.
float dot_row(const float* a, const void* row, DType dt, size_t n);

// The two passes over the D x D state (row-major [a][b]) of one token of the F16 delta rule, each
// product and sum a single f32 operation, f16() rounding to nearest even, sums over a = 0, 1, ...
// from zero (the plain loops' order, on every target):
// delta_decay_read_f16: S_out[a][b] = f16(S_in[a][b] * decay) (S_in null: a zero state; S_in ==
//   S_out allowed), then r[b] = sum_a k[a] * S_out[a][b];
// delta_update_read_f16: S[a][b] = f16(S[a][b] + f16(k[a] * delta[b])), then
//   o[b] = sum_a q[a] * S[a][b].
void delta_decay_read_f16(const float* S_in, float* S_out, size_t D, float decay, const float* k,
                          float* r);
void delta_update_read_f16(float* S, size_t D, const float* k, const float* delta, const float* q,
                           float* o);

// An element-wise function of f16 values by table: y[i] = table[f16 bits of x[i]] widened to f32
// (kF16TableSize entries; the last one is padding that vector loads may read; a signalling NaN
// entry may come out quieted). Returns false when some
// x[i] is not exactly an f16 value (NaN included); y is then partly written and x unchanged, so
// the caller computes the function itself. x and y may be the same buffer only if the caller keeps
// x's values elsewhere.
constexpr size_t kF16TableSize = 65537;
bool map_f16_table(const float* x, float* y, size_t n, const uint16_t* table);

// Rounds every element of p to the nearest value of dt (F32: no-op; F16/BF16: round to nearest
// even, overflow to infinity).
void round_to_dtype(float* p, size_t n, DType dt);
// Converts f32 values to stored 16-bit patterns of dt (F16 or BF16), or copies for F32.
void store_as(const float* src, void* dst, DType dt, size_t n);
// Widens n stored elements of dt (F32, F16, BF16) to f32.
void load_as_f32(const void* src, DType dt, float* dst, size_t n);

// Number of threads the kernels split work over (parallel::num_threads()).
int num_threads();

// Name of the SIMD target picked for this CPU at run time ("AVX3", "AVX2", "NEON", ...), for
// benchmarks and diagnostics.
const char* simd_target();

}  // namespace tl::kernels

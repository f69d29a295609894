// Single-threaded SIMD building blocks behind tensor/kernels.h, one implementation per CPU target
// (Highway), chosen at run time on first call. kernels.cpp splits work over threads and calls these
// on row ranges. Internal to src/tensor: other code uses tensor/kernels.h.
//
// Weight pointers hold N x K row-major elements of the given kind (f32 or binary16 bits); the
// range functions read rows [n0, n1) only.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tl::kernels::simd {

// y[n] = dot(x, W[n, :]) for n in [n0, n1). Each output uses one fixed summation order (one
// vector accumulator over the full vectors of the row, lane sum, then the leftover elements in
// order), so a row's result does not depend on the range it was computed in.
void gemv_f32(const float* x, size_t K, const float* W, size_t n0, size_t n1, float* y);
void gemv_f16(const float* x, size_t K, const uint16_t* W, size_t n0, size_t n1, float* y);

// Y[m * ldy + n] = dot(X[m, :], W[n, :]) for m < M, n in [n0, n1): reads each weight row once for
// all M rows of X. Same per-output summation order as gemv_*, hence bit-identical to them.
void gemv_multi_f32(const float* X, size_t M, size_t K, const float* W, size_t n0, size_t n1,
                    float* Y, size_t ldy);
void gemv_multi_f16(const float* X, size_t M, size_t K, const uint16_t* W, size_t n0, size_t n1,
                    float* Y, size_t ldy);

// dst[r * ld_dst + c] = f16 src[r * ld_src + c] widened, for r < rows, c < cols.
void widen_f16_tile(const uint16_t* src, size_t ld_src, size_t rows, size_t cols, float* dst,
                    size_t ld_dst);

float dot_f32(const float* a, const float* b, size_t n);
float dot_f16(const float* a, const uint16_t* b, size_t n);

// Conversions bit-identical to tensor/half.h (round to nearest even, quiet NaN).
void round_f16(float* p, size_t n);
void round_bf16(float* p, size_t n);
void f32_to_f16(const float* src, uint16_t* dst, size_t n);
void f32_to_bf16(const float* src, uint16_t* dst, size_t n);
void f16_to_f32(const uint16_t* src, float* dst, size_t n);
void bf16_to_f32(const uint16_t* src, float* dst, size_t n);

// y[i] = table[f16 bits of x[i]] widened, for a table of 65537 entries (the last one padding);
// false, with y partly written, when some x[i] is not an f16 value (NaN included).
bool map_f16_table(const float* x, float* y, size_t n, const uint16_t* table);

// The two state passes of one token of the F16 delta rule (model/gated_delta_net.cpp), on a D x D
// row-major state; f16() rounds to the nearest f16 value, products and sums are single f32
// operations (never fused), and each sum runs over a = 0, 1, ... from zero, as the plain loops.
// decay_read: S_out[a][b] = f16(S_in[a][b] * decay) (S_in null: f16(0 * decay); S_in == S_out
//   is allowed), r[b] = sum_a k[a] * S_out[a][b].
// update_read: S[a][b] = f16(S[a][b] + f16(k[a] * delta[b])), o[b] = sum_a q[a] * S[a][b].
void delta_decay_read_f16(const float* S_in, float* S_out, size_t D, float decay, const float* k,
                          float* r);
void delta_update_read_f16(float* S, size_t D, const float* k, const float* delta, const float* q,
                           float* o);

// Name of the target chosen on this machine (e.g. "AVX3", "AVX2", "NEON").
const char* target_name();

}  // namespace tl::kernels::simd

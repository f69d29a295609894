// Basic building blocks over f32 activation buffers: linear projections against stored weights,
// RMS normalisation, the gated MLP, rotary embedding and L2 normalisation.
//
// Activations are f32 buffers whose values are representable in the model dtype d: every step
// that the model's math rounds is rounded with tl::kernels::round_to_dtype (a no-op in F32).
#pragma once
#include <cstddef>
#include <limits>
#include <new>
#include <optional>

#include "model/config.h"
#include "model/scratch.h"
#include "tensor/half.h"
#include "tensor/tensor.h"
#include "tensor/var_builder.h"

namespace model {

// One f32 value rounded to the model dtype (nothing to do in F32).
inline float rnd(float v, tl::DType d) {
  if (d == tl::DType::F16) return tl::round_f16(v);
  if (d == tl::DType::BF16) return tl::round_bf16(v);
  return v;
}

// A double constant as the affine map converts it to the model dtype: F32 `as f32`, F16 / BF16
// with one rounding from double.
inline float const_in(double c, tl::DType d) {
  if (d == tl::DType::F16) return tl::f16_to_f32(tl::f64_to_f16(c));
  if (d == tl::DType::BF16) return tl::bf16_to_f32(tl::f64_to_bf16(c));
  return static_cast<float>(c);
}

// a * b for buffer sizes; std::bad_alloc when the product overflows (no such buffer can exist).
inline size_t mul_or_throw(size_t a, size_t b) {
  if (b != 0 && a > std::numeric_limits<size_t>::max() / b) throw std::bad_alloc();
  return a * b;
}

// Weight (out, in) and optional bias (out), both in the model dtype.
struct Linear {
  tl::Tensor weight;
  std::optional<tl::Tensor> bias;
  size_t in_dim() const { return weight.shape()[1]; }
  size_t out_dim() const { return weight.shape()[0]; }
  tl::DType dtype() const { return weight.dtype(); }
};

// Fetches "weight" (out, in), then "bias" (out) when `bias`.
Linear load_linear(size_t in, size_t out, bool bias, const tl::VarBuilder& vb);
// y (T x out) = round_d(x (T x in) . W^T); with a bias, y = round_d(y + b) as a separate step.
// BF16 weights throw "unsupported dtype BF16 for op matmul".
void linear_forward(const Linear& l, const float* x, size_t T, float* y);
// The output rows [r0, r1) of the same: y (T x (r1 - r0)) = round_d(x . W[r0:r1]^T), plus bias
// rows r0..r1 as its own rounded step: the product restricted to those weight rows.
// in_block: see tl::kernels::matmul_xwt (the caller's own split runs this on one thread).
void linear_rows(const Linear& l, const float* x, size_t T, size_t r0, size_t r1, float* y,
                 bool in_block = false);

// One token: the projections ls[0..count) of the same input x (one row of in_dim values) into
// ys[i], as one parallel region over all their rows instead of one region (and one wait for the
// slowest thread) each. The values of linear_forward on each: a one-row product gives each output
// the same bits whatever its row block, and each block rounds its own outputs. When a projection
// has no rows, or the widths of the inputs differ, each projection keeps its own linear_forward
// call, in order: an empty product still checks its dtype, and the first failure comes first.
void linear_forward_one_token(const Linear* const* ls, float* const* ys, size_t count,
                              const float* x);
template <size_t Count>
void linear_forward_one_token(const Linear* const (&ls)[Count], float* const (&ys)[Count],
                              const float* x) {
  linear_forward_one_token(ls, ys, Count, x);
}

struct RmsNorm {
  tl::Tensor weight;  // (n) in the model dtype, multiplied in directly (no 1 added)
  double eps = 1e-6;
  size_t size() const { return weight.shape()[0]; }
  static RmsNorm load(size_t size, double eps, const tl::VarBuilder& vb);
  // rows x n, y may alias x. Statistics in f32; x / rms rounded to d, then times weight in d.
  void forward(const float* x, size_t rows, float* y) const;
};

struct Mlp {
  Linear gate_proj, up_proj, down_proj;  // H -> I, H -> I, I -> H
  // inner: the expert width for MoE experts; absent for a dense block (cfg.intermediate_size).
  static Mlp load(const Config& cfg, const tl::VarBuilder& vb, std::optional<size_t> inner);
  size_t inner() const { return gate_proj.out_dim(); }
  // x (T x H) -> y (T x H); y must not alias x. down_proj(round(silu(g)) * u) with each step
  // rounded in d.
  void forward(const float* x, size_t T, float* y, MlpScratch& scratch) const;
};

// silu(v) = v / (1 + exp(-v)) with each step rounded in d; sigmoid(v) = 1 / (exp(-v) + 1) likewise.
float silu_d(float v, tl::DType d);
float sigmoid_d(float v, tl::DType d);
// Array forms with the same values, in blocks with vector rounding (threaded for large n):
// g[i] = round(silu_d(g[i]) * u[i]), and x[i] = silu_d(x[i]).
void silu_mul(float* g, const float* u, size_t n, tl::DType d);
void silu_inplace(float* x, size_t n, tl::DType d);
// x[i] = sigmoid_d(x[i]); and o[i] = round(o[i] * sigmoid_d(g[i])).
void sigmoid_inplace(float* x, size_t n, tl::DType d);
void sigmoid_mul(float* o, const float* g, size_t n, tl::DType d);

// Softmax over the first n entries of one row, in d: max (the first element unless a later one is
// larger, so a leading NaN propagates), x - max, exp, a sum, then division. The sum accumulates
// wider than d and is rounded once: rounding every partial sum in F16 would drop every term below
// half a unit of the running total (at 2048 keys each exp <= 1 is lost). Entries n .. row_len-1
// are masked (minus infinity) and are set to exact zeros.
void softmax_row(float* s, size_t n, size_t row_len, tl::DType d);

// Rotary tables for S positions starting at `offset` (positions as u32, converted to d first):
// cos and sin, each S x R in d, columns k and k + R/2 equal. inv_freq has R/2 f32 values.
void rotary_tables(const float* inv_freq, size_t R, uint32_t offset, size_t S, tl::DType d,
                   float* cos, float* sin);
// Rotates the leading R channels of one head vector in place (rotate-half layout):
// x[i] = round(round(x[i]*cos[i]) + round(rot[i]*sin[i])) with rot = (-x2, x1).
void apply_rotary(float* x, const float* cos, const float* sin, size_t R, tl::DType d);
// Each row of n values scaled to unit length: x / sqrt(sum(x^2) * 1 + 1e-6), in d.
void l2_norm(float* x, size_t rows, size_t n, tl::DType d);

}  // namespace model

#include "model/layers.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

namespace model {

namespace {

// Raw pointer to the first element of a contiguous stored tensor (F32, F16 or BF16 bits).
const void* raw_data(const tl::Tensor& t) {
  if (t.dtype() == tl::DType::F32) return t.data<float>();
  return t.data<uint16_t>();
}

// Element-wise steps run over blocks of this many values (stack buffers, no allocation).
constexpr size_t kChunk = 512;

// Row blocks of a one-token product are multiples of this many weight rows.
constexpr size_t kRowGrain = 16;

}  // namespace

// ---- Linear
// ---------------------------------------------------------------------------------------

Linear load_linear(size_t in, size_t out, bool bias, const tl::VarBuilder& vb) {
  Linear l;
  l.weight = vb.get({out, in}, "weight");
  if (bias) l.bias = vb.get({out}, "bias");
  return l;
}

void linear_forward(const Linear& l, const float* x, size_t T, float* y) {
  if (T == 1 && l.out_dim() > 0) {
    // One token (a decode step): the weight rows are split here rather than inside the product,
    // so that each block also rounds (and adds the bias to) its own outputs instead of leaving
    // those passes to the calling thread. The same values: a one-row product gives each output
    // the same bits whatever the row block.
    tl::parallel::for_ranges(
        l.out_dim(), l.in_dim(),
        [&](size_t r0, size_t r1) { linear_rows(l, x, 1, r0, r1, y + r0); }, kRowGrain);
    return;
  }
  linear_rows(l, x, T, 0, l.out_dim(), y);
}

void linear_forward_one_token(const Linear* const* ls, float* const* ys, size_t count,
                              const float* x) {
  // Row blocks are counted in units of kRowGrain rows of one projection; start[i] is the first
  // unit of projection i.
  constexpr size_t kMaxFused = 8;
  bool fused = count > 0 && count <= kMaxFused;
  for (size_t i = 0; fused && i < count; ++i)
    fused = ls[i]->out_dim() > 0 && ls[i]->in_dim() == ls[0]->in_dim();
  if (!fused) {
    for (size_t i = 0; i < count; ++i) linear_forward(*ls[i], x, 1, ys[i]);
    return;
  }
  size_t start[kMaxFused + 1] = {0};
  for (size_t i = 0; i < count; ++i)
    start[i + 1] = start[i] + (ls[i]->out_dim() + kRowGrain - 1) / kRowGrain;
  tl::parallel::for_ranges(start[count], kRowGrain * ls[0]->in_dim(), [&](size_t u0, size_t u1) {
    for (size_t i = 0; i < count; ++i) {
      const size_t a = std::max(u0, start[i]), b = std::min(u1, start[i + 1]);
      if (a >= b) continue;
      const size_t r0 = (a - start[i]) * kRowGrain;
      const size_t r1 = std::min(ls[i]->out_dim(), (b - start[i]) * kRowGrain);
      linear_rows(*ls[i], x, 1, r0, r1, ys[i] + r0);
    }
  });
}

void linear_rows(const Linear& l, const float* x, size_t T, size_t r0, size_t r1, float* y,
                 bool in_block) {
  const tl::DType d = l.dtype();
  const size_t in = l.in_dim(), out = r1 - r0, wsize = tl::dtype_size(d);
  tl::kernels::matmul_xwt(x, T, in,
                          static_cast<const uint8_t*>(raw_data(l.weight)) + r0 * in * wsize, d,
                          out, y, in_block);
  tl::kernels::round_to_dtype(y, T * out, d);
  if (!l.bias) return;
  // The bias add is its own step, rounded separately: add row by row, then round the block.
  const tl::Tensor& b = *l.bias;
  const tl::DType bd = b.dtype();
  const uint8_t* bp = static_cast<const uint8_t*>(raw_data(b)) + r0 * tl::dtype_size(bd);
  float wide[kChunk];
  for (size_t o0 = 0; o0 < out; o0 += kChunk) {
    const size_t n = std::min(kChunk, out - o0);
    tl::kernels::load_as_f32(bp + o0 * tl::dtype_size(bd), bd, wide, n);
    for (size_t t = 0; t < T; ++t) {
      float* yr = y + t * out + o0;
      for (size_t o = 0; o < n; ++o) yr[o] += wide[o];
    }
  }
  tl::kernels::round_to_dtype(y, T * out, d);
}

// ---- RmsNorm
// --------------------------------------------------------------------------------------

RmsNorm RmsNorm::load(size_t size, double eps, const tl::VarBuilder& vb) {
  RmsNorm n;
  n.weight = vb.get({size}, "weight");
  n.eps = eps;
  return n;
}

void RmsNorm::forward(const float* x, size_t rows, float* y) const {
  const size_t n = size();
  const tl::DType d = weight.dtype();
  // Statistics in f32 whatever d is: mean = sum(x^2) * f32(1/n), rms = sqrt(mean + f32(eps)).
  const float inv_n = static_cast<float>(1.0 / static_cast<double>(n));
  const float eps32 = static_cast<float>(eps);
  const void* w = raw_data(weight);
  // Rows are independent and each is computed alike wherever it runs, so a prompt's rows go out in
  // blocks over the pool (work per value: a square-add, a division, the scale, the roundings).
  tl::parallel::for_ranges(rows, 4 * n, [&](size_t r0, size_t r1) {
    for (size_t r = r0; r < r1; ++r) {
      const float* xr = x + r * n;
      float* yr = y + r * n;
      double acc = 0;  // the sum's order is free; double keeps it close to exact
      for (size_t i = 0; i < n; ++i) acc += static_cast<double>(xr[i]) * xr[i];
      const float mean = static_cast<float>(acc) * inv_n;
      const float rms = std::sqrt(mean + eps32);
      if (d == tl::DType::F32) {
        const float* wf = static_cast<const float*>(w);
        for (size_t i = 0; i < n; ++i) yr[i] = (xr[i] / rms) * wf[i];
        continue;
      }
      // x / rms rounded to d, then the scale multiplied in d.
      for (size_t i = 0; i < n; ++i) yr[i] = xr[i] / rms;
      tl::kernels::round_to_dtype(yr, n, d);
      float wide[kChunk];
      for (size_t i0 = 0; i0 < n; i0 += kChunk) {
        const size_t m = std::min(kChunk, n - i0);
        tl::kernels::load_as_f32(static_cast<const uint16_t*>(w) + i0, d, wide, m);
        for (size_t i = 0; i < m; ++i) yr[i0 + i] *= wide[i];
      }
      tl::kernels::round_to_dtype(yr, n, d);
    }
  });
}

// ---- Mlp
// ------------------------------------------------------------------------------------------

Mlp Mlp::load(const Config& cfg, const tl::VarBuilder& vb, std::optional<size_t> inner) {
  const size_t H = cfg.hidden_size;
  const size_t I = inner ? *inner : cfg.intermediate_size;
  Mlp m;
  m.gate_proj = load_linear(H, I, cfg.mlp_bias, vb.pp("gate_proj"));
  m.up_proj = load_linear(H, I, cfg.mlp_bias, vb.pp("up_proj"));
  m.down_proj = load_linear(I, H, cfg.mlp_bias, vb.pp("down_proj"));
  return m;
}

void Mlp::forward(const float* x, size_t T, float* y, MlpScratch& scratch) const {
  const size_t I = inner();
  const tl::DType d = gate_proj.dtype();
  float* g = scratch.gate.get(T, I);
  float* u = scratch.up.get(T, I);
  if (T == 1) {
    // One token: gate and up rows [r0, r1) and their product in one parallel pass, then down.
    tl::parallel::for_ranges(
        I, 2 * gate_proj.in_dim(),
        [&](size_t r0, size_t r1) {
          linear_rows(gate_proj, x, 1, r0, r1, g + r0);
          linear_rows(up_proj, x, 1, r0, r1, u + r0);
          silu_mul(g + r0, u + r0, r1 - r0, d);
        },
        kRowGrain);
  } else {
    linear_forward(gate_proj, x, T, g);
    linear_forward(up_proj, x, T, u);
    silu_mul(g, u, T * I, d);
  }
  linear_forward(down_proj, g, T, y);
}

namespace {

// Work of one element of silu_block in comparable element steps (an exponential, a division).
constexpr size_t kSiluWork = 8;

// An F16 activation has only 2^16 values, so an element-wise function of one (every step rounded
// to F16) is a table of F16 results, built once from the scalar function itself: the table gives
// the same bits as computing it, for a gather instead of an exponential and three rounded passes.
template <float (*F)(float, tl::DType)>
const uint16_t* f16_table() {
  static const std::vector<uint16_t> table = [] {
    std::vector<uint16_t> t(tl::kernels::kF16TableSize, 0);
    for (uint32_t h = 0; h < 0x10000; ++h)
      t[h] = tl::f32_to_f16(F(tl::f16_to_f32(static_cast<uint16_t>(h)), tl::DType::F16));
    return t;
  }();
  return table.data();
}

// Elements i0 .. i0+m-1 of silu_block.
void silu_chunk(float* xb, const float* ub, size_t m, tl::DType d) {
  if (d == tl::DType::F32) {
    // The library exp in its own pass, so that the add, the division and the product (the same
    // f32 operations in the same order per element) vectorise.
    float t[kChunk];
    for (size_t i = 0; i < m; ++i) t[i] = expf(-xb[i]);
    for (size_t i = 0; i < m; ++i) xb[i] = xb[i] / (1.0f + t[i]);
    if (ub)
      for (size_t i = 0; i < m; ++i) xb[i] = xb[i] * ub[i];
    return;
  }
  float t[kChunk];
  if (d == tl::DType::F16 && tl::kernels::map_f16_table(xb, t, m, f16_table<silu_d>())) {
    if (!ub) {
      std::copy(t, t + m, xb);
      return;
    }
    for (size_t i = 0; i < m; ++i) xb[i] = t[i] * ub[i];
    tl::kernels::round_to_dtype(xb, m, d);
    return;
  }
  // One pass over the block per rounded step: exp(-x), 1 + e, x / den, (* u).
  for (size_t i = 0; i < m; ++i) t[i] = expf(-xb[i]);
  tl::kernels::round_to_dtype(t, m, d);
  for (size_t i = 0; i < m; ++i) t[i] = 1.0f + t[i];
  tl::kernels::round_to_dtype(t, m, d);
  for (size_t i = 0; i < m; ++i) xb[i] = xb[i] / t[i];
  tl::kernels::round_to_dtype(xb, m, d);
  if (ub) {
    for (size_t i = 0; i < m; ++i) xb[i] = xb[i] * ub[i];
    tl::kernels::round_to_dtype(xb, m, d);
  }
}

// x[i] = silu(x[i]), then times u[i] when u is given, every step rounded in d; in blocks of
// kChunk elements.
void silu_block(float* x, const float* u, size_t n, tl::DType d) {
  const size_t blocks = (n + kChunk - 1) / kChunk;
  tl::parallel::for_ranges(blocks, kChunk * kSiluWork, [&](size_t b0, size_t b1) {
    for (size_t blk = b0; blk < b1; ++blk) {
      const size_t i0 = blk * kChunk;
      silu_chunk(x + i0, u ? u + i0 : nullptr, std::min(kChunk, n - i0), d);
    }
  });
}

}  // namespace

void silu_mul(float* g, const float* u, size_t n, tl::DType d) { silu_block(g, u, n, d); }
void silu_inplace(float* x, size_t n, tl::DType d) { silu_block(x, nullptr, n, d); }

float silu_d(float v, tl::DType d) {
  const float e = rnd(expf(-v), d);
  const float den = rnd(1.0f + e, d);
  return rnd(v / den, d);
}

namespace {

// The sigmoids t of a block into x, or times o into o (rounded in d) when o is given.
void sigmoid_store(const float* t, float* x, float* o, size_t m, tl::DType d) {
  if (!o) {
    std::copy(t, t + m, x);
    return;
  }
  for (size_t i = 0; i < m; ++i) o[i] = o[i] * t[i];
  tl::kernels::round_to_dtype(o, m, d);
}

// x[i] = sigmoid(x[i]), then times o[i] into o when o is given: exp(-x), e + 1, 1 / den, (* o),
// each step rounded in d, one pass over the block per step.
void sigmoid_steps(float* x, float* o, size_t m, tl::DType d) {
  float t[kChunk];
  for (size_t i = 0; i < m; ++i) t[i] = expf(-x[i]);
  tl::kernels::round_to_dtype(t, m, d);
  for (size_t i = 0; i < m; ++i) t[i] = t[i] + 1.0f;
  tl::kernels::round_to_dtype(t, m, d);
  for (size_t i = 0; i < m; ++i) t[i] = 1.0f / t[i];
  tl::kernels::round_to_dtype(t, m, d);
  sigmoid_store(t, x, o, m, d);
}

}  // namespace

float sigmoid_d(float v, tl::DType d) {
  sigmoid_steps(&v, nullptr, 1, d);
  return v;
}

namespace {

// sigmoid_steps' values; in F16 by table when every input is an F16 value.
void sigmoid_chunk(float* x, float* o, size_t m, tl::DType d) {
  float t[kChunk];
  if (d != tl::DType::F16 || !tl::kernels::map_f16_table(x, t, m, f16_table<sigmoid_d>())) {
    sigmoid_steps(x, o, m, d);
    return;
  }
  sigmoid_store(t, x, o, m, d);
}

}  // namespace

void sigmoid_inplace(float* x, size_t n, tl::DType d) {
  for (size_t i0 = 0; i0 < n; i0 += kChunk)
    sigmoid_chunk(x + i0, nullptr, std::min(kChunk, n - i0), d);
}

void sigmoid_mul(float* o, const float* g, size_t n, tl::DType d) {
  // Element-wise, so blocks of kChunk may run on any thread with the same values.
  const size_t blocks = (n + kChunk - 1) / kChunk;
  tl::parallel::for_ranges(blocks, kChunk * kSiluWork, [&](size_t b0, size_t b1) {
    float t[kChunk];
    for (size_t blk = b0; blk < b1; ++blk) {
      const size_t i0 = blk * kChunk, m = std::min(kChunk, n - i0);
      std::copy(g + i0, g + i0 + m, t);
      sigmoid_chunk(t, o + i0, m, d);
    }
  });
}

void softmax_row(float* s, size_t n, size_t row_len, tl::DType d) {
  float m = s[0];
  for (size_t j = 1; j < n; ++j)
    if (m < s[j]) m = s[j];
  if (d == tl::DType::F32) {
    double sum = 0;
    for (size_t j = 0; j < n; ++j) {
      s[j] = expf(s[j] - m);
      sum += s[j];
    }
    const float fs = static_cast<float>(sum);
    for (size_t j = 0; j < n; ++j) s[j] = s[j] / fs;
  } else {
    for (size_t j = 0; j < n; ++j) s[j] = s[j] - m;
    tl::kernels::round_to_dtype(s, n, d);
    for (size_t j = 0; j < n; ++j) s[j] = expf(s[j]);
    tl::kernels::round_to_dtype(s, n, d);
    float sum = 0;
    for (size_t j = 0; j < n; ++j) sum += s[j];
    sum = rnd(sum, d);
    for (size_t j = 0; j < n; ++j) s[j] = s[j] / sum;
    tl::kernels::round_to_dtype(s, n, d);
  }
  for (size_t j = n; j < row_len; ++j) s[j] = 0.0f;
}

// ---- Rotary
// ---------------------------------------------------------------------------------------

void rotary_tables(const float* inv_freq, size_t R, uint32_t offset, size_t S, tl::DType d,
                   float* cos, float* sin) {
  const size_t half = R / 2;
  for (size_t i = 0; i < S; ++i) {
    // u32 position (wrapping), converted to d: `as f32` then, for F16 / BF16, a second rounding.
    const uint32_t pos = offset + static_cast<uint32_t>(i);
    const float p = rnd(static_cast<float>(pos), d);
    for (size_t k = 0; k < half; ++k) {
      // A (S,1) x (1,R/2) product in d: one term, rounded once.
      const float f = rnd(p * rnd(inv_freq[k], d), d);
      const float c = rnd(cosf(f), d), s = rnd(sinf(f), d);
      cos[i * R + k] = cos[i * R + k + half] = c;
      sin[i * R + k] = sin[i * R + k + half] = s;
    }
  }
}

void apply_rotary(float* x, const float* cos, const float* sin, size_t R, tl::DType d) {
  // Element i pairs with element i + R/2: rot = (-x2, x1); x * cos + rot * sin, each step rounded.
  const size_t h = R / 2;
  if (d == tl::DType::F32) {
    for (size_t i = 0; i < h; ++i) {
      const float a = x[i], b = x[i + h];
      x[i] = a * cos[i] + -b * sin[i];
      x[i + h] = b * cos[i + h] + a * sin[i + h];
    }
    return;
  }
  constexpr size_t kPairs = 128;
  float t[4 * kPairs];
  for (size_t i0 = 0; i0 < h; i0 += kPairs) {
    const size_t m = std::min(kPairs, h - i0);
    float *p0 = t, *p1 = t + m, *p2 = t + 2 * m, *p3 = t + 3 * m;
    for (size_t i = 0; i < m; ++i) {
      const size_t lo = i0 + i, hi = lo + h;
      p0[i] = x[lo] * cos[lo];
      p1[i] = -x[hi] * sin[lo];
      p2[i] = x[hi] * cos[hi];
      p3[i] = x[lo] * sin[hi];
    }
    tl::kernels::round_to_dtype(t, 4 * m, d);
    for (size_t i = 0; i < m; ++i) {
      x[i0 + i] = p0[i] + p1[i];
      x[i0 + i + h] = p2[i] + p3[i];
    }
    tl::kernels::round_to_dtype(x + i0, m, d);
    tl::kernels::round_to_dtype(x + i0 + h, m, d);
  }
}

void l2_norm(float* x, size_t rows, size_t n, tl::DType d) {
  // Everything in d: squares, the sum (accumulated in f32, rounded once), the affine
  // s * 1 + 1e-6 with both constants in d, the root and the division.
  const float one = const_in(1.0, d), eps = const_in(1e-6, d);
  for (size_t r = 0; r < rows; ++r) {
    float* xr = x + r * n;
    float s;
    if (d == tl::DType::F32) {
      double acc = 0;
      for (size_t i = 0; i < n; ++i) acc += static_cast<double>(xr[i] * xr[i]);
      s = static_cast<float>(acc);
    } else {
      float sq[kChunk];
      s = 0.0f;
      for (size_t i0 = 0; i0 < n; i0 += kChunk) {
        const size_t m = std::min(kChunk, n - i0);
        for (size_t i = 0; i < m; ++i) sq[i] = xr[i0 + i] * xr[i0 + i];
        tl::kernels::round_to_dtype(sq, m, d);
        for (size_t i = 0; i < m; ++i) s += sq[i];
      }
      s = rnd(s, d);
    }
    const float s2 = rnd(rnd(s * one, d) + eps, d);
    const float root = rnd(std::sqrt(s2), d);
    for (size_t i = 0; i < n; ++i) xr[i] = xr[i] / root;
    tl::kernels::round_to_dtype(xr, n, d);
  }
}

}  // namespace model

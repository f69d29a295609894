#include "model/layers.h"

#include <cmath>

#include "tensor/half.h"
#include "tensor/kernels.h"

namespace model {

namespace {

// Raw pointer to the first element of a contiguous stored tensor (F32, F16 or BF16 bits).
const void* raw_data(const tl::Tensor& t) {
  if (t.dtype() == tl::DType::F32) return t.data<float>();
  return t.data<uint16_t>();
}

// Rounds one f32 value to the model dtype.
inline float rnd(float v, tl::DType d) {
  if (d == tl::DType::F16) return tl::round_f16(v);
  if (d == tl::DType::BF16) return tl::round_bf16(v);
  return v;
}

// The value of a double constant in the model dtype, as the library's affine map converts it:
// F32 `as f32`, F16 / BF16 with one rounding from double.
float const_in(double c, tl::DType d) {
  if (d == tl::DType::F16) return tl::f16_to_f32(tl::f64_to_f16(c));
  if (d == tl::DType::BF16) return tl::bf16_to_f32(tl::f64_to_bf16(c));
  return static_cast<float>(c);
}

}  // namespace

// ---- Linear ---------------------------------------------------------------------------------------

Linear load_linear(size_t in, size_t out, bool bias, const tl::VarBuilder& vb) {
  Linear l;
  l.weight = vb.get({out, in}, "weight");
  if (bias) l.bias = vb.get({out}, "bias");
  return l;
}

void linear_forward(const Linear& l, const float* x, size_t T, float* y) {
  const tl::DType d = l.dtype();
  const size_t in = l.in_dim(), out = l.out_dim();
  tl::kernels::matmul_xwt(x, T, in, raw_data(l.weight), d, out, y);
  tl::kernels::round_to_dtype(y, T * out, d);
  if (!l.bias) return;
  // The bias add is its own step, rounded separately. Widen the bias once per call.
  const tl::Tensor& b = *l.bias;
  if (b.dtype() == tl::DType::F32) {
    const float* bp = b.data<float>();
    for (size_t t = 0; t < T; ++t)
      for (size_t o = 0; o < out; ++o) y[t * out + o] += bp[o];
    return;
  }
  const uint16_t* bp = b.data<uint16_t>();
  for (size_t t = 0; t < T; ++t)
    for (size_t o = 0; o < out; ++o) {
      float bv = b.dtype() == tl::DType::F16 ? tl::f16_to_f32(bp[o]) : tl::bf16_to_f32(bp[o]);
      y[t * out + o] = rnd(y[t * out + o] + bv, d);
    }
}

// ---- RmsNorm --------------------------------------------------------------------------------------

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
  const float* wf = d == tl::DType::F32 ? weight.data<float>() : nullptr;
  const uint16_t* wh = d == tl::DType::F32 ? nullptr : weight.data<uint16_t>();
  for (size_t r = 0; r < rows; ++r) {
    const float* xr = x + r * n;
    float* yr = y + r * n;
    double acc = 0;  // the sum's order is free; double keeps it close to exact
    for (size_t i = 0; i < n; ++i) acc += static_cast<double>(xr[i]) * xr[i];
    const float mean = static_cast<float>(acc) * inv_n;
    const float rms = std::sqrt(mean + eps32);
    if (wf) {
      for (size_t i = 0; i < n; ++i) yr[i] = (xr[i] / rms) * wf[i];
    } else {
      for (size_t i = 0; i < n; ++i) {
        float w = d == tl::DType::F16 ? tl::f16_to_f32(wh[i]) : tl::bf16_to_f32(wh[i]);
        yr[i] = rnd(rnd(xr[i] / rms, d) * w, d);
      }
    }
  }
}

// ---- Mlp ------------------------------------------------------------------------------------------

Mlp Mlp::load(const Config& cfg, const tl::VarBuilder& vb, std::optional<size_t> inner) {
  const size_t H = cfg.hidden_size;
  const size_t I = inner ? *inner : cfg.intermediate_size;
  Mlp m;
  m.gate_proj = load_linear(H, I, cfg.mlp_bias, vb.pp("gate_proj"));
  m.up_proj = load_linear(H, I, cfg.mlp_bias, vb.pp("up_proj"));
  m.down_proj = load_linear(I, H, cfg.mlp_bias, vb.pp("down_proj"));
  return m;
}

void Mlp::forward(const float* x, size_t T, float* y, Workspace& ws) const {
  const size_t I = inner();
  const tl::DType d = gate_proj.dtype();
  float* g = ws.get(14, T * I);
  float* u = ws.get(15, T * I);
  linear_forward(gate_proj, x, T, g);
  linear_forward(up_proj, x, T, u);
  // silu(g) and the product are separate rounded steps.
  for (size_t i = 0; i < T * I; ++i) g[i] = rnd(silu_d(g[i], d) * u[i], d);
  linear_forward(down_proj, g, T, y);
}

float silu_d(float v, tl::DType d) {
  const float e = rnd(expf(-v), d);
  const float den = rnd(1.0f + e, d);
  return rnd(v / den, d);
}

float sigmoid_d(float v, tl::DType d) {
  const float e = rnd(expf(-v), d);
  const float den = rnd(e + 1.0f, d);
  return rnd(1.0f / den, d);
}

// ---- Rotary ---------------------------------------------------------------------------------------

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
  for (size_t i = 0; i < h; ++i) {
    const float a = x[i], b = x[i + h];
    x[i] = rnd(rnd(a * cos[i], d) + rnd(-b * sin[i], d), d);
    x[i + h] = rnd(rnd(b * cos[i + h], d) + rnd(a * sin[i + h], d), d);
  }
}

void l2_norm(float* x, size_t rows, size_t n, tl::DType d) {
  // Everything in d: squares, the sum (sequential with each partial sum rounded for 16-bit
  // types), the affine s * 1 + 1e-6 with both constants in d, the root and the division.
  const float one = const_in(1.0, d), eps = const_in(1e-6, d);
  for (size_t r = 0; r < rows; ++r) {
    float* xr = x + r * n;
    float s;
    if (d == tl::DType::F32) {
      double acc = 0;
      for (size_t i = 0; i < n; ++i) acc += static_cast<double>(xr[i] * xr[i]);
      s = static_cast<float>(acc);
    } else {
      s = 0.0f;
      for (size_t i = 0; i < n; ++i) s = rnd(s + rnd(xr[i] * xr[i], d), d);
    }
    const float s2 = rnd(rnd(s * one, d) + eps, d);
    const float root = rnd(std::sqrt(s2), d);
    for (size_t i = 0; i < n; ++i) xr[i] = rnd(xr[i] / root, d);
  }
}

}  // namespace model

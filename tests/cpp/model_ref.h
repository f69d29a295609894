// Test helpers for the model layers: random weights, and the arithmetic of a plain reference.
//
// The reference runs in one of two modes. For F32 it computes in double with no rounding (the
// layers must agree to about 1e-5 relative). For F16 it computes every elementary step in float
// with the C library's functions and rounds the result to binary16, step by step, as the model's
// math says; matrix products and sums accumulate exactly (double) and round once.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tensor/half.h"
#include "tensor/tensor.h"

namespace testref {

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint32_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return static_cast<uint32_t>(s >> 11);
  }
  // Uniform in [-a, a).
  float uni(float a) {
    return a * (2.0f * static_cast<float>(next() & 0xffffff) / 16777216.0f - 1.0f);
  }
  std::vector<float> vec(size_t n, float a) {
    std::vector<float> v(n);
    for (float& x : v) x = uni(a);
    return v;
  }
};

// A stored tensor in dtype dt made from f32 values (rounded on conversion).
inline tl::Tensor tensor(const std::vector<float>& v, const tl::Shape& shape, tl::DType dt) {
  return tl::Tensor::from_f32(v, shape).to_dtype(dt);
}
// The values a stored tensor actually holds, widened to double.
inline std::vector<double> values(const tl::Tensor& t) {
  std::vector<float> f = t.to_f32_vec();
  return std::vector<double>(f.begin(), f.end());
}
// f32 activations representable in dt.
inline std::vector<float> act(Rng& rng, size_t n, float a, tl::DType dt) {
  std::vector<float> v = rng.vec(n, a);
  if (dt == tl::DType::F16)
    for (float& x : v) x = tl::round_f16(x);
  return v;
}

struct Emu {
  tl::DType d;
  bool f16() const { return d == tl::DType::F16; }
  double r(double v) const { return f16() ? tl::round_f16(static_cast<float>(v)) : v; }
  double exp(double v) const { return f16() ? r(expf(static_cast<float>(v))) : std::exp(v); }
  double cos(double v) const { return f16() ? r(cosf(static_cast<float>(v))) : std::cos(v); }
  double sin(double v) const { return f16() ? r(sinf(static_cast<float>(v))) : std::sin(v); }
  double sqrt(double v) const { return f16() ? r(sqrtf(static_cast<float>(v))) : std::sqrt(v); }
  // A constant as the affine map sees it: one rounding from double.
  double cst(double v) const { return f16() ? tl::f16_to_f32(tl::f64_to_f16(v)) : v; }
  double silu(double v) const { return r(v / r(1.0 + exp(-v))); }
  double sigmoid(double v) const { return r(1.0 / r(exp(-v) + 1.0)); }
  // y (T x out) = x (T x in) . W^T (+ b), the product rounded once, the bias add rounded again.
  std::vector<double> linear(const std::vector<double>& x, size_t T, const std::vector<double>& W,
                             size_t out, const std::vector<double>* b) const {
    const size_t in = out ? W.size() / out : 0;
    std::vector<double> y(T * out);
    for (size_t t = 0; t < T; ++t)
      for (size_t o = 0; o < out; ++o) {
        double acc = 0;
        for (size_t i = 0; i < in; ++i) acc += x[t * in + i] * W[o * in + i];
        acc = r(acc);
        if (b) acc = r(acc + (*b)[o]);
        y[t * out + o] = acc;
      }
    return y;
  }
  // RMS norm of each row of width n: statistics in f32 (double here), x / rms rounded to d, then
  // times the weight in d.
  void rms_norm(std::vector<double>& x, size_t rows, size_t n, const std::vector<double>& w,
                double eps) const {
    for (size_t row = 0; row < rows; ++row) {
      double ss = 0;
      for (size_t i = 0; i < n; ++i) ss += x[row * n + i] * x[row * n + i];
      double rms = std::sqrt(ss / n + eps);
      if (f16())
        rms = sqrtf(static_cast<float>(ss) * static_cast<float>(1.0 / n) + static_cast<float>(eps));
      for (size_t i = 0; i < n; ++i) x[row * n + i] = r(r(x[row * n + i] / rms) * w[i]);
    }
  }
};

// Element-wise comparison. F32: |got - want| <= rtol * (|want| + scale), scale = the largest
// |want| (values near zero in a row of large ones are judged by the row's size). F16: within
// `ulps` binary16 steps of the value, or of the largest value when it is much smaller (one step
// upstream moves a sum of many terms by a step of its terms, not of the result); every value
// representable in F16; and at least `exact_frac` of them bit-equal to the step-by-step reference.
inline void expect_close(const std::vector<float>& got, const std::vector<double>& want,
                         tl::DType d, const std::string& what, double rtol = 1e-5, double ulps = 2,
                         double exact_frac = 0.9) {
  ASSERT_EQ(got.size(), want.size()) << what;
  double scale = 0;
  for (double w : want)
    if (std::isfinite(w)) scale = std::max(scale, std::fabs(w));
  auto f16_step = [](double m) { return std::ldexp(1.0, std::ilogb(std::max(m, 6.1e-5)) - 10); };
  size_t exact = 0, bad = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const double g = got[i], w = want[i];
    bool ok;
    if (std::isnan(w) || std::isinf(w)) {
      ok = std::isnan(w) ? std::isnan(g) : g == w;
      if (g == w) ++exact;
    } else if (d == tl::DType::F16) {
      if (g == w) ++exact;
      ok = static_cast<float>(g) == tl::round_f16(static_cast<float>(g)) &&
           std::fabs(g - w) <=
               ulps * std::max(f16_step(std::max(std::fabs(g), std::fabs(w))), f16_step(scale) / 8);
    } else {
      ok = std::fabs(g - w) <= rtol * (std::fabs(w) + scale);
    }
    if (!ok && ++bad <= 10)
      ADD_FAILURE() << what << " [" << i << "] got " << g << " want " << w << " (scale " << scale
                    << ")";
  }
  if (d == tl::DType::F16 && !got.empty()) {
    EXPECT_GE(static_cast<double>(exact), exact_frac * static_cast<double>(got.size()))
        << what << ": only " << exact << " of " << got.size() << " bit-equal";
  }
}

}  // namespace testref

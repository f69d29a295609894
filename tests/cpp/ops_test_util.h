// Helpers for the op tests: independent rounding references (through double, not the library's
// converters), deterministic random data, tensor construction and error-text checks.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tensor/ops.h"
#include "tensor/tensor.h"

namespace opt {

using tl::DType;
using tl::Shape;
using tl::Tensor;

// Nearest value with `mant` fraction bits, exponent range down to `min_exp` (subnormals below),
// overflow threshold `max_finite` + half an ulp; ties to even.
inline double ref_round(double v, int mant, int min_exp, double overflow_at) {
  if (std::isnan(v) || std::isinf(v)) return v;
  double a = std::fabs(v);
  if (a >= overflow_at) return std::copysign(INFINITY, v);
  if (a == 0) return v;
  int e;
  std::frexp(a, &e);  // a = m * 2^e, m in [0.5, 1)
  int unit_exp = std::max(e - 1 - mant, min_exp - mant);
  double q = a / std::ldexp(1.0, unit_exp);
  double fl = std::floor(q);
  double r = q - fl;
  if (r > 0.5 || (r == 0.5 && std::fmod(fl, 2.0) == 1.0)) fl += 1;
  return std::copysign(fl * std::ldexp(1.0, unit_exp), v);
}
inline double ref_f16(double v) { return ref_round(v, 10, -14, 65520.0); }
inline double ref_bf16(double v) { return ref_round(v, 7, -126, 3.3961775292304527e38); }
// Rounds to the dtype (F32: to float).
inline double ref_dt(double v, DType dt) {
  if (dt == DType::F16) return ref_f16(v);
  if (dt == DType::BF16) return ref_bf16(v);
  if (dt == DType::F32) return (double)(float)v;
  return v;
}

// Deterministic uniform values in [lo, hi).
inline std::vector<float> rand_vec(size_t n, float lo, float hi, uint32_t seed) {
  std::vector<float> v(n);
  uint64_t s = seed * 6364136223846793005ull + 1442695040888963407ull;
  for (auto& x : v) {
    s = s * 6364136223846793005ull + 1442695040888963407ull;
    x = lo + (hi - lo) * (float)((s >> 40) * (1.0 / 16777216.0));
  }
  return v;
}

// Tensor of dtype dt holding `v` rounded to dt, and the rounded values themselves.
inline Tensor make(const std::vector<float>& v, const Shape& shape, DType dt = DType::F32) {
  return Tensor::from_f32(v, shape).to_dtype(dt);
}
inline std::vector<float> vals(const Tensor& t) { return t.to_f32_vec(); }

// Row-major linear index -> multi-index.
inline std::vector<size_t> unravel(size_t lin, const Shape& s) {
  std::vector<size_t> idx(s.size());
  for (size_t d = s.size(); d-- > 0;) {
    idx[d] = s[d] ? lin % s[d] : 0;
    lin = s[d] ? lin / s[d] : 0;
  }
  return idx;
}
inline size_t ravel(const std::vector<size_t>& idx, const Shape& s) {
  size_t lin = 0;
  for (size_t d = 0; d < s.size(); ++d) lin = lin * s[d] + idx[d];
  return lin;
}

// Bitwise equality that treats every NaN as equal to every NaN.
inline bool same_value(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || (a == b && std::signbit(a) == std::signbit(b));
}

}  // namespace opt

// Expects `stmt` to throw tl::Error with exactly `text`.
#define EXPECT_TL_ERROR(stmt, text)                        \
  do {                                                     \
    try {                                                  \
      (void)(stmt);                                        \
      ADD_FAILURE() << "no error, expected: " << (text);   \
    } catch (const tl::Error& e) {                         \
      EXPECT_EQ(std::string(e.what()), std::string(text)); \
    }                                                      \
  } while (0)

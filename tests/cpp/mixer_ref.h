// Plain scalar double-precision references for the mixer tests, written independently of the
// model code. In F16 mode every intermediate result that the layer rounds is rounded to binary16
// from the exact double value; in F32 mode nothing is rounded (the comparison tolerance covers
// f32 arithmetic).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "model/layers.h"
#include "tensor/tensor.h"

namespace mref {

using Vec = std::vector<double>;

// Deterministic uniform numbers in [lo, hi).
struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  double uniform(double lo = -1, double hi = 1) {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return lo + (hi - lo) * (double)(s >> 11) / 9007199254740992.0;
  }
  std::vector<float> vec(size_t n, double lo = -1, double hi = 1) {
    std::vector<float> v(n);
    for (float& x : v) x = (float)uniform(lo, hi);
    return v;
  }
};

// Nearest binary16 value of a double, ties to even, overflow to infinity.
inline double round_f16(double v) {
  if (std::isnan(v) || std::isinf(v)) return v;
  double a = std::fabs(v);
  if (a >= 65520.0) return std::copysign(INFINITY, v);
  int e;
  std::frexp(a, &e);
  const double unit = std::ldexp(1.0, std::max(e - 11, -24));
  double q = a / unit, fl = std::floor(q), r = q - fl;
  if (r > 0.5 || (r == 0.5 && std::fmod(fl, 2.0) == 1.0)) fl += 1;
  return std::copysign(fl * unit, v);
}

struct Mode {
  bool f16 = false;
  double r(double v) const { return f16 ? round_f16(v) : v; }
};

// A tensor in dtype d made from f32 values (rounded to d), and its stored values as doubles.
inline tl::Tensor make_tensor(const std::vector<float>& v, const tl::Shape& s, tl::DType d) {
  return tl::Tensor::from_f32(v, s).to_dtype(d);
}
inline Vec values(const tl::Tensor& t) {
  std::vector<float> f = t.to_f32_vec();
  return Vec(f.begin(), f.end());
}
// f32 buffer values rounded to d (inputs that live in the model dtype).
inline std::vector<float> in_dtype(std::vector<float> v, tl::DType d) {
  for (float& x : v)
    x = d == tl::DType::F16 ? tl::round_f16(x) : d == tl::DType::BF16 ? tl::round_bf16(x) : x;
  return v;
}

inline model::Linear make_linear(Rng& rng, size_t in, size_t out, tl::DType d, double scale) {
  model::Linear l;
  l.weight = make_tensor(rng.vec(in * out, -scale, scale), {out, in}, d);
  return l;
}

// y (T x out) = x (T x in) W^T, accumulated exactly, rounded once.
inline Vec linear(const Mode& m, const model::Linear& l, const Vec& x, size_t T) {
  const size_t in = l.in_dim(), out = l.out_dim();
  const Vec w = values(l.weight);
  Vec y(T * out);
  for (size_t t = 0; t < T; ++t)
    for (size_t o = 0; o < out; ++o) {
      double acc = 0;
      for (size_t i = 0; i < in; ++i) acc += x[t * in + i] * w[o * in + i];
      y[t * out + o] = m.r(acc);
    }
  if (l.bias) {
    const Vec b = values(*l.bias);
    for (size_t t = 0; t < T; ++t)
      for (size_t o = 0; o < out; ++o) y[t * out + o] = m.r(y[t * out + o] + b[o]);
  }
  return y;
}

inline double silu(const Mode& m, double v) { return m.r(v / m.r(1 + m.r(std::exp(-v)))); }
inline double sigmoid(const Mode& m, double v) { return m.r(1 / m.r(m.r(std::exp(-v)) + 1)); }

// Statistics exact (f32 in the model); x / rms rounded to d, then times the weight in d.
inline void rms_norm(const Mode& m, Vec& x, size_t rows, const Vec& w, double eps) {
  const size_t n = w.size();
  for (size_t r = 0; r < rows; ++r) {
    double ss = 0;
    for (size_t i = 0; i < n; ++i) ss += x[r * n + i] * x[r * n + i];
    const double rms = std::sqrt(ss / n + eps);
    for (size_t i = 0; i < n; ++i) x[r * n + i] = m.r(m.r(x[r * n + i] / rms) * w[i]);
  }
}

// Everything in d; the sum of squares accumulates wide and is rounded once.
inline void l2_norm(const Mode& m, Vec& x, size_t rows, size_t n) {
  const double eps = m.r(1e-6);
  for (size_t r = 0; r < rows; ++r) {
    double s = 0;
    for (size_t i = 0; i < n; ++i) s += m.r(x[r * n + i] * x[r * n + i]);
    s = m.r(s);
    const double root = m.r(std::sqrt(m.r(s + eps)));
    for (size_t i = 0; i < n; ++i) x[r * n + i] = m.r(x[r * n + i] / root);
  }
}

inline Vec mlp(const Mode& m, const model::Mlp& p, const Vec& x, size_t T) {
  Vec g = linear(m, p.gate_proj, x, T), u = linear(m, p.up_proj, x, T);
  for (size_t i = 0; i < g.size(); ++i) g[i] = m.r(silu(m, g[i]) * u[i]);
  return linear(m, p.down_proj, g, T);
}

// Causal depthwise convolution over xc = [tail | x] (channel-major), then the new tail: the
// last K-1 columns of xc.
inline Vec conv(const mref::Mode& m, const Vec& w, const Vec& b, size_t C, size_t K, const Vec& x,
                size_t T, Vec& tail) {
  const size_t W = K - 1, L = W + T;
  std::vector<Vec> xc(C, Vec(L));
  for (size_t c = 0; c < C; ++c)
    for (size_t i = 0; i < L; ++i) xc[c][i] = i < W ? tail[c * W + i] : x[(i - W) * C + c];
  Vec y(T * C);
  for (size_t t = 0; t < T; ++t)
    for (size_t c = 0; c < C; ++c) {
      double acc = 0;
      for (size_t j = 0; j < K; ++j) acc += w[c * K + j] * xc[c][t + j];
      y[t * C + c] = m.r(acc);
      if (!b.empty()) y[t * C + c] = m.r(y[t * C + c] + b[c]);
    }
  for (size_t c = 0; c < C; ++c)
    for (size_t i = 0; i < W; ++i) tail[c * W + i] = xc[c][L - W + i];
  return y;
}

inline Vec to_vec(const float* p, size_t n) { return Vec(p, p + n); }

// |got - want| <= tol * max(max|want|, floor), element by element; NaN must match NaN.
inline void expect_close(const float* got, const Vec& want, double tol, const char* what,
                         double floor = 1e-3) {
  double scale = floor;
  for (double w : want)
    if (std::isfinite(w)) scale = std::max(scale, std::fabs(w));
  size_t bad = 0;
  for (size_t i = 0; i < want.size(); ++i) {
    const bool ok =
        std::isnan(want[i]) ? std::isnan(got[i]) : std::fabs(got[i] - want[i]) <= tol * scale;
    if (!ok && bad++ < 5)
      ADD_FAILURE() << what << "[" << i << "]: got " << got[i] << ", want " << want[i] << " (tol "
                    << tol * scale << ")";
  }
  EXPECT_EQ(bad, 0u) << what << ": " << bad << " of " << want.size() << " elements differ";
}

inline void expect_close(const std::vector<float>& got, const Vec& want, double tol,
                         const char* what, double floor = 1e-3) {
  ASSERT_EQ(got.size(), want.size()) << what;
  expect_close(got.data(), want, tol, what, floor);
}

// In F16 every rounding step shows: a skipped or extra rounding changes a large share of the
// results, while the f32-versus-exact order of a sum only moves a value that lies next to a
// rounding boundary. So most values must match the emulating reference exactly.
inline void expect_mostly_exact(const float* got, const Vec& want, double min_fraction,
                                const char* what) {
  size_t same = 0;
  for (size_t i = 0; i < want.size(); ++i)
    same += (double)got[i] == want[i] || (std::isnan(want[i]) && std::isnan(got[i]));
  EXPECT_GE((double)same, min_fraction * want.size())
      << what << ": only " << same << " of " << want.size() << " match exactly";
}
inline void expect_mostly_exact(const std::vector<float>& got, const Vec& want, double min_fraction,
                                const char* what) {
  ASSERT_EQ(got.size(), want.size()) << what;
  expect_mostly_exact(got.data(), want, min_fraction, what);
}

// Every value representable in binary16 (results of an F16 model).
inline bool all_f16(const float* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (!std::isnan(p[i]) && tl::round_f16(p[i]) != p[i]) return false;
  return true;
}

// A safetensors file of F32 tensors, written byte by byte: 8-byte little-endian header length,
// the JSON header (padded with spaces to a multiple of 8), then the data in the listed order.
struct NamedTensor {
  std::string name;
  tl::Shape shape;
  std::vector<float> data;
};

inline std::string write_safetensors(const std::string& file, const std::vector<NamedTensor>& ts) {
  std::string header = "{";
  size_t off = 0;
  for (const NamedTensor& t : ts) {
    std::string shape;
    for (size_t i = 0; i < t.shape.size(); ++i) {
      if (i) shape += ",";
      shape += std::to_string(t.shape[i]);
    }
    const size_t end = off + t.data.size() * 4;
    if (header.size() > 1) header += ",";
    header += "\"" + t.name + "\":{\"dtype\":\"F32\",\"shape\":[" + shape + "],\"data_offsets\":[" +
              std::to_string(off) + "," + std::to_string(end) + "]}";
    off = end;
  }
  header += "}";
  while (header.size() % 8) header += ' ';
  const std::string path = ::testing::TempDir() + "/" + file;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) {
    ADD_FAILURE() << "cannot write " << path;
    return path;
  }
  uint64_t n = header.size();
  unsigned char len[8];
  for (int i = 0; i < 8; ++i) len[i] = (unsigned char)(n >> (8 * i));
  std::fwrite(len, 1, 8, f);
  std::fwrite(header.data(), 1, header.size(), f);
  for (const NamedTensor& t : ts)
    if (!t.data.empty()) std::fwrite(t.data.data(), 4, t.data.size(), f);
  std::fclose(f);
  return path;
}

// Random values for every (name, shape), in the given order.
inline std::vector<NamedTensor> random_tensors(
    Rng& rng, const std::vector<std::pair<std::string, tl::Shape>>& wanted) {
  std::vector<NamedTensor> ts;
  for (const auto& [name, shape] : wanted) {
    size_t n = 1;
    for (size_t s : shape) n *= s;
    ts.push_back({name, shape, rng.vec(n)});
  }
  return ts;
}

}  // namespace mref

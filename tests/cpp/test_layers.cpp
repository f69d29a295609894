// Basic layers against a plain reference of their math, in F32 and F16, on odd sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <tuple>

#include "model/layers.h"
#include "model_ref.h"

using model::Linear;
using model::Mlp;
using model::RmsNorm;
using testref::Emu;
using testref::Rng;
using tl::DType;

namespace {

std::vector<double> dbl(const std::vector<float>& v) { return {v.begin(), v.end()}; }

Linear make_linear(Rng& rng, size_t in, size_t out, bool bias, DType d, float a = 0.5f) {
  Linear l;
  l.weight = testref::tensor(rng.vec(out * in, a), {out, in}, d);
  if (bias) l.bias = testref::tensor(rng.vec(out, a), {out}, d);
  return l;
}

std::vector<double> ref_linear(const Emu& e, const std::vector<double>& x, size_t T,
                               const Linear& l) {
  std::vector<double> b;
  if (l.bias) b = testref::values(*l.bias);
  return e.linear(x, T, testref::values(l.weight), l.out_dim(), l.bias ? &b : nullptr);
}

class LayersByDtype : public ::testing::TestWithParam<DType> {};

TEST_P(LayersByDtype, LinearMatchesReference) {
  const DType d = GetParam();
  const Emu e{d};
  // (T, in, out, bias): single rows, odd widths, a width above the usual block sizes.
  for (auto [T, in, out, bias] :
       {std::tuple{1, 7, 5, false}, std::tuple{3, 33, 17, true}, std::tuple{4, 1, 1, true},
        std::tuple{2, 300, 9, false}, std::tuple{5, 16, 64, true}}) {
    Rng rng(T * 1000 + in * 10 + out);
    Linear l = make_linear(rng, in, out, bias, d);
    std::vector<float> x = testref::act(rng, T * in, 1.0f, d);
    std::vector<float> y(T * out);
    model::linear_forward(l, x.data(), T, y.data());
    testref::expect_close(y, ref_linear(e, dbl(x), T, l), d,
                          "linear T=" + std::to_string(T) + " in=" + std::to_string(in));
  }
}

TEST_P(LayersByDtype, RmsNormMatchesReference) {
  const DType d = GetParam();
  const Emu e{d};
  for (size_t n : {1, 7, 33, 4099}) {
    Rng rng(n);
    RmsNorm norm;
    norm.weight = testref::tensor(rng.vec(n, 2.0f), {n}, d);
    norm.eps = 1e-5;
    const size_t rows = 3;
    std::vector<float> x = testref::act(rng, rows * n, 3.0f, d);
    std::vector<float> y(rows * n);
    norm.forward(x.data(), rows, y.data());
    std::vector<double> want = dbl(x);
    e.rms_norm(want, rows, n, testref::values(norm.weight), norm.eps);
    testref::expect_close(y, want, d, "rms n=" + std::to_string(n));
    // In place gives the same values.
    norm.forward(x.data(), rows, x.data());
    EXPECT_EQ(x, y);
  }
}

TEST_P(LayersByDtype, MlpMatchesReference) {
  const DType d = GetParam();
  const Emu e{d};
  for (auto [T, H, I, bias] :
       {std::tuple{1, 7, 5, false}, std::tuple{3, 33, 17, true}, std::tuple{2, 16, 48, false}}) {
    Rng rng(T + 100 * H + I);
    Mlp m;
    m.gate_proj = make_linear(rng, H, I, bias, d);
    m.up_proj = make_linear(rng, H, I, bias, d);
    m.down_proj = make_linear(rng, I, H, bias, d);
    std::vector<float> x = testref::act(rng, T * H, 1.5f, d);
    std::vector<float> y(T * H);
    model::MlpScratch ws;
    m.forward(x.data(), T, y.data(), ws);
    std::vector<double> g = ref_linear(e, dbl(x), T, m.gate_proj);
    std::vector<double> u = ref_linear(e, dbl(x), T, m.up_proj);
    for (size_t i = 0; i < g.size(); ++i) g[i] = e.r(e.silu(g[i]) * u[i]);
    testref::expect_close(y, ref_linear(e, g, T, m.down_proj), d, "mlp H=" + std::to_string(H));
  }
}

TEST_P(LayersByDtype, RotaryTablesMatchAngles) {
  const DType d = GetParam();
  const Emu e{d};
  for (auto [R, offset, S] :
       {std::tuple{size_t{8}, 0u, size_t{5}}, std::tuple{size_t{10}, 1000u, size_t{3}},
        std::tuple{size_t{2}, 7u, size_t{1}}, std::tuple{size_t{64}, 3000u, size_t{4}}}) {
    std::vector<float> inv(R / 2);
    for (size_t j = 0; j < inv.size(); ++j)
      inv[j] = 1.0f / powf(10000.0f, static_cast<float>(2 * j) / static_cast<float>(R));
    std::vector<float> cos(S * R), sin(S * R);
    model::rotary_tables(inv.data(), R, offset, S, d, cos.data(), sin.data());
    std::vector<double> wc(S * R), ws(S * R);
    for (size_t i = 0; i < S; ++i)
      for (size_t k = 0; k < R / 2; ++k) {
        // The angle is formed in the model dtype: position and frequency both in d.
        const double p = e.r(static_cast<double>(offset + i));
        const double f = e.f16() ? e.r(p * e.r(inv[k])) : static_cast<float>(p * inv[k]);
        wc[i * R + k] = wc[i * R + k + R / 2] = e.cos(f);
        ws[i * R + k] = ws[i * R + k + R / 2] = e.sin(f);
      }
    testref::expect_close(cos, wc, d, "cos R=" + std::to_string(R), 1e-6);
    testref::expect_close(sin, ws, d, "sin R=" + std::to_string(R), 1e-6);
  }
}

TEST_P(LayersByDtype, RotaryRotatesHalvesAndMatchesReference) {
  const DType d = GetParam();
  const Emu e{d};
  // cos = 1, sin = 0: unchanged. cos = 0, sin = 1: [a, b, c, d] -> [-c, -d, a, b].
  std::vector<float> x = {1.5f, -2.0f, 3.25f, 4.0f};
  std::vector<float> one(4, 1.0f), zero(4, 0.0f);
  std::vector<float> y = x;
  model::apply_rotary(y.data(), one.data(), zero.data(), 4, d);
  EXPECT_EQ(y, x);
  model::apply_rotary(y.data(), zero.data(), one.data(), 4, d);
  EXPECT_EQ(y, (std::vector<float>{-3.25f, -4.0f, 1.5f, -2.0f}));

  Rng rng(7);
  for (size_t R : {2, 6, 32}) {
    std::vector<float> v = testref::act(rng, R, 2.0f, d);
    std::vector<float> c = testref::act(rng, R, 1.0f, d), s = testref::act(rng, R, 1.0f, d);
    std::vector<double> want(R);
    const size_t h = R / 2;
    for (size_t i = 0; i < R; ++i) {
      const double rot = i < h ? -static_cast<double>(v[i + h]) : v[i - h];
      want[i] = e.r(e.r(v[i] * static_cast<double>(c[i])) + e.r(rot * s[i]));
    }
    model::apply_rotary(v.data(), c.data(), s.data(), R, d);
    testref::expect_close(v, want, d, "rotary R=" + std::to_string(R));
  }
}

TEST_P(LayersByDtype, L2NormMatchesReference) {
  const DType d = GetParam();
  const Emu e{d};
  for (size_t n : {1, 7, 33, 129}) {
    Rng rng(n + 5);
    const size_t rows = 2;
    std::vector<float> x = testref::act(rng, rows * n, 1.0f, d);
    std::vector<double> want = dbl(x);
    for (size_t r = 0; r < rows; ++r) {
      double s = 0;
      for (size_t i = 0; i < n; ++i) {
        const double sq = e.r(want[r * n + i] * want[r * n + i]);
        s += sq;
      }
      s = e.r(s);
      const double root = e.sqrt(e.r(e.r(s * e.cst(1.0)) + e.cst(1e-6)));
      for (size_t i = 0; i < n; ++i) want[r * n + i] = e.r(want[r * n + i] / root);
    }
    model::l2_norm(x.data(), rows, n, d);
    testref::expect_close(x, want, d, "l2 n=" + std::to_string(n));
  }
}

TEST_P(LayersByDtype, SiluArraysMatchReference) {
  const DType d = GetParam();
  const Emu e{d};
  // Long enough for the threaded block split; values from -20 to 20 so exp(-x) overflows F16.
  Rng rng(17);
  const size_t n = 70001;
  std::vector<float> x = testref::act(rng, n, 20.0f, d), u = testref::act(rng, n, 2.0f, d);
  std::vector<float> s = x, p = x;
  model::silu_inplace(s.data(), n, d);
  model::silu_mul(p.data(), u.data(), n, d);
  std::vector<double> ws(n), wp(n);
  for (size_t i = 0; i < n; ++i) {
    ws[i] = e.silu(x[i]);
    wp[i] = e.r(ws[i] * u[i]);
  }
  testref::expect_close(s, ws, d, "silu", 1e-6, 1, 0.99);
  testref::expect_close(p, wp, d, "silu * u", 1e-6, 1, 0.99);
}

INSTANTIATE_TEST_SUITE_P(Dtypes, LayersByDtype, ::testing::Values(DType::F32, DType::F16),
                         [](const auto& info) { return std::string(tl::dtype_name(info.param)); });

TEST(Layers, RmsNormEdgeValues) {
  const size_t n = 4;
  RmsNorm norm;
  norm.weight = testref::tensor({1, 1, 1, 1}, {n}, DType::F32);
  norm.eps = 1e-6;
  std::vector<float> zeros(n, 0.0f), y(n);
  norm.forward(zeros.data(), 1, y.data());
  EXPECT_EQ(y, zeros);  // sqrt(eps) > 0
  norm.eps = 0;
  norm.forward(zeros.data(), 1, y.data());
  for (float v : y) EXPECT_TRUE(std::isnan(v));
  // No 1 is added to the scale: a zero weight gives zeros.
  norm.weight = testref::tensor({0, 0, 0, 0}, {n}, DType::F32);
  std::vector<float> x = {1, 2, 3, 4};
  norm.forward(x.data(), 1, y.data());
  EXPECT_EQ(y, zeros);
  // F16: squares that would overflow F16 (300^2 > 65504) still normalise, since the statistics
  // are f32: each of 300, -300, 300, -300 becomes +-1.
  norm.weight = testref::tensor({1, 1, 1, 1}, {n}, DType::F16);
  norm.eps = 1e-6;
  x = {300, -300, 300, -300};
  norm.forward(x.data(), 1, y.data());
  EXPECT_EQ(y, (std::vector<float>{1, -1, 1, -1}));
}

TEST(Layers, HalfPrecisionStepRoundingIsVisible) {
  // exp(12) overflows F16, so silu and sigmoid of -12 round to zero there; in F32 they do not.
  EXPECT_EQ(model::silu_d(-12.0f, DType::F16), 0.0f);
  EXPECT_TRUE(std::signbit(model::silu_d(-12.0f, DType::F16)));
  EXPECT_EQ(model::sigmoid_d(-12.0f, DType::F16), 0.0f);
  EXPECT_NEAR(model::silu_d(-12.0f, DType::F32), -12.0 / (1.0 + std::exp(12.0)), 1e-11);
  EXPECT_NEAR(model::sigmoid_d(-12.0f, DType::F32), 1.0 / (1.0 + std::exp(12.0)), 1e-11);
  // l2_norm accumulates the F16 squares wide and rounds once: 3000 ones sum to 3000 (a sum whose
  // partial sums were rounded would stall at 2048, since 2048 + 1 rounds back to 2048 in F16).
  std::vector<float> ones(3000, 1.0f);
  model::l2_norm(ones.data(), 1, ones.size(), DType::F16);
  EXPECT_EQ(ones[0], tl::round_f16(1.0f / tl::round_f16(sqrtf(3000.0f))));
  // A unit vector comes back scaled by 1/sqrt(1 + 1e-6).
  std::vector<float> unit = {0.6f, 0.8f};
  model::l2_norm(unit.data(), 1, 2, DType::F32);
  const double s = 1.0 / std::sqrt(static_cast<double>(0.6f * 0.6f + 0.8f * 0.8f) + 1e-6);
  EXPECT_NEAR(unit[0], 0.6f * s, 1e-7);
  EXPECT_NEAR(unit[1], 0.8f * s, 1e-7);
  std::vector<float> zero = {0.0f, 0.0f, 0.0f};
  model::l2_norm(zero.data(), 1, 3, DType::F32);
  EXPECT_EQ(zero, (std::vector<float>{0, 0, 0}));
}

TEST(Layers, RotaryPositionsAreU32InTheModelDtype) {
  const size_t R = 4;
  std::vector<float> inv = {1.0f, 0.01f};
  std::vector<float> c(3 * R), s(3 * R), c1(R), s1(R);
  // Positions wrap in 32 bits: offset 2^32 - 1 gives positions 4294967295, 0, 1.
  model::rotary_tables(inv.data(), R, 0xffffffffu, 3, DType::F32, c.data(), s.data());
  EXPECT_EQ(c[R + 0], 1.0f);
  EXPECT_EQ(s[R + 1], 0.0f);
  model::rotary_tables(inv.data(), R, 1, 1, DType::F32, c1.data(), s1.data());
  EXPECT_EQ(std::vector<float>(c.begin() + 2 * R, c.end()), c1);
  EXPECT_EQ(std::vector<float>(s.begin() + 2 * R, s.end()), s1);
  // F16 rounds position 2049 to 2048: both rows are identical; in F32 they differ.
  for (DType d : {DType::F16, DType::F32}) {
    std::vector<float> cc(2 * R), ss(2 * R);
    model::rotary_tables(inv.data(), R, 2048, 2, d, cc.data(), ss.data());
    const bool same = std::equal(cc.begin(), cc.begin() + R, cc.begin() + R) &&
                      std::equal(ss.begin(), ss.begin() + R, ss.begin() + R);
    EXPECT_EQ(same, d == DType::F16) << tl::dtype_name(d);
  }
}

TEST(Layers, Bf16ProductIsRefused) {
  Rng rng(1);
  Linear l = make_linear(rng, 4, 3, false, DType::BF16);
  std::vector<float> x(4, 1.0f), y(3);
  try {
    model::linear_forward(l, x.data(), 1, y.data());
    FAIL() << "no error";
  } catch (const tl::Error& err) {
    EXPECT_STREQ(err.what(), "unsupported dtype BF16 for op matmul");
  }
}

}  // namespace

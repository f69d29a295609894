// Element-wise ops against per-element references that round with an independent rounding
// function after every step the math specifies.
#include <functional>

#include "ops_test_util.h"

using namespace tl;
using namespace opt;

namespace {

using Rd = std::function<float(float)>;
Rd rounder(DType dt) {
  return [dt](float v) { return (float)ref_dt(v, dt); };
}

const DType kFloatTypes[] = {DType::F32, DType::F16, DType::BF16};
const size_t kSizes[] = {1, 7, 33, 4099};

struct UnaryCase {
  const char* name;
  Tensor (*op)(const Tensor&);
  float (*ref)(float, const Rd&);  // the op's math with rd after every inner step
  float lo, hi;
};

const UnaryCase kUnary[] = {
    {"neg", neg, [](float v, const Rd&) { return -v; }, -10, 10},
    {"abs", tl::abs, [](float v, const Rd&) { return std::fabs(v); }, -10, 10},
    {"sqr", sqr, [](float v, const Rd&) { return v * v; }, -300, 300},
    {"sqrt", tl::sqrt, [](float v, const Rd&) { return std::sqrt(v); }, 0, 1000},
    {"exp", tl::exp, [](float v, const Rd&) { return std::exp(v); }, -20, 12},
    {"log", tl::log, [](float v, const Rd&) { return std::log(v); }, 0, 100},
    {"cos", tl::cos, [](float v, const Rd&) { return std::cos(v); }, -50, 50},
    {"sin", tl::sin, [](float v, const Rd&) { return std::sin(v); }, -50, 50},
    {"recip", recip, [](float v, const Rd&) { return 1.0f / v; }, -4, 4},
    {"silu", silu, [](float v, const Rd& rd) { return v / rd(1.0f + rd(std::exp(-v))); }, -20, 20},
};

}  // namespace

TEST(OpsElementwise, UnaryOpsMatchStepwiseReference) {
  for (const UnaryCase& c : kUnary)
    for (DType dt : kFloatTypes)
      for (size_t n : kSizes) {
        Rd rd = rounder(dt);
        Tensor x = make(rand_vec(n, c.lo, c.hi, (uint32_t)n), {n}, dt);
        Tensor y = c.op(x);
        ASSERT_EQ(y.dtype(), dt);
        ASSERT_EQ(y.shape(), x.shape());
        std::vector<float> xv = vals(x), yv = vals(y);
        for (size_t i = 0; i < n; ++i)
          ASSERT_TRUE(same_value(yv[i], rd(c.ref(xv[i], rd))))
              << c.name << " " << dtype_name(dt) << " x=" << xv[i] << " got " << yv[i];
      }
}

TEST(OpsElementwise, UnaryOpsReadStridedViewsAndKeepEmpty) {
  for (const UnaryCase& c : kUnary) {
    Tensor x = make(rand_vec(7 * 5, 0.5f, 3, 9), {7, 5}, DType::F16);
    EXPECT_EQ(vals(c.op(t(x))), vals(c.op(t(x).contiguous()))) << c.name;
    Tensor e = Tensor::zeros({3, 0}, DType::F16);
    EXPECT_TRUE(c.op(e).shares_storage(e)) << c.name;
  }
  EXPECT_TL_ERROR(tl::exp(Tensor::zeros({2}, DType::U32)), "unsupported dtype U32 for op exp");
}

TEST(OpsElementwise, HalfSiluRoundsEachStep) {
  // Rounding only the final quotient gives different F16 results for some inputs, so the
  // stepwise comparison above can tell the two apart.
  Tensor x = make(rand_vec(4099, -20, 20, 5), {4099}, DType::F16);
  std::vector<float> xv = vals(x), yv = vals(silu(x));
  size_t differs = 0;
  for (size_t i = 0; i < xv.size(); ++i)
    differs += yv[i] != (float)ref_f16(xv[i] / (1.0f + std::exp(-xv[i])));
  EXPECT_GT(differs, 0u);
}

TEST(OpsElementwise, AffineRoundsTwiceAndNeverFuses) {
  // F32: x*mul = 1 + 2^-11 + 2^-24 rounds to 1 + 2^-11 (tie to even); adding -(1 + 2^-11) gives
  // 0. A fused multiply-add would keep 2^-24.
  float x32 = 1.0f + std::ldexp(1.0f, -12);
  Tensor y32 = affine(make({x32}, {1}), x32, -(1.0 + std::ldexp(1.0, -11)));
  EXPECT_EQ(vals(y32)[0], 0.0f);
  // F16: (1 + 2^-10)^2 = 1 + 2^-9 + 2^-20 rounds to 1 + 2^-9 first, so the sum is 0, not 2^-20.
  float x16 = 1.0f + std::ldexp(1.0f, -10);
  Tensor y16 = affine(make({x16}, {1}, DType::F16), x16, -(1.0 + std::ldexp(1.0, -9)));
  EXPECT_EQ(vals(y16)[0], 0.0f);
  // The double factor is rounded once to F16: 1 + 2^-11 + 2^-40 -> 1 + 2^-10 (through f32 it
  // would become the tie 1 + 2^-11 and then 1).
  Tensor m16 =
      affine(make({1.0f}, {1}, DType::F16), 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40), 0);
  EXPECT_EQ(vals(m16)[0], 1.0f + std::ldexp(1.0f, -10));
  // General values against the stepwise reference.
  for (DType dt : kFloatTypes) {
    Rd rd = rounder(dt);
    Tensor x = make(rand_vec(33, -5, 5, 3), {3, 11}, dt);
    std::vector<float> xv = vals(x), yv = vals(affine(x, 0.3, -1.7));
    float m = (float)ref_dt(0.3, dt), a = (float)ref_dt(-1.7, dt);
    for (size_t i = 0; i < xv.size(); ++i)
      ASSERT_EQ(yv[i], rd(rd(xv[i] * m) + a)) << dtype_name(dt);
  }
}

namespace {

struct BinaryCase {
  const char* name;
  Tensor (*op)(const Tensor&, const Tensor&);
  Tensor (*bop)(const Tensor&, const Tensor&);
  float (*ref)(float, float);
};
const BinaryCase kBinary[] = {
    {"add", add, broadcast_add, [](float a, float b) { return a + b; }},
    {"sub", sub, broadcast_sub, [](float a, float b) { return a - b; }},
    {"mul", mul, broadcast_mul, [](float a, float b) { return a * b; }},
    {"div", div, broadcast_div, [](float a, float b) { return a / b; }},
    {"maximum", maximum, broadcast_maximum, [](float a, float b) { return a < b ? b : a; }},
};

}  // namespace

TEST(OpsElementwise, SameShapeBinaryOpsMatchReference) {
  for (const BinaryCase& c : kBinary)
    for (DType dt : kFloatTypes)
      for (size_t n : kSizes) {
        Rd rd = rounder(dt);
        Tensor a = make(rand_vec(n, -100, 100, 1 + (uint32_t)n), {n}, dt);
        Tensor b = make(rand_vec(n, 0.25f, 3, 2 + (uint32_t)n), {n}, dt);
        std::vector<float> av = vals(a), bv = vals(b), yv = vals(c.op(a, b));
        for (size_t i = 0; i < n; ++i)
          ASSERT_TRUE(same_value(yv[i], rd(c.ref(av[i], bv[i]))))
              << c.name << " " << dtype_name(dt) << " " << av[i] << ", " << bv[i];
      }
}

TEST(OpsElementwise, BroadcastBinaryOpsMatchIndexedReference) {
  struct Pair {
    Shape a, b;
  } pairs[] = {{{2, 1, 3}, {4, 1}}, {{3}, {2, 3}},          {{1}, {5}},
               {{2, 3}, {}},        {{5, 1, 7}, {5, 9, 1}}, {{4, 33}, {4, 33}}};
  for (const BinaryCase& c : kBinary)
    for (DType dt : {DType::F32, DType::F16})
      for (const Pair& p : pairs) {
        Rd rd = rounder(dt);
        Tensor a = make(rand_vec(shape_elem_count(p.a), -9, 9, 11), p.a, dt);
        Tensor b = make(rand_vec(shape_elem_count(p.b), 0.5f, 2, 12), p.b, dt);
        Tensor y = c.bop(a, b);
        size_t r = std::max(p.a.size(), p.b.size());
        std::vector<float> av = vals(a), bv = vals(b), yv = vals(y);
        for (size_t i = 0; i < yv.size(); ++i) {
          auto idx = unravel(i, y.shape());
          auto pick = [&](const Shape& s) {
            std::vector<size_t> j(s.size());
            for (size_t d = 0; d < s.size(); ++d) j[d] = s[d] == 1 ? 0 : idx[r - s.size() + d];
            return ravel(j, s);
          };
          ASSERT_TRUE(same_value(yv[i], rd(c.ref(av[pick(p.a)], bv[pick(p.b)]))))
              << c.name << " " << shape_str(p.a) << " " << shape_str(p.b);
        }
      }
}

TEST(OpsElementwise, MaximumKeepsLeftOnNanAndTies) {
  Tensor a = make({NAN, 1, NAN, -0.0f}, {4});
  Tensor b = make({1, NAN, NAN, 0.0f}, {4});
  std::vector<float> y = vals(maximum(a, b));
  EXPECT_TRUE(std::isnan(y[0]));
  EXPECT_EQ(y[1], 1.0f);
  EXPECT_TRUE(std::isnan(y[2]));
  EXPECT_TRUE(std::signbit(y[3]));
  // The scalar is converted to F16 first: 1.0004 becomes 1.
  std::vector<float> s = vals(maximum(make({0.5f, 2.5f, -1, NAN}, {4}, DType::F16), 1.0004));
  EXPECT_EQ(s[0], 1.0f);
  EXPECT_EQ(s[1], 2.5f);
  EXPECT_EQ(s[2], 1.0f);
  EXPECT_TRUE(std::isnan(s[3]));
}

TEST(OpsElementwise, BinaryErrorsAndShortcuts) {
  auto z = [](Shape s, DType dt = DType::F32) { return Tensor::zeros(s, dt); };
  EXPECT_TL_ERROR(add(z({2, 3}), z({3, 2})), "shape mismatch in add, lhs: [2, 3], rhs: [3, 2]");
  EXPECT_TL_ERROR(maximum(z({2}), z({3})), "shape mismatch in maximum, lhs: [2], rhs: [3]");
  EXPECT_TL_ERROR(sub(z({2}), z({2}, DType::F16)), "dtype mismatch in sub, lhs: F32, rhs: F16");
  EXPECT_TL_ERROR(broadcast_add(z({2, 3}), z({2, 4})),
                  "shape mismatch in broadcast_add, lhs: [2, 3], rhs: [2, 4]");
  EXPECT_TL_ERROR(broadcast_div(z({5, 3}), z({2, 1, 4})),
                  "shape mismatch in broadcast_div, lhs: [5, 3], rhs: [2, 1, 4]");
  // After broadcasting the plain op runs, so a dtype mismatch names it.
  EXPECT_TL_ERROR(broadcast_mul(z({2, 3}), z({3}, DType::F16)),
                  "dtype mismatch in mul, lhs: F32, rhs: F16");
  EXPECT_TL_ERROR(add(z({2}, DType::U8), z({2}, DType::U8)), "unsupported dtype U8 for op add");
  // An empty result is returned before the dtypes are compared.
  Tensor e = z({0, 3});
  EXPECT_TRUE(add(e, z({0, 3}, DType::F16)).shares_storage(e));
  EXPECT_EQ(broadcast_add(z({0, 1}), z({4}, DType::F16)).shape(), (Shape{0, 4}));
}

TEST(OpsElementwise, U32ArithmeticWrapsAndRefusesDivisionByZero) {
  Tensor a = Tensor::from_u32({4294967295u, 7, 9}, {3});
  Tensor b = Tensor::from_u32({2, 2, 3}, {3});
  EXPECT_EQ(vals(add(a, b)), (std::vector<float>{1, 9, 12}));
  EXPECT_EQ(vals(div(a, b)), (std::vector<float>{2147483647.0f, 3, 3}));
  EXPECT_THROW(div(a, Tensor::from_u32({1, 0, 1}, {3})), InternalFailure);
}

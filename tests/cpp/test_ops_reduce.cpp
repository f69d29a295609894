// Reductions: sequential sums (rounded per step in half precision), mean, running maximum.
#include "ops_test_util.h"

using namespace tl;
using namespace opt;

namespace {

// Reference over (outer, D, inner) around dimension d, combining values in index order.
std::vector<double> ref_reduce(const std::vector<float>& v, const Shape& s, size_t d, DType dt,
                               bool is_max) {
  size_t outer = 1, inner = 1, D = s[d];
  for (size_t i = 0; i < d; ++i) outer *= s[i];
  for (size_t i = d + 1; i < s.size(); ++i) inner *= s[i];
  std::vector<double> out(outer * inner);
  for (size_t o = 0; o < outer; ++o)
    for (size_t i = 0; i < inner; ++i) {
      double acc = is_max ? v[o * D * inner + i] : 0.0;
      for (size_t j = is_max ? 1 : 0; j < D; ++j) {
        double x = v[(o * D + j) * inner + i];
        if (is_max)
          acc = acc < x ? x : acc;
        else  // F32 is compared with a tolerance, so keep the exact sum there
          acc = dt == DType::F32 ? acc + x : ref_dt((float)acc + (float)x, dt);
      }
      out[o * inner + i] = acc;
    }
  return out;
}

}  // namespace

TEST(OpsReduce, SumMaxMeanMatchReferenceOnEveryDim) {
  for (DType dt : {DType::F32, DType::F16, DType::BF16})
    for (size_t n : {1ul, 7ul, 33ul, 4099ul})
      for (size_t d = 0; d < 3; ++d) {
        Shape s{3, 2, 2};
        s[d] = n;
        Tensor x = make(rand_vec(shape_elem_count(s), -4, 4, (uint32_t)(n + d)), s, dt);
        std::vector<float> xv = vals(x);
        Shape so = s;
        so[d] = 1;
        Tensor sum = sum_keepdim(x, (long)d), mx = max_keepdim(x, (long)d - 3);
        Tensor mean = mean_keepdim(x, (long)d);
        ASSERT_EQ(sum.shape(), so);
        ASSERT_EQ(mean.shape(), so);
        ASSERT_EQ(mx.dtype(), dt);
        std::vector<double> rs = ref_reduce(xv, s, d, dt, false),
                            rm = ref_reduce(xv, s, d, dt, true);
        std::vector<float> sv = vals(sum), mv = vals(mx), av = vals(mean);
        double scale = ref_dt(1.0 / (double)n, dt);
        for (size_t i = 0; i < rs.size(); ++i) {
          EXPECT_EQ(mv[i], (float)rm[i]);
          if (dt == DType::F32) {
            EXPECT_NEAR(sv[i], rs[i], 1e-5 * 4 * n) << n;
          } else {
            ASSERT_EQ(sv[i], (float)rs[i]) << dtype_name(dt) << " n=" << n << " dim " << d;
            ASSERT_EQ(av[i], (float)ref_dt((double)(float)(sv[i] * (float)scale), dt));
          }
        }
      }
}

TEST(OpsReduce, HalfSumRoundsEveryPartialSum) {
  // 65504 + 65504 overflows F16 to infinity and stays there; an f32 accumulator would give 0.
  Tensor big = make({65504, 65504, -65504, -65504}, {1, 4}, DType::F16);
  EXPECT_EQ(vals(sum_keepdim(big, -1))[0], INFINITY);
  // 2048 + 1 rounds back to 2048 (tie to even) at every step: the sum stops growing.
  Tensor stall = make({2048, 1, 1, 1, 1, 1, 1}, {7}, DType::F16);
  EXPECT_EQ(vals(sum_keepdim(stall, 0))[0], 2048.0f);
  EXPECT_EQ(vals(sum_keepdim(stall.to_dtype(DType::F32), 0))[0], 2054.0f);
}

TEST(OpsReduce, MaxNanRuleAndEmptyDims) {
  Tensor x = make({NAN, 1, 2, /**/ 1, NAN, 2, /**/ -1, -3, -2}, {3, 3});
  std::vector<float> m = vals(max_keepdim(x, -1));
  EXPECT_TRUE(std::isnan(m[0]));  // a leading NaN wins
  EXPECT_EQ(m[1], 2.0f);          // a later NaN is skipped
  EXPECT_EQ(m[2], -1.0f);
  EXPECT_TL_ERROR(max_keepdim(Tensor::zeros({2, 0}, DType::F32), -1), "empty tensor for reduce");
  EXPECT_EQ(vals(sum_keepdim(Tensor::zeros({2, 0}, DType::F16), -1)), (std::vector<float>{0, 0}));
  Tensor s = Tensor::zeros({}, DType::F32);
  EXPECT_TL_ERROR(sum_keepdim(s, -1), "sum: dimension index -1 out of range for shape []");
  EXPECT_TL_ERROR(mean_keepdim(s, -1),
                  "mean-keepdim: dimension index -1 out of range for shape []");
  EXPECT_TL_ERROR(max_keepdim(s, -1), "max: dimension index -1 out of range for shape []");
  // A strided view reduces its logical rows.
  Tensor v = make({1, 2, 3, 4, 5, 6}, {2, 3});
  EXPECT_EQ(vals(sum_keepdim(t(v), -1)), (std::vector<float>{5, 7, 9}));
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "tensor/half.h"
#include "tensor/tensor.h"

using namespace tl;

// Reference rounding through double arithmetic: nearest binary16 value, ties to even.
static double ref_round_f16(double v) {
  if (std::isnan(v)) return v;
  double a = std::fabs(v);
  if (a >= 65520.0) return std::copysign(INFINITY, v);
  int e;
  std::frexp(a, &e);  // a = m * 2^e, m in [0.5, 1)
  int unit_exp = std::max(e - 11, -24);
  double unit = std::ldexp(1.0, unit_exp);
  double q = a / unit;
  double fl = std::floor(q);
  double r = q - fl;
  if (r > 0.5 || (r == 0.5 && std::fmod(fl, 2.0) == 1.0)) fl += 1;
  return std::copysign(fl * unit, v);
}

TEST(Half, F32ToF16MatchesReferenceOnManyValues) {
  uint32_t seed = 12345;
  for (int i = 0; i < 200000; ++i) {
    seed = seed * 1664525u + 1013904223u;
    // Cover subnormal, normal and overflow ranges.
    float v = std::ldexp((float)(seed >> 8) / 16777216.0f, (int)(seed % 48) - 30);
    if (seed & 1) v = -v;
    float got = f16_to_f32(f32_to_f16(v));
    ASSERT_EQ(got, (float)ref_round_f16(v)) << v;
  }
}

TEST(Half, SpecialValuesAndTies) {
  EXPECT_EQ(f16_to_f32(f32_to_f16(2049.0f)), 2048.0f);  // tie to even
  EXPECT_EQ(f16_to_f32(f32_to_f16(2051.0f)), 2052.0f);
  EXPECT_EQ(f32_to_f16(65519.0f), 0x7bffu);
  EXPECT_EQ(f32_to_f16(65520.0f), 0x7c00u);
  EXPECT_EQ(f32_to_f16(-INFINITY), 0xfc00u);
  EXPECT_TRUE(std::isnan(f16_to_f32(f32_to_f16(NAN))));
  EXPECT_EQ(f32_to_f16(-0.0f), 0x8000u);
  EXPECT_EQ(f16_to_f32(0x0001), 5.9604644775390625e-08f);
}

TEST(Half, F64ConversionsRoundOnce) {
  // 1 + 2^-11 + 2^-40 is just above the tie between 1 and 1 + 2^-10: one rounding gives the upper
  // neighbour, rounding through f32 first would give the tie and then 1.
  double d = 1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40);
  EXPECT_EQ(f16_to_f32(f64_to_f16(d)), 1.0f + std::ldexp(1.0f, -10));
  EXPECT_EQ(f16_to_f32(f32_to_f16((float)d)), 1.0f);
  double b = 1.0 + std::ldexp(1.0, -8) + std::ldexp(1.0, -40);
  EXPECT_EQ(bf16_to_f32(f64_to_bf16(b)), 1.0f + std::ldexp(1.0f, -7));
  EXPECT_EQ(bf16_to_f32(f32_to_bf16(1.0f + std::ldexp(1.0f, -8))), 1.0f);  // tie to even
}

TEST(Tensor, ToDtypeRoundTripAndBufferMismatchText) {
  Tensor t = Tensor::from_f32({1.0f, 2049.0f, -3.5f}, {3});
  Tensor h = t.to_dtype(DType::F16);
  EXPECT_EQ(h.dtype(), DType::F16);
  auto back = h.to_f32_vec();
  EXPECT_EQ(back[1], 2048.0f);
  EXPECT_TRUE(t.to_dtype(DType::F32).shares_storage(t));
  try {
    Tensor::from_f32({1, 2, 3}, {2});
    FAIL();
  } catch (const Error& e) {
    EXPECT_STREQ(e.what(), "Shape mismatch, got buffer of size 3 which is compatible with shape [2]");
  }
}

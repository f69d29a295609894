#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "mixer_ref.h"
#include "model/short_conv.h"
#include "tensor/error.h"

using mref::Vec;
using tl::DType;

namespace {

model::ShortConv make_conv(mref::Rng& rng, size_t C, size_t K, bool bias, DType d) {
  std::optional<tl::Tensor> b;
  if (bias) b = mref::make_tensor(rng.vec(C), {C}, d);
  return model::ShortConv::from_tensors(mref::make_tensor(rng.vec(C * K), {C, 1, K}, d), b);
}

}  // namespace

// (dtype, K, bias, T, start from a stored tail)
class ShortConvRef
    : public ::testing::TestWithParam<std::tuple<DType, size_t, bool, size_t, bool>> {};

TEST_P(ShortConvRef, OutputsAndTailMatchReference) {
  const auto [d, K, bias, T, with_tail] = GetParam();
  const size_t C = 7, W = K - 1;
  const mref::Mode m{d == DType::F16};
  mref::Rng rng(K * 100 + T * 10 + bias + 2 * with_tail);
  model::ShortConv sc = make_conv(rng, C, K, bias, d);
  const std::vector<float> x = mref::in_dtype(rng.vec(T * C, -2, 2), d);
  const std::vector<float> prev = mref::in_dtype(rng.vec(C * W, -2, 2), d);

  std::vector<float> y(T * C), tail(C * W);
  sc.forward(x.data(), T, with_tail ? prev.data() : nullptr, tail.data(), y.data());

  Vec ref_tail = with_tail ? mref::to_vec(prev.data(), prev.size()) : Vec(C * W, 0.0);
  const Vec want = mref::conv(m, mref::values(sc.weight), bias ? mref::values(*sc.bias) : Vec{}, C,
                              K, mref::to_vec(x.data(), x.size()), T, ref_tail);
  mref::expect_close(y, want, d == DType::F16 ? 1e-3 : 1e-6, "y");
  // The tail holds raw inputs: copied, never rounded.
  for (size_t i = 0; i < C * W; ++i) EXPECT_EQ(tail[i], (float)ref_tail[i]) << "tail " << i;
  if (d == DType::F16) {
    EXPECT_TRUE(mref::all_f16(y.data(), y.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(Switches, ShortConvRef,
                         ::testing::Combine(::testing::Values(DType::F32, DType::F16),
                                            ::testing::Values(1, 2, 4), ::testing::Bool(),
                                            ::testing::Values(1, 2, 5), ::testing::Bool()));

// Feeding a sequence in any split gives the same outputs and the same final tail, bit for bit
// (each output is the same sum in the same order either way).
TEST(ShortConv, ChunkedEqualsOneShot) {
  for (DType d : {DType::F32, DType::F16}) {
    for (size_t K : {1, 3, 4}) {
      const size_t C = 5, W = K - 1, T = 9;
      mref::Rng rng(K);
      model::ShortConv sc = make_conv(rng, C, K, true, d);
      const std::vector<float> x = mref::in_dtype(rng.vec(T * C), d);
      std::vector<float> y1(T * C), tail1(C * W);
      sc.forward(x.data(), T, nullptr, tail1.data(), y1.data());
      for (const std::vector<size_t>& split :
           {std::vector<size_t>{1, 1, 1, 1, 1, 1, 1, 1, 1}, {2, 3, 4}, {4, 1, 4}}) {
        std::vector<float> y2(T * C),
            tail[2] = {std::vector<float>(C * W), std::vector<float>(C * W)};
        size_t t0 = 0;
        int cur = -1;
        for (size_t n : split) {
          const int nxt = cur == 0 ? 1 : 0;
          sc.forward(x.data() + t0 * C, n, cur < 0 ? nullptr : tail[cur].data(), tail[nxt].data(),
                     y2.data() + t0 * C);
          cur = nxt;
          t0 += n;
        }
        EXPECT_EQ(y1, y2) << "K " << K;
        EXPECT_EQ(tail1, tail[cur]) << "K " << K;
      }
      // Channel ranges computed separately (as threads do) give the same values.
      std::vector<float> y3(T * C), tail3(C * W);
      for (size_t c0 : {0, 2, 3})
        sc.forward(x.data(), T, nullptr, tail3.data(), y3.data(), c0,
                   c0 == 0   ? 2
                   : c0 == 2 ? 3
                             : C);
      EXPECT_EQ(y1, y3) << "K " << K;
      EXPECT_EQ(tail1, tail3) << "K " << K;
    }
  }
}

// One token with K = 4 shifts the tail by one: the last two old columns, then the new input.
// K = 1 keeps no history: y = w * x + b.
TEST(ShortConv, TailShiftAndKernelOne) {
  model::ShortConv sc = model::ShortConv::from_tensors(
      mref::make_tensor({1, 2, 3, 4, 10, 20, 30, 40}, {2, 1, 4}, DType::F32), std::nullopt);
  const std::vector<float> prev = {1, 2, 3, -1, -2, -3};  // channel-major, oldest first
  const float x[2] = {5, -5};
  float y[2], tail[6];
  sc.forward(x, 1, prev.data(), tail, y);
  EXPECT_EQ(std::vector<float>(tail, tail + 6), (std::vector<float>{2, 3, 5, -2, -3, -5}));
  EXPECT_EQ(y[0], 1 * 1 + 2 * 2 + 3 * 3 + 4 * 5);
  EXPECT_EQ(y[1], 10 * -1 + 20 * -2 + 30 * -3 + 40 * -5);

  model::ShortConv k1 =
      model::ShortConv::from_tensors(mref::make_tensor({3, -2}, {2, 1, 1}, DType::F32),
                                     mref::make_tensor({0.5f, 1.0f}, {2}, DType::F32));
  const float xs[4] = {1, 2, 3, 4};  // two tokens
  float ys[4];
  k1.forward(xs, 2, nullptr, nullptr, ys);
  EXPECT_EQ(std::vector<float>(ys, ys + 4), (std::vector<float>{3.5f, -3.0f, 9.5f, -7.0f}));
}

TEST(ShortConv, LoadRefusesZeroChannelsOrKernel) {
  const tl::VarBuilder vb;  // no file: the refusal comes before any fetch
  for (auto [C, K] : {std::pair<size_t, size_t>{0, 4}, {8, 0}, {0, 0}}) {
    try {
      model::ShortConv::load(C, K, false, vb.pp("layers.0.attn").pp("conv_q.conv"));
      ADD_FAILURE() << "no error for C " << C << " K " << K;
    } catch (const tl::Error& e) {
      EXPECT_EQ(std::string(e.what()),
                "invalid short convolution layers.0.attn.conv_q.conv.weight: channels " +
                    std::to_string(C) + " and kernel size " + std::to_string(K) +
                    " (both must be at least 1)");
    }
  }
}

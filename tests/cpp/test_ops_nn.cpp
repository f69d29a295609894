// Layer helpers: linear, embedding, grouped 1-d convolution, softmax and sigmoid.
#include "ops_test_util.h"
#include "tensor/nn.h"

using namespace tl;
using namespace opt;

TEST(OpsNn, LinearOverRanksTwoToFour) {
  Tensor w = make(rand_vec(4 * 7, -1, 1, 1), {4, 7});
  Tensor b = make(rand_vec(4, -1, 1, 2), {4});
  std::vector<float> wv = vals(w), bv = vals(b);
  for (Shape s : {Shape{5, 7}, Shape{2, 5, 7}, Shape{2, 3, 5, 7}})
    for (bool with_bias : {false, true}) {
      Linear lin{w, with_bias ? std::optional<Tensor>(b) : std::nullopt};
      Tensor x = make(rand_vec(shape_elem_count(s), -1, 1, 3), s);
      Tensor y = lin.forward(x);
      Shape so = s;
      so.back() = 4;
      ASSERT_EQ(y.shape(), so);
      std::vector<float> xv = vals(x), yv = vals(y);
      for (size_t r = 0; r < xv.size() / 7; ++r)
        for (size_t o = 0; o < 4; ++o) {
          double acc = with_bias ? bv[o] : 0.0;
          for (size_t i = 0; i < 7; ++i) acc += (double)xv[r * 7 + i] * wv[o * 7 + i];
          ASSERT_NEAR(yv[r * 4 + o], acc, 1e-5);
        }
    }
  Linear lin{w, b};
  EXPECT_TL_ERROR(lin.forward(Tensor::zeros({7}, DType::F32)),
                  "shape mismatch in matmul, lhs: [7], rhs: [7, 4]");
  EXPECT_TL_ERROR(lin.forward(Tensor::zeros({1, 1, 1, 2, 7}, DType::F32)),
                  "shape mismatch in matmul, lhs: [1, 1, 1, 2, 7], rhs: [7, 4]");
  EXPECT_TL_ERROR(lin.forward(Tensor::zeros({2, 5, 6}, DType::F32)),
                  "shape mismatch in matmul, lhs: [2, 5, 6], rhs: [2, 7, 4]");
  Linear bf{w.to_dtype(DType::BF16), std::nullopt};
  EXPECT_TL_ERROR(bf.forward(Tensor::zeros({1, 7}, DType::BF16)),
                  "unsupported dtype BF16 for op matmul");
}

TEST(OpsNn, HalfLinearAndConvRoundBeforeTheBias) {
  // 2048 + 1 = 2049 rounds to 2048 in F16, then the bias 2 gives 2050. Adding the bias before
  // rounding would give 2051 -> 2052 (tie to even); no bias gives 2048.
  Tensor two = make({2}, {1}, DType::F16);
  Linear lin{make({1, 1}, {1, 2}, DType::F16), two};
  EXPECT_EQ(vals(lin.forward(make({2048, 1}, {1, 2}, DType::F16)))[0], 2050.0f);
  Conv1d conv{make({1, 1}, {1, 1, 2}, DType::F16), two, {0, 1, 1, 1}};
  EXPECT_EQ(vals(conv.forward(make({2048, 1}, {1, 1, 2}, DType::F16)))[0], 2050.0f);
}

TEST(OpsNn, EmbeddingGathersRows) {
  std::vector<float> table(5 * 3);
  for (size_t i = 0; i < table.size(); ++i) table[i] = (float)i;
  Embedding emb{make(table, {5, 3}, DType::F16), 3};
  Tensor y = emb.forward(Tensor::from_u32({4, 0, 1, 4}, {2, 2}));
  ASSERT_EQ(y.shape(), (Shape{2, 2, 3}));
  EXPECT_EQ(vals(y), (std::vector<float>{12, 13, 14, 0, 1, 2, 3, 4, 5, 12, 13, 14}));
  EXPECT_TL_ERROR(emb.forward(Tensor::from_u32({2, 5}, {1, 2})),
                  "index-select invalid index 5 with dim size 5");
}

namespace {

// Direct cross-correlation in double, bias added.
std::vector<double> ref_conv(const std::vector<float>& x, const std::vector<float>& w,
                             const std::vector<float>* bias, size_t B, size_t Cin, size_t L,
                             size_t Cout, size_t K, const Conv1dConfig& c, size_t& lout) {
  long span = (long)(c.dilation * (K - 1) + 1);
  long padded = (long)(L + 2 * c.padding);
  lout = padded >= span ? (size_t)((padded - span) / (long)c.stride + 1) : 0;
  size_t cin_g = Cin / c.groups, cout_g = Cout / c.groups;
  std::vector<double> y(B * Cout * lout);
  for (size_t b = 0; b < B; ++b)
    for (size_t o = 0; o < Cout; ++o)
      for (size_t t = 0; t < lout; ++t) {
        double acc = bias ? (*bias)[o] : 0.0;
        for (size_t ci = 0; ci < cin_g; ++ci)
          for (size_t j = 0; j < K; ++j) {
            long p = (long)(t * c.stride + j * c.dilation) - (long)c.padding;
            if (p < 0 || p >= (long)L) continue;
            size_t ch = (o / cout_g) * cin_g + ci;
            acc += (double)w[(o * cin_g + ci) * K + j] * x[(b * Cin + ch) * L + (size_t)p];
          }
        y[(b * Cout + o) * lout + t] = acc;
      }
  return y;
}

}  // namespace

TEST(OpsNn, Conv1dMatchesDirectReference) {
  struct Case {
    size_t B, Cin, L, Cout, K;
    Conv1dConfig cfg;
    bool bias;
  } cases[] = {
      {2, 5, 9, 5, 4, {0, 1, 1, 5}, true},   // depthwise, as the short convolution uses it
      {1, 5, 7, 5, 1, {0, 1, 1, 5}, false},  // kernel of one tap
      {2, 4, 11, 6, 3, {1, 2, 2, 2}, true},  // grouped, padded, strided, dilated
      {1, 3, 33, 2, 5, {2, 1, 1, 1}, false},
      {1, 2, 3, 2, 4, {0, 1, 1, 2}, true},  // input shorter than the kernel: no output
  };
  for (const Case& c : cases)
    for (DType dt : {DType::F32, DType::F16}) {
      // Small integers keep every F16 sum exact, so both dtypes compare exactly.
      auto ints = [](size_t n, uint32_t seed) {
        std::vector<float> v = rand_vec(n, -3, 3, seed);
        for (float& x : v) x = std::round(x);
        return v;
      };
      std::vector<float> xv = ints(c.B * c.Cin * c.L, 1),
                         wv = ints(c.Cout * c.Cin / c.cfg.groups * c.K, 2), bv = ints(c.Cout, 3);
      Conv1d conv{make(wv, {c.Cout, c.Cin / c.cfg.groups, c.K}, dt),
                  c.bias ? std::optional<Tensor>(make(bv, {c.Cout}, dt)) : std::nullopt, c.cfg};
      Tensor y = conv.forward(make(xv, {c.B, c.Cin, c.L}, dt));
      size_t lout;
      std::vector<double> ref =
          ref_conv(xv, wv, c.bias ? &bv : nullptr, c.B, c.Cin, c.L, c.Cout, c.K, c.cfg, lout);
      ASSERT_EQ(y.shape(), (Shape{c.B, c.Cout, lout}));
      std::vector<float> yv = vals(y);
      for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(yv[i], (float)ref[i]) << i;
    }
}

TEST(OpsNn, Conv1dErrors) {
  auto z = [](Shape s, DType dt = DType::F32) { return Tensor::zeros(s, dt); };
  Conv1dConfig dw{0, 1, 1, 5};
  EXPECT_TL_ERROR((Conv1d{z({5, 4}), std::nullopt, dw}.forward(z({1, 5, 9}))),
                  "unexpected rank, expected: 3, got: 2 ([5, 4])");
  EXPECT_TL_ERROR((Conv1d{z({5, 1, 4}), std::nullopt, dw}.forward(z({5, 9}))),
                  "unexpected rank, expected: 3, got: 2 ([5, 9])");
  EXPECT_TL_ERROR((Conv1d{z({5, 1, 4}), std::nullopt, dw}.forward(z({1, 4, 9}))),
                  "conv1d invalid args the number of in-channels on the input doesn't match the "
                  "kernel size: inp: [1, 4, 9], k: [5, 1, 4], pad: 0, stride: 1");
  EXPECT_TL_ERROR((Conv1d{z({5, 1, 4}), std::nullopt, dw}.forward(z({1, 5, 9}, DType::F16))),
                  "dtype mismatch in conv1d, lhs: F16, rhs: F32");
  EXPECT_TL_ERROR(
      (Conv1d{z({5, 1, 4}, DType::BF16), std::nullopt, dw}.forward(z({1, 5, 9}, DType::BF16))),
      "unsupported dtype BF16 for op matmul");
  EXPECT_TL_ERROR((Conv1d{z({5, 1, 4}), z({5, 1}), dw}.forward(z({1, 5, 9}))),
                  "unexpected rank, expected: 1, got: 2 ([5, 1])");
}

TEST(OpsNn, SoftmaxF32AndStepwiseHalf) {
  // Rows of 1, 7, 33 and 4099 entries, every third one masked with -inf.
  for (size_t n : {1ul, 7ul, 33ul, 4099ul}) {
    std::vector<float> v = rand_vec(2 * n, -8, 8, (uint32_t)n);
    for (size_t i = 0; i < v.size(); ++i)
      if (i % n % 3 == 1) v[i] = -INFINITY;
    for (DType dt : {DType::F32, DType::F16}) {
      Tensor x = make(v, {2, n}, dt);
      std::vector<float> xv = vals(x), yv = vals(softmax(x, -1));
      for (size_t r = 0; r < 2; ++r) {
        const float* row = &xv[r * n];
        float m = row[0];
        for (size_t i = 1; i < n; ++i) m = m < row[i] ? row[i] : m;
        if (dt == DType::F32) {
          double s = 0;
          for (size_t i = 0; i < n; ++i) s += std::exp((double)row[i] - m);
          for (size_t i = 0; i < n; ++i) {
            double want = std::exp((double)row[i] - m) / s;
            ASSERT_NEAR(yv[r * n + i], want, 1e-5 * want + 1e-12);
            if (std::isinf(row[i])) {
              ASSERT_EQ(yv[r * n + i], 0.0f);
            }
          }
        } else {
          std::vector<float> e(n);
          float s = 0;
          for (size_t i = 0; i < n; ++i) {
            e[i] = (float)ref_f16(std::exp((float)ref_f16(row[i] - m)));
            s = (float)ref_f16(s + e[i]);
          }
          for (size_t i = 0; i < n; ++i)
            ASSERT_EQ(yv[r * n + i], (float)ref_f16(e[i] / s)) << n << " " << i;
        }
      }
    }
  }
  EXPECT_TL_ERROR(softmax(Tensor::zeros({}, DType::F32), -1),
                  "softmax: dimension index -1 out of range for shape []");
}

TEST(OpsNn, SigmoidRoundsEachStep) {
  for (DType dt : {DType::F32, DType::F16, DType::BF16}) {
    Tensor x = make(rand_vec(4099, -30, 30, 77), {4099}, dt);
    std::vector<float> xv = vals(x), yv = vals(sigmoid(x));
    for (size_t i = 0; i < xv.size(); ++i) {
      float e = (float)ref_dt(std::exp(-xv[i]), dt);
      float s = (float)ref_dt(e + 1.0f, dt);
      ASSERT_EQ(yv[i], (float)ref_dt(1.0f / s, dt)) << dtype_name(dt) << " " << xv[i];
    }
  }
}

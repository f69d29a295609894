// Layer steps at values no model file reaches through the Python tests (which hold every layer
// and the whole model against the NumPy reference in tests/py): extremes of the norms, activations
// and decay, positions past 2^32, and NaN router probabilities.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "model/gated_delta_net.h"
#include "model/kv_cache.h"
#include "model/scratch.h"
#include "model/layers.h"
#include "model/moe.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

using model::RmsNorm;
using tl::DType;

namespace {

tl::Tensor tensor(const std::vector<float>& v, DType d) {
  return tl::Tensor::from_f32(v, {v.size()}).to_dtype(d);
}

// n values in [-scale, scale) from a linear congruential sequence advanced in `seed`.
std::vector<float> lcg_floats(uint32_t& seed, size_t n, float scale) {
  std::vector<float> v(n);
  for (float& x : v) {
    seed = seed * 1664525u + 1013904223u;
    x = scale * (static_cast<float>(seed >> 8) / 8388608.0f - 1.0f);
  }
  return v;
}

TEST(Layers, RmsNormEdgeValues) {
  RmsNorm norm{tensor({1, 1, 1, 1}, DType::F32), 1e-6};
  std::vector<float> zeros(4, 0.0f), y(4);
  norm.forward(zeros.data(), 1, y.data());
  EXPECT_EQ(y, zeros);  // sqrt(eps) > 0
  norm.eps = 0;
  norm.forward(zeros.data(), 1, y.data());
  for (float v : y) EXPECT_TRUE(std::isnan(v));
  // No 1 is added to the scale: a zero weight gives zeros.
  norm.weight = tensor({0, 0, 0, 0}, DType::F32);
  std::vector<float> x = {1, 2, 3, 4};
  norm.forward(x.data(), 1, y.data());
  EXPECT_EQ(y, zeros);
  // F16: squares that would overflow F16 (300^2 > 65504) still normalise, since the statistics
  // are f32: each of 300, -300, 300, -300 becomes +-1.
  norm = RmsNorm{tensor({1, 1, 1, 1}, DType::F16), 1e-6};
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
  std::vector<float> zero = {0.0f, 0.0f, 0.0f};
  model::l2_norm(zero.data(), 1, 3, DType::F32);
  EXPECT_EQ(zero, (std::vector<float>{0, 0, 0}));
}

// The array forms of silu and sigmoid against the scalar steps, for every f16 value as input (F16
// goes by table when a block holds only f16 values) and for blocks that hold a value that is not
// one, or a NaN (computed instead); in F32 on values of every magnitude. Odd lengths leave tails.
TEST(Layers, SiluAndSigmoidArraysEqualTheScalarSteps) {
  std::vector<float> all;
  for (uint32_t h = 0; h < 0x10000; ++h) all.push_back(tl::f16_to_f32(static_cast<uint16_t>(h)));
  std::vector<float> mixed = all;
  for (size_t i = 100; i < mixed.size(); i += 1500) mixed[i] = mixed[i] * 1.0001f + 1e-3f;
  for (DType d : {DType::F16, DType::F32})
    for (const std::vector<float>* in : {&all, &mixed}) {
      const size_t n = in->size() - 3;
      std::vector<float> u(n);
      for (size_t i = 0; i < n; ++i) u[i] = tl::f16_to_f32(static_cast<uint16_t>(i * 7919u));
      std::vector<float> s(in->begin(), in->begin() + n), su = s, g = s, gu = u;
      model::silu_inplace(s.data(), n, d);
      model::silu_mul(su.data(), u.data(), n, d);
      model::sigmoid_inplace(g.data(), n, d);
      model::sigmoid_mul(gu.data(), in->data(), n, d);
      // Bits, NaN payloads aside (a product's operands may be taken in either order).
      auto same = [](float a, float b) {
        return tl::f32_bits(a) == tl::f32_bits(b) || (std::isnan(a) && std::isnan(b));
      };
      for (size_t i = 0; i < n; ++i) {
        const float x = (*in)[i];
        const float sx = model::silu_d(x, d), gx = model::sigmoid_d(x, d);
        const float su_want = d == DType::F16 ? tl::round_f16(sx * u[i]) : sx * u[i];
        const float gu_want = d == DType::F16 ? tl::round_f16(u[i] * gx) : u[i] * gx;
        ASSERT_TRUE(same(s[i], sx)) << i << " " << s[i] << " " << sx;
        ASSERT_TRUE(same(su[i], su_want)) << i << " " << su[i] << " " << su_want;
        ASSERT_TRUE(same(g[i], gx)) << i << " " << g[i] << " " << gx;
        ASSERT_TRUE(same(gu[i], gu_want)) << i << " " << gu[i] << " " << gu_want;
      }
    }
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
}

// softplus is max(z, 0) + log(1 + exp(-|z|)): z for large z, 0 for very negative z, never an
// overflow; the decay exp(-softplus * A) then goes to 0 and to exactly 1.
TEST(Layers, SoftplusAndDecayExtremes) {
  for (DType d : {DType::F32, DType::F16}) {
    const float big = d == DType::F16 ? 65504.0f : 1e30f;
    for (float z : {big, 1e4f, 30.0f}) {
      EXPECT_EQ(model::softplus_d(z, d), z) << z;
      const float dec = model::gdn_decay(z, 0.0f, 1.0f, d);
      EXPECT_GE(dec, 0.0f);
      EXPECT_LT(dec, 1e-6f);
    }
    for (float z : {-big, -1e4f, -30.0f}) {
      const float sp = model::softplus_d(z, d);
      EXPECT_GE(sp, 0.0f);
      EXPECT_LT(sp, 1e-7f) << z;
      EXPECT_EQ(model::gdn_decay(z, 0.0f, 1.0f, d), 1.0f) << z;
    }
    EXPECT_EQ(model::softplus_d(INFINITY, d), INFINITY);
    EXPECT_EQ(model::softplus_d(-INFINITY, d), 0.0f);
    EXPECT_EQ(model::gdn_decay(INFINITY, 0.0f, 2.0f, d), 0.0f);
    EXPECT_TRUE(std::isnan(model::softplus_d(NAN, d)));
  }
  // In F16, z = 11 gives log(1 + exp(-11)) = log(1) = 0 after rounding 1 + 1.67e-5 to 1.
  EXPECT_EQ(model::softplus_d(11.0f, DType::F16), 11.0f);
}

TEST(MoeTopk, OrderTiesAndNaN) {
  const float nan = NAN;
  const std::vector<float> probs = {0.1f, 0.3f,  0.3f,  0.2f,  0.1f,   // ties inside the top k
                                    0.4f, 0.15f, 0.15f, 0.15f, 0.15f,  // tie at the cut
                                    0.2f, 0.2f,  0.2f,  0.2f,  0.2f,   // all equal
                                    nan,  nan,   nan,   nan,   nan};
  struct Case {
    size_t k;
    std::vector<uint32_t> ids;
  };
  for (const Case& c :
       {Case{2, {1, 2, 0, 1, 0, 1, 0, 1}}, Case{3, {1, 2, 3, 0, 1, 2, 0, 1, 2, 0, 1, 2}},
        Case{5, {1, 2, 3, 0, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4, 0, 1, 2, 3, 4}}}) {
    std::vector<float> w(4 * c.k);
    std::vector<uint32_t> ids(4 * c.k);
    model::topk_2d(probs.data(), 4, 5, c.k, w.data(), ids.data());
    EXPECT_EQ(ids, c.ids) << "k " << c.k;
    for (size_t i = 0; i < ids.size(); ++i) {
      const float p = probs[(i / c.k) * 5 + ids[i]];
      if (std::isnan(p))
        EXPECT_TRUE(std::isnan(w[i]));
      else
        EXPECT_EQ(w[i], p);
    }
  }
}

}  // namespace

// An F16 chunk and the same tokens one at a time give the same outputs and states bit for bit:
// the chunk's projections take the multi-row product and single tokens one pass over the rows of
// all six whose heads run as soon as their rows are done (several row blocks at this width), and
// the recurrence's SIMD passes must round every step alike; from a zero state and from a stored
// one, with head widths that leave columns past the last whole block of vectors.
TEST(DeltaNet, HalfPrecisionChunkEqualsItsTokensOneByOne) {
  uint32_t seed = 7;
  auto random = [&](size_t n, float scale) { return lcg_floats(seed, n, scale); };
  auto half = [&](tl::Shape s, float scale) {
    return tl::Tensor::from_f32(random(tl::shape_elem_count(s), scale), s).to_dtype(DType::F16);
  };
  for (size_t D : {36, 72}) {
    const size_t H = 128, N = 2, C = N * D, T = 6;  // H: enough work for several row blocks
    model::GatedDeltaNet g;
    auto lin = [&](size_t in, size_t out) {
      return model::Linear{half({out, in}, 0.5f), std::nullopt};
    };
    g.q_proj = lin(H, C), g.k_proj = lin(H, C), g.v_proj = lin(H, C), g.g_proj = lin(H, C);
    g.beta_proj = lin(H, N), g.alpha_proj = lin(H, N), g.o_proj = lin(C, H);
    g.g_norm = RmsNorm{half({D}, 1.0f), 1e-6};
    g.dt_bias = half({N}, 1.0f);
    g.A_log = half({N}, 1.0f);
    for (auto* c : {&g.conv_q, &g.conv_k, &g.conv_v})
      *c = model::ShortConv::from_tensors(half({C, 1, 3}, 0.5f), std::nullopt);
    g.num_heads = N;
    g.head_dim = D;
    std::vector<float> x = random(2 * T * H, 2.0f);
    tl::kernels::round_to_dtype(x.data(), x.size(), DType::F16);
    model::LayerCache chunked, single;
    model::DeltaNetScratch ws;
    std::vector<float> out_chunk(T * H), out_one(H);
    for (size_t pass = 0; pass < 2; ++pass) {  // from a zero state, then from the stored one
      SCOPED_TRACE("D=" + std::to_string(D) + " pass " + std::to_string(pass));
      const float* xs = x.data() + pass * T * H;
      g.forward(xs, T, chunked, ws, out_chunk.data());
      chunked.commit();
      for (size_t t = 0; t < T; ++t) {
        g.forward(xs + t * H, 1, single, ws, out_one.data());
        single.commit();
        for (size_t i = 0; i < H; ++i)
          ASSERT_EQ(tl::f32_bits(out_one[i]), tl::f32_bits(out_chunk[t * H + i])) << t << " " << i;
      }
      const auto a = chunked.state_vector(chunked.cur), b = single.state_vector(single.cur);
      ASSERT_EQ(a.size(), N * D * D);
      ASSERT_EQ(a.size(), b.size());
      for (size_t i = 0; i < a.size(); ++i) ASSERT_EQ(tl::f32_bits(a[i]), tl::f32_bits(b[i])) << i;
    }
  }
}

// One token through a mixture of experts: the down products and the weighted sum run together,
// cut in row blocks, and must give the bits of the experts run one by one (each a whole MLP) and
// summed in rank order with the shared expert last; at one and at several threads, with a hidden
// width that leaves a partial last block.
TEST(Moe, OneTokenEqualsExpertsRunOneByOne) {
  uint32_t seed = 11;
  auto random = [&](size_t n, float scale) { return lcg_floats(seed, n, scale); };
  const size_t H = 200, E = 6, k = 3, I = 128;
  const size_t saved = tl::parallel::num_threads();
  for (DType d : {DType::F32, DType::F16}) {
    auto weight = [&](size_t out, size_t in) {
      return tl::Tensor::from_f32(random(out * in, 0.3f), {out, in}).to_dtype(d);
    };
    auto mlp = [&](size_t inner) {
      model::Mlp m;
      m.gate_proj = model::Linear{weight(inner, H), std::nullopt};
      m.up_proj = model::Linear{weight(inner, H), std::nullopt};
      m.down_proj = model::Linear{weight(H, inner), std::nullopt};
      return m;
    };
    model::MoE moe;
    for (size_t e = 0; e < E; ++e) moe.experts.push_back(mlp(I));
    moe.shared_experts = mlp(I / 2);
    moe.gate = weight(E, H);
    moe.num_experts_per_tok = k;
    moe.n_routed_experts = E;
    moe.routed_scaling_factor = 0.75f;
    moe.norm_topk_prob = true;
    std::vector<float> x = random(H, 2.0f);
    tl::kernels::round_to_dtype(x.data(), H, d);

    // Expected: route, run each chosen expert and the shared one as a whole MLP, then sum.
    std::vector<float> probs(E), wts(k), y(H), want(H, 0.0f);
    std::vector<uint32_t> ids(k);
    tl::kernels::matmul_xwt(x.data(), 1, H, moe.gate.data<uint8_t>(), d, E, probs.data());
    model::softmax_row(probs.data(), E, E, DType::F32);
    model::topk_2d(probs.data(), 1, E, k, wts.data(), ids.data());
    const float sum = wts[0] + wts[1] + wts[2];
    model::MlpScratch ms;
    for (size_t j = 0; j < k; ++j) {
      moe.experts[ids[j]].forward(x.data(), 1, y.data(), ms);
      const float w = model::rnd(wts[j] / sum * 0.75f + 0.0f, d);
      for (size_t i = 0; i < H; ++i)
        want[i] = model::rnd(want[i] + model::rnd(y[i] * w, d), d);
    }
    moe.shared_experts->forward(x.data(), 1, y.data(), ms);
    for (size_t i = 0; i < H; ++i) want[i] = model::rnd(want[i] + y[i], d);

    for (size_t threads : {1, 4}) {
      SCOPED_TRACE(std::string(d == DType::F16 ? "F16" : "F32") + " threads " +
                   std::to_string(threads));
      tl::parallel::set_num_threads(threads);
      model::MoEScratch scratch;
      std::vector<float> got(H);
      moe.forward(x.data(), 1, got.data(), scratch);
      for (size_t i = 0; i < H; ++i) ASSERT_EQ(tl::f32_bits(got[i]), tl::f32_bits(want[i])) << i;
    }
  }
  tl::parallel::set_num_threads(saved);
}

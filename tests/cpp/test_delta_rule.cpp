#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "mixer_ref.h"
#include "model/gated_delta_net.h"
#include "tensor/error.h"

using mref::Vec;
using tl::DType;

namespace {

struct Shape {
  size_t H, N, D;
};

struct Opts {
  bool conv = true;
  size_t K = 4;
  bool conv_bias = false;
};

model::GatedDeltaNet make_gdn(mref::Rng& rng, Shape s, Opts o, DType d) {
  const size_t C = s.N * s.D;
  model::GatedDeltaNet g;
  g.q_proj = mref::make_linear(rng, s.H, C, d, 0.6);
  g.k_proj = mref::make_linear(rng, s.H, C, d, 0.6);
  g.v_proj = mref::make_linear(rng, s.H, C, d, 0.6);
  g.beta_proj = mref::make_linear(rng, s.H, s.N, d, 0.6);
  g.alpha_proj = mref::make_linear(rng, s.H, s.N, d, 0.6);
  g.g_proj = mref::make_linear(rng, s.H, C, d, 0.6);
  g.o_proj = mref::make_linear(rng, C, s.H, d, 0.4);
  g.g_norm.weight = mref::make_tensor(rng.vec(s.D, 0.5, 1.5), {s.D}, d);
  g.g_norm.eps = 1e-6;
  g.dt_bias = mref::make_tensor(rng.vec(s.N, -1, 1), {s.N}, d);
  g.A_log = mref::make_tensor(rng.vec(s.N, -1.5, 0.5), {s.N}, d);
  if (o.conv) {
    for (std::optional<model::ShortConv>* c : {&g.conv_q, &g.conv_k, &g.conv_v}) {
      std::optional<tl::Tensor> b;
      if (o.conv_bias) b = mref::make_tensor(rng.vec(C, -0.3, 0.3), {C}, d);
      *c = model::ShortConv::from_tensors(
          mref::make_tensor(rng.vec(C * o.K, -0.8, 0.8), {C, 1, o.K}, d), b);
    }
  }
  g.num_heads = s.N;
  g.head_dim = s.D;
  return g;
}

// The mixer's state between calls, in double: the recurrent state (N, D, D) and three tails.
struct RefState {
  Vec S, tail[3];
};

RefState zero_state(const model::GatedDeltaNet& g) {
  const size_t C = g.num_heads * g.head_dim, W = g.conv_q ? g.conv_q->kernel_size - 1 : 0;
  return {Vec(g.num_heads * g.head_dim * g.head_dim, 0.0), {Vec(C * W), Vec(C * W), Vec(C * W)}};
}

// One token of the recurrence for one head: decay, read with the key, correct towards the
// value, write, read with the query. S (D x D) in place.
void ref_step(const mref::Mode& m, size_t D, double* S, const double* q, const double* k,
              const double* v, double gam, double bet, double* o) {
  for (size_t i = 0; i < D * D; ++i) S[i] = m.r(S[i] * gam);
  Vec delta(D);
  for (size_t b = 0; b < D; ++b) {
    double r = 0;
    for (size_t a = 0; a < D; ++a) r += k[a] * S[a * D + b];
    delta[b] = m.r(m.r(v[b] - m.r(r)) * bet);
  }
  for (size_t a = 0; a < D; ++a)
    for (size_t b = 0; b < D; ++b) S[a * D + b] = m.r(S[a * D + b] + m.r(k[a] * delta[b]));
  for (size_t b = 0; b < D; ++b) {
    double acc = 0;
    for (size_t a = 0; a < D; ++a) acc += q[a] * S[a * D + b];
    o[b] = m.r(acc);
  }
}

// The mixer written step by step from its math.
Vec ref_gdn(const mref::Mode& m, const model::GatedDeltaNet& g, const Vec& x, size_t T,
            RefState& st) {
  const size_t N = g.num_heads, D = g.head_dim, C = N * D;
  Vec q = mref::linear(m, g.q_proj, x, T), k = mref::linear(m, g.k_proj, x, T),
      v = mref::linear(m, g.v_proj, x, T), gg = mref::linear(m, g.g_proj, x, T),
      beta = mref::linear(m, g.beta_proj, x, T), a = mref::linear(m, g.alpha_proj, x, T);
  for (double& b : beta) b = mref::sigmoid(m, b);
  if (g.conv_q) {
    const model::ShortConv* cs[3] = {&*g.conv_q, &*g.conv_k, &*g.conv_v};
    Vec* xs[3] = {&q, &k, &v};
    for (int i = 0; i < 3; ++i)
      *xs[i] = mref::conv(m, mref::values(cs[i]->weight),
                          cs[i]->bias ? mref::values(*cs[i]->bias) : Vec{}, C, cs[i]->kernel_size,
                          *xs[i], T, st.tail[i]);
  }
  for (Vec* p : {&q, &k, &v})
    for (double& e : *p) e = mref::silu(m, e);
  const Vec dtb = mref::values(g.dt_bias), alog = mref::values(g.A_log);
  Vec decay(T * N);
  for (size_t t = 0; t < T; ++t)
    for (size_t h = 0; h < N; ++h) {
      const double z = m.r(a[t * N + h] + dtb[h]);
      const double mx = std::max(z, 0.0);
      const double e = m.r(std::exp(-std::fabs(z)));
      const double sp = m.r(mx + m.r(std::log(m.r(e * 1 + 1))));
      const double A = m.r(std::exp(alog[h]));
      decay[t * N + h] = m.r(std::exp(m.r(-sp * A)));
    }
  mref::l2_norm(m, q, T * N, D);
  mref::l2_norm(m, k, T * N, D);
  const double s = m.r(1.0 / std::sqrt((double)D));
  for (double& e : q) e = m.r(m.r(e * s) + 0);

  Vec o(T * C);
  for (size_t t = 0; t < T; ++t)
    for (size_t h = 0; h < N; ++h)
      ref_step(m, D, st.S.data() + h * D * D, &q[t * C + h * D], &k[t * C + h * D],
               &v[t * C + h * D], decay[t * N + h], beta[t * N + h], &o[t * C + h * D]);
  mref::rms_norm(m, o, T * N, mref::values(g.g_norm.weight), g.g_norm.eps);
  for (size_t i = 0; i < o.size(); ++i) o[i] = m.r(o[i] * mref::silu(m, gg[i]));
  return mref::linear(m, g.o_proj, o, T);
}

std::vector<float> run(const model::GatedDeltaNet& g, const std::vector<float>& x, size_t T,
                       model::LayerCache& e, model::DeltaNetScratch& ws, bool commit = true) {
  std::vector<float> out(T * g.o_proj.out_dim());
  g.forward(x.data(), T, e, ws, out.data());
  if (commit) e.commit();
  return out;
}

double tol_for(DType d) { return d == DType::F16 ? 3e-3 : 1e-5; }

void expect_state(const model::GatedDeltaNet& g, const model::LayerCache& e, const RefState& st,
                  DType d) {
  ASSERT_TRUE(e.state_present[e.cur]);
  mref::expect_close(e.state_vector(e.cur), st.S, tol_for(d), "state");
  if (d == DType::F16) mref::expect_mostly_exact(e.state_vector(e.cur), st.S, 0.97, "state");
  if (g.conv_q) {
    ASSERT_TRUE(e.tails_present[e.cur]);
    mref::expect_close(e.tail_q[e.cur], st.tail[0], tol_for(d), "tail_q");
    mref::expect_close(e.tail_k[e.cur], st.tail[1], tol_for(d), "tail_k");
    mref::expect_close(e.tail_v[e.cur], st.tail[2], tol_for(d), "tail_v");
  } else {
    EXPECT_FALSE(e.tails_present[e.cur]);
  }
}

}  // namespace

// (dtype, convolutions, kernel size, conv bias)
class GdnRef : public ::testing::TestWithParam<std::tuple<DType, bool, size_t, bool>> {};

// A prompt and then single tokens, each call committed, against the reference fed the same way:
// outputs, the recurrent state and the three tails.
TEST_P(GdnRef, PromptThenTokensMatchReference) {
  const auto [d, conv, K, conv_bias] = GetParam();
  const mref::Mode m{d == DType::F16};
  // The last shape is large enough for the heads to be split over threads.
  for (Shape s : {Shape{12, 3, 7}, Shape{9, 2, 16}, Shape{8, 4, 64}}) {
    mref::Rng rng(s.D * 31 + K * 7 + conv * 3 + conv_bias);
    const model::GatedDeltaNet g = make_gdn(rng, s, {conv, K, conv_bias}, d);
    model::LayerCache e;
    model::DeltaNetScratch ws;
    RefState st = zero_state(g);
    for (size_t T : {5, 1, 1}) {
      const std::vector<float> x = mref::in_dtype(rng.vec(T * s.H), d);
      const std::vector<float> out = run(g, x, T, e, ws);
      const Vec want = ref_gdn(m, g, mref::to_vec(x.data(), x.size()), T, st);
      mref::expect_close(out, want, tol_for(d), "out");
      if (d == DType::F16) {
        // An f32 sum may flip the last bit of a value next to a rounding boundary, and flips
        // spread through the wide sums of the larger shape; with narrow heads most outputs
        // still match exactly, while a missing rounding step changes nearly all of them.
        if (s.D <= 16) mref::expect_mostly_exact(out, want, 0.9, "out");
        EXPECT_TRUE(mref::all_f16(out.data(), out.size()));
      }
      expect_state(g, e, st, d);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Switches, GdnRef,
                         ::testing::Values(std::make_tuple(DType::F32, false, 4, false),
                                           std::make_tuple(DType::F32, true, 4, false),
                                           std::make_tuple(DType::F32, true, 4, true),
                                           std::make_tuple(DType::F32, true, 1, false),
                                           std::make_tuple(DType::F32, true, 2, true),
                                           std::make_tuple(DType::F16, false, 4, false),
                                           std::make_tuple(DType::F16, true, 4, true),
                                           std::make_tuple(DType::F16, true, 1, true)));

// The same tokens in one call or one call each: same outputs and same final state and tails.
TEST(GatedDeltaNet, PromptInOneCallEqualsTokenByToken) {
  for (DType d : {DType::F32, DType::F16}) {
    for (bool conv : {false, true}) {
      const Shape s{10, 4, 64};  // the prompt splits its heads over threads, single tokens don't
      mref::Rng rng(7 + conv);
      const model::GatedDeltaNet g = make_gdn(rng, s, {conv, 3, true}, d);
      const size_t T = 6;
      const std::vector<float> x = mref::in_dtype(rng.vec(T * s.H), d);
      model::LayerCache a, b;
      model::DeltaNetScratch ws;
      const std::vector<float> whole = run(g, x, T, a, ws);
      for (size_t t = 0; t < T; ++t) {
        const std::vector<float> xt(x.begin() + t * s.H, x.begin() + (t + 1) * s.H);
        const std::vector<float> one = run(g, xt, 1, b, ws);
        mref::expect_close(one, Vec(whole.begin() + t * s.H, whole.begin() + (t + 1) * s.H),
                           tol_for(d), "token output");
      }
      const std::vector<float> sa = a.state_vector(a.cur);
      mref::expect_close(b.state_vector(b.cur), Vec(sa.begin(), sa.end()), tol_for(d), "state");
      if (conv)
        mref::expect_close(b.tail_v[b.cur], Vec(a.tail_v[a.cur].begin(), a.tail_v[a.cur].end()),
                           tol_for(d), "tail_v");
    }
  }
}

// A pending step never touches the committed buffers; rolling it back restores the exact state
// and the next call sees the committed state again.
TEST(GatedDeltaNet, RollbackKeepsCommittedState) {
  const DType d = DType::F32;
  const Shape s{8, 2, 8};
  mref::Rng rng(99);
  const model::GatedDeltaNet g = make_gdn(rng, s, {true, 4, false}, d);
  model::LayerCache e;
  model::DeltaNetScratch ws;
  run(g, mref::in_dtype(rng.vec(3 * s.H), d), 3, e, ws);
  const int cur = e.cur;
  const std::vector<float> S = e.state_vector(cur), tq = e.tail_q[cur], tv = e.tail_v[cur];

  const std::vector<float> x = rng.vec(2 * s.H);
  const std::vector<float> first = run(g, x, 2, e, ws, /*commit=*/false);
  EXPECT_TRUE(e.state_pending);
  EXPECT_EQ(e.cur, cur);
  EXPECT_EQ(e.state_vector(cur), S);
  EXPECT_EQ(e.tail_q[cur], tq);
  EXPECT_NE(e.state_vector(1 - cur), S);  // the step did write somewhere
  e.rollback();
  EXPECT_FALSE(e.state_pending);
  EXPECT_EQ(e.cur, cur);
  EXPECT_EQ(e.state_vector(cur), S);
  EXPECT_EQ(e.tail_v[cur], tv);

  // Re-running the same step from the committed state repeats it exactly, and only commit moves.
  const std::vector<float> again = run(g, x, 2, e, ws);
  EXPECT_EQ(first, again);
  EXPECT_NE(e.cur, cur);

  // A reset forgets everything: the next call starts from zeros again.
  model::LayerCache fresh;
  const std::vector<float> x1 = rng.vec(s.H);
  const std::vector<float> want = run(g, x1, 1, fresh, ws);
  e.reset();
  EXPECT_EQ(run(g, x1, 1, e, ws), want);
}

// The first token after a reset: S = k (x) (beta v) and o = beta (q . k) v, whatever the decay.
// Later tokens against the recurrence in double, in-place and out-of-place, on odd widths.
TEST(DeltaRuleStep, FirstTokenClosedFormAndReference) {
  for (size_t D : {1, 7, 33, 128}) {
    mref::Rng rng(D);
    std::vector<float> q = rng.vec(D), k = rng.vec(D), v = rng.vec(D), o(D), S(D * D),
                       scratch(3 * D);
    const float beta = 0.7f, decay = 0.37f;
    model::delta_rule_step(nullptr, S.data(), D, q.data(), k.data(), v.data(), decay, beta,
                           DType::F32, o.data(), scratch.data());
    double qk = 0;
    for (size_t a = 0; a < D; ++a) qk += (double)q[a] * k[a];
    Vec wantS(D * D), wantO(D);
    for (size_t a = 0; a < D; ++a)
      for (size_t b = 0; b < D; ++b) wantS[a * D + b] = (double)k[a] * beta * v[b];
    for (size_t b = 0; b < D; ++b) wantO[b] = beta * qk * v[b];
    mref::expect_close(S, wantS, 1e-6, "first state");
    mref::expect_close(o, wantO, 1e-5, "first output");

    for (DType d : {DType::F32, DType::F16}) {
      const mref::Mode m{d == DType::F16};
      std::vector<float> S0 = mref::in_dtype(rng.vec(D * D), d);
      const std::vector<float> q2 = mref::in_dtype(rng.vec(D), d),
                               k2 = mref::in_dtype(rng.vec(D), d),
                               v2 = mref::in_dtype(rng.vec(D), d);
      const float g2 = tl::round_f16(0.9f), b2 = tl::round_f16(0.3f);
      Vec rS(S0.begin(), S0.end()), rO(D);
      const Vec q2d(q2.begin(), q2.end()), k2d(k2.begin(), k2.end()), v2d(v2.begin(), v2.end());
      ref_step(m, D, rS.data(), q2d.data(), k2d.data(), v2d.data(), g2, b2, rO.data());
      std::vector<float> out1(D), out2(D), S1(D * D);
      model::delta_rule_step(S0.data(), S1.data(), D, q2.data(), k2.data(), v2.data(), g2, b2, d,
                             out1.data(), scratch.data());
      const double tol = d == DType::F16 ? 4e-3 : 1e-5;
      mref::expect_close(S1, rS, tol, "state");
      mref::expect_close(out1, rO, tol, "output");
      if (d == DType::F16) {
        mref::expect_mostly_exact(S1, rS, 0.99, "state");
        mref::expect_mostly_exact(out1, rO, 0.9, "output");
      }
      model::delta_rule_step(S0.data(), S0.data(), D, q2.data(), k2.data(), v2.data(), g2, b2, d,
                             out2.data(), scratch.data());
      EXPECT_EQ(S0, S1) << "in place, D " << D;
      EXPECT_EQ(out1, out2) << "in place, D " << D;
    }
  }
}

// softplus is max(z, 0) + log(1 + exp(-|z|)): z for large z, 0 for very negative z, never an
// overflow; the decay exp(-softplus * A) then goes to 0 and to exactly 1.
TEST(GatedDeltaNet, SoftplusAndDecayExtremes) {
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
    for (float z : {-3.0f, -0.5f, 0.0f, 0.25f, 2.0f, 8.0f}) {
      const double want = std::log1p(std::exp((double)z));
      EXPECT_NEAR(model::softplus_d(z, d), want, (d == DType::F16 ? 2e-3 : 1e-6) * (1 + want));
    }
  }
  // In F16 each step of softplus and of the decay rounds: compare with the emulation over a grid.
  const mref::Mode m{true};
  std::vector<float> sp, dec;
  Vec want_sp, want_dec;
  const double A = m.r(std::exp(0.3));
  for (double z = -12; z <= 12; z += 1.0 / 64) {
    const double zr = m.r(z);
    const double e = m.r(std::exp(-std::fabs(zr)));
    const double s = m.r(std::max(zr, 0.0) + m.r(std::log(m.r(e + 1))));
    want_sp.push_back(s);
    want_dec.push_back(m.r(std::exp(m.r(-s * A))));
    sp.push_back(model::softplus_d((float)zr, DType::F16));
    dec.push_back(model::gdn_decay((float)zr, 0.0f, (float)A, DType::F16));
  }
  mref::expect_close(sp, want_sp, 1e-3, "softplus");
  mref::expect_mostly_exact(sp, want_sp, 0.99, "softplus");
  mref::expect_mostly_exact(dec, want_dec, 0.99, "decay");
  // In F16, z = 11 gives log(1 + exp(-11)) = log(1) = 0 after rounding 1 + 1.67e-5 to 1.
  EXPECT_EQ(model::softplus_d(11.0f, DType::F16), 11.0f);
}

// Through the whole mixer: a huge dt_bias makes every decay 0, so the state keeps only the newest
// token; a very negative one makes it exactly 1. Both stay finite and match the reference.
TEST(GatedDeltaNet, DecayExtremesThroughTheMixer) {
  const Shape s{6, 2, 4};
  for (float bias : {1e4f, -1e4f}) {
    mref::Rng rng(5);
    model::GatedDeltaNet g = make_gdn(rng, s, {false, 4, false}, DType::F32);
    g.dt_bias = mref::make_tensor({bias, bias}, {2}, DType::F32);
    model::LayerCache e, one;
    model::DeltaNetScratch ws;
    const std::vector<float> x = rng.vec(2 * s.H);
    const std::vector<float> out = run(g, x, 2, e, ws);
    RefState st = zero_state(g);
    mref::expect_close(out, ref_gdn({}, g, mref::to_vec(x.data(), x.size()), 2, st), 1e-5, "out");
    expect_state(g, e, st, DType::F32);
    for (float v : e.state_vector(e.cur)) ASSERT_TRUE(std::isfinite(v));
    run(g, std::vector<float>(x.begin() + s.H, x.end()), 1, one, ws);
    if (bias > 0)
      EXPECT_EQ(e.state_vector(e.cur), one.state_vector(one.cur));
    else
      EXPECT_NE(e.state_vector(e.cur), one.state_vector(one.cur));
  }
}

// A BF16 mixer fails at its first projection with the matrix-product text, before any state is
// written.
TEST(GatedDeltaNet, Bf16FailsAtFirstProductWithoutTouchingTheCache) {
  mref::Rng rng(3);
  const model::GatedDeltaNet g = make_gdn(rng, {4, 2, 2}, {true, 4, false}, DType::BF16);
  model::LayerCache e;
  model::DeltaNetScratch ws;
  std::vector<float> x(4, 0.5f), out(4);
  try {
    g.forward(x.data(), 1, e, ws, out.data());
    ADD_FAILURE() << "no error";
  } catch (const tl::Error& err) {
    EXPECT_STREQ(err.what(), "unsupported dtype BF16 for op matmul");
  }
  EXPECT_FALSE(e.state_pending);
  EXPECT_FALSE(e.state_present[0] || e.state_present[1]);
  EXPECT_FALSE(e.tails_present[0] || e.tails_present[1]);
}

// Loading fetches every tensor in a fixed order: removing any one tensor from an otherwise
// complete file names exactly that tensor. Convolution tensors are read only with
// use_short_conv (and their biases only with conv_bias); stray ones in the file are ignored.
TEST(GatedDeltaNet, LoadFetchOrderAndSwitches) {
  const size_t H = 5, N = 2, D = 3, C = N * D, K = 3;
  for (auto [conv, bias] : {std::pair{false, false}, {true, false}, {true, true}}) {
    model::Config cfg;
    cfg.hidden_size = H;
    cfg.num_attention_heads = N;
    cfg.head_dim = D;
    cfg.use_short_conv = conv;
    cfg.conv_kernel_size = K;
    cfg.conv_bias = bias;
    cfg.norm_eps = 1e-5;
    const std::string p = "layers.3.attn.";
    std::vector<std::pair<std::string, tl::Shape>> wanted, stray;
    for (const char* c : {"conv_q", "conv_k", "conv_v"}) {
      auto& to = conv ? wanted : stray;
      to.push_back({p + c + ".conv.weight", {C, 1, K}});
      (bias ? wanted : stray).push_back({p + c + ".conv.bias", {C}});
    }
    for (const char* n : {"q_proj", "k_proj", "v_proj"})
      wanted.push_back({p + n + ".weight", {C, H}});
    wanted.push_back({p + "beta_proj.weight", {N, H}});
    wanted.push_back({p + "alpha_proj.weight", {N, H}});
    wanted.push_back({p + "g_proj.weight", {C, H}});
    wanted.push_back({p + "o_proj.weight", {H, C}});
    wanted.push_back({p + "g_norm.weight", {D}});
    wanted.push_back({p + "dt_bias", {N}});
    wanted.push_back({p + "A_log", {N}});
    mref::Rng rng(conv + 2 * bias);
    const std::vector<mref::NamedTensor> ts = mref::random_tensors(rng, wanted);
    std::vector<mref::NamedTensor> all = ts;
    for (const auto& t : mref::random_tensors(rng, stray)) all.push_back(t);

    auto open = [&](const std::vector<mref::NamedTensor>& file) {
      return tl::VarBuilder::from_mmaped_safetensors(
                 mref::write_safetensors("gdn.safetensors", file), DType::F16)
          .pp("layers.3")
          .pp("attn");
    };
    const model::GatedDeltaNet g = model::GatedDeltaNet::load(cfg, open(all));
    EXPECT_EQ(g.num_heads, N);
    EXPECT_EQ(g.head_dim, D);
    EXPECT_EQ(g.g_norm.eps, 1e-5);
    EXPECT_EQ(g.conv_q.has_value(), conv);
    EXPECT_EQ(g.conv_v.has_value(), conv);
    if (conv) {
      EXPECT_EQ(g.conv_k->bias.has_value(), bias);
      EXPECT_EQ(g.conv_k->kernel_size, K);
    }
    EXPECT_EQ(g.q_proj.weight.dtype(), DType::F16);
    EXPECT_EQ(g.o_proj.weight.shape(), (tl::Shape{H, C}));
    const size_t iq = conv ? (bias ? 6 : 3) : 0;  // q_proj's place in the fetch order
    EXPECT_EQ(g.q_proj.weight.to_f32_vec(), mref::in_dtype(ts[iq].data, DType::F16));
    EXPECT_EQ(g.A_log.to_f32_vec(), mref::in_dtype(ts.back().data, DType::F16));

    for (size_t i = 0; i < ts.size(); ++i) {
      std::vector<mref::NamedTensor> missing = ts;
      missing.erase(missing.begin() + i);
      try {
        model::GatedDeltaNet::load(cfg, open(missing));
        ADD_FAILURE() << "loaded without " << ts[i].name;
      } catch (const tl::Error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot find tensor " + ts[i].name);
      }
    }
  }
}

// Degenerate sizes (no heads, or heads of width 0, without convolutions) load as empty tensors;
// a forward pass then has nothing to mix and returns zeros instead of touching memory it lacks.
TEST(GatedDeltaNet, EmptyHeadsGiveZeros) {
  for (Shape s : {Shape{4, 0, 5}, Shape{4, 3, 0}}) {
    mref::Rng rng(1);
    const model::GatedDeltaNet g = make_gdn(rng, s, {false, 4, false}, DType::F32);
    model::LayerCache e;
    model::DeltaNetScratch ws;
    const std::vector<float> out = run(g, rng.vec(2 * s.H), 2, e, ws);
    EXPECT_EQ(out, std::vector<float>(2 * s.H, 0.0f));
    EXPECT_TRUE(e.state_present[e.cur]);
    EXPECT_TRUE(e.state_vector(e.cur).empty());
  }
}

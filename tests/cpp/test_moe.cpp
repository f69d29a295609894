#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "mixer_ref.h"
#include "model/moe.h"
#include "tensor/error.h"

using mref::Vec;
using tl::DType;

namespace {

model::Mlp make_mlp(mref::Rng& rng, size_t H, size_t I, DType d) {
  model::Mlp m;
  m.gate_proj = mref::make_linear(rng, H, I, d, 0.7);
  m.up_proj = mref::make_linear(rng, H, I, d, 0.7);
  m.down_proj = mref::make_linear(rng, I, H, d, 0.7);
  return m;
}

struct MoeOpts {
  size_t E = 5, k = 2;
  bool norm = false;
  float scale = 1.0f;
  bool shared = false;
};

constexpr size_t kH = 6, kIe = 4;

model::MoE make_moe(mref::Rng& rng, MoeOpts o, DType d, size_t H = kH) {
  model::MoE m;
  for (size_t e = 0; e < o.E; ++e) m.experts.push_back(make_mlp(rng, H, kIe, d));
  if (o.shared) m.shared_experts = make_mlp(rng, H, 2 * kIe, d);
  m.gate = mref::make_tensor(rng.vec(o.E * H, -1.5, 1.5), {o.E, H}, d);
  m.num_experts_per_tok = o.k;
  m.n_routed_experts = o.E;
  m.routed_scaling_factor = o.scale;
  m.norm_topk_prob = o.norm;
  return m;
}

// Experts `ids` mixed with weights `w` in that order, each product and partial sum rounded,
// then the shared expert (if any) added unweighted. One token row x.
Vec ref_mix(const mref::Mode& m, const model::MoE& moe, const Vec& x,
            const std::vector<size_t>& ids, const Vec& w) {
  Vec acc(x.size(), 0.0);
  for (size_t j = 0; j < ids.size(); ++j) {
    const Vec y = mref::mlp(m, moe.experts[ids[j]], x, 1);
    const double wd = m.r(w[j]);
    for (size_t i = 0; i < acc.size(); ++i) acc[i] = m.r(acc[i] + m.r(y[i] * wd));
  }
  if (moe.shared_experts) {
    const Vec s = mref::mlp(m, *moe.shared_experts, x, 1);
    for (size_t i = 0; i < acc.size(); ++i) acc[i] = m.r(acc[i] + s[i]);
  }
  return acc;
}

// The block from its math: exact router and softmax, stable sort by descending probability,
// renormalisation for k >= 2 when asked, scaling always, then the mix.
Vec ref_moe(const mref::Mode& m, const model::MoE& moe, const Vec& x, size_t n) {
  const size_t E = moe.experts.size(), H = x.size() / n, k = moe.num_experts_per_tok;
  const Vec g = mref::values(moe.gate);
  Vec out;
  for (size_t t = 0; t < n; ++t) {
    const Vec xt(x.begin() + t * H, x.begin() + (t + 1) * H);
    Vec p(E);
    for (size_t e = 0; e < E; ++e)
      for (size_t i = 0; i < H; ++i) p[e] += xt[i] * g[e * H + i];
    const double mx = *std::max_element(p.begin(), p.end());
    double sum = 0;
    for (double& v : p) sum += (v = std::exp(v - mx));
    for (double& v : p) v /= sum;
    std::vector<size_t> order(E);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return p[a] > p[b]; });
    order.resize(k);
    Vec w(k);
    double ws = 0;
    for (size_t j = 0; j < k; ++j) ws += (w[j] = p[order[j]]);
    for (double& v : w) v = (k >= 2 && moe.norm_topk_prob ? v / ws : v) * moe.routed_scaling_factor;
    const Vec r = ref_mix(m, moe, xt, order, w);
    out.insert(out.end(), r.begin(), r.end());
  }
  return out;
}

std::vector<float> run(const model::MoE& moe, const std::vector<float>& x, size_t n) {
  model::MoEScratch ws;
  std::vector<float> out(x.size());
  moe.forward(x.data(), n, out.data(), ws);
  return out;
}

template <class F>
std::string error_text(F f) {
  try {
    f();
  } catch (const tl::InternalFailure& e) {
    return std::string("internal: ") + e.what();
  } catch (const tl::Error& e) {
    return e.what();
  } catch (const std::exception& e) {
    return std::string("other: ") + e.what();
  }
  return "no error";
}

}  // namespace

// (dtype, k, norm_topk_prob, routed_scaling_factor, shared expert)
class MoeRef : public ::testing::TestWithParam<std::tuple<DType, size_t, bool, float, bool>> {};

TEST_P(MoeRef, MatchesReference) {
  const auto [d, k, norm, scale, shared] = GetParam();
  const mref::Mode m{d == DType::F16};
  mref::Rng rng(k * 8 + norm * 4 + shared * 2 + (scale != 1.0f));
  const model::MoE moe = make_moe(rng, {5, k, norm, scale, shared}, d);
  const size_t n = 4;
  const std::vector<float> x = mref::in_dtype(rng.vec(n * kH), d);
  const std::vector<float> out = run(moe, x, n);
  const Vec want = ref_moe(m, moe, mref::to_vec(x.data(), x.size()), n);
  mref::expect_close(out, want, d == DType::F16 ? 2e-3 : 1e-5, "out");
  if (d == DType::F16) {
    mref::expect_mostly_exact(out, want, 0.9, "out");
    EXPECT_TRUE(mref::all_f16(out.data(), out.size()));
  }
}

INSTANTIATE_TEST_SUITE_P(Switches, MoeRef,
                         ::testing::Combine(::testing::Values(DType::F32, DType::F16),
                                            ::testing::Values(1, 2, 5), ::testing::Bool(),
                                            ::testing::Values(1.0f, 2.5f), ::testing::Bool()));

// Selection: descending probability, equal probabilities in ascending id (also at the cut), an
// all-NaN row in id order; weights are the chosen probabilities unchanged.
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

// Equal router logits choose experts 0 .. k-1, each weighted 1/E (times the scaling factor).
TEST(MoE, EqualLogitsChooseLowestIds) {
  for (DType d : {DType::F32, DType::F16}) {
    const mref::Mode m{d == DType::F16};
    mref::Rng rng(11);
    model::MoE moe = make_moe(rng, {6, 3, false, 2.0f, false}, d);
    moe.gate = tl::Tensor::zeros({6, kH}, d);
    const std::vector<float> x = mref::in_dtype(rng.vec(2 * kH), d);
    const std::vector<float> out = run(moe, x, 2);
    const Vec w(3, 2.0 / 6.0);
    for (size_t t = 0; t < 2; ++t)
      mref::expect_close(out.data() + t * kH,
                         ref_mix(m, moe, mref::to_vec(x.data() + t * kH, kH), {0, 1, 2}, w),
                         d == DType::F16 ? 2e-3 : 1e-5, "out");
  }
}

// k = 0: no routed contribution; the result is the shared expert's output, or zeros.
TEST(MoE, ZeroExpertsPerToken) {
  for (bool shared : {false, true}) {
    mref::Rng rng(12);
    const model::MoE moe = make_moe(rng, {4, 0, true, 3.0f, shared}, DType::F32);
    const std::vector<float> x = rng.vec(3 * kH);
    const std::vector<float> out = run(moe, x, 3);
    const Vec want = shared
                         ? mref::mlp({}, *moe.shared_experts, mref::to_vec(x.data(), x.size()), 3)
                         : Vec(3 * kH, 0.0);
    mref::expect_close(out, want, 1e-5, "out");
  }
}

// A token with a NaN input gets a NaN row; the other tokens of the call are unaffected.
TEST(MoE, NaNRowStaysInItsRow) {
  mref::Rng rng(13);
  const model::MoE moe = make_moe(rng, {4, 2, true, 1.0f, true}, DType::F32);
  std::vector<float> x = rng.vec(3 * kH);
  x[kH + 2] = NAN;  // token 1
  const std::vector<float> out = run(moe, x, 3);
  for (size_t i = 0; i < kH; ++i) EXPECT_TRUE(std::isnan(out[kH + i])) << i;
  for (size_t t : {0, 2}) {
    const std::vector<float> xt(x.begin() + t * kH, x.begin() + (t + 1) * kH);
    mref::expect_close(out.data() + t * kH, ref_moe({}, moe, mref::to_vec(xt.data(), kH), 1), 1e-5,
                       "row");
  }
}

// A prompt routed in one call (tokens grouped by expert) equals routing each token alone, also
// when the prompt is longer than one routing chunk.
TEST(MoE, PromptEqualsTokenByToken) {
  for (DType d : {DType::F32, DType::F16}) {
    mref::Rng rng(14);
    const model::MoE moe = make_moe(rng, {4, 2, true, 1.5f, true}, d);
    const size_t n = 9;
    const std::vector<float> x = mref::in_dtype(rng.vec(n * kH), d);
    const std::vector<float> all = run(moe, x, n);
    for (size_t t = 0; t < n; ++t) {
      const std::vector<float> one =
          run(moe, std::vector<float>(x.begin() + t * kH, x.begin() + (t + 1) * kH), 1);
      mref::expect_close(one, Vec(all.begin() + t * kH, all.begin() + (t + 1) * kH),
                         d == DType::F16 ? 2e-3 : 1e-5, "token");
    }
  }
  // 16M floats of expert outputs per chunk: H = 4096 and k = 8 give chunks of 512 tokens.
  const size_t H = 4096, n = 600;
  mref::Rng rng(15);
  const model::MoE moe = make_moe(rng, {8, 8, false, 1.0f, false}, DType::F32, H);
  const std::vector<float> x = rng.vec(n * H);
  const std::vector<float> all = run(moe, x, n);
  const std::vector<float> a = run(moe, std::vector<float>(x.begin(), x.begin() + 300 * H), 300);
  const std::vector<float> b = run(moe, std::vector<float>(x.begin() + 300 * H, x.end()), 300);
  mref::expect_close(all.data(), Vec(a.begin(), a.end()), 1e-5, "first half");
  mref::expect_close(all.data() + 300 * H, Vec(b.begin(), b.end()), 1e-5, "second half");
}

// Failures: more experts per token than experts is an internal failure raised before any expert
// runs (so even a BF16 block reports it rather than its matrix-product error); a BF16 block
// otherwise fails at its first expert; a block without experts fails in the softmax.
TEST(MoE, Failures) {
  mref::Rng rng(16);
  const std::vector<float> x = rng.vec(2 * kH);
  for (DType d : {DType::F32, DType::BF16}) {
    const model::MoE moe = make_moe(rng, {3, 4, false, 1.0f, true}, d);
    EXPECT_EQ(error_text([&] { run(moe, x, 2); }),
              "internal: index out of bounds: the len is 3 but the index is 3");
  }
  // BF16 experts fail at their first product, whether the experts run one after another or
  // (few rows, many experts) side by side on several threads.
  for (MoeOpts o : {MoeOpts{3, 2}, MoeOpts{8, 8}}) {
    const model::MoE bf = make_moe(rng, o, DType::BF16);
    EXPECT_EQ(error_text([&] { run(bf, x, 2); }), "unsupported dtype BF16 for op matmul");
  }
  const model::MoE none = make_moe(rng, {0, 0, false, 1.0f, true}, DType::F32);
  EXPECT_EQ(error_text([&] { run(none, x, 2); }), "empty tensor for reduce");
  std::vector<float> w(1);
  std::vector<uint32_t> ids(1);
  EXPECT_EQ(error_text([&] { model::topk_2d(x.data(), 1, 5, 6, w.data(), ids.data()); }),
            "internal: index out of bounds: the len is 5 but the index is 5");
}

// Loading: experts 0 .. E-1 (gate, up, down, each weight then bias), the shared expert of width
// S * Ie, then the router "gate.weight"; removing any one tensor names exactly that one.
TEST(MoE, LoadFetchOrder) {
  const size_t H = 4, E = 3, Ie = 2;
  for (auto [bias, shared] :
       {std::pair<bool, std::optional<uint64_t>>{false, std::nullopt}, {true, 2}, {false, 0}}) {
    model::Config cfg;
    cfg.hidden_size = H;
    cfg.mlp_bias = bias;
    cfg.moe_config = model::MoeConfig{Ie, E, shared, 2, 2.5f, true, std::nullopt};
    const std::string p = "layers.1.mlp.";
    std::vector<std::pair<std::string, tl::Shape>> wanted;
    auto mlp = [&](const std::string& pre, size_t I) {
      for (auto [n, s] : {std::pair<const char*, tl::Shape>{"gate_proj", {I, H}},
                          {"up_proj", {I, H}},
                          {"down_proj", {H, I}}}) {
        wanted.push_back({pre + n + ".weight", s});
        if (bias) wanted.push_back({pre + n + ".bias", {s[0]}});
      }
    };
    for (size_t j = 0; j < E; ++j) mlp(p + "experts." + std::to_string(j) + ".", Ie);
    if (shared) mlp(p + "shared_experts.", *shared * Ie);
    wanted.push_back({p + "gate.weight", {E, H}});
    mref::Rng rng(bias);
    const std::vector<mref::NamedTensor> ts = mref::random_tensors(rng, wanted);
    auto open = [&](const std::vector<mref::NamedTensor>& file) {
      return tl::VarBuilder::from_mmaped_safetensors(
                 mref::write_safetensors("moe.safetensors", file), DType::F32)
          .pp("layers.1")
          .pp("mlp");
    };
    const model::MoE m = model::MoE::load(cfg, open(ts));
    EXPECT_EQ(m.experts.size(), E);
    EXPECT_EQ(m.shared_experts.has_value(), shared.has_value());
    if (shared) {
      EXPECT_EQ(m.shared_experts->inner(), *shared * Ie);
    }
    EXPECT_EQ(m.experts[2].down_proj.bias.has_value(), bias);
    EXPECT_EQ(m.num_experts_per_tok, 2u);
    EXPECT_EQ(m.n_routed_experts, E);
    EXPECT_EQ(m.routed_scaling_factor, 2.5f);
    EXPECT_TRUE(m.norm_topk_prob);
    EXPECT_EQ(m.gate.to_f32_vec(), ts.back().data);
    for (size_t i = 0; i < ts.size(); ++i) {
      std::vector<mref::NamedTensor> missing = ts;
      missing.erase(missing.begin() + i);
      try {
        model::MoE::load(cfg, open(missing));
        ADD_FAILURE() << "loaded without " << ts[i].name;
      } catch (const tl::Error& e) {
        EXPECT_EQ(std::string(e.what()), "cannot find tensor " + ts[i].name);
      }
    }
  }
}

// A block configured with more experts per token than experts still loads; only its forward
// pass fails.
TEST(MoE, LoadAcceptsTooManyExpertsPerToken) {
  const size_t H = 3, E = 2, Ie = 2;
  model::Config cfg;
  cfg.hidden_size = H;
  cfg.moe_config = model::MoeConfig{Ie, E, std::nullopt, 5, 1.0f, false, std::nullopt};
  std::vector<std::pair<std::string, tl::Shape>> wanted;
  for (size_t j = 0; j < E; ++j)
    for (auto [n, s] : {std::pair<const char*, tl::Shape>{"gate_proj", {Ie, H}},
                        {"up_proj", {Ie, H}},
                        {"down_proj", {H, Ie}}})
      wanted.push_back({"experts." + std::to_string(j) + "." + n + ".weight", s});
  wanted.push_back({"gate.weight", {E, H}});
  mref::Rng rng(1);
  const model::MoE m = model::MoE::load(
      cfg, tl::VarBuilder::from_mmaped_safetensors(
               mref::write_safetensors("moe_k.safetensors", mref::random_tensors(rng, wanted)),
               DType::F32));
  const std::vector<float> x = rng.vec(H);
  EXPECT_EQ(error_text([&] { run(m, x, 1); }),
            "internal: index out of bounds: the len is 2 but the index is 2");
}

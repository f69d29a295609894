// Softmax attention against a plain reference of its step table, in F32 and F16, over every
// switch (gate, q/k norms, biases, rotary width, grouped-query ratio), across prompt, decode and
// chunk calls; plus its cache behaviour and error texts.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <tuple>

#include "model/attention.h"
#include "model_ref.h"
#include "tensor/kernels.h"

using model::Attention;
using model::LayerCache;
using model::Linear;
using model::RmsNorm;
using testref::Emu;
using testref::Rng;
using tl::DType;

namespace {

struct Dims {
  DType d = DType::F32;
  size_t H = 12, Hq = 4, Hkv = 2, D = 6, R = 6;
  bool gated = false, qk_norm = true, qkv_bias = false, out_bias = false;
};

Linear make_linear(Rng& rng, size_t in, size_t out, bool bias, DType d) {
  Linear l;
  l.weight = testref::tensor(rng.vec(out * in, 0.6f), {out, in}, d);
  if (bias) l.bias = testref::tensor(rng.vec(out, 0.5f), {out}, d);
  return l;
}

Attention make_attention(const Dims& s, uint64_t seed) {
  Rng rng(seed);
  Attention a;
  a.q_proj = make_linear(rng, s.H, s.Hq * s.D * (s.gated ? 2 : 1), s.qkv_bias, s.d);
  a.k_proj = make_linear(rng, s.H, s.Hkv * s.D, s.qkv_bias, s.d);
  a.v_proj = make_linear(rng, s.H, s.Hkv * s.D, s.qkv_bias, s.d);
  a.o_proj = make_linear(rng, s.Hq * s.D, s.H, s.out_bias, s.d);
  if (s.qk_norm) {
    a.q_norm = RmsNorm{testref::tensor(rng.vec(s.D, 1.5f), {s.D}, s.d), 1e-6};
    a.k_norm = RmsNorm{testref::tensor(rng.vec(s.D, 1.5f), {s.D}, s.d), 1e-6};
  }
  a.num_heads = s.Hq;
  a.num_kv_heads = s.Hkv;
  a.head_dim = s.D;
  a.rotary_dim = s.R;
  a.gated = s.gated;
  return a;
}

std::vector<double> linear(const Emu& e, const std::vector<double>& x, size_t T, const Linear& l) {
  std::vector<double> b;
  if (l.bias) b = testref::values(*l.bias);
  return e.linear(x, T, testref::values(l.weight), l.out_dim(), l.bias ? &b : nullptr);
}

// The layer's step table written out literally: projections, gate split, norms, rotary, append,
// repeat kv heads, scores, scale, mask, softmax, p x v, gate, o_proj.
struct RefAttention {
  RefAttention(const Attention& layer, Emu emu) : a(layer), e(emu) {}
  const Attention& a;
  Emu e;
  std::vector<double> keys, vals;  // [pos][kv_head][D], as stored
  size_t len = 0;

  std::vector<double> step(const std::vector<float>& xf, size_t S, const std::vector<float>& cos,
                           const std::vector<float>& sin, size_t offset) {
    const size_t Hq = a.num_heads, Hkv = a.num_kv_heads, D = a.head_dim, R = a.rotary_dim;
    const std::vector<double> x(xf.begin(), xf.end());
    std::vector<double> qp = linear(e, x, S, a.q_proj);
    std::vector<double> k = linear(e, x, S, a.k_proj), v = linear(e, x, S, a.v_proj);
    std::vector<double> q(S * Hq * D), gate(S * Hq * D);
    const size_t qw = a.gated ? 2 * D : D;
    for (size_t r = 0; r < S * Hq; ++r)
      for (size_t c = 0; c < D; ++c) {
        q[r * D + c] = qp[r * qw + c];
        if (a.gated) gate[r * D + c] = qp[r * qw + D + c];
      }
    if (a.q_norm) e.rms_norm(q, S * Hq, D, testref::values(a.q_norm->weight), a.q_norm->eps);
    if (a.k_norm) e.rms_norm(k, S * Hkv, D, testref::values(a.k_norm->weight), a.k_norm->eps);
    auto rotate = [&](double* h, size_t i) {
      std::vector<double> old(h, h + R);
      for (size_t c = 0; c < R; ++c) {
        const double rot = c < R / 2 ? -old[c + R / 2] : old[c - R / 2];
        h[c] = e.r(e.r(old[c] * cos[i * R + c]) + e.r(rot * sin[i * R + c]));
      }
    };
    for (size_t i = 0; i < S; ++i) {
      for (size_t h = 0; h < Hq; ++h) rotate(&q[(i * Hq + h) * D], i);
      for (size_t h = 0; h < Hkv; ++h) rotate(&k[(i * Hkv + h) * D], i);
    }
    keys.insert(keys.end(), k.begin(), k.end());
    vals.insert(vals.end(), v.begin(), v.end());
    len += S;
    const size_t T = len, n_rep = Hq / Hkv;
    const double scale = e.cst(1.0 / std::sqrt(static_cast<double>(D)));
    std::vector<double> o(S * Hq * D);
    for (size_t i = 0; i < S; ++i)
      for (size_t h = 0; h < Hq; ++h) {
        const size_t g = h / n_rep;
        std::vector<double> sc(T);
        for (size_t j = 0; j < T; ++j) {
          double dot = 0;
          for (size_t c = 0; c < D; ++c)
            dot += q[(i * Hq + h) * D + c] * keys[(j * Hkv + g) * D + c];
          sc[j] = e.r(e.r(dot) * scale);
          if (S >= 2 && j > offset + i) sc[j] = -std::numeric_limits<double>::infinity();
        }
        double m = sc[0];
        for (double s : sc) m = std::max(m, s);
        double sum = 0;
        for (double& s : sc) {
          s = e.exp(e.r(s - m));
          sum += s;
        }
        sum = e.r(sum);
        for (double& s : sc) s = e.r(s / sum);
        for (size_t c = 0; c < D; ++c) {
          double acc = 0;
          for (size_t j = 0; j < T; ++j) acc += sc[j] * vals[(j * Hkv + g) * D + c];
          o[(i * Hq + h) * D + c] = e.r(acc);
        }
      }
    if (a.gated)
      for (size_t i = 0; i < o.size(); ++i) o[i] = e.r(o[i] * e.sigmoid(gate[i]));
    return linear(e, o, S, a.o_proj);
  }
};

std::vector<float> cache_values(const LayerCache& c, bool keys) {
  const model::Block& b = keys ? c.keys : c.values;
  const size_t n = c.kv_pending * c.kv_heads * c.kv_head_dim;
  std::vector<float> out(n);
  tl::kernels::load_as_f32(b.bytes(), c.kv_dtype, out.data(), n);
  return out;
}

// The first `rows` stored rows of keys or values, as bytes.
std::vector<uint8_t> cache_bytes(const LayerCache& c, bool keys, size_t rows) {
  const model::Block& b = keys ? c.keys : c.values;
  const size_t n = rows * c.kv_heads * c.kv_head_dim * tl::dtype_size(c.kv_dtype);
  return std::vector<uint8_t>(b.bytes(), b.bytes() + n);
}

struct Rotary {
  std::vector<float> inv;
  size_t R;
  explicit Rotary(size_t r) : R(r) {
    for (size_t j = 0; j < R / 2; ++j)
      inv.push_back(1.0f / powf(10000.0f, static_cast<float>(2 * j) / static_cast<float>(R)));
  }
  void tables(size_t offset, size_t S, DType d, std::vector<float>& c,
              std::vector<float>& s) const {
    c.assign(S * R, 0.0f);
    s.assign(S * R, 0.0f);
    model::rotary_tables(inv.data(), R, static_cast<uint32_t>(offset), S, d, c.data(), s.data());
  }
};

// Feeds the chunks (sizes) in order, committing after each, and compares each output and the
// final cache with the reference.
void run_and_compare(const Dims& s, const std::vector<size_t>& chunks, uint64_t seed,
                     const std::string& what) {
  Attention a = make_attention(s, seed);
  RefAttention ref(a, Emu{s.d});
  Rotary rot(s.R);
  LayerCache entry;
  model::AttentionScratch ws;
  Rng rng(seed + 1);
  size_t offset = 0;
  for (size_t S : chunks) {
    std::vector<float> x = testref::act(rng, S * s.H, 1.0f, s.d), cos, sin;
    rot.tables(offset, S, s.d, cos, sin);
    std::vector<float> out(S * s.H);
    a.forward(x.data(), S, cos.data(), sin.data(), offset, entry, ws, out.data());
    entry.commit();
    const std::vector<double> want = ref.step(x, S, cos, sin, offset);
    testref::expect_close(out, want, s.d, what + " chunk@" + std::to_string(offset), 2e-5);
    offset += S;
    ASSERT_EQ(entry.kv_len, offset);
  }
  testref::expect_close(cache_values(entry, true), ref.keys, s.d, what + " keys");
  testref::expect_close(cache_values(entry, false), ref.vals, s.d, what + " values");
}

using Switches = std::tuple<DType, std::pair<size_t, size_t>, bool, bool, bool, size_t>;
class AttentionSwitches : public ::testing::TestWithParam<Switches> {};

TEST_P(AttentionSwitches, PromptDecodeAndChunkMatchReference) {
  const auto [d, heads, gated, qk_norm, bias, R] = GetParam();
  Dims s;
  s.d = d;
  s.Hq = heads.first;
  s.Hkv = heads.second;
  s.gated = gated;
  s.qk_norm = qk_norm;
  s.qkv_bias = s.out_bias = bias;
  s.R = R;
  // Prompt of 5, two single tokens, then a chunk of 3 at offset 7.
  run_and_compare(s, {5, 1, 1, 3}, 11 * R + heads.second + 3 * gated + 5 * qk_norm + 7 * bias,
                  "attention");
}

std::string switches_name(const ::testing::TestParamInfo<Switches>& info) {
  const auto& [d, heads, gated, qk_norm, bias, R] = info.param;
  return std::string(tl::dtype_name(d)) + "_q" + std::to_string(heads.first) + "kv" +
         std::to_string(heads.second) + (gated ? "_gated" : "") + (qk_norm ? "_qknorm" : "") +
         (bias ? "_bias" : "") + "_R" + std::to_string(R);
}

INSTANTIATE_TEST_SUITE_P(All, AttentionSwitches,
                         ::testing::Combine(::testing::Values(DType::F32, DType::F16),
                                            ::testing::Values(std::pair<size_t, size_t>{4, 4},
                                                              std::pair<size_t, size_t>{4, 2},
                                                              std::pair<size_t, size_t>{4, 1}),
                                            ::testing::Bool(), ::testing::Bool(), ::testing::Bool(),
                                            ::testing::Values<size_t>(6, 4, 0)),
                         switches_name);

TEST(Attention, LongContextMatchesReference) {
  // Long enough for the threaded single-token pass and several score blocks in the prompt.
  for (DType d : {DType::F32, DType::F16}) {
    Dims s;
    s.d = d;
    s.H = 16;
    s.Hq = 4;
    s.Hkv = 2;
    s.D = 64;
    s.R = 32;
    run_and_compare(s, {700, 1, 1, 2}, 99, std::string("long ") + tl::dtype_name(d));
  }
}

TEST(Attention, RollbackLeavesCacheBitForBit) {
  for (DType d : {DType::F32, DType::F16}) {
    Dims s;
    s.d = d;
    Attention a = make_attention(s, 8);
    Rotary rot(s.R);
    Rng rng(9);
    model::AttentionScratch ws;
    LayerCache entry;
    std::vector<float> x = testref::act(rng, 6 * s.H, 1.0f, d), cos, sin, out(6 * s.H);
    rot.tables(0, 4, d, cos, sin);
    a.forward(x.data(), 4, cos.data(), sin.data(), 0, entry, ws, out.data());
    entry.commit();
    const std::vector<uint8_t> keys = cache_bytes(entry, true, 4);
    const std::vector<uint8_t> vals = cache_bytes(entry, false, 4);
    // A step that is rolled back leaves no trace: the next step sees only the committed rows.
    rot.tables(4, 2, d, cos, sin);
    a.forward(x.data() + 4 * s.H, 2, cos.data(), sin.data(), 4, entry, ws, out.data());
    EXPECT_EQ(entry.kv_pending, 6u);
    entry.rollback();
    EXPECT_EQ(entry.kv_len, 4u);
    EXPECT_EQ(entry.kv_pending, 4u);
    EXPECT_EQ(cache_bytes(entry, true, 4), keys);
    EXPECT_EQ(cache_bytes(entry, false, 4), vals);
    std::vector<float> again(2 * s.H), first(2 * s.H);
    std::copy(out.begin(), out.begin() + 2 * s.H, first.begin());
    a.forward(x.data() + 4 * s.H, 2, cos.data(), sin.data(), 4, entry, ws, again.data());
    EXPECT_EQ(again, first);
    // reset empties the entry and gives its memory back.
    entry.reset();
    EXPECT_FALSE(entry.has_kv());
    EXPECT_EQ(entry.kv_pending, 0u);
    EXPECT_EQ(entry.keys.capacity() + entry.values.capacity(), 0u);
  }
}

template <class E>
std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(Attention, FailuresAndTheirTexts) {
  Rng rng(4);
  model::AttentionScratch ws;
  struct Case {
    Dims s;
    size_t S, offset, committed;
    std::string text;
    bool internal;
  };
  Dims wide;  // rotary wider than the head: fails on the queries
  wide.D = 4;
  wide.R = 6;
  Dims uneven;  // 6 query heads over 4 kv heads: n_rep = 1, the reshape fails
  uneven.Hq = 6;
  uneven.Hkv = 4;
  Dims no_kv;  // zero kv heads with query heads
  no_kv.Hq = 2;
  no_kv.Hkv = 0;
  Dims plain;
  Dims bf16;
  bf16.d = DType::BF16;
  const std::vector<Case> cases = {
      {wide, 3, 0, 0,
       "narrow invalid args start + len > dim_len: [1, 4, 3, 4], dim: 3, start: 0, len:6", false},
      {uneven, 3, 0, 0, "shape mismatch in reshape, lhs: [1, 4, 1, 3, 6], rhs: [1, 6, 3, 6]",
       false},
      {no_kv, 2, 0, 0, "attempt to divide by zero", true},
      // A chunk whose offset disagrees with the cache: the mask has the wrong width.
      {plain, 2, 5, 3, "shape mismatch in broadcast_add, lhs: [1, 4, 2, 5], rhs: [1, 1, 2, 7]",
       false},
      {plain, 3, 0, 2, "shape mismatch in broadcast_add, lhs: [1, 4, 3, 5], rhs: [1, 1, 3, 3]",
       false},
      {bf16, 2, 0, 0, "unsupported dtype BF16 for op matmul", false},
  };
  for (const Case& c : cases) {
    Attention a = make_attention(c.s, 1);
    Rotary rot(c.s.R);
    LayerCache entry;
    std::vector<float> x = testref::act(rng, 8 * c.s.H, 1.0f, DType::F32), cos, sin;
    std::vector<float> out(8 * c.s.H);
    if (c.committed) {
      Attention ok = make_attention(plain, 1);
      rot.tables(0, c.committed, c.s.d, cos, sin);
      ok.forward(x.data(), c.committed, cos.data(), sin.data(), 0, entry, ws, out.data());
      entry.commit();
    }
    const std::vector<uint8_t> before = cache_bytes(entry, true, c.committed);
    rot.tables(c.offset, c.S, c.s.d == DType::BF16 ? DType::F32 : c.s.d, cos, sin);
    auto call = [&] {
      a.forward(x.data(), c.S, cos.data(), sin.data(), c.offset, entry, ws, out.data());
    };
    if (c.internal)
      EXPECT_EQ(error_of<tl::InternalFailure>(call), c.text);
    else
      EXPECT_EQ(error_of<tl::Error>(call), c.text);
    // Nothing of the failed call reached the cache.
    EXPECT_EQ(entry.kv_pending, c.committed) << c.text;
    EXPECT_EQ(entry.kv_len, c.committed) << c.text;
    EXPECT_EQ(cache_bytes(entry, true, c.committed), before) << c.text;
  }
  // A single token cannot detect a wrong offset: it rotates by the given offset and appends.
  Attention a = make_attention(plain, 1);
  Rotary rot(plain.R);
  LayerCache entry;
  std::vector<float> x = testref::act(rng, plain.H, 1.0f, DType::F32), cos, sin, out(plain.H);
  rot.tables(41, 1, DType::F32, cos, sin);
  a.forward(x.data(), 1, cos.data(), sin.data(), 41, entry, ws, out.data());
  EXPECT_EQ(entry.kv_pending, 1u);
}

}  // namespace

namespace {

TEST(Cache, LifecycleOfEntries) {
  EXPECT_TRUE(model::KVCache(0).layers.empty());
  model::KVCache cache(3);
  ASSERT_EQ(cache.layers.size(), 3u);
  for (const LayerCache& l : cache.layers) {
    EXPECT_FALSE(l.has_kv());
    EXPECT_FALSE(l.state_present[l.cur]);
    EXPECT_FALSE(l.tails_present[l.cur]);
  }
  // A delta-rule writer fills the pending buffer (1 - cur) and marks the step pending.
  auto write_state = [](LayerCache& l, float v) {
    const int p = 1 - l.cur;
    float* s = l.state_for(p, 4);
    std::fill(s, s + 4, v);
    l.tail_q[p].assign(2, v);
    l.state_present[p] = l.tails_present[p] = true;
    l.state_pending = true;
  };
  LayerCache& l = cache.layers[1];
  write_state(l, 1.0f);
  cache.rollback();  // discarded: still empty
  EXPECT_FALSE(l.state_present[l.cur]);
  EXPECT_FALSE(l.state_pending);
  write_state(l, 2.0f);
  cache.commit();
  ASSERT_TRUE(l.state_present[l.cur]);
  EXPECT_EQ(l.state_vector(l.cur), std::vector<float>(4, 2.0f));
  write_state(l, 3.0f);
  cache.rollback();  // the committed state is untouched
  EXPECT_EQ(l.state_vector(l.cur), std::vector<float>(4, 2.0f));
  EXPECT_TRUE(l.tails_present[l.cur]);
  write_state(l, 4.0f);
  cache.commit();
  EXPECT_EQ(l.state_vector(l.cur), std::vector<float>(4, 4.0f));
  // Reset empties every entry and keeps their number.
  cache.layers[0].kv_len = cache.layers[0].kv_pending = 5;
  cache.reset();
  ASSERT_EQ(cache.layers.size(), 3u);
  for (const LayerCache& e : cache.layers) {
    EXPECT_FALSE(e.has_kv());
    EXPECT_EQ(e.kv_pending, 0u);
    EXPECT_FALSE(e.state_present[e.cur]);
    EXPECT_FALSE(e.tails_present[e.cur]);
    EXPECT_FALSE(e.state_pending);
  }
}

}  // namespace

// Loading a model from a safetensors file written by the test (the weight-name scheme, fetch
// order, error texts and their precedence, the tied head, the rotary table), the layer-kind
// rule, and the forward pass's own behaviour: its failures, their texts, and that a failed call
// leaves every cache entry exactly as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "model/llm_model.h"
#include "model_ref.h"
#include "tensor/var_builder.h"

using model::Config;
using model::KVCache;
using model::LlmModel;
using testref::Rng;
using tl::DType;
using tl::Shape;

namespace {

// ---- a safetensors writer and the weight-name scheme, written from the format and the table ----

struct Entry {
  std::string name;
  Shape shape;
  std::vector<float> data;
};

void write_safetensors(const std::string& path, const std::vector<Entry>& entries) {
  std::string header = "{";
  size_t offset = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    const Entry& e = entries[i];
    std::string shape;
    for (size_t k = 0; k < e.shape.size(); ++k) {
      if (k) shape += ",";
      shape += std::to_string(e.shape[k]);
    }
    const size_t bytes = e.data.size() * 4;
    if (i) header += ",";
    header += "\"" + e.name + "\":{\"dtype\":\"F32\",\"shape\":[" + shape + "],\"data_offsets\":[" +
              std::to_string(offset) + "," + std::to_string(offset + bytes) + "]}";
    offset += bytes;
  }
  header += "}";
  std::ofstream f(path, std::ios::binary);
  uint64_t n = header.size();
  unsigned char len[8];
  for (int i = 0; i < 8; ++i) len[i] = static_cast<unsigned char>(n >> (8 * i));
  f.write(reinterpret_cast<const char*>(len), 8);
  f.write(header.data(), static_cast<std::streamsize>(header.size()));
  for (const Entry& e : entries)
    f.write(reinterpret_cast<const char*>(e.data.data()),
            static_cast<std::streamsize>(e.data.size() * 4));
}

bool is_delta(const Config& c, size_t i) { return model::resolve_layer_type(c, i); }

// Every tensor the loader asks for, in fetch order, with its shape.
std::vector<std::pair<std::string, Shape>> scheme(const Config& c, bool with_lm_head) {
  std::vector<std::pair<std::string, Shape>> out;
  const size_t V = c.vocab_size, H = c.hidden_size, N = c.num_attention_heads, D = c.head_dim;
  auto lin = [&](const std::string& p, size_t o, size_t i, bool bias) {
    out.push_back({p + ".weight", {o, i}});
    if (bias) out.push_back({p + ".bias", {o}});
  };
  auto mlp = [&](const std::string& p, size_t I) {
    lin(p + ".gate_proj", I, H, c.mlp_bias);
    lin(p + ".up_proj", I, H, c.mlp_bias);
    lin(p + ".down_proj", H, I, c.mlp_bias);
  };
  out.push_back({"embed_tokens.weight", {V, H}});
  for (size_t l = 0; l < c.num_hidden_layers; ++l) {
    const std::string L = "layers." + std::to_string(l);
    const auto& m = c.moe_config;
    if (!m || (m->n_dense_layer && l < *m->n_dense_layer)) {
      mlp(L + ".mlp", c.intermediate_size);
    } else {
      for (size_t j = 0; j < m->n_routed_experts; ++j)
        mlp(L + ".mlp.experts." + std::to_string(j), m->intermediate_size);
      if (m->n_shared_experts)
        mlp(L + ".mlp.shared_experts", *m->n_shared_experts * m->intermediate_size);
      out.push_back({L + ".mlp.gate.weight", {m->n_routed_experts, H}});
    }
    const std::string A = L + ".attn";
    if (is_delta(c, l)) {
      const size_t C = N * D, K = c.conv_kernel_size;
      if (c.use_short_conv)
        for (const char* cv : {"conv_q", "conv_k", "conv_v"}) {
          out.push_back({A + "." + cv + ".conv.weight", {C, 1, K}});
          if (c.conv_bias) out.push_back({A + "." + cv + ".conv.bias", {C}});
        }
      lin(A + ".q_proj", C, H, false);
      lin(A + ".k_proj", C, H, false);
      lin(A + ".v_proj", C, H, false);
      lin(A + ".beta_proj", N, H, false);
      lin(A + ".alpha_proj", N, H, false);
      lin(A + ".g_proj", C, H, false);
      lin(A + ".o_proj", H, C, false);
      out.push_back({A + ".g_norm.weight", {D}});
      out.push_back({A + ".dt_bias", {N}});
      out.push_back({A + ".A_log", {N}});
    } else {
      const bool hy = c.attention_type == "hybrid";
      const size_t hq = hy ? c.hybrid_softmax_num_heads.value_or(N) : N;
      const size_t hkv = hy ? c.hybrid_softmax_num_kv_heads.value_or(c.num_key_value_heads)
                            : c.num_key_value_heads;
      const size_t dq = hy ? c.hybrid_softmax_head_dim.value_or(D) : D;
      const size_t g = hy && c.hybrid_softmax_gated ? 2 : 1;
      if (c.use_qk_norm) {
        out.push_back({A + ".q_norm.weight", {dq}});
        out.push_back({A + ".k_norm.weight", {dq}});
      }
      lin(A + ".q_proj", hq * dq * g, H, c.attention_qkv_bias);
      lin(A + ".k_proj", hkv * dq, H, c.attention_qkv_bias);
      lin(A + ".v_proj", hkv * dq, H, c.attention_qkv_bias);
      lin(A + ".o_proj", H, hq * dq, c.attention_out_bias);
    }
    out.push_back({L + ".attn_norm.weight", {H}});
    out.push_back({L + ".mlp_norm.weight", {H}});
  }
  out.push_back({"head_norm.weight", {H}});
  if (with_lm_head) lin("lm_head", V, H, c.lm_head_bias);
  return out;
}

Config small_config() {
  Config c;
  c.vocab_size = 32;
  c.hidden_size = 16;
  c.intermediate_size = 24;
  c.num_hidden_layers = 2;
  c.num_attention_heads = 4;
  c.num_key_value_heads = 2;
  c.head_dim = 4;
  c.max_position_embeddings = 64;
  return c;
}

// A hybrid model touching every kind: delta-rule, attention (gated, overridden dimensions),
// dense and MoE feed-forward with a shared expert, every bias.
Config full_config() {
  Config c = small_config();
  c.num_hidden_layers = 3;
  c.attention_type = "hybrid";
  c.hybrid_ratio = "1:1";
  c.hybrid_softmax_num_heads = 2;
  c.hybrid_softmax_num_kv_heads = 1;
  c.hybrid_softmax_head_dim = 6;
  c.hybrid_softmax_gated = true;
  c.attention_qkv_bias = c.attention_out_bias = c.mlp_bias = c.lm_head_bias = true;
  c.conv_bias = true;
  model::MoeConfig m;
  m.intermediate_size = 8;
  m.n_routed_experts = 3;
  m.num_experts_per_tok = 2;
  m.n_shared_experts = 1;
  m.n_dense_layer = 1;
  m.norm_topk_prob = true;
  c.moe_config = m;
  return c;
}

struct ModelFile {
  std::string path;
  std::vector<Entry> entries;
  ModelFile(const Config& c, bool lm_head, uint64_t seed, const std::string& tag) {
    path = ::testing::TempDir() + "tessaline_model_" + tag + ".safetensors";
    Rng rng(seed);
    for (auto& [name, shape] : scheme(c, lm_head)) {
      size_t n = 1;
      for (size_t s : shape) n *= s;
      // Norm scales near 1, A_log and dt_bias small, projections moderate.
      const bool norm = name.find("norm.weight") != std::string::npos;
      std::vector<float> v = rng.vec(n, norm ? 0.2f : 0.4f);
      if (norm)
        for (float& x : v) x += 1.0f;
      entries.push_back({name, shape, v});
    }
  }
  ~ModelFile() { std::remove(path.c_str()); }
  void erase(const std::string& name) {
    std::erase_if(entries, [&](const Entry& e) { return e.name == name; });
  }
  Entry& at(const std::string& name) {
    for (Entry& e : entries)
      if (e.name == name) return e;
    throw std::runtime_error("no entry " + name);
  }
  void add(const std::string& name, Shape shape) {
    size_t n = 1;
    for (size_t s : shape) n *= s;
    entries.push_back({name, shape, std::vector<float>(n, 0.5f)});
  }
  tl::VarBuilder write(DType dt = DType::F32) const {
    write_safetensors(path, entries);
    return tl::VarBuilder::from_mmaped_safetensors(path, dt);
  }
};

std::string load_error(const Config& c, const ModelFile& f) {
  try {
    LlmModel::load(c, f.write(), DType::F32);
  } catch (const tl::Error& e) {
    return e.what();
  }
  return "<loaded>";
}

// ---- layer kinds
// ---------------------------------------------------------------------------------

TEST(ModelLoad, ResolveLayerTypePatterns) {
  // 'D' = delta-rule layer, 'A' = attention, for layers 0..7.
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"hybrid", "3:1", "DDDADDDA"},
      {"Hybrid", "3:1", "AAAAAAAA"},
      {"hybrid ", "3:1", "AAAAAAAA"},
      {"softmax", "1:1", "AAAAAAAA"},
      {"hybrid", "1:1", "DADADADA"},
      {"hybrid", "0:1", "AAAAAAAA"},
      {"hybrid", "1:0", "DDDDDDDD"},
      {"hybrid", "", "DDDADDDA"},
      {"hybrid", "ab", "DDDADDDA"},
      {"hybrid", "-1:1", "DDDADDDA"},
      {"hybrid", " 3:1", "DDDADDDA"},
      {"hybrid", "2:", "DDADDADD"},
      {"hybrid", "5", "DDDDDADD"},
      {"hybrid", "+2:+2", "DDAADDAA"},
      {"hybrid", "3:1:7", "DDDADDDA"},
      {"hybrid", "++2:1", "DDDADDDA"},
      {"hybrid", "2: 1", "DDADDADD"},
      {"hybrid", "18446744073709551615:1", "AAAAAAAA"},
      {"hybrid", "18446744073709551616:1", "DDDADDDA"},
      {"hybrid", "1:18446744073709551615", "AAAAAAAA"},
  };
  for (const auto& [type, ratio, want] : cases) {
    Config c;
    c.attention_type = type;
    c.hybrid_ratio = ratio;
    std::string got;
    for (size_t i = 0; i < 8; ++i) got += model::resolve_layer_type(c, i) ? 'D' : 'A';
    EXPECT_EQ(got, want) << "'" << type << "' '" << ratio << "'";
  }
}

// ---- loading
// -------------------------------------------------------------------------------------

TEST(ModelLoad, FetchesEveryTensorInTableOrder) {
  for (bool lm_head : {true, false}) {
    Config c = full_config();
    ModelFile f(c, lm_head, 1, "order");
    // Tensors nobody asks for are ignored: q_norm of a layer without norms is not fetched.
    c.use_qk_norm = false;
    f.add("unused.tensor", {3});
    tl::VarBuilder vb = f.write();
    LlmModel m = LlmModel::load(c, vb, DType::F32);
    std::vector<std::string> want;
    for (auto& [name, shape] : scheme(c, lm_head)) want.push_back(name);
    EXPECT_EQ(vb.fetch_log(), want);
    ASSERT_EQ(m.layers.size(), 3u);
    EXPECT_TRUE(std::holds_alternative<model::GatedDeltaNet>(m.layers[0].mixer));
    const auto& att = std::get<model::Attention>(m.layers[1].mixer);
    EXPECT_EQ(att.num_heads, 2u);
    EXPECT_EQ(att.num_kv_heads, 1u);
    EXPECT_EQ(att.head_dim, 6u);
    EXPECT_EQ(att.rotary_dim, 4u);  // from the configuration's head_dim, not the override
    EXPECT_TRUE(att.gated);
    EXPECT_TRUE(std::holds_alternative<model::Mlp>(m.layers[0].ffn));
    EXPECT_TRUE(std::holds_alternative<model::MoE>(m.layers[1].ffn));
    // The delta-rule layers keep the configuration's N and D.
    EXPECT_EQ(std::get<model::GatedDeltaNet>(m.layers[2].mixer).num_heads, 4u);
    // Without its own lm_head the output head is the embedding table itself, without bias even
    // though lm_head_bias is set.
    EXPECT_EQ(m.lm_head.weight.shares_storage(m.embed_tokens), !lm_head);
    EXPECT_EQ(m.lm_head.bias.has_value(), lm_head);
  }
}

TEST(ModelLoad, TiedHeadIgnoresStoredBias) {
  Config c = small_config();
  c.lm_head_bias = true;
  ModelFile f(c, false, 2, "tied");
  f.add("lm_head.bias", {c.vocab_size});
  tl::VarBuilder vb = f.write();
  LlmModel m = LlmModel::load(c, vb, DType::F32);
  EXPECT_TRUE(m.lm_head.weight.shares_storage(m.embed_tokens));
  EXPECT_FALSE(m.lm_head.bias);
  for (const std::string& n : vb.fetch_log()) EXPECT_EQ(n.find("lm_head"), std::string::npos);
}

TEST(ModelLoad, FirstFailingTensorInFetchOrderNamesTheError) {
  const Config c = full_config();
  struct Case {
    std::function<void(ModelFile&)> edit;
    std::string text;
  };
  const std::vector<Case> cases = {
      {[](ModelFile& f) { f.erase("embed_tokens.weight"); },
       "cannot find tensor embed_tokens.weight"},
      // Two missing tensors: the one fetched first is named.
      {[](ModelFile& f) {
         f.erase("layers.1.attn.o_proj.bias");
         f.erase("layers.1.mlp.experts.2.down_proj.weight");
       },
       "cannot find tensor layers.1.mlp.experts.2.down_proj.weight"},
      {[](ModelFile& f) { f.erase("layers.2.attn.conv_v.conv.bias"); },
       "cannot find tensor layers.2.attn.conv_v.conv.bias"},
      {[](ModelFile& f) { f.erase("layers.2.attn.A_log"); },
       "cannot find tensor layers.2.attn.A_log"},
      {[](ModelFile& f) { f.erase("layers.1.mlp.shared_experts.up_proj.bias"); },
       "cannot find tensor layers.1.mlp.shared_experts.up_proj.bias"},
      {[](ModelFile& f) { f.erase("head_norm.weight"); }, "cannot find tensor head_norm.weight"},
      {[](ModelFile& f) { f.erase("lm_head.bias"); }, "cannot find tensor lm_head.bias"},
      // Same element count, transposed: still a mismatch.
      {[](ModelFile& f) {
         f.at("lm_head.weight").shape = {16, 32};
       },
       "shape mismatch for lm_head.weight, expected: [32, 16], got: [16, 32]"},
      {[](ModelFile& f) {
         f.at("layers.1.attn.q_proj.weight").shape = {12, 16};
         f.at("layers.1.attn.q_proj.weight").data.resize(12 * 16);
       },
       "shape mismatch for layers.1.attn.q_proj.weight, expected: [24, 16], got: [12, 16]"},
      // A wrong shape before a missing tensor wins, and vice versa.
      {[](ModelFile& f) {
         f.at("layers.0.mlp_norm.weight").shape = {4, 4};  // 16 values either way
         f.erase("layers.1.mlp.gate.weight");
       },
       "shape mismatch for layers.0.mlp_norm.weight, expected: [16], got: [4, 4]"},
  };
  for (const Case& k : cases) {
    ModelFile f(c, true, 3, "errors");
    k.edit(f);
    EXPECT_EQ(load_error(c, f), k.text);
  }
}

TEST(ModelLoad, RotaryWidthAndInverseFrequencies) {
  Config c = small_config();
  c.head_dim = 64;
  c.num_attention_heads = 1;
  c.num_key_value_heads = 1;
  c.partial_rotary_factor = 0.5f;
  {
    ModelFile f(c, false, 4, "rot");
    LlmModel m = LlmModel::load(c, f.write(), DType::F32);
    EXPECT_EQ(m.rotary_dim, 32u);
    ASSERT_EQ(m.inv_freq.size(), 16u);
    EXPECT_EQ(m.inv_freq[0], 1.0f);
    EXPECT_NEAR(m.inv_freq[1], 1.0 / std::pow(10000.0, 1.0 / 16), 1e-7);
    EXPECT_NEAR(m.inv_freq[15], 1.0 / std::pow(10000.0, 30.0 / 32), 1e-9);
  }
  // head_dim 10 x 0.5 = 5: odd; refused after every tensor has loaded, so a missing tensor is
  // named first.
  c.head_dim = 10;
  {
    ModelFile f(c, false, 5, "odd");
    EXPECT_EQ(load_error(c, f),
              "Shape mismatch, got buffer of size 3 which is compatible with shape [2]");
    f.erase("head_norm.weight");
    EXPECT_EQ(load_error(c, f), "cannot find tensor head_norm.weight");
  }
  // Factor 0 (and a negative or NaN one) gives an empty table without error.
  for (float factor : {0.0f, -1.0f, std::nanf("")}) {
    c.partial_rotary_factor = factor;
    ModelFile f(c, false, 6, "zero");
    LlmModel m = LlmModel::load(c, f.write(), DType::F32);
    EXPECT_EQ(m.rotary_dim, 0u);
    EXPECT_TRUE(m.inv_freq.empty());
  }
  // A width whose table could not be allocated is refused with an error, not attempted.
  c.partial_rotary_factor = 1e30f;
  ModelFile f(c, false, 7, "huge");
  EXPECT_EQ(load_error(c, f).rfind("rotary width ", 0), 0u) << load_error(c, f);
}

TEST(ModelLoad, ComputeDtypeAndNoLayers) {
  Config c = small_config();
  c.num_hidden_layers = 0;
  ModelFile f(c, true, 8, "f16");
  tl::VarBuilder vb = f.write(DType::F16);
  LlmModel m = LlmModel::load(c, vb, DType::F16);
  EXPECT_EQ(vb.fetch_log(), (std::vector<std::string>{"embed_tokens.weight", "head_norm.weight",
                                                      "lm_head.weight"}));
  EXPECT_EQ(m.dtype(), DType::F16);
  EXPECT_EQ(m.lm_head.weight.dtype(), DType::F16);
  EXPECT_EQ(m.head_norm.weight.dtype(), DType::F16);
  EXPECT_EQ(m.inv_freq.size(), 2u);  // f32 whatever the compute dtype
}

// ---- forward
// -------------------------------------------------------------------------------------

template <class E = tl::Error>
std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "<no error>";
}

// Everything a cache entry holds that a later step reads, for bit-for-bit comparison.
std::string snapshot(const KVCache& cache) {
  std::string s;
  auto put = [&](const void* p, size_t n) { s.append(static_cast<const char*>(p), n); };
  for (const model::LayerCache& l : cache.layers) {
    const size_t kv_bytes = l.kv_len * l.kv_heads * l.kv_head_dim * tl::dtype_size(l.kv_dtype);
    put(&l.kv_len, sizeof l.kv_len);
    put(&l.kv_pending, sizeof l.kv_pending);
    put(&l.kv_heads, sizeof l.kv_heads);
    put(&l.kv_head_dim, sizeof l.kv_head_dim);
    put(l.keys.bytes(), kv_bytes);
    put(l.values.bytes(), kv_bytes);
    put(&l.cur, sizeof l.cur);
    put(&l.state_pending, sizeof l.state_pending);
    const bool st = l.state_present[l.cur], tl_ = l.tails_present[l.cur];
    put(&st, 1);
    put(&tl_, 1);
    if (st) put(l.state[l.cur].floats(), l.state_floats * 4);
    if (tl_)
      for (const auto* t : {&l.tail_q[l.cur], &l.tail_k[l.cur], &l.tail_v[l.cur]})
        put(t->data(), t->size() * 4);
  }
  return s;
}

TEST(ModelForward, FailuresLeaveTheCacheAsItWas) {
  Config c = full_config();
  c.max_position_embeddings = 8;
  ModelFile f(c, true, 10, "fail");
  const LlmModel m = LlmModel::load(c, f.write(), DType::F32);
  KVCache cache(c.num_hidden_layers);
  std::vector<float> logits(c.vocab_size);
  const std::vector<uint32_t> ids = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  m.forward(ids.data(), 3, 0, cache, logits.data());
  cache.commit();
  const std::string before = snapshot(cache);
  struct Case {
    std::vector<uint32_t> ids;
    size_t offset;
    std::string text;
  };
  const std::vector<Case> cases = {
      {{5, 32}, 3, "index-select invalid index 32 with dim size 32"},
      {{}, 3, "cannot reshape tensor of 0 elements to (1, 1, 0, ())"},
      {{1, 2, 3, 4, 5, 6},
       3,
       "narrow invalid args start + len > dim_len: [8, 8], dim: 0, start: 3, len:6"},
      {{1, 2}, 9, "narrow invalid args start > dim_len: [8, 8], dim: 0, start: 9, len:2"},
      // The delta-rule layer 0 has already advanced when attention layer 1 meets the wrong offset.
      {{1, 2}, 4, "shape mismatch in broadcast_add, lhs: [1, 2, 2, 5], rhs: [1, 1, 2, 6]"},
  };
  for (const Case& k : cases) {
    EXPECT_EQ(
        error_of([&] { m.forward(k.ids.data(), k.ids.size(), k.offset, cache, logits.data()); }),
        k.text);
    EXPECT_EQ(snapshot(cache), before) << k.text;
  }
  // A cache with fewer entries than layers: the layers before run, then the internal failure;
  // the entries that ran are rolled back too.
  KVCache short_cache(2);
  EXPECT_EQ(error_of<tl::InternalFailure>(
                [&] { m.forward(ids.data(), 3, 0, short_cache, logits.data()); }),
            "index out of bounds: the len is 2 but the index is 2");
  for (const auto& l : short_cache.layers) {
    EXPECT_EQ(l.kv_pending, 0u);
    EXPECT_FALSE(l.state_pending);
    EXPECT_FALSE(l.state_present[l.cur]);
  }
  // After the failures the next step continues exactly as if they had never happened.
  std::vector<float> after(c.vocab_size), fresh(c.vocab_size);
  m.forward(ids.data() + 3, 1, 3, cache, after.data());
  KVCache clean(c.num_hidden_layers);
  m.forward(ids.data(), 3, 0, clean, fresh.data());
  clean.commit();
  m.forward(ids.data() + 3, 1, 3, clean, fresh.data());
  EXPECT_EQ(after, fresh);
}

}  // namespace

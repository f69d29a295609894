#include "model/llm_model.h"

#include <cmath>
#include <limits>
#include <new>
#include <string>

#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"

namespace model {

namespace {

// x = round(m + x), element-wise.
void residual_add(float* x, const float* m, size_t n, tl::DType d) {
  for (size_t i = 0; i < n; ++i) x[i] = m[i] + x[i];
  tl::kernels::round_to_dtype(x, n, d);
}

// An unsigned decimal number: at most one leading '+', then one or more ASCII digits and nothing
// else, with a value below 2^64.
std::optional<uint64_t> parse_u64(const std::string& s) {
  size_t i = 0;
  if (i < s.size() && s[i] == '+') ++i;
  if (i == s.size()) return std::nullopt;
  uint64_t v = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t digit = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - digit) / 10) return std::nullopt;
    v = v * 10 + digit;
  }
  return v;
}

// f32 -> usize truncating toward zero and saturating: NaN and negatives give 0.
size_t f32_to_usize(float f) {
  if (!(f > 0.0f)) return 0;
  if (f >= 18446744073709551616.0f) return std::numeric_limits<size_t>::max();
  return static_cast<size_t>(f);
}

// Rotary width: partial_rotary_factor x head_dim in f32, truncated. Always the configuration's
// head_dim, also for attention layers whose own head width is overridden.
size_t rotary_width(const Config& cfg) {
  return f32_to_usize(cfg.partial_rotary_factor * static_cast<float>(cfg.head_dim));
}

// Above this many inverse frequencies (rotary width / 2) the tables could not be held; such a
// configuration is refused before anything is allocated for it.
constexpr size_t kMaxRotaryHalf = size_t{1} << 26;

}  // namespace

bool resolve_layer_type(const Config& cfg, size_t layer_idx) {
  if (cfg.attention_type != "hybrid") return false;
  // Split at every colon; parts after the second are ignored.
  const std::string& r = cfg.hybrid_ratio;
  const size_t c1 = r.find(':');
  const std::string p0 = r.substr(0, c1);
  std::optional<std::string> p1;
  if (c1 != std::string::npos) {
    const size_t c2 = r.find(':', c1 + 1);
    p1 = r.substr(c1 + 1, c2 == std::string::npos ? std::string::npos : c2 - c1 - 1);
  }
  const uint64_t a = parse_u64(p0).value_or(3);
  const uint64_t b = p1 ? parse_u64(*p1).value_or(1) : 1;
  const uint64_t period = a + b;  // wraps modulo 2^64
  if (period == 0) return false;
  return (static_cast<uint64_t>(layer_idx) % period) < a;
}

// ---- DecoderLayer
// ---------------------------------------------------------------------------------

DecoderLayer DecoderLayer::load(const Config& cfg, const tl::VarBuilder& vb, size_t layer_idx) {
  DecoderLayer l;
  const tl::VarBuilder mlp = vb.pp("mlp");
  const bool dense = !cfg.moe_config ||
                     (cfg.moe_config->n_dense_layer && layer_idx < *cfg.moe_config->n_dense_layer);
  if (dense)
    l.ffn = Mlp::load(cfg, mlp, std::nullopt);
  else
    l.ffn = MoE::load(cfg, mlp);

  const tl::VarBuilder attn = vb.pp("attn");
  if (resolve_layer_type(cfg, layer_idx)) {
    l.mixer = GatedDeltaNet::load(cfg, attn);
  } else {
    const bool hybrid = cfg.attention_type == "hybrid";
    size_t hq = cfg.num_attention_heads, hkv = cfg.num_key_value_heads, dq = cfg.head_dim;
    bool gated = false;
    if (hybrid) {
      hq = cfg.hybrid_softmax_num_heads.value_or(hq);
      hkv = cfg.hybrid_softmax_num_kv_heads.value_or(hkv);
      dq = cfg.hybrid_softmax_head_dim.value_or(dq);
      gated = cfg.hybrid_softmax_gated;
    }
    l.mixer = Attention::load(cfg, attn, hq, hkv, dq, rotary_width(cfg), gated);
  }
  l.attn_norm = RmsNorm::load(cfg.hidden_size, cfg.norm_eps, vb.pp("attn_norm"));
  l.mlp_norm = RmsNorm::load(cfg.hidden_size, cfg.norm_eps, vb.pp("mlp_norm"));
  return l;
}

void DecoderLayer::forward(float* x, size_t S, const float* cos, const float* sin,
                           size_t seqlen_offset, LayerCache& entry, Scratch& scratch) const {
  const size_t H = attn_norm.size();
  const tl::DType d = attn_norm.weight.dtype();
  float* h = scratch.h.get(S, H);
  float* m = scratch.m.get(S, H);
  attn_norm.forward(x, S, h);
  if (const auto* a = std::get_if<Attention>(&mixer))
    a->forward(h, S, cos, sin, seqlen_offset, entry, scratch.attn, m);
  else
    std::get<GatedDeltaNet>(mixer).forward(h, S, entry, scratch.delta, m);
  residual_add(x, m, S * H, d);
  mlp_norm.forward(x, S, h);
  if (const auto* mlp = std::get_if<Mlp>(&ffn))
    mlp->forward(h, S, m, scratch.mlp);
  else
    std::get<MoE>(ffn).forward(h, S, m, scratch.moe);
  residual_add(x, m, S * H, d);
}

// ---- LlmModel
// -------------------------------------------------------------------------------------

LlmModel LlmModel::load(const Config& cfg, tl::VarBuilder vb, tl::DType dtype) {
  LlmModel m;
  const size_t V = cfg.vocab_size, H = cfg.hidden_size;
  m.embed_tokens = vb.pp("embed_tokens").get({V, H}, "weight");
  // One entry at a time: an inflated layer count fails at its first missing tensor instead of
  // reserving memory for it.
  for (uint64_t i = 0; i < cfg.num_hidden_layers; ++i)
    m.layers.push_back(DecoderLayer::load(cfg, vb.pp("layers." + std::to_string(i)), i));
  m.head_norm = RmsNorm::load(H, cfg.norm_eps, vb.pp("head_norm"));
  const tl::VarBuilder lm = vb.pp("lm_head");
  if (vb.contains_tensor(lm.path("weight"))) {
    m.lm_head = load_linear(H, V, cfg.lm_head_bias, lm);
  } else {
    m.lm_head.weight = m.embed_tokens;  // tied: a second handle to the same storage
  }

  // Inverse frequencies 1 / theta^(m / rot) for m = 0, 2, 4, ... < rot, in f32.
  const size_t rot = rotary_width(cfg);
  const size_t count = rot / 2 + rot % 2;
  if (count > kMaxRotaryHalf)
    throw tl::Error("rotary width " + std::to_string(rot) +
                    " (head_dim x partial_rotary_factor) is too large");
  std::vector<float> inv(count);
  for (size_t j = 0; j < count; ++j) {
    const float e = static_cast<float>(2 * j) / static_cast<float>(rot);
    inv[j] = 1.0f / powf(cfg.rope_theta, e);
  }
  if (rot % 2 != 0)
    throw tl::Error("Shape mismatch, got buffer of size " + std::to_string(count) +
                    " which is compatible with shape " + tl::shape_str({rot / 2}));
  m.inv_freq = std::move(inv);
  m.rotary_dim = rot;
  for (const DecoderLayer& l : m.layers)
    if (const Attention* a = std::get_if<Attention>(&l.mixer); a && a->rotary_dim <= a->head_dim)
      m.needs_rotary_tables_ = true;
  m.max_position_embeddings = cfg.max_position_embeddings;
  (void)dtype;  // the accessor already converts every weight to the compute dtype
  return m;
}

void LlmModel::forward(const uint32_t* ids, size_t n, size_t seqlen_offset, KVCache& cache,
                       float* logits) const {
  try {
    const size_t V = vocab_size(), H = hidden_size(), R = rotary_dim;
    const tl::DType d = dtype();
    Scratch& scratch = cache.scratch;

    // Embed: the first id outside the table names the error, before anything else runs.
    for (size_t i = 0; i < n; ++i)
      if (ids[i] >= V)
        throw tl::Error("index-select invalid index " + std::to_string(ids[i]) + " with dim size " +
                        std::to_string(V));
    float* x = scratch.x.get(n, H);
    const size_t es = tl::dtype_size(d);
    const uint8_t* table = d == tl::DType::F32
                               ? reinterpret_cast<const uint8_t*>(embed_tokens.data<float>())
                               : reinterpret_cast<const uint8_t*>(embed_tokens.data<uint16_t>());
    for (size_t i = 0; i < n; ++i)
      tl::kernels::load_as_f32(table + static_cast<size_t>(ids[i]) * H * es, d, x + i * H, H);

    // Rotary tables: an (S,1) x (1,R/2) product of positions and frequencies in d, which a
    // BF16 model cannot compute. An empty chunk fails reshaping its (0, R) angle table.
    if (d == tl::DType::BF16 && R > 0) throw tl::Error("unsupported dtype BF16 for op matmul");
    if (n == 0)
      throw tl::Error("cannot reshape tensor of 0 elements to " + tl::tuple_str({1, 1, 0, 0}, 3));
    // The tables are only read by attention layers whose heads are at least R wide; every
    // attention layer shares R and its head width, so either all of them read the tables or the
    // first one fails on its rotary narrow without them. Skipping them then keeps a model whose
    // rotary width is absurd from building S x R tables on every call.
    float* cos = nullptr;
    float* sin = nullptr;
    if (needs_rotary_tables_) {
      cos = scratch.rope.get(n, mul_or_throw(2, R));
      sin = cos + n * R;
      rotary_tables(inv_freq.data(), R, static_cast<uint32_t>(seqlen_offset), n, d, cos, sin);
    }

    // Two or more tokens attend causally within positions 0..max_position_embeddings-1; a single
    // token is never bounded.
    if (n >= 2) {
      const size_t M = max_position_embeddings;
      const size_t end = seqlen_offset > std::numeric_limits<size_t>::max() - n
                             ? std::numeric_limits<size_t>::max()
                             : seqlen_offset + n;
      const char* why = seqlen_offset > M ? "start > dim_len"
                        : end > M         ? "start + len > dim_len"
                                          : nullptr;
      if (why)
        throw tl::Error(std::string("narrow invalid args ") + why + ": " + tl::shape_str({M, M}) +
                        ", dim: 0, start: " + std::to_string(seqlen_offset) +
                        ", len:" + std::to_string(n));
    }

    for (size_t i = 0; i < layers.size(); ++i) {
      if (i >= cache.layers.size())
        throw tl::InternalFailure("index out of bounds: the len is " +
                                  std::to_string(cache.layers.size()) + " but the index is " +
                                  std::to_string(cache.layers.size()));
      layers[i].forward(x, n, cos, sin, seqlen_offset, cache.layers[i], scratch);
    }

    // Only the last position reaches the output head (the norm is per row).
    float* last = x + (n - 1) * H;
    head_norm.forward(last, 1, last);
    linear_forward(lm_head, last, 1, logits);
  } catch (...) {
    cache.rollback();
    if (n > kKeepRows) cache.scratch.trim();
    throw;
  }
  // A long chunk gives back the working memory that only it needed.
  if (n > kKeepRows) cache.scratch.trim();
}

}  // namespace model

// The whole decoder: embedding, decoder layers (token mixer + feed-forward), final norm and the
// output head; next-token logits for a chunk of ids at a position offset.
#pragma once
#include <cstdint>
#include <optional>
#include <variant>
#include <vector>

#include "model/attention.h"
#include "model/config.h"
#include "model/gated_delta_net.h"
#include "model/kv_cache.h"
#include "model/layers.h"
#include "model/moe.h"

namespace model {

// True when layer i is a gated delta-rule layer in this configuration's hybrid pattern.
bool resolve_layer_type(const Config& cfg, size_t layer_idx);

struct DecoderLayer {
  std::variant<Mlp, MoE> ffn;
  RmsNorm attn_norm, mlp_norm;
  std::variant<Attention, GatedDeltaNet> mixer;

  // vb positioned at "layers.{i}"; fetches feed-forward, mixer, attn_norm, mlp_norm in that order.
  static DecoderLayer load(const Config& cfg, const tl::VarBuilder& vb, size_t layer_idx);
  // x: S x hidden, updated in place (both residual adds).
  void forward(float* x, size_t S, const float* cos, const float* sin, size_t seqlen_offset,
               LayerCache& entry, Scratch& scratch) const;
};

class LlmModel {
 public:
  // Loads every tensor (converted to dtype) and builds the rotary table. The accessor (and the
  // file mapping with it) is released when this returns.
  static LlmModel load(const Config& cfg, tl::VarBuilder vb, tl::DType dtype);

  // Logits of the chunk's last position (vocab_size f32 values, rounded to the model dtype) for
  // the ids at absolute positions seqlen_offset.. . Cache entries are written as a pending step:
  // after a successful call the caller commits it (KVCache::commit) or rolls it back; a call that
  // throws has already rolled back, so every entry is exactly as before the call.
  void forward(const uint32_t* ids, size_t n, size_t seqlen_offset, KVCache& cache,
               float* logits) const;

  size_t vocab_size() const { return embed_tokens.shape()[0]; }
  size_t hidden_size() const { return embed_tokens.shape()[1]; }
  size_t num_layers() const { return layers.size(); }
  tl::DType dtype() const { return embed_tokens.dtype(); }

  std::vector<DecoderLayer> layers;
  tl::Tensor embed_tokens;  // (V, H)
  RmsNorm head_norm;        // width H
  Linear lm_head;           // (V, H); shares embed_tokens' storage when the file has no lm_head
  std::vector<float> inv_freq;  // R/2 f32 values
  size_t rotary_dim = 0;        // R
  size_t max_position_embeddings = 0;

 private:
  bool needs_rotary_tables_ = false;  // some attention layer rotates with the tables
};

}  // namespace model

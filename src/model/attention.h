// Softmax attention with grouped-query heads, optional per-head q/k RMS norms, partial rotary
// embedding, an optional sigmoid output gate, and a key/value cache in the layer's LayerCache.
#pragma once
#include <optional>

#include "model/config.h"
#include "model/kv_cache.h"
#include "model/layers.h"

namespace model {

struct Attention {
  Linear q_proj;  // H -> Hq*D, or Hq*2D when gated (per head: D query rows, then D gate rows)
  Linear k_proj;  // H -> Hkv*D
  Linear v_proj;  // H -> Hkv*D
  Linear o_proj;  // Hq*D -> H
  std::optional<RmsNorm> q_norm, k_norm;  // width D, present iff use_qk_norm
  size_t num_heads = 0;     // Hq
  size_t num_kv_heads = 0;  // Hkv
  size_t head_dim = 0;      // D
  size_t rotary_dim = 0;    // R, from the configuration's head_dim (not D in a hybrid model)
  bool gated = false;

  // vb positioned at "layers.{i}.attn"; dimensions resolved by the caller.
  static Attention load(const Config& cfg, const tl::VarBuilder& vb, size_t num_heads,
                        size_t num_kv_heads, size_t head_dim, size_t rotary_dim, bool gated);

  // x: S x hidden (the attn_norm output). cos/sin: S x R rotary tables for positions
  // seqlen_offset .. seqlen_offset+S-1. Appends the S new keys/values to `entry` as a pending
  // step, then attends causally: row i sees every committed position and new rows 0..i.
  // out: S x hidden. With S >= 2 the call's mask width seqlen_offset+S must equal the cached
  // length after the append (else the broadcast_add shape error).
  void forward(const float* x, size_t S, const float* cos, const float* sin, size_t seqlen_offset,
               LayerCache& entry, AttentionScratch& scratch, float* out) const;
};

}  // namespace model

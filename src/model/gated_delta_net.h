// Gated delta-rule linear attention: a (heads, D, D) recurrent state per layer, decayed, corrected
// towards each token's value and read with its query, token by token.
#pragma once
#include <optional>

#include "model/config.h"
#include "model/kv_cache.h"
#include "model/layers.h"
#include "model/short_conv.h"

namespace model {

struct GatedDeltaNet {
  Linear q_proj, k_proj, v_proj;  // H -> C (C = N*D), no bias
  Linear beta_proj, alpha_proj;   // H -> N
  Linear g_proj;                  // H -> C
  Linear o_proj;                  // C -> H
  RmsNorm g_norm;                 // width D
  tl::Tensor dt_bias, A_log;      // (N) each, model dtype
  std::optional<ShortConv> conv_q, conv_k, conv_v;  // all present iff use_short_conv
  size_t num_heads = 0;  // N
  size_t head_dim = 0;   // D

  // vb positioned at "layers.{i}.attn"; fetch order as the weight-name table gives.
  static GatedDeltaNet load(const Config& cfg, const tl::VarBuilder& vb);

  // x: T x hidden (the attn_norm output); out: T x hidden. Writes the new tails and state into
  // the pending buffers of `entry` (1 - entry.cur) and sets entry.state_pending.
  void forward(const float* x, size_t T, LayerCache& entry, Workspace& ws, float* out) const;
};

}  // namespace model

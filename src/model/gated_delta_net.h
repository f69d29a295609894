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
  Linear q_proj, k_proj, v_proj;                    // H -> C (C = N*D), no bias
  Linear beta_proj, alpha_proj;                     // H -> N
  Linear g_proj;                                    // H -> C
  Linear o_proj;                                    // C -> H
  RmsNorm g_norm;                                   // width D
  tl::Tensor dt_bias, A_log;                        // (N) each, model dtype
  std::optional<ShortConv> conv_q, conv_k, conv_v;  // all present iff use_short_conv
  size_t num_heads = 0;                             // N
  size_t head_dim = 0;                              // D

  // vb positioned at "layers.{i}.attn"; fetches conv_q, conv_k, conv_v (with short convolutions),
  // q/k/v_proj, beta_proj, alpha_proj, g_proj, o_proj, g_norm, dt_bias, A_log in that order, so
  // a file missing several reports the first of them.
  static GatedDeltaNet load(const Config& cfg, const tl::VarBuilder& vb);

  // x: T x hidden (the attn_norm output); out: T x hidden. Writes the new tails and state into
  // the pending buffers of `entry` (1 - entry.cur) and sets entry.state_pending.
  void forward(const float* x, size_t T, LayerCache& entry, DeltaNetScratch& scratch,
               float* out) const;
};

// softplus(z) = max(z, 0) + log(exp(-|z|) * 1 + 1), each step rounded in d; exp is only ever taken
// of -|z|, so neither extreme overflows.
float softplus_d(float z, tl::DType d);
// Per-token decay factor exp(-softplus(a + dt_bias) * A), each step rounded in d; A = exp(A_log)
// already rounded in d. Lies in [0, 1] for finite inputs. gdn_log_decay is the exponent,
// -softplus(a + dt_bias) * A, with the same roundings.
float gdn_decay(float a, float dt_bias, float A, tl::DType d);
float gdn_log_decay(float a, float dt_bias, float A, tl::DType d);

// One token of the delta rule for one head, every product and elementwise result rounded in d:
//   S = S * decay;  r = k S;  delta = (v - r) * beta;  S += k delta^T;  o = q S.
// S_in, S_out: D x D indexed [a][b] (a: key channel, b: value channel); S_in == S_out is allowed
// (in-place step) and S_in == nullptr stands for a zero state. q, k, v: D values; o: D outputs.
// scratch: at least 3*D floats.
void delta_rule_step(const float* S_in, float* S_out, size_t D, const float* q, const float* k,
                     const float* v, float decay, float beta, tl::DType d, float* o,
                     float* scratch);

}  // namespace model

// Mixture of experts: F32 router, top-k routed experts mixed by their probabilities, plus an
// optional always-active shared expert.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "model/config.h"
#include "model/scratch.h"
#include "model/layers.h"

namespace model {

struct MoE {
  std::vector<Mlp> experts;           // E routed experts, id = position
  tl::Tensor gate;                    // (E, H) router weight in the model dtype, no bias
  std::optional<Mlp> shared_experts;  // inner width S * Ie, present iff n_shared_experts is set
  size_t num_experts_per_tok = 0;     // k
  size_t n_routed_experts = 0;        // E as configured
  float routed_scaling_factor = 1.0f;
  bool norm_topk_prob = false;

  // vb positioned at "layers.{i}.mlp": experts.{j} for j < E, then shared_experts, then
  // gate.weight.
  static MoE load(const Config& cfg, const tl::VarBuilder& vb);

  // x: n x H (mlp_norm output); out: n x H. k > E throws tl::InternalFailure
  // "index out of bounds: the len is E but the index is E" before any expert runs.
  // out must not alias x.
  void forward(const float* x, size_t n, float* out, MoEScratch& scratch) const;
};

// Each row's k most probable experts, best first: the order of a stable sort by descending
// probability, so equal probabilities keep ascending ids. A NaN probability ranks below every
// number, so an all-NaN row keeps id order. probs: n x E; weights: n x k (the chosen
// probabilities, unchanged); ids: n x k. k > E throws tl::InternalFailure
// "index out of bounds: the len is E but the index is E" at the first row.
void topk_2d(const float* probs, size_t n, size_t E, size_t k, float* weights, uint32_t* ids);

}  // namespace model

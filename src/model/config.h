// The model configuration record. Filled completely by the engine constructor before any loader
// runs, read by the loaders, released after loading.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace model {

struct MoeConfig {
  uint64_t intermediate_size = 0;                 // inner width of each routed expert
  uint64_t n_routed_experts = 0;                  // E
  std::optional<uint64_t> n_shared_experts;       // S; set => one shared expert of width S * Ie
  uint64_t num_experts_per_tok = 0;               // k
  float routed_scaling_factor = 1.0f;
  bool norm_topk_prob = false;
  std::optional<uint64_t> n_dense_layer;          // layers below it keep a dense Mlp
};

struct Config {
  std::optional<MoeConfig> moe_config;
  uint64_t vocab_size = 0;
  uint64_t hidden_size = 0;
  uint64_t intermediate_size = 0;
  uint64_t num_hidden_layers = 0;
  uint64_t num_attention_heads = 0;
  uint64_t num_key_value_heads = 0;  // defaults to num_attention_heads
  uint64_t head_dim = 0;             // defaults to hidden_size / num_attention_heads
  double norm_eps = 1e-6;
  bool use_qk_norm = true;
  bool attention_qkv_bias = false;
  bool attention_out_bias = false;
  bool mlp_bias = false;
  bool lm_head_bias = false;
  float rope_theta = 10000.0f;
  float partial_rotary_factor = 1.0f;
  uint64_t max_position_embeddings = 4096;
  std::string attention_type = "softmax";
  std::string hybrid_ratio = "3:1";
  std::optional<uint64_t> hybrid_softmax_head_dim;
  std::optional<uint64_t> hybrid_softmax_num_heads;
  std::optional<uint64_t> hybrid_softmax_num_kv_heads;
  bool hybrid_softmax_gated = false;
  // From the gated_deltanet_config object.
  bool use_short_conv = true;
  uint64_t conv_kernel_size = 4;
  bool conv_bias = false;
};

}  // namespace model

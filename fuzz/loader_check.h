// Model loading from hostile weight files, shared by the loader fuzz harness and the regression
// tests: a fixed tiny configuration that uses every layer kind (a gated delta-rule layer with
// biased short convolutions and a dense MLP, then a gated softmax attention layer with q/k norms
// and biases and a mixture of experts with a shared expert). A load must either succeed or fail
// with one of the accessor's texts, and a loaded F32 or F16 model must run two forward steps.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "model/llm_model.h"
#include "safetensors_check.h"

namespace fuzz {

inline model::Config tiny_config() {
  model::Config c;
  c.vocab_size = 5;
  c.hidden_size = 4;
  c.intermediate_size = 3;
  c.num_hidden_layers = 2;
  c.num_attention_heads = 2;
  c.num_key_value_heads = 1;
  c.head_dim = 2;
  c.attention_qkv_bias = true;
  c.attention_out_bias = true;
  c.lm_head_bias = true;
  c.max_position_embeddings = 4;
  c.attention_type = "hybrid";
  c.hybrid_ratio = "1:1";  // layer 0 gated delta rule, layer 1 softmax attention
  c.hybrid_softmax_gated = true;
  c.conv_kernel_size = 2;
  c.conv_bias = true;
  model::MoeConfig m;
  m.intermediate_size = 2;
  m.n_routed_experts = 2;
  m.n_shared_experts = 1;
  m.num_experts_per_tok = 1;
  m.n_dense_layer = 1;  // layer 0 dense, layer 1 mixture of experts
  c.moe_config = m;
  return c;
}

// The texts a load may fail with: the accessor's three, or the file's own open errors.
inline void check_load_error(const std::string& msg, const std::string& path) {
  if (starts_with(msg, "cannot find tensor ") || starts_with(msg, "shape mismatch for ") ||
      starts_with(msg, "unsupported safetensor dtype ")) {
    return;
  }
  check_open_error(msg, path);
}

// Loads the file as F32, F16 and BF16 and runs the loaded F32 and F16 models; returns how many
// of the three loads succeeded. Throws Broken.
inline int load_and_run(const std::string& path) {
  static const model::Config cfg = tiny_config();
  int loaded = 0;
  for (tl::DType dt : {tl::DType::F32, tl::DType::F16, tl::DType::BF16}) {
    std::optional<model::LlmModel> m;
    bool tied = false;
    try {
      tl::VarBuilder vb = tl::VarBuilder::from_mmaped_safetensors(path, dt);
      tied = !vb.contains_tensor("lm_head.weight");
      m.emplace(model::LlmModel::load(cfg, vb, dt));
    } catch (const tl::Error& e) {
      check_load_error(e.what(), path);
      continue;
    }
    if (m->vocab_size() != cfg.vocab_size || m->hidden_size() != cfg.hidden_size ||
        m->num_layers() != cfg.num_hidden_layers || m->dtype() != dt) {
      throw Broken{"loaded model has other sizes than its configuration"};
    }
    if (tied != m->lm_head.weight.shares_storage(m->embed_tokens)) {
      throw Broken{"output head tied differently from the file's lm_head.weight"};
    }
    ++loaded;
    if (dt == tl::DType::BF16) continue;  // a BF16 model cannot form its rotary tables
    model::KVCache cache(m->num_layers());
    std::vector<float> logits(cfg.vocab_size);
    const uint32_t ids[] = {0, (uint32_t)cfg.vocab_size - 1, 1};
    try {
      m->forward(ids, 2, 0, cache, logits.data());
      cache.commit();
      m->forward(ids + 2, 1, 2, cache, logits.data());
      cache.commit();
    } catch (const std::exception& e) {
      throw Broken{std::string("forward on a loaded model failed: ") + e.what()};
    }
  }
  return loaded;
}

}  // namespace fuzz

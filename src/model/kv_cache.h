// Per-layer decoding state, with one pending step that can be committed or rolled back.
//
// A forward call writes its results as a pending step: attention appends keys and values after
// the committed length; the delta-rule state and the convolution tails are written into the
// second of two buffers. commit() makes the pending step the new state; rollback() discards it,
// leaving every entry exactly as before the call. Buffers keep their capacity across reset().
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tensor/dtype.h"

namespace model {

// Reusable scratch buffers for one forward call (owned by the cache, so the model stays
// read-only and a decode step allocates nothing once the buffers have grown).
// Slot ranges by user, so that nested calls never share a slot:
//   0-3 LlmModel / DecoderLayer, 4-13 Attention and GatedDeltaNet (incl. their ShortConv),
//   14-16 Mlp, 17-21 MoE, 22-23 free.
struct Workspace {
  std::vector<float> slot[24];
  // Pointer to at least n floats of slot i (contents unspecified).
  float* get(int i, size_t n) {
    if (slot[i].size() < n) slot[i].resize(n);
    return slot[i].data();
  }
};

struct LayerCache {
  // --- softmax attention: keys (after k_norm and rotary) and values (as projected), stored in the
  // model dtype (F32 as float, F16 as binary16 bits), layout [position][kv_head][head_dim].
  tl::DType kv_dtype = tl::DType::F32;
  size_t kv_heads = 0, kv_head_dim = 0;
  size_t kv_len = 0;      // committed positions
  size_t kv_pending = 0;  // positions written, committed or not (>= kv_len)
  std::vector<uint8_t> keys, values;  // capacity grows geometrically
  bool has_kv() const { return kv_len > 0; }

  // --- gated delta rule: recurrent state (heads, D, D) indexed [h][a][b] (a: key channel,
  // b: value channel), and three convolution tails (channels, K-1) each, oldest step first.
  // Double buffered: buffer `cur` is committed, 1 - cur receives the pending step.
  int cur = 0;
  bool state_present[2] = {false, false};
  bool state_pending = false;
  std::vector<float> state[2];
  bool tails_present[2] = {false, false};
  std::vector<float> tail_q[2], tail_k[2], tail_v[2];

  void reset();
  void commit();
  void rollback();
};

struct KVCache {
  std::vector<LayerCache> layers;
  Workspace ws;

  explicit KVCache(size_t n) : layers(n) {}
  // Every entry back to empty; the number of entries is unchanged.
  void reset();
  void commit();
  void rollback();
};

}  // namespace model

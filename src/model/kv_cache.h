// Per-layer decoding state, with one pending step that can be committed or rolled back.
//
// A forward call writes its results as a pending step: attention appends keys and values after
// the committed length; the delta-rule state and the convolution tails are written into the
// second of two buffers. commit() makes the pending step the new state; rollback() discards it,
// leaving every entry exactly as before the call. reset() empties every entry and gives its
// memory back.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "model/scratch.h"
#include "tensor/dtype.h"

namespace model {

struct LayerCache {
  // --- softmax attention: keys (after k_norm and rotary) and values (as projected), stored in the
  // model dtype (F32 as float, F16 as binary16 bits), layout [position][kv_head][head_dim].
  tl::DType kv_dtype = tl::DType::F32;
  size_t kv_heads = 0, kv_head_dim = 0;
  size_t kv_len = 0;      // committed positions
  size_t kv_pending = 0;  // positions written, committed or not (>= kv_len)
  Block keys, values;     // capacity grows geometrically; rows kv_pending.. are unspecified
  bool has_kv() const { return kv_len > 0; }

  // --- gated delta rule: recurrent state (heads, D, D) indexed [h][a][b] (a: key channel,
  // b: value channel), and three convolution tails (channels, K-1) each, oldest step first.
  // Double buffered: buffer `cur` is committed, 1 - cur receives the pending step.
  int cur = 0;
  bool state_present[2] = {false, false};
  bool state_pending = false;
  Block state[2];  // state_floats floats each
  size_t state_floats = 0;
  bool tails_present[2] = {false, false};
  std::vector<float> tail_q[2], tail_k[2], tail_v[2];

  // State buffer i sized for n floats (contents unspecified); every state of a layer has n.
  float* state_for(int i, size_t n);
  // A copy of state buffer i (empty when no state was sized).
  std::vector<float> state_vector(int i) const;

  void reset();
  void commit();
  void rollback();
};

struct KVCache {
  std::vector<LayerCache> layers;
  Scratch scratch;  // working memory of the forward calls that use this cache

  explicit KVCache(size_t n) : layers(n) {}
  // Every entry back to empty, its memory given back, and working buffers beyond their ordinary
  // size released; the number of entries is unchanged.
  void reset();
  void commit();
  void rollback();
};

}  // namespace model

#include "model/kv_cache.h"

namespace model {

float* LayerCache::state_for(int i, size_t n) {
  state[i].reserve(n * sizeof(float));  // the caller's n is a checked product
  state_floats = n;
  return state[i].floats();
}

std::vector<float> LayerCache::state_vector(int i) const {
  if (state[i].capacity() == 0) return {};
  return std::vector<float>(state[i].floats(), state[i].floats() + state_floats);
}

void LayerCache::reset() {
  kv_len = 0;
  kv_pending = 0;
  kv_heads = 0;
  kv_head_dim = 0;
  keys.release();
  values.release();
  cur = 0;
  state_present[0] = state_present[1] = false;
  tails_present[0] = tails_present[1] = false;
  state_pending = false;
  state[0].release();
  state[1].release();
  state_floats = 0;
  for (std::vector<float>* t : {tail_q, tail_k, tail_v})
    for (int i = 0; i < 2; ++i) std::vector<float>().swap(t[i]);
}

void LayerCache::commit() {
  kv_len = kv_pending;
  if (state_pending) {
    cur = 1 - cur;
    state_pending = false;
  }
}

void LayerCache::rollback() {
  // Rows written past kv_len are simply forgotten; the committed rows were never touched.
  kv_pending = kv_len;
  if (kv_len == 0) kv_heads = kv_head_dim = 0;
  // The pending buffer (1 - cur) is overwritten by the next step; its flags stay meaningless
  // until a writer sets them again.
  state_pending = false;
  state_present[1 - cur] = false;
  tails_present[1 - cur] = false;
}

void KVCache::reset() {
  for (LayerCache& l : layers) l.reset();
  scratch.trim();
}

void KVCache::commit() {
  for (LayerCache& l : layers) l.commit();
}

void KVCache::rollback() {
  for (LayerCache& l : layers) l.rollback();
}

}  // namespace model

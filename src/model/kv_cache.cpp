#include "model/kv_cache.h"

namespace model {

void LayerCache::reset() {
  // Lengths and flags only: the key/value and state buffers keep their capacity for the next
  // request.
  kv_len = 0;
  kv_pending = 0;
  kv_heads = 0;
  kv_head_dim = 0;
  cur = 0;
  state_present[0] = state_present[1] = false;
  tails_present[0] = tails_present[1] = false;
  state_pending = false;
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
}

void KVCache::commit() {
  for (LayerCache& l : layers) l.commit();
}

void KVCache::rollback() {
  for (LayerCache& l : layers) l.rollback();
}

}  // namespace model

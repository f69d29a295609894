#include "engine/decode.h"

#include <algorithm>
#include <utility>

namespace engine {

void forward_logits(Engine& e, const DecodeState& st, std::vector<float>& logits) {
  logits.resize(e.model.vocab_size());
  e.model.forward(st.tokens.data(), st.tokens.size(), st.seqlen_offset, e.cache, logits.data());
}

uint32_t choose_token(Engine& e, const DecodeState& st, const SamplingSettings& s,
                      std::vector<float>& logits, ChaCha12Rng& rng) {
  try {
    suppress_logits(logits, s.suppress);
    apply_repetition_penalty(logits, st.generated, s.exclude, s.repetition_penalty);
    size_t id;
    if (s.temperature > 0.0f) {
      id = sample_logits(logits, s.top_k, rng, s.temperature, s.top_p);
    } else {
      id = argmax(logits);
    }
    return static_cast<uint32_t>(id);
  } catch (...) {
    e.cache.rollback();
    throw;
  }
}

void advance(Engine& e, DecodeState& st, uint32_t id, const ChaCha12Rng& rng_after) {
  // The history's growth is the only allocation here; it happens before the commit, so a failure
  // leaves the step uncommitted and the run exactly as it was.
  if (st.generated.size() == st.generated.capacity()) {
    try {
      st.generated.reserve(std::max<size_t>(16, 2 * st.generated.capacity()));
    } catch (...) {
      e.cache.rollback();
      throw;
    }
  }
  e.cache.commit();
  st.generated.push_back(id);
  st.seqlen_offset += st.tokens.size();
  st.generated_count += 1;
  st.tokens.assign(1, id);
  st.rng = rng_after;
}

uint32_t decode_step(Engine& e, DecodeState& st, const SamplingSettings& s,
                     std::vector<float>& logits) {
  forward_logits(e, st, logits);
  ChaCha12Rng rng = st.rng;
  const uint32_t id = choose_token(e, st, s, logits, rng);
  advance(e, st, id, rng);
  return id;
}

std::vector<uint32_t> generate(Engine& e, std::vector<uint32_t> input_ids, size_t max_new_tokens,
                               const SamplingSettings& s, uint32_t eos_token_id, uint64_t seed) {
  e.cache.reset();
  DecodeState st{std::move(input_ids), {}, ChaCha12Rng::seed_from_u64(seed), 0, 0};
  if (max_new_tokens == 0) return {};
  std::vector<float> logits;
  for (;;) {
    const uint32_t id = decode_step(e, st, s, logits);
    if (id == eos_token_id || st.generated_count == max_new_tokens) break;
  }
  return std::move(st.generated);
}

}  // namespace engine

// One decoding step and the whole-sequence loop, shared by LlmEngine.generate and LlmStreamer.
//
// A step runs the forward pass over the pending ids, which leaves a pending step in the caches,
// then chooses a token from the last position's logits. The caches are committed only once the
// id is chosen; a failure anywhere in the step rolls them back, so a failed step leaves the
// caches, like the run's own state, exactly as they were and the step can be retried.
#pragma once
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

#include "engine/engine.h"
#include "engine/sampling.h"

namespace engine {

// Settings of one run.
struct SamplingSettings {
  float temperature = 1.0f;  // > 0 samples; 0, negative or NaN chooses greedily
  size_t top_k = 0;          // 0 = off
  float top_p = 1.0f;
  float repetition_penalty = 1.0f;
  std::unordered_set<uint32_t> exclude;   // ids never penalised
  std::unordered_set<uint32_t> suppress;  // ids whose logits become -inf
};

// What a run carries from one step to the next.
struct DecodeState {
  std::vector<uint32_t> tokens;     // ids to feed next: the prompt, then the last chosen id
  std::vector<uint32_t> generated;  // ids chosen so far, in order (the penalty history)
  ChaCha12Rng rng;
  size_t seqlen_offset = 0;    // ids already in the caches
  size_t generated_count = 0;  // steps taken
};

// First half of a step: the forward pass over st.tokens at st.seqlen_offset; `logits` receives
// the last position's vocab_size values as f32. On success the caches hold a pending step that
// the caller must end with choose_token/advance (commit) or Engine::cache.rollback(). On failure
// (tl::Error, tl::InternalFailure, std::bad_alloc) the caches are already as before the call.
void forward_logits(Engine& e, const DecodeState& st, std::vector<float>& logits);

// Second half of a step: suppression, repetition penalty over st.generated, then the choice
// (sampled from `rng`, the caller's copy of st.rng, when temperature > 0, else greedy). Modifies
// `logits`. On failure the pending cache step is rolled back before the exception leaves.
uint32_t choose_token(Engine& e, const DecodeState& st, const SamplingSettings& s,
                      std::vector<float>& logits, ChaCha12Rng& rng);

// Records the chosen id: commits the pending cache step and advances the run's state (id appended,
// offset advanced by the ids just fed, one more step, the id becomes the only pending token, the
// generator replaced by the one the choice advanced). Fails only for lack of memory (std::bad_alloc),
// and then before anything changed: the pending cache step is rolled back.
void advance(Engine& e, DecodeState& st, uint32_t id, const ChaCha12Rng& rng_after);

// forward_logits + choose_token + advance.
uint32_t decode_step(Engine& e, DecodeState& st, const SamplingSettings& s,
                     std::vector<float>& logits);

// The whole-sequence loop of LlmEngine.generate after argument conversion: reset the caches, seed
// the generator, run decode_step until max_new_tokens ids or the end-of-sequence id (included).
std::vector<uint32_t> generate(Engine& e, std::vector<uint32_t> input_ids, size_t max_new_tokens,
                               const SamplingSettings& s, uint32_t eos_token_id, uint64_t seed);

}  // namespace engine

// The gated delta rule over a chunk of tokens in blocks: within a block the token-by-token
// recurrence becomes a few small matrix products (the WY form of the product of the per-token
// updates), and the state is carried from block to block. Same values as the recurrence up to
// f32 rounding; used for multi-token chunks of F32 models, where the recurrence would stream the
// whole state through memory twice per token.
#pragma once
#include <cstddef>

namespace model {

// Tokens per block. Per token the block form costs about 3 D^2 multiply-adds against the state
// plus 5 x block x D within the block; at D = 128 blocks of 32 measured fastest (16 as fast, 64
// a fifth slower), and a block's working set stays in the core's second-level cache.
inline constexpr size_t kDeltaBlock = 32;

// Floats of working memory that delta_rule_chunk needs for head width D.
size_t delta_chunk_floats(size_t D);

// One head over T tokens, F32 throughout, equivalent to T calls of delta_rule_step:
//   S = S * exp(g_t);  delta = (v_t - k_t S) * beta_t;  S += k_t delta^T;  o_t = q_t S.
// S_in: D x D state [a][b] (a: key channel, b: value channel), or nullptr for zeros. S_out: the
// state after the last token, same layout (may alias S_in). q (normalised and scaled), k
// (normalised), v: row t at q + t * ld (D values each). g_t = log_decay[t * ld_gate], the log of
// the decay factor (finite, <= 0); beta_t = beta[t * ld_gate]. o: row t at o + t * ld, D values;
// o may alias q (each block reads its queries before writing its outputs). work: at least
// delta_chunk_floats(D) floats.
void delta_rule_chunk(const float* S_in, float* S_out, size_t D, size_t T, const float* q,
                      const float* k, const float* v, size_t ld, const float* log_decay,
                      const float* beta, size_t ld_gate, float* o, float* work);

}  // namespace model

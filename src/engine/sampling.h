// Token choice: suppression, repetition penalty, greedy choice, and the seeded draw from the
// temperature-scaled, top-k/top-p-filtered softmax. Every step is single precision in a fixed
// order, so one seed and one set of arguments give the same token ids on every run.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace engine {

// A temperature or repetition penalty v with |v - 1| <= UNIT_TOLERANCE (computed in f32) counts
// as exactly 1. Bits 0x38D1B717 (9.9999997e-05).
constexpr float UNIT_TOLERANCE = 1e-4f;

namespace detail {
// One ChaCha block. Input words: 0-3 the "expand 32-byte k" constants, 4-11 the key, 12-13 the
// 64-bit block counter (low, high), 14-15 the 64-bit stream id (low, high). `Rounds` is even;
// each double round runs the quarter operation over the four columns, then the four diagonals.
// Instantiated for 12, the generator's rounds.
template <int Rounds>
void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, uint32_t out[16]);

// The probabilities the draw starts from. Divides `logits` by `temperature` in place (only when
// temperature > 0 and |temperature - 1| > UNIT_TOLERANCE), then writes
// p[i] = expf(logits[i] - m) / s for i < logits.size(), where m is the largest non-NaN logit
// (-inf if none) and s the f32 sum of the exponentials in id order. Returns whether any p[i] is
// NaN.
bool softmax_probabilities(std::vector<float>& logits, float temperature, float* p);
}  // namespace detail

// The generator behind sampling: the ChaCha12 keystream under a key expanded from a 64-bit seed,
// read as 32-bit words in order from block 0. Four blocks are computed at a time into a 64-word
// buffer; the buffering never changes the sequence. A plain value: copying it copies the stream
// position, so a copy yields the same words as the original from that point on.
class ChaCha12Rng {
 public:
  // All-zero key at block 0; real generators come from seed_from_u64.
  ChaCha12Rng() = default;

  // Key words k0..k7 from PCG32 (XSH-RR output, state advanced before each output) started at
  // `seed`; counter 0, stream 0, buffer empty.
  static ChaCha12Rng seed_from_u64(uint64_t seed);

  // A generator positioned at the start of block `counter` under `key` (stream 0, buffer
  // empty). Lets tests reach counters near 2^32 and 2^64 without drawing 2^36 words.
  static ChaCha12Rng from_key(const std::array<uint32_t, 8>& key, uint64_t counter);

  uint32_t next_u32() {
    if (index_ >= buffer_.size()) refill();
    return buffer_[index_++];
  }

  const std::array<uint32_t, 8>& key() const { return key_; }

 private:
  void refill();  // blocks counter_ .. counter_+3 (64-bit additions), then counter_ += 4

  std::array<uint32_t, 64> buffer_{};  // 4 blocks x 16 words
  size_t index_ = 64;                  // next word to hand out; 64 = buffer used up
  std::array<uint32_t, 8> key_{};
  uint64_t counter_ = 0;  // block counter of the next block to compute
  uint64_t stream_ = 0;   // always 0
};

// logits[id] = -inf for every id in `suppress` below logits.size(); larger ids are ignored.
void suppress_logits(std::vector<float>& logits, const std::unordered_set<uint32_t>& suppress);

// Penalises each entry of `history` in order (an id seen k times is penalised k times): a
// negative logit is multiplied by `penalty`, any other (>= 0 or NaN) divided by it. Ids in
// `exclude` or >= logits.size() are skipped. Off unless penalty > 0 and |penalty - 1| exceeds
// UNIT_TOLERANCE (so NaN is off).
void apply_repetition_penalty(std::vector<float>& logits, const std::vector<uint32_t>& history,
                              const std::unordered_set<uint32_t>& exclude, float penalty);

// Index of the largest logit; among equal maxima the highest index. Throws tl::InternalFailure
// when the vector is empty or, with two or more entries, holds a NaN. Draws nothing.
size_t argmax(const std::vector<float>& logits);

// One draw from softmax(logits / temperature) after the top-k cut (0 = off, >= size = off) and
// the top-p cut (on for 0 < top_p < 1; keeps the most probable ids up to and including the first
// whose running probability exceeds top_p). Probabilities are not renormalised after the cuts.
// Draws exactly one word from `rng` when the weighted draw can be formed; when it cannot (a
// single entry whose probability is NaN) returns the most probable id without drawing. Among
// equal probabilities the lower id ranks first. On return `logits` holds the temperature-scaled
// values. Throws tl::InternalFailure, having drawn nothing, when the vector is empty or, with two
// or more entries, a probability is NaN (a NaN or +inf logit, all logits -inf, or a scaled logit
// that overflows).
size_t sample_logits(std::vector<float>& logits, size_t top_k, ChaCha12Rng& rng, float temperature,
                     float top_p);

}  // namespace engine

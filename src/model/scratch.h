// Working memory of the forward pass: named buffers that live from call to call, and the rule
// for when their memory goes back to the system.
//
// Release rule. A one-token step and an ordinary chunk (at most kKeepRows tokens, over a cache of
// at most kKeepRows positions) find their buffers already allocated: nothing is allocated per
// step once the buffers have grown, and growth (the decode scores grow with the cache) is
// geometric. A buffer larger than its ordinary size is given back at the end of the call that
// grew it when that call was a long chunk, and otherwise at the next reset, so that a long prompt
// does not keep its working set resident for the rest of the process.
//
// Shapes below use S for the call's tokens, T for the cached positions after the call, H for the
// hidden width, Hq / Hkv / D for attention heads and head width, N / D / C = N*D for delta-rule
// heads, I for the feed-forward width, E / k for experts and experts per token.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace model {

// Rows (tokens of a call, or cached positions) that a buffer keeps between calls.
inline constexpr size_t kKeepRows = 512;

// Raw memory that really goes back to the system when released: blocks of kMapBytes and more are
// pages mapped for the block alone (the C heap would keep freed blocks resident in its free
// lists), smaller ones come from the heap.
class Block {
 public:
  static constexpr size_t kMapBytes = size_t{64} << 10;

  Block() = default;
  Block(const Block&) = delete;
  Block& operator=(const Block&) = delete;
  Block(Block&& o) noexcept : p_(o.p_), cap_(o.cap_) { o.p_ = nullptr, o.cap_ = 0; }
  Block& operator=(Block&& o) noexcept;
  ~Block() { release(); }

  // At least `bytes` bytes of capacity; the first `keep` bytes (at most the old capacity) are
  // carried over when the block moves, the rest is unspecified. Grows by at least half the old
  // capacity, so repeated small growth costs amortised O(1) per byte. std::bad_alloc on failure,
  // leaving the block as it was.
  void reserve(size_t bytes, size_t keep = 0);
  void release();
  size_t capacity() const { return cap_; }
  uint8_t* bytes() { return static_cast<uint8_t*>(p_); }
  const uint8_t* bytes() const { return static_cast<const uint8_t*>(p_); }
  float* floats() { return static_cast<float*>(p_); }
  const float* floats() const { return static_cast<const float*>(p_); }

 private:
  void* p_ = nullptr;
  size_t cap_ = 0;
};

// One named f32 working buffer.
class ScratchBuffer {
 public:
  // At least rows * row_floats floats (contents unspecified). `rows` is what the buffer grows
  // with: the call's tokens, or the cached positions for buffers that a decode step sizes by the
  // cache. std::bad_alloc when the size overflows or cannot be allocated.
  float* get(size_t rows, size_t row_floats);
  // Gives the memory back when a call asked for more than kKeepRows rows of the widest row asked
  // for (the capacity itself may exceed that by the growth margin: pages never touched cost
  // nothing).
  void trim();
  void release() {
    block_.release();
    asked_ = 0;
  }
  size_t capacity_bytes() const { return block_.capacity(); }

 private:
  Block block_;
  size_t row_floats_ = 0;  // widest row asked for since construction
  size_t asked_ = 0;       // largest size asked for since the memory was allocated, in bytes
};

// ---- Per-layer working sets

// Mlp::forward over T rows.
struct MlpScratch {
  ScratchBuffer gate;  // (T, I) gate_proj output, then silu(gate) * up
  ScratchBuffer up;    // (T, I) up_proj output
  void trim();
};

// Attention::forward over S new tokens and T cached positions.
struct AttentionScratch {
  ScratchBuffer qp;      // (S, Hq, D) or (S, Hq, 2D) when gated: q_proj output
  ScratchBuffer k, v;    // (S, Hkv, D) each: projected keys (normed, rotated) and values
  ScratchBuffer q;       // (S, Hq, D) queries split from a gated projection
  ScratchBuffer gate;    // (S, Hq, D) output gate split from a gated projection
  ScratchBuffer scores;  // decode: (Hq, T) scores, then probabilities
  ScratchBuffer o;       // (S, Hq, D) attention output before the gate and o_proj
  ScratchBuffer acc;     // decode: (chunks, Hq, D) partial sums of p . v, then maxima and sums
  ScratchBuffer keys;    // prompt: (Hkv, T, D) cached keys widened to f32
  ScratchBuffer values;  // prompt: (Hkv, T, D) cached values widened, transposed per key block
  ScratchBuffer tiles;   // prompt: per worker, a tile's queries, scores, sums and outputs
  // (F16 prompts reuse `scores` as (workers, rows, T): each tile's rows over every visible key.)
  void trim();
};

// GatedDeltaNet::forward over T tokens.
struct DeltaNetScratch {
  ScratchBuffer q_raw, k_raw, v_raw;  // (T, C) projections before the short convolutions
  ScratchBuffer q, k, v;              // (T, C) convolved (or projected), activated, normalised
  ScratchBuffer g;                    // (T, C) g_proj output, then the gated output rows
  ScratchBuffer beta;                 // (T, N) sigmoid(beta_proj)
  ScratchBuffer decay;                // (T, N) alpha_proj output, then the decay factors
  ScratchBuffer heads;                // per head: the recurrence's scratch and outputs
  void trim();
};

// MoE::forward over n rows, routed in chunks of n_c rows; each chosen expert runs over the c rows
// routed to it, the shared expert (inner width Is) over all n_c rows. A = k I + Is.
struct MoEScratch {
  ScratchBuffer probs;       // (n, E) router probabilities
  ScratchBuffer weights;     // (n, k) chosen experts' weights
  ScratchBuffer router32;    // (E, H) router weight widened to f32 (BF16 models)
  ScratchBuffer rows;        // (n_c * k, H) input rows gathered by expert, in slot order
  ScratchBuffer gate, up;    // (n_c, A) gate / up outputs, per expert as (c, rows) tiles per block
  ScratchBuffer act;         // (n_c, A) silu(gate) * up, per expert (c, I) row-major
  ScratchBuffer tiles;       // (n_c, (k + 1) H) down outputs, per expert as (c, rows) tiles
  ScratchBuffer ranked;      // (n_c, k, H) expert output row per (token, rank)
  ScratchBuffer shared_out;  // (n_c, H) shared expert output
  void trim();
};

// Everything one forward call of the whole model works in.
struct Scratch {
  ScratchBuffer x;     // (S, H) residual stream
  ScratchBuffer h;     // (S, H) attn_norm / mlp_norm output
  ScratchBuffer m;     // (S, H) mixer / feed-forward output
  ScratchBuffer rope;  // (2, S, R) rotary tables: cos rows, then sin rows
  AttentionScratch attn;
  DeltaNetScratch delta;
  MlpScratch mlp;
  MoEScratch moe;
  void trim();
};

}  // namespace model

// Token choice. Compiled with -ffp-contract=off and without fast-math (see CMakeLists.txt): every
// f32 operation below is rounded where it is written, and the sums run strictly in the order
// written, because the chosen token depends on the last bit of each probability and total.
#include "engine/sampling.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <limits>

#include "tensor/error.h"

namespace engine {

namespace {

[[noreturn]] void fail_unordered() {
  throw tl::InternalFailure("called `Option::unwrap()` on a `None` value");
}

constexpr float kNegInf = -std::numeric_limits<float>::infinity();
static_assert(std::bit_cast<uint32_t>(UNIT_TOLERANCE) == 0x38D1B717u);

inline uint32_t rotl(uint32_t v, int c) { return (v << c) | (v >> (32 - c)); }

inline void quarter(uint32_t* s, int a, int b, int c, int d) {
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = rotl(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotl(s[b] ^ s[c], 7);
}

// A candidate in the ranking: probability and id. Ranked by probability descending, then id
// ascending, a strict total order: the ranking (and so which of several equally probable ids a
// cut keeps) is a pure function of the probabilities, whatever selection algorithm or standard
// library produced it.
struct Ranked {
  float p;
  uint32_t id;
};
inline bool ranks_before(const Ranked& a, const Ranked& b) {
  return a.p > b.p || (a.p == b.p && a.id < b.id);
}

// Up to this many ranks are selected with a bounded heap in one pass over the ids; beyond it, all
// ids are ranked with a radix sort, which costs about as much as a few heap passes whatever the
// number of ranks needed.
constexpr size_t kHeapRanks = 1024;

// Scratch reused between calls on one thread, so a sampled token allocates nothing once the
// buffers have grown to the vocabulary size.
struct Scratch {
  std::vector<float> p;        // V: probabilities
  std::vector<float> totals;   // V: running totals in id order (uncut draws)
  std::vector<Ranked> ranked;  // ranked prefix (heap) or all V candidates (radix)
  std::vector<Ranked> spare;   // V: the radix sort's second buffer
  std::vector<Ranked> kept;    // survivors of the cuts, re-sorted by id
};
Scratch& scratch() {
  thread_local Scratch s;
  return s;
}

// The ranking of probabilities p[0..n), built lazily: ranked[0..size()) are the best size()
// candidates in rank order. Growing it never reorders what is already there (the order is total).
// The probabilities must hold no NaN.
class Ranking {
 public:
  Ranking(const float* p, size_t n, Scratch& s) : p_(p), n_(n), buf_(s.ranked), spare_(s.spare) {
    buf_.clear();
  }

  size_t size() const { return ready_; }
  const Ranked& operator[](size_t j) const { return buf_[j]; }

  // Makes at least min(want, n) ranks ready.
  void grow(size_t want) {
    want = std::min(want, n_);
    if (want <= ready_) return;
    if (want <= kHeapRanks) {
      select_with_heap(want);
      ready_ = want;
    } else {
      rank_all();
      ready_ = n_;
    }
  }

 private:
  // One pass keeping the best `want` candidates in a heap whose top is the worst kept. Ids arrive
  // in ascending order, so a later id with an equal probability never outranks a kept one: only a
  // strictly greater probability can enter.
  void select_with_heap(size_t want) {
    buf_.resize(want);
    for (size_t i = 0; i < want; ++i) buf_[i] = {p_[i], static_cast<uint32_t>(i)};
    std::make_heap(buf_.begin(), buf_.end(), ranks_before);
    float worst = buf_.front().p;
    for (size_t i = want; i < n_; ++i) {
      if (p_[i] > worst) {
        std::pop_heap(buf_.begin(), buf_.end(), ranks_before);
        buf_.back() = {p_[i], static_cast<uint32_t>(i)};
        std::push_heap(buf_.begin(), buf_.end(), ranks_before);
        worst = buf_.front().p;
      }
    }
    std::sort_heap(buf_.begin(), buf_.end(), ranks_before);
  }

  // LSD radix sort of all ids by probability descending: 11/11/10-bit digits of the inverted
  // bit pattern (for non-negative floats the bit pattern orders like the value). Each pass is
  // stable and the input is in id order, so equal probabilities stay in ascending id order.
  void rank_all() {
    static constexpr int kShift[3] = {0, 11, 22};
    static constexpr uint32_t kMask = 0x7FF;
    auto key = [](float p) { return ~std::bit_cast<uint32_t>(p + 0.0f); };  // -0 ranks as +0
    std::array<std::array<uint32_t, 2048>, 3> count{};
    for (size_t i = 0; i < n_; ++i) {
      const uint32_t k = key(p_[i]);
      for (int d = 0; d < 3; ++d) ++count[d][(k >> kShift[d]) & kMask];
    }
    buf_.resize(n_);
    spare_.resize(n_);
    for (size_t i = 0; i < n_; ++i) buf_[i] = {p_[i], static_cast<uint32_t>(i)};
    for (int d = 0; d < 3; ++d) {
      auto& c = count[d];
      if (*std::max_element(c.begin(), c.end()) == n_) continue;  // one digit value: order kept
      uint32_t offset = 0;
      for (uint32_t& v : c) {
        const uint32_t here = v;
        v = offset;
        offset += here;
      }
      for (size_t i = 0; i < n_; ++i) {
        const Ranked r = buf_[i];
        spare_[c[(key(r.p) >> kShift[d]) & kMask]++] = r;
      }
      buf_.swap(spare_);
    }
  }

  const float* p_;
  size_t n_;
  std::vector<Ranked>& buf_;
  std::vector<Ranked>& spare_;
  size_t ready_ = 0;
};

// The uniform value the weighted draw compares against the running totals: the largest scale
// <= total with scale * (1 - 2^-23) < total, times a 23-bit float in [0, 1) from one word.
float draw_point(float total, ChaCha12Rng& rng) {
  constexpr float kMaxUnit = 0.99999988f;  // 1 - 2^-23, bits 0x3F7FFFFE
  float scale = total;
  while (scale * kMaxUnit >= total) {
    scale = std::bit_cast<float>(std::bit_cast<uint32_t>(scale) - 1u);
  }
  const uint32_t u = rng.next_u32();
  const float x = std::bit_cast<float>(0x3F800000u | (u >> 9)) - 1.0f;
  return x * scale;
}

// Most probable id: the first rank (highest probability, lowest id among equals).
size_t most_probable(const float* p, size_t n) {
  size_t best = 0;
  for (size_t i = 1; i < n; ++i) {
    if (p[i] > p[best]) best = i;
  }
  return best;
}

// Weighted draw over all n probabilities in id order, nothing cut. totals[i] = p[0] + ... + p[i]
// accumulated left to right; the id is the number of totals among totals[0..n-2] that are <= r.
size_t draw_uncut(const float* p, size_t n, std::vector<float>& totals_buf, ChaCha12Rng& rng) {
  totals_buf.resize(n);
  float* totals = totals_buf.data();
  bool invalid = !(p[0] >= 0.0f);  // negative or NaN
  float t = p[0];
  totals[0] = t;
  for (size_t i = 1; i < n; ++i) {
    invalid |= !(p[i] >= 0.0f);
    t = t + p[i];
    totals[i] = t;
  }
  if (invalid || t == 0.0f) return most_probable(p, n);
  const float r = draw_point(t, rng);
  // The totals are non-decreasing (no negative weight), so the count of totals <= r is the
  // position of the first one above it.
  return static_cast<size_t>(std::upper_bound(totals, totals + (n - 1), r) - totals);
}

// Weighted draw when the cuts left only the ranks [0, keep) with their weight. Zero weights add
// nothing to a running total, so the totals over all n ids change only at the survivors: the
// drawn id is the first survivor (by id) whose running total exceeds r, which equals the count of
// all-id totals <= r.
size_t draw_cut(const Ranking& ranking, size_t keep, size_t n, std::vector<Ranked>& kept,
                ChaCha12Rng& rng) {
  kept.assign(&ranking[0], &ranking[0] + keep);
  std::sort(kept.begin(), kept.end(), [](const Ranked& a, const Ranked& b) { return a.id < b.id; });
  bool invalid = false;
  float t = 0.0f;
  for (size_t j = 0; j < keep; ++j) {
    invalid |= !(kept[j].p >= 0.0f);
    t = j == 0 ? kept[j].p : t + kept[j].p;
    kept[j].p = t;  // now the running total at this id
  }
  if (invalid || t == 0.0f) return ranking[0].id;
  const float r = draw_point(t, rng);
  for (size_t j = 0; j < keep; ++j) {
    if (kept[j].p > r) return kept[j].id;
  }
  return n - 1;
}

}  // namespace

namespace detail {

template <int Rounds>
void chacha_block(const uint32_t key[8], uint64_t counter, uint64_t stream, uint32_t out[16]) {
  static_assert(Rounds > 0 && Rounds % 2 == 0);
  uint32_t in[16] = {0x61707865u, 0x3320646Eu, 0x79622D32u, 0x6B206574u};  // "expand 32-byte k"
  std::copy(key, key + 8, in + 4);
  in[12] = static_cast<uint32_t>(counter);
  in[13] = static_cast<uint32_t>(counter >> 32);
  in[14] = static_cast<uint32_t>(stream);
  in[15] = static_cast<uint32_t>(stream >> 32);
  uint32_t x[16];
  std::copy(in, in + 16, x);
  for (int r = 0; r < Rounds; r += 2) {
    quarter(x, 0, 4, 8, 12);
    quarter(x, 1, 5, 9, 13);
    quarter(x, 2, 6, 10, 14);
    quarter(x, 3, 7, 11, 15);
    quarter(x, 0, 5, 10, 15);
    quarter(x, 1, 6, 11, 12);
    quarter(x, 2, 7, 8, 13);
    quarter(x, 3, 4, 9, 14);
  }
  for (int i = 0; i < 16; ++i) out[i] = x[i] + in[i];
}

template void chacha_block<12>(const uint32_t*, uint64_t, uint64_t, uint32_t*);

bool softmax_probabilities(std::vector<float>& logits, float temperature, float* p) {
  const size_t n = logits.size();
  float* l = logits.data();
  if (temperature > 0.0f && std::fabs(temperature - 1.0f) > UNIT_TOLERANCE) {
    for (size_t i = 0; i < n; ++i) l[i] = l[i] / temperature;  // a division, not a reciprocal
  }
  float m = kNegInf;  // NaN entries never win a comparison, so they are ignored
  for (size_t i = 0; i < n; ++i) m = l[i] > m ? l[i] : m;
  // The C library's single-precision exponential, one call per entry (no vector approximation:
  // its last bit decides tokens). The sum runs strictly in id order.
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    const float e = expf(l[i] - m);
    p[i] = e;
    sum = sum + e;
  }
  uint32_t nan = 0;
  for (size_t i = 0; i < n; ++i) {
    p[i] = p[i] / sum;
    nan |= p[i] != p[i];
  }
  return nan != 0;
}

}  // namespace detail

ChaCha12Rng ChaCha12Rng::seed_from_u64(uint64_t seed) {
  constexpr uint64_t kMul = 6364136223846793005ull;
  constexpr uint64_t kInc = 11634580027462260723ull;
  std::array<uint32_t, 8> key;
  uint64_t state = seed;
  for (uint32_t& word : key) {
    state = state * kMul + kInc;
    const uint32_t x = static_cast<uint32_t>(((state >> 18) ^ state) >> 27);
    const int rot = static_cast<int>(state >> 59);
    word = std::rotr(x, rot);
  }
  return from_key(key, 0);
}

ChaCha12Rng ChaCha12Rng::from_key(const std::array<uint32_t, 8>& key, uint64_t counter) {
  ChaCha12Rng rng;
  rng.key_ = key;
  rng.counter_ = counter;
  return rng;
}

void ChaCha12Rng::refill() {
  for (uint64_t b = 0; b < 4; ++b) {
    detail::chacha_block<12>(key_.data(), counter_ + b, stream_, buffer_.data() + 16 * b);
  }
  counter_ += 4;
  index_ = 0;
}

void suppress_logits(std::vector<float>& logits, const std::unordered_set<uint32_t>& suppress) {
  for (uint32_t id : suppress) {
    if (id < logits.size()) logits[id] = kNegInf;
  }
}

void apply_repetition_penalty(std::vector<float>& logits, const std::vector<uint32_t>& history,
                              const std::unordered_set<uint32_t>& exclude, float penalty) {
  if (!(penalty > 0.0f) || !(std::fabs(penalty - 1.0f) > UNIT_TOLERANCE)) return;
  for (uint32_t id : history) {
    if (id >= logits.size() || exclude.count(id) != 0) continue;
    float& l = logits[id];
    l = l < 0.0f ? l * penalty : l / penalty;
  }
}

size_t argmax(const std::vector<float>& logits) {
  const size_t n = logits.size();
  if (n == 0) fail_unordered();
  if (n == 1) return 0;
  const float* x = logits.data();
  // Pass 1: maximum and NaN check in 8 independent lanes (vectorisable; no ordering subtlety,
  // since a maximum is the same whichever order it is taken in).
  constexpr size_t kLanes = 8;
  float mx[kLanes];
  uint32_t nan[kLanes];
  for (size_t j = 0; j < kLanes; ++j) {
    mx[j] = kNegInf;
    nan[j] = 0;
  }
  size_t i = 0;
  for (; i + kLanes <= n; i += kLanes) {
    for (size_t j = 0; j < kLanes; ++j) {
      const float v = x[i + j];
      mx[j] = v > mx[j] ? v : mx[j];
      nan[j] |= v != v;
    }
  }
  for (; i < n; ++i) {
    mx[0] = x[i] > mx[0] ? x[i] : mx[0];
    nan[0] |= x[i] != x[i];
  }
  float m = mx[0];
  uint32_t any_nan = nan[0];
  for (size_t j = 1; j < kLanes; ++j) {
    m = mx[j] > m ? mx[j] : m;
    any_nan |= nan[j];
  }
  if (any_nan) fail_unordered();
  // Pass 2: scanning left to right and moving on ties keeps the last index equal to the maximum
  // (+0 and -0 compare equal), so scan from the right for the first.
  for (size_t k = n; k-- > 0;) {
    if (x[k] == m) return k;
  }
  return n - 1;  // unreachable: some entry equals the maximum
}

size_t sample_logits(std::vector<float>& logits, size_t top_k, ChaCha12Rng& rng, float temperature,
                     float top_p) {
  const size_t n = logits.size();
  if (n == 0) fail_unordered();
  Scratch& s = scratch();
  s.p.resize(n);
  float* p = s.p.data();
  const bool nan = detail::softmax_probabilities(logits, temperature, p);
  // Ranking NaN probabilities has no answer; refuse before any comparison-based step runs.
  // A single entry is never compared, and its NaN falls through to the draw's fallback.
  if (nan && n >= 2) fail_unordered();

  const bool cut_k = top_k > 0 && top_k < n;
  const bool cut_p = top_p > 0.0f && top_p < 1.0f;
  if (!cut_k && !cut_p) return draw_uncut(p, n, s.totals, rng);

  // Ranks [0, keep) keep their probability; the rest are cut to 0.
  Ranking ranking(p, n, s);
  const size_t limit = cut_k ? top_k : n;
  size_t keep = limit;
  if (!cut_p) {
    ranking.grow(limit);
  } else {
    // Running probability over the ranks. Ranks at or past `limit` were cut to 0 by top-k and
    // would leave it unchanged, so the walk stops there.
    float c = 0.0f;
    size_t want = std::min<size_t>(limit, 64);
    for (size_t j = 0; j < limit; ++j) {
      if (j == ranking.size()) {
        ranking.grow(want);
        want = std::min(limit, want * 4);
      }
      c = c + ranking[j].p;
      if (c > top_p) {
        keep = j + 1;
        break;
      }
    }
  }
  if (keep == n) return draw_uncut(p, n, s.totals, rng);
  if (keep <= kHeapRanks) return draw_cut(ranking, keep, n, s.kept, rng);
  // Many survivors: sorting them by id would cost more than one pass over all ids. The survivors
  // are exactly the ids ranking no later than the last kept one, so cut the rest to 0 in place
  // and draw over all ids (zero weights leave the running totals unchanged).
  const Ranked last = ranking[keep - 1];
  for (size_t i = 0; i < n; ++i) {
    const bool kept = p[i] > last.p || (p[i] == last.p && i <= last.id);
    p[i] = kept ? p[i] : 0.0f;
  }
  return draw_uncut(p, n, s.totals, rng);
}

}  // namespace engine

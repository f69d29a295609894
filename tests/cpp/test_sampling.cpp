// Token choice: the generator against an independent reference's keystream and published ChaCha
// vectors; suppression, repetition penalty and greedy choice on small hand-made cases; the fast
// sampler against a plain full-sort version of the same algorithm, bit for bit, plus statistical
// and failure checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "data/chacha12_vectors.inc"
#include "engine/sampling.h"
#include "tensor/error.h"

using engine::ChaCha12Rng;

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
const std::string kUnordered = "called `Option::unwrap()` on a `None` value";

std::array<uint32_t, 8> key_of(const uint32_t* k) {
  std::array<uint32_t, 8> a;
  std::copy(k, k + 8, a.begin());
  return a;
}

std::vector<uint32_t> words(ChaCha12Rng& rng, size_t n) {
  std::vector<uint32_t> w(n);
  for (auto& x : w) x = rng.next_u32();
  return w;
}

std::vector<uint32_t> table(const uint32_t* t, size_t n) { return {t, t + n}; }

// Runs `f` and checks it throws the internal failure for unordered values.
template <class F>
void expect_unordered(F&& f) {
  try {
    f();
    ADD_FAILURE() << "no failure raised";
  } catch (const tl::InternalFailure& e) {
    EXPECT_EQ(std::string(e.what()), kUnordered);
  }
}

// True when `a` and `b` will produce the same next word (same stream position).
bool same_position(ChaCha12Rng a, ChaCha12Rng b) {
  for (int i = 0; i < 3; ++i) {
    if (a.next_u32() != b.next_u32()) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// Generator

TEST(ChaChaBlock, PublishedVectors) {
  // 20 rounds in the RFC 7539 layout: word 12 = 32-bit counter, words 13-15 = 96-bit nonce, which
  // maps onto a 64-bit counter (words 12-13) and a 64-bit stream id (words 14-15).
  struct Case {
    int rounds;
    std::array<uint8_t, 32> key;
    uint32_t w12, w13, w14, w15;
    const char* hex;
  };
  std::array<uint8_t, 32> seq, zero{};
  for (int i = 0; i < 32; ++i) seq[i] = static_cast<uint8_t>(i);
  const Case cases[] = {
      // RFC 7539 2.3.2: counter 1, nonce 00:00:00:09:00:00:00:4a:00:00:00:00.
      {20, seq, 1, 0x09000000u, 0x4a000000u, 0,
       "10f1e7e4d13b5915500fdd1fa32071c4c7d1f4c733c068030422aa9ac3d46c4e"
       "d2826446079faa0914c2d705d98b02a2b5129cd1de164eb9cbd083e8a2503c4e"},
      // RFC 7539 A.1 #1: all zero.
      {20, zero, 0, 0, 0, 0,
       "76b8e0ada0f13d90405d6ae55386bd28bdd219b8a08ded1aa836efcc8b770dc7"
       "da41597c5157488d7724e03fb8d84a376a43b8f41518a11cc387b669b2ee6586"},
      // ChaCha12 with an all-zero 256-bit key and IV (Strombergson's test vectors, TC1).
      {12, zero, 0, 0, 0, 0,
       "9bf49a6a0755f953811fce125f2683d50429c3bb49e074147e0089a52eae155f"
       "0564f879d27ae3c02ce82834acfa8c793a629f2ca0de6919610be82f411326be"},
  };
  for (const Case& c : cases) {
    uint32_t key[8], out[16];
    std::memcpy(key, c.key.data(), 32);  // little-endian words (x86/arm64 hosts)
    const uint64_t counter = c.w12 | (uint64_t{c.w13} << 32);
    const uint64_t stream = c.w14 | (uint64_t{c.w15} << 32);
    if (c.rounds == 20) {
      engine::detail::chacha_block<20>(key, counter, stream, out);
    } else {
      engine::detail::chacha_block<12>(key, counter, stream, out);
    }
    uint8_t bytes[64];
    std::memcpy(bytes, out, 64);
    char hex[129];
    for (int i = 0; i < 64; ++i) std::snprintf(hex + 2 * i, 3, "%02x", bytes[i]);
    EXPECT_EQ(std::string(hex), c.hex) << "rounds " << c.rounds;
  }
  // Every input word reaches the output: counter low/high and both stream words.
  uint32_t key[8], out[16];
  for (int i = 0; i < 8; ++i) key[i] = 0x03020100u + 0x04040404u * i;
  engine::detail::chacha_block<12>(key, 0x89ABCDEF01234567ull, 0xDEADBEEF0BADF00Dull, out);
  EXPECT_EQ(std::vector<uint32_t>(out, out + 16), table(kBlock12Pattern, 16));
}

TEST(ChaCha12Rng, SeedExpansionAndKeystreamMatchReference) {
  // PCG32 check value: the state after the first advance from seed 42, whose XSH-RR output is
  // key word 0.
  const uint64_t s1 = 0x1EE864530044F555ull;
  const uint32_t x = static_cast<uint32_t>(((s1 >> 18) ^ s1) >> 27);
  EXPECT_EQ(ChaCha12Rng::seed_from_u64(42).key()[0], std::rotr(x, static_cast<int>(s1 >> 59)));

  struct Case {
    uint64_t seed;
    const uint32_t* key;
    const uint32_t* stream;
  } cases[] = {{0, kKeySeed0, kStreamSeed0},
               {42, kKeySeed42, kStreamSeed42},
               {~uint64_t{0}, kKeySeedMAX, kStreamSeedMAX}};
  for (const Case& c : cases) {
    ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(c.seed);
    EXPECT_EQ(rng.key(), key_of(c.key)) << c.seed;
    // 130 words: two buffer refills and a bit; word 0 is word 0 of block 0.
    EXPECT_EQ(words(rng, 130), table(c.stream, 130)) << c.seed;
  }
  EXPECT_NE(ChaCha12Rng::seed_from_u64(0).key(), ChaCha12Rng::seed_from_u64(42).key());
}

TEST(ChaCha12Rng, CounterCarriesIntoHighWordAndWraps) {
  // Blocks 0xFFFFFFFE..0x1_00000005 in two refills: the counter's low word overflows inside the
  // first refill of four.
  ChaCha12Rng carry = ChaCha12Rng::from_key(key_of(kKeySeed42), 0xFFFFFFFEull);
  EXPECT_EQ(words(carry, 128), table(kCarrySeed42, 128));
  // Blocks 2^64-2, 2^64-1, 0, 1: the 64-bit counter wraps; blocks 0 and 1 equal the seeded
  // stream's first two blocks.
  ChaCha12Rng wrap = ChaCha12Rng::from_key(key_of(kKeySeed42), ~uint64_t{0} - 1);
  const auto w = words(wrap, 64);
  EXPECT_EQ(w, table(kWrapSeed42, 64));
  EXPECT_EQ(std::vector<uint32_t>(w.begin() + 32, w.end()), table(kStreamSeed42, 32));
}

TEST(ChaCha12Rng, CopyIsAnIndependentValueAtTheSamePosition) {
  ChaCha12Rng a = ChaCha12Rng::seed_from_u64(7);
  for (int i = 0; i < 70; ++i) a.next_u32();  // mid-buffer, after one refill
  ChaCha12Rng b = a;
  const auto wa = words(a, 100);
  EXPECT_EQ(words(b, 100), wa);
  ChaCha12Rng c = ChaCha12Rng::seed_from_u64(7);
  for (int i = 0; i < 170; ++i) c.next_u32();
  EXPECT_TRUE(same_position(a, c));
}

// ---------------------------------------------------------------------------------------------
// Suppression and repetition penalty

TEST(TokenSets, SuppressSetsMinusInfinityBelowVocabularyOnly) {
  std::vector<float> logits = {1.0f, -2.0f, 3.0f, kNaN, 0.5f};
  engine::suppress_logits(logits, {1, 3, 5, 1000, 0xFFFFFFFFu});
  EXPECT_EQ(logits[0], 1.0f);
  EXPECT_EQ(logits[1], -kInf);
  EXPECT_EQ(logits[2], 3.0f);
  EXPECT_EQ(logits[3], -kInf);
  EXPECT_EQ(logits[4], 0.5f);
  std::vector<float> empty;
  engine::suppress_logits(empty, {0, 1});
  EXPECT_TRUE(empty.empty());
}

TEST(TokenSets, RepetitionPenaltyPerOccurrenceKeepsSign) {
  // History [7, 7], penalty 2: 2 -> 1 -> 0.5, -1 -> -2 -> -4, 0 stays 0, NaN stays NaN.
  for (float start : {2.0f, -1.0f, 0.0f, -0.0f, 3e-39f, -kInf, kInf}) {
    std::vector<float> logits(10, 1.0f);
    logits[7] = start;
    engine::apply_repetition_penalty(logits, {7, 7}, {}, 2.0f);
    const float want = start < 0 ? start * 2.0f * 2.0f : start / 2.0f / 2.0f;
    EXPECT_EQ(logits[7], want) << start;
    EXPECT_EQ(std::signbit(logits[7]), std::signbit(start)) << start;
    for (int i = 0; i < 10; ++i) {
      if (i != 7) {
        EXPECT_EQ(logits[i], 1.0f);
      }
    }
  }
  std::vector<float> nan_logit = {kNaN};
  engine::apply_repetition_penalty(nan_logit, {0}, {}, 2.0f);
  EXPECT_TRUE(std::isnan(nan_logit[0]));

  // Exclusions and ids at or above V have no effect; other ids are penalised once per entry.
  std::vector<float> logits = {4.0f, 4.0f, -4.0f, 4.0f};
  engine::apply_repetition_penalty(logits, {0, 1, 2, 2, 4, 99, 1, 0xFFFFFFFFu}, {1, 99}, 4.0f);
  EXPECT_EQ(logits, (std::vector<float>{1.0f, 4.0f, -64.0f, 4.0f}));
}

TEST(TokenSets, RepetitionPenaltyOffNearOneAndForNonPositive) {
  const std::vector<float> base = {2.0f, -1.0f, 0.5f};
  // |v - 1| <= 1e-4 in f32, zero, negative and NaN: no change. 1.0001 (|v - 1| = 1.00017e-4),
  // 1.0002 and 0.9998 apply.
  for (float off : {1.0f, 1.00005f, 0.99995f, 1.00009f, 0.0f, -0.0f, -2.0f, kNaN, -kInf}) {
    std::vector<float> logits = base;
    engine::apply_repetition_penalty(logits, {0, 1, 2}, {}, off);
    EXPECT_EQ(logits, base) << off;
  }
  for (float on : {1.0001f, 1.0002f, 0.9998f, 0.5f, kInf}) {
    std::vector<float> logits = base;
    engine::apply_repetition_penalty(logits, {0, 1, 2}, {}, on);
    EXPECT_EQ(logits[0], 2.0f / on) << on;
    EXPECT_EQ(logits[1], -1.0f * on) << on;
  }
}

// ---------------------------------------------------------------------------------------------
// Greedy choice

size_t ref_argmax(const std::vector<float>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    if (!(v[best] > v[i])) best = i;  // inputs here hold no NaN
  }
  return best;
}

TEST(Argmax, HighestIndexAmongEqualMaxima) {
  EXPECT_EQ(engine::argmax({1.0f, 3.0f, 3.0f, 2.0f}), 2u);
  EXPECT_EQ(engine::argmax({5.0f}), 0u);
  EXPECT_EQ(engine::argmax(std::vector<float>(11, -kInf)), 10u);  // every id suppressed
  EXPECT_EQ(engine::argmax({0.0f, -0.0f, -1.0f}), 1u);            // +0 and -0 are equal
  EXPECT_EQ(engine::argmax({-kInf, kInf, 1.0f, kInf, 3.0f}), 3u);

  // Random inputs of sizes around the 8-lane blocking, with many ties.
  std::mt19937 gen(5);
  for (size_t n : {2, 3, 7, 8, 9, 15, 16, 17, 33, 100, 4099}) {
    for (int rep = 0; rep < 50; ++rep) {
      std::vector<float> v(n);
      for (auto& x : v) x = static_cast<float>(static_cast<int>(gen() % 7)) - 3.0f;
      if (rep % 3 == 0) v[gen() % n] = kInf;
      if (rep % 5 == 0) v[gen() % n] = -0.0f;
      ASSERT_EQ(engine::argmax(v), ref_argmax(v)) << n << " " << rep;
    }
  }
}

TEST(Argmax, NanOrEmptyFails) {
  expect_unordered([] { engine::argmax({}); });
  for (size_t n : {2, 9, 17}) {
    for (size_t at = 0; at < n; ++at) {
      std::vector<float> v(n, 1.0f);
      v[at] = kNaN;
      expect_unordered([&] { engine::argmax(v); });
    }
  }
  EXPECT_EQ(engine::argmax({kNaN}), 0u);  // nothing is compared
}

// ---------------------------------------------------------------------------------------------
// Sampling: a plain version written step by step (three vocabulary-sized vectors, a full sort).
// Among equal probabilities it ranks the lower id first, the order this codebase fixes.

std::vector<float> ref_probs(std::vector<float>& logits, float temperature) {
  const size_t n = logits.size();
  if (temperature > 0.0f && std::fabs(temperature - 1.0f) > engine::UNIT_TOLERANCE) {
    for (float& v : logits) v = v / temperature;
  }
  float m = -kInf;
  for (float v : logits) m = std::fmax(m, v);
  std::vector<float> p(n);
  for (size_t i = 0; i < n; ++i) p[i] = expf(logits[i] - m);
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s += p[i];
  for (size_t i = 0; i < n; ++i) p[i] = p[i] / s;
  return p;
}

// Probabilities after both cuts; sets *first to the most probable id. Throws, as the sort would
// fail, when two or more probabilities include a NaN.
std::vector<float> ref_cut_probs(std::vector<float> logits, size_t top_k, float temperature,
                                 float top_p, size_t* first = nullptr) {
  const size_t n = logits.size();
  if (n == 0) throw tl::InternalFailure(kUnordered);
  std::vector<float> p = ref_probs(logits, temperature);
  if (n >= 2 && std::any_of(p.begin(), p.end(), [](float v) { return std::isnan(v); })) {
    throw tl::InternalFailure(kUnordered);
  }
  std::vector<size_t> order(n);
  std::iota(order.begin(), order.end(), size_t{0});
  std::sort(order.begin(), order.end(),
            [&](size_t a, size_t b) { return p[a] > p[b] || (p[a] == p[b] && a < b); });
  if (top_k > 0 && top_k < n) {
    for (size_t j = top_k; j < n; ++j) p[order[j]] = 0.0f;
  }
  if (top_p > 0.0f && top_p < 1.0f) {
    float c = 0.0f;
    for (size_t j = 0; j < n; ++j) {
      c += p[order[j]];
      if (c > top_p) {
        for (size_t k = j + 1; k < n; ++k) p[order[k]] = 0.0f;
        break;
      }
    }
  }
  if (first) *first = order[0];
  return p;
}

size_t ref_sample(const std::vector<float>& logits, size_t top_k, ChaCha12Rng& rng,
                  float temperature, float top_p) {
  size_t first;
  const std::vector<float> p = ref_cut_probs(logits, top_k, temperature, top_p, &first);
  const size_t n = p.size();
  for (float v : p) {
    if (v < 0.0f || std::isnan(v)) return first;
  }
  std::vector<float> totals(n);
  totals[0] = p[0];
  for (size_t i = 1; i < n; ++i) totals[i] = totals[i - 1] + p[i];
  const float total = totals[n - 1];
  if (total == 0.0f) return first;
  float scale = total;
  while (scale * (1.0f - 0x1p-23f) >= total) scale = std::nextafterf(scale, 0.0f);
  const uint32_t u = rng.next_u32();
  const float x = std::bit_cast<float>(0x3F800000u | (u >> 9)) - 1.0f;
  const float r = x * scale;
  size_t count = 0;
  for (size_t i = 0; i + 1 < n; ++i) count += totals[i] <= r;
  return count;
}

// Random logits of several shapes: spread, flat, quantised (ties), with -inf entries (suppressed
// ids), with entries whose exponential underflows to 0.
std::vector<float> random_logits(std::mt19937& gen, size_t n, int shape) {
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) {
    switch (shape) {
      case 0:
        x = 3.0f * normal(gen);
        break;
      case 1:
        x = 0.05f * normal(gen);
        break;
      case 2:
        x = static_cast<float>(static_cast<int>(gen() % 5));
        break;
      case 3:
        x = gen() % 4 == 0 ? -kInf : normal(gen);
        break;
      default:
        x = gen() % 3 == 0 ? -200.0f + normal(gen) : 10.0f * normal(gen);
        break;
    }
  }
  if (shape == 3) v[gen() % n] = 0.0f;  // at least one finite entry
  return v;
}

// Same bits, NaN included (any NaN matches any NaN).
bool same_floats(const std::vector<float>& a, const float* b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (!(a[i] == b[i] || (std::isnan(a[i]) && std::isnan(b[i])))) return false;
    if (std::signbit(a[i]) != std::signbit(b[i]) && !std::isnan(a[i])) return false;
  }
  return true;
}

TEST(SampleLogits, ProbabilitiesAndScaledLogitsMatchReferenceBitForBit) {
  // The id a draw returns hides most one-ulp differences, so the probabilities are compared
  // directly: a reordered sum, a reciprocal instead of a division, or a different exponential
  // shows up here.
  std::mt19937 gen(31);
  const float temps[] = {1.0f, 0.7f, 1.3f, 1.00005f, 0.05f, 3.0f, 0.0f, -1.0f, kNaN, 1e-10f};
  for (size_t n : {1, 2, 7, 100, 4099}) {
    for (int rep = 0; rep < 40; ++rep) {
      std::vector<float> logits = random_logits(gen, n, rep % 5);
      if (rep % 7 == 0) logits[gen() % n] = kNaN;
      if (rep % 11 == 0) logits[gen() % n] = kInf;
      const float temperature = temps[gen() % std::size(temps)];
      std::vector<float> ref_logits = logits, work = logits;
      const std::vector<float> want = ref_probs(ref_logits, temperature);
      std::vector<float> got(n);
      const bool nan = engine::detail::softmax_probabilities(work, temperature, got.data());
      ASSERT_TRUE(same_floats(want, got.data())) << n << " " << rep << " T " << temperature;
      ASSERT_TRUE(same_floats(ref_logits, work.data())) << n << " " << rep;
      ASSERT_EQ(nan, std::any_of(want.begin(), want.end(), [](float v) { return std::isnan(v); }));
    }
  }
}

// A generator whose next word has (word >> 9) == top23, found by scanning the seed-0 stream
// (about 2^23 words; tens of milliseconds).
ChaCha12Rng rng_before_word(uint32_t top23) {
  ChaCha12Rng scan = ChaCha12Rng::seed_from_u64(0);
  for (uint64_t pos = 0; pos < (uint64_t{1} << 27); ++pos) {
    if ((scan.next_u32() >> 9) == top23) {
      ChaCha12Rng at = ChaCha12Rng::from_key(scan.key(), pos / 16);
      for (uint64_t k = 0; k < pos % 16; ++k) at.next_u32();
      return at;
    }
  }
  ADD_FAILURE() << "word not found";
  return scan;
}

TEST(SampleLogits, DrawPointOnARunningTotalCountsIt) {
  // x = 0.5 exactly: two equal weights give totals 0.5, 1.0 (1.0) and scale 1, so r = 0.5 equals
  // the first total, which counts as <= r: id 1.
  ChaCha12Rng half = rng_before_word(0x400000u);
  for (size_t top_k : {0, 2}) {
    ChaCha12Rng rng = half, ref = half;
    std::vector<float> work = {0.25f, 0.25f, -200.0f};  // top-k 2 cuts only the zero weight
    EXPECT_EQ(engine::sample_logits(work, top_k, rng, 1.0f, 1.0f), 1u);
    EXPECT_EQ(ref_sample({0.25f, 0.25f, -200.0f}, top_k, ref, 1.0f, 1.0f), 1u);
  }
  // x = 0: r = 0 still passes over leading zero weights (their totals are 0 <= r).
  ChaCha12Rng zero = rng_before_word(0u);
  for (size_t top_k : {0, 2}) {
    ChaCha12Rng rng = zero;
    std::vector<float> work = {-200.0f, -200.0f, 1.0f, 1.0f};
    EXPECT_EQ(engine::sample_logits(work, top_k, rng, 1.0f, 1.0f), 2u);
  }
  // The largest x: r stays below the grand total, so the last weighted id is chosen, even when
  // zero weights follow it.
  ChaCha12Rng top = rng_before_word(0x7FFFFFu);
  for (size_t top_k : {0, 2}) {
    ChaCha12Rng rng = top;
    std::vector<float> work = {1.0f, 1.0f, -200.0f, -200.0f};
    EXPECT_EQ(engine::sample_logits(work, top_k, rng, 1.0f, 1.0f), 1u);
  }
}

TEST(SampleLogits, MatchesPlainReferenceBitForBit) {
  std::mt19937 gen(2024);
  // 40000: top-p on flat shapes needs more ranks than the one-pass selection holds.
  const size_t sizes[] = {1, 2, 3, 5, 8, 64, 300, 1500, 5000, 40000};
  const float temps[] = {1.0f, 0.7f, 1.3f, 1.00005f, 0.05f, 2.5f, 0.0f, -1.0f};
  const float top_ps[] = {1.0f, 0.9f, 0.5f, 0.1f, 0.0f, -0.5f, kNaN, 0.999999f, 1e-6f};
  int drawn = 0, cases = 0;
  for (size_t n : sizes) {
    const size_t top_ks[] = {0, 1, 2, 5, 50, n / 3, n > 1 ? n - 1 : 0, n, n + 5};
    for (int rep = 0; rep < (n > 5000 ? 25 : 60); ++rep) {
      const int shape = rep % 5;
      const std::vector<float> logits = random_logits(gen, n, shape);
      const size_t top_k = top_ks[gen() % std::size(top_ks)];
      const float temperature = temps[gen() % std::size(temps)];
      // On the largest size every shape meets every nucleus size.
      const float big_ps[] = {0.9f, 0.3f, 0.7f, 0.99f, 1.0f};
      const float top_p = n > 5000 ? big_ps[(rep / 5) % 5] : top_ps[gen() % std::size(top_ps)];
      const uint64_t seed = gen();
      ChaCha12Rng fast_rng = ChaCha12Rng::seed_from_u64(seed);
      for (int skip = rep % 70; skip > 0; --skip) fast_rng.next_u32();  // vary buffer position
      ChaCha12Rng ref_rng = fast_rng, start = fast_rng;

      std::vector<float> work = logits;
      const size_t got = engine::sample_logits(work, top_k, fast_rng, temperature, top_p);
      const size_t want = ref_sample(logits, top_k, ref_rng, temperature, top_p);
      ASSERT_EQ(got, want) << "n " << n << " shape " << shape << " k " << top_k << " T "
                           << temperature << " p " << top_p << " seed " << seed;
      ASSERT_TRUE(same_position(fast_rng, ref_rng)) << "words drawn differ";
      drawn += !same_position(fast_rng, start);
      ++cases;
    }
  }
  EXPECT_GT(drawn, cases * 9 / 10);  // nearly every case forms the draw
}

// Chi-square statistic of `counts` against probabilities `p` (summing to ~1) over `draws`.
double chi_square(const std::vector<int>& counts, const std::vector<double>& p, int draws) {
  double chi = 0.0;
  for (size_t i = 0; i < p.size(); ++i) {
    const double expected = p[i] * draws;
    chi += (counts[i] - expected) * (counts[i] - expected) / expected;
  }
  return chi;
}

TEST(SampleLogits, FrequenciesFollowProbabilities) {
  const std::vector<double> want = {0.05, 0.10, 0.15, 0.20, 0.20, 0.30};
  std::vector<float> logits;
  for (double w : want) logits.push_back(logf(static_cast<float>(w)));
  const int draws = 20000;
  // Degrees of freedom k-1; bounds are the 0.999 quantiles (seeded, so the outcome is fixed).
  struct Case {
    size_t top_k;
    float top_p;
    std::vector<size_t> kept;  // ids left after the cuts
    double bound;
  } cases[] = {
      {0, 1.0f, {0, 1, 2, 3, 4, 5}, 20.52},  // full softmax, df 5
      {4, 1.0f, {2, 3, 4, 5}, 16.27},        // top-k 4: 0.30, 0.20, 0.20 (tie), 0.15; df 3
      {0, 0.6f, {3, 4, 5}, 13.82},           // top-p: 0.3, 0.5, 0.7 > 0.6; df 2
  };
  for (const Case& c : cases) {
    // Fresh generator per seed (one draw each), and one generator drawn from repeatedly.
    for (bool fresh : {true, false}) {
      std::vector<int> counts(want.size(), 0);
      ChaCha12Rng shared = ChaCha12Rng::seed_from_u64(12345);
      for (int d = 0; d < draws; ++d) {
        ChaCha12Rng own = ChaCha12Rng::seed_from_u64(d);
        std::vector<float> work = logits;
        ++counts[engine::sample_logits(work, c.top_k, fresh ? own : shared, 1.0f, c.top_p)];
      }
      double mass = 0.0;
      for (size_t id : c.kept) mass += want[id];
      std::vector<int> kept_counts;
      std::vector<double> kept_p;
      int total = 0;
      for (size_t id : c.kept) {
        kept_counts.push_back(counts[id]);
        kept_p.push_back(want[id] / mass);
        total += counts[id];
      }
      EXPECT_EQ(total, draws) << "an id outside the cut was drawn";
      EXPECT_LT(chi_square(kept_counts, kept_p, draws), c.bound)
          << "top_k " << c.top_k << " top_p " << c.top_p << " fresh " << fresh;
    }
  }
}

TEST(SampleLogits, TopPIsStrictlyGreater) {
  // Ids 2, 0, 1 carry probabilities near 0.5, 0.3, 0.2 (id order differs from rank order).
  const std::vector<float> logits = {logf(0.3f), logf(0.2f), logf(0.5f)};
  const std::vector<float> p = ref_cut_probs(logits, 0, 1.0f, 1.0f);
  ASSERT_GT(p[2], p[0]);
  ASSERT_GT(p[0], p[1]);
  struct Case {
    size_t top_k;
    float top_p;
    std::vector<size_t> allowed;
  } cases[] = {
      {0, p[2], {2, 0}},                      // c == top_p is not a cut
      {0, std::nextafterf(p[2], 0.0f), {2}},  // just below: only the first stays
      {0, 0.49f, {2}},                        //
      {2, 0.9f, {2, 0}},                      // 0.5 + 0.3 never exceeds 0.9
      {1, 1.0f, {2}},                         // top-k 1: the most probable
      {0, p[2] + p[0], {2, 0, 1}},            // second rank equal: no cut there
  };
  for (const Case& c : cases) {
    std::vector<bool> seen(3, false);
    for (uint64_t seed = 0; seed < 300; ++seed) {
      ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(seed), before = rng;
      std::vector<float> work = logits;
      const size_t id = engine::sample_logits(work, c.top_k, rng, 1.0f, c.top_p);
      seen[id] = true;
      before.next_u32();
      ASSERT_TRUE(same_position(rng, before)) << "exactly one word per draw";
    }
    for (size_t id = 0; id < 3; ++id) {
      const bool allowed = std::count(c.allowed.begin(), c.allowed.end(), id) > 0;
      EXPECT_EQ(seen[id], allowed) << "top_k " << c.top_k << " top_p " << c.top_p << " id " << id;
    }
  }
}

TEST(SampleLogits, SingleEntry) {
  // Finite: returns 0 after drawing one word. Infinite or NaN: the draw cannot be formed, so 0
  // comes back without a word.
  for (float v : {0.0f, -7.5f, 1e30f, kInf, -kInf, kNaN}) {
    for (size_t top_k : {0, 1, 5}) {
      ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(9), before = rng;
      std::vector<float> work = {v};
      EXPECT_EQ(engine::sample_logits(work, top_k, rng, 0.8f, 0.5f), 0u);
      if (std::isfinite(v)) before.next_u32();
      EXPECT_TRUE(same_position(rng, before)) << v;
    }
  }
}

TEST(SampleLogits, UnorderedProbabilitiesFailWithoutDrawing) {
  struct Case {
    std::vector<float> logits;
    float temperature;
    size_t top_k;
    float top_p;
  } cases[] = {
      {{}, 1.0f, 0, 1.0f},
      {{1.0f, kNaN, 2.0f}, 1.0f, 0, 1.0f},
      {{1.0f, 2.0f, kNaN}, 1.0f, 2, 0.5f},
      {{1.0f, kInf, 2.0f}, 1.0f, 0, 1.0f},
      {{-kInf, -kInf}, 1.0f, 0, 1.0f},  // every id suppressed
      {{-kInf, -kInf, -kInf}, 1.0f, 1, 0.9f},
      {{1e30f, 0.0f}, 1e-10f, 0, 1.0f},  // the scaled logit overflows to +inf
      {{kNaN, kNaN}, 0.5f, 0, 1.0f},
  };
  for (const Case& c : cases) {
    ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(4), before = rng;
    std::vector<float> work = c.logits;
    expect_unordered([&] { engine::sample_logits(work, c.top_k, rng, c.temperature, c.top_p); });
    EXPECT_TRUE(same_position(rng, before)) << "a failing call drew a word";
  }
}

}  // namespace

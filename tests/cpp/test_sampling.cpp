// Token choice where the Python tests (tests/py/test_sampling.py: whole requests against an
// independent reference) cannot reach it: block counters past 2^32, the argmax's lanes on ties
// and NaN, the last bit of every probability, draw points exactly on a running total, and inputs
// no model produces.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
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

std::vector<uint32_t> words(ChaCha12Rng& rng, size_t n) {
  std::vector<uint32_t> w(n);
  for (auto& x : w) x = rng.next_u32();
  return w;
}

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

TEST(ChaCha12Rng, CounterCarriesIntoHighWordAndWraps) {
  // Blocks 0xFFFFFFFE..0x1_00000005 in two refills: the counter's low word overflows inside the
  // first refill of four.
  const auto key = ChaCha12Rng::seed_from_u64(42).key();
  ChaCha12Rng carry = ChaCha12Rng::from_key(key, 0xFFFFFFFEull);
  EXPECT_EQ(words(carry, 128), std::vector<uint32_t>(kCarrySeed42, kCarrySeed42 + 128));
  // Blocks 2^64-2, 2^64-1, 0, 1: the 64-bit counter wraps onto the seeded stream's first blocks.
  ChaCha12Rng wrap = ChaCha12Rng::from_key(key, ~uint64_t{0} - 1);
  ChaCha12Rng seeded = ChaCha12Rng::seed_from_u64(42);
  const auto w = words(wrap, 64);
  EXPECT_EQ(std::vector<uint32_t>(w.begin() + 32, w.end()), words(seeded, 32));
}

size_t ref_argmax(const std::vector<float>& v) {
  size_t best = 0;
  for (size_t i = 1; i < v.size(); ++i) {
    if (!(v[best] > v[i])) best = i;  // inputs here hold no NaN
  }
  return best;
}

TEST(Argmax, LanesMatchAPlainScanOnTiesAndFailOnNan) {
  EXPECT_EQ(engine::argmax({0.0f, -0.0f, -1.0f}), 1u);  // +0 and -0 are equal
  EXPECT_EQ(engine::argmax({kNaN}), 0u);                // nothing is compared
  expect_unordered([] { engine::argmax({}); });
  // Sizes around the 8-lane blocking, many ties, +inf and -0 entries, and a NaN in every lane.
  std::mt19937 gen(5);
  for (size_t n : {2, 3, 7, 8, 9, 15, 16, 17, 33, 100, 4099}) {
    for (int rep = 0; rep < 50; ++rep) {
      std::vector<float> v(n);
      for (auto& x : v) x = static_cast<float>(static_cast<int>(gen() % 7)) - 3.0f;
      if (rep % 3 == 0) v[gen() % n] = kInf;
      if (rep % 5 == 0) v[gen() % n] = -0.0f;
      ASSERT_EQ(engine::argmax(v), ref_argmax(v)) << n << " " << rep;
      if (rep < 17) {
        v[rep % n] = kNaN;
        expect_unordered([&] { engine::argmax(v); });
      }
    }
  }
}

// The probabilities written plainly, step by step.
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
    ChaCha12Rng rng = half;
    std::vector<float> work = {0.25f, 0.25f, -200.0f};  // top-k 2 cuts only the zero weight
    EXPECT_EQ(engine::sample_logits(work, top_k, rng, 1.0f, 1.0f), 1u);
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

TEST(SampleLogits, InputsNoModelProduces) {
  // A single entry is never compared: a finite one is drawn (one word), an infinite or NaN one
  // cannot form the draw and comes back without a word. With two or more entries, NaN
  // probabilities (a NaN or +inf logit, all -inf, a scaled logit overflowing) and an empty vector
  // fail without drawing.
  struct Case {
    std::vector<float> logits;
    float temperature;
    size_t top_k;
    float top_p;
    int words;  // drawn; -1: the call fails
  } cases[] = {
      {{0.0f}, 0.8f, 0, 0.5f, 1},
      {{1e30f}, 0.8f, 5, 1.0f, 1},
      {{kInf}, 0.8f, 1, 0.5f, 0},
      {{-kInf}, 1.0f, 0, 1.0f, 0},
      {{kNaN}, 0.8f, 0, 1.0f, 0},
      {{}, 1.0f, 0, 1.0f, -1},
      {{1.0f, kNaN, 2.0f}, 1.0f, 0, 1.0f, -1},
      {{1.0f, 2.0f, kNaN}, 1.0f, 2, 0.5f, -1},
      {{1.0f, kInf, 2.0f}, 1.0f, 0, 1.0f, -1},
      {{-kInf, -kInf, -kInf}, 1.0f, 1, 0.9f, -1},
      {{1e30f, 0.0f}, 1e-10f, 0, 1.0f, -1},
      {{kNaN, kNaN}, 0.5f, 0, 1.0f, -1},
  };
  for (const Case& c : cases) {
    ChaCha12Rng rng = ChaCha12Rng::seed_from_u64(4), before = rng;
    std::vector<float> work = c.logits;
    if (c.words < 0) {
      expect_unordered([&] { engine::sample_logits(work, c.top_k, rng, c.temperature, c.top_p); });
    } else {
      EXPECT_EQ(engine::sample_logits(work, c.top_k, rng, c.temperature, c.top_p), 0u);
      if (c.words == 1) before.next_u32();
    }
    EXPECT_TRUE(same_position(rng, before)) << c.logits.size() << " " << c.words;
  }
}

}  // namespace

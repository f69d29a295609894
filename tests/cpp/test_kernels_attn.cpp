// Attention-over-the-cache kernels on every SIMD target this build carries and this CPU runs:
// scores and weighted sums of values against float64, and the same bits whatever rows and query
// heads share a call, on odd head widths (vector tails), one to nine query heads per kv head
// (groups of four and every remainder), kv heads wider than the kernels' staging buffer, padded
// rows and spans that end mid-block.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "hwy/targets.h"
#include "tensor/error.h"
#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/kernels_attn.h"

using namespace tl;
namespace k = tl::kernels;

namespace {

template <class F>
void for_each_target(const F& f) {
  for (int64_t t : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(t);
    SCOPED_TRACE(hwy::TargetName(t));
    f();
  }
  hwy::SetSupportedTargetsForTest(0);
}

std::vector<float> random_floats(size_t n, uint32_t seed, float lo = -1.0f) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(lo, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

// n cached rows of ld elements in dt, and their exact values as f32.
struct Rows {
  std::vector<float> f32;
  std::vector<uint16_t> f16;
  DType dt;
  const void* data() const {
    return dt == DType::F16 ? static_cast<const void*>(f16.data()) : f32.data();
  }
};

Rows make_rows(size_t n, size_t ld, DType dt, uint32_t seed) {
  Rows r{random_floats(n * ld, seed), {}, dt};
  if (dt == DType::F16) {
    r.f16.resize(r.f32.size());
    for (size_t i = 0; i < r.f32.size(); ++i) {
      r.f16[i] = f32_to_f16(r.f32[i]);
      r.f32[i] = f16_to_f32(r.f16[i]);
    }
  }
  return r;
}

const void* row_at(const Rows& r, size_t elem) {
  return r.dt == DType::F16 ? static_cast<const void*>(r.f16.data() + elem)
                            : static_cast<const void*>(r.f32.data() + elem);
}

struct Case {
  size_t G, R, D, n, pad;  // kv heads, query heads per kv head, width, rows, row padding
};
const Case kCases[] = {{1, 1, 1, 1, 0},    {1, 1, 7, 5, 0},     {2, 4, 33, 37, 3},
                         {3, 5, 16, 70, 0},   {1, 9, 9, 3, 1},     {2, 2, 128, 50, 0},
                         {2, 3, 20, 9, 0},    {1, 7, 12, 6, 2},    {3, 2, 1500, 5, 0},
                         {1, 2, 4100, 3, 0}};

}  // namespace

TEST(AttnKernels, ScoresMatchReferenceWhateverTheCall) {
  for_each_target([] {
    for (const Case& s : kCases)
      for (DType dt : {DType::F32, DType::F16}) {
        SCOPED_TRACE(std::string(dtype_name(dt)) + " G=" + std::to_string(s.G) + " R=" +
                     std::to_string(s.R) + " D=" + std::to_string(s.D) + " n=" +
                     std::to_string(s.n));
        const size_t H = s.G * s.R, ld = s.G * s.D + s.pad, lds = s.n + 2;
        const Rows K = make_rows(s.n, ld, dt, 7);
        const auto Q = random_floats(H * s.D, 3);
        std::vector<float> S(H * lds, NAN);
        k::attn_scores(Q.data(), s.G, s.R, s.D, K.data(), ld, dt, s.n, S.data(), lds);
        for (size_t h = 0; h < H; ++h)
          for (size_t j = 0; j < s.n; ++j) {
            double ref = 0, mag = 0;
            for (size_t c = 0; c < s.D; ++c) {
              const double p = (double)Q[h * s.D + c] * K.f32[j * ld + h / s.R * s.D + c];
              ref += p;
              mag += std::fabs(p);
            }
            ASSERT_LE(std::fabs(S[h * lds + j] - ref), 1e-5 * mag) << "h=" << h << " j=" << j;
          }
        // A score is the same bits whichever rows and query heads share its call: each row on
        // its own, the rows from an odd start on (pairs cut differently), each query head alone.
        auto same = [&](const std::vector<float>& got, size_t h, size_t j0, size_t j1, size_t off) {
          for (size_t j = j0; j < j1; ++j)
            ASSERT_EQ(f32_bits(got[off + j - j0]), f32_bits(S[h * lds + j]))
                << "h=" << h << " j=" << j;
        };
        std::vector<float> one(H);
        for (size_t j = 0; j < s.n; ++j) {
          k::attn_scores(Q.data(), s.G, s.R, s.D, row_at(K, j * ld), ld, dt, 1, one.data(), 1);
          for (size_t h = 0; h < H; ++h) same(one, h, j, j + 1, h);
        }
        const size_t j0 = s.n > 1 ? 1 : 0, m = s.n - j0;
        std::vector<float> part(H * m + 1);
        k::attn_scores(Q.data(), s.G, s.R, s.D, row_at(K, j0 * ld), ld, dt, m, part.data(), m);
        for (size_t h = 0; h < H; ++h) same(part, h, j0, s.n, h * m);
        std::vector<float> head(s.n);
        for (size_t h = 0; h < H; ++h) {
          k::attn_scores(Q.data() + h * s.D, 1, 1, s.D, row_at(K, h / s.R * s.D), ld, dt, s.n,
                         head.data(), s.n);
          same(head, h, 0, s.n, 0);
        }
      }
  });
}

TEST(AttnKernels, ValuesMatchReferenceWhateverTheSplit) {
  for_each_target([] {
    for (const Case& s : kCases)
      for (DType dt : {DType::F32, DType::F16}) {
        SCOPED_TRACE(std::string(dtype_name(dt)) + " G=" + std::to_string(s.G) + " R=" +
                     std::to_string(s.R) + " D=" + std::to_string(s.D) + " n=" +
                     std::to_string(s.n));
        const size_t H = s.G * s.R, ld = s.G * s.D + s.pad, ldp = s.n + 1;
        const Rows V = make_rows(s.n, ld, dt, 11);
        const auto P = random_floats(H * ldp, 5, 0.0f);
        const auto init = random_floats(H * s.D, 9);
        std::vector<float> acc = init;
        k::attn_values(P.data(), ldp, s.G, s.R, V.data(), ld, dt, s.n, s.D, acc.data());
        for (size_t h = 0; h < H; ++h)
          for (size_t c = 0; c < s.D; ++c) {
            double ref = init[h * s.D + c], mag = std::fabs(ref);
            for (size_t j = 0; j < s.n; ++j) {
              const double p = (double)P[h * ldp + j] * V.f32[j * ld + h / s.R * s.D + c];
              ref += p;
              mag += std::fabs(p);
            }
            ASSERT_LE(std::fabs(acc[h * s.D + c] - ref), 1e-5 * mag) << "h=" << h << " c=" << c;
          }
        // The same bits when the rows come in two calls (a cut inside a block), and for each
        // query head on its own.
        const size_t cut = s.n / 2 + 1 < s.n ? s.n / 2 + 1 : s.n;
        std::vector<float> two = init;
        k::attn_values(P.data(), ldp, s.G, s.R, V.data(), ld, dt, cut, s.D, two.data());
        k::attn_values(P.data() + cut, ldp, s.G, s.R, row_at(V, cut * ld), ld, dt, s.n - cut, s.D,
                       two.data());
        ASSERT_EQ(std::memcmp(two.data(), acc.data(), acc.size() * sizeof(float)), 0);
        for (size_t h = 0; h < H; ++h) {
          std::vector<float> one(init.begin() + h * s.D, init.begin() + (h + 1) * s.D);
          k::attn_values(P.data() + h * ldp, ldp, 1, 1, row_at(V, h / s.R * s.D), ld, dt, s.n,
                         s.D, one.data());
          ASSERT_EQ(std::memcmp(one.data(), acc.data() + h * s.D, s.D * sizeof(float)), 0)
              << "h=" << h;
        }
      }
  });
}

TEST(AttnKernels, RefuseOtherDtypes) {
  float q[4] = {}, s[4] = {};
  uint16_t row[4] = {};
  for (auto call : {+[](const float* a, const void* r, float* o) {
                      k::attn_scores(a, 1, 1, 4, r, 4, DType::BF16, 1, o, 1);
                    },
                    +[](const float* a, const void* r, float* o) {
                      k::attn_values(a, 1, 1, 1, r, 4, DType::BF16, 1, 4, o);
                    }}) {
    try {
      call(q, row, s);
      FAIL() << "no error";
    } catch (const Error& e) {
      EXPECT_STREQ(e.what(), "unsupported dtype BF16 for op attention");
    }
  }
}

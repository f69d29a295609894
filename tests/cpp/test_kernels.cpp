// Kernels against plain scalar versions of the same math, on every SIMD target this build carries
// and this CPU runs (EMU128/SSE4 exercise the scalar conversion fallbacks, AVX2/AVX3 the F16C
// path).
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
#include "tensor/kernels_simd.h"
#include "tensor/parallel.h"

using namespace tl;
namespace k = tl::kernels;

namespace {

// Runs f once per SIMD target (dispatch forced to that target), then restores normal dispatch.
template <class F>
void for_each_target(const F& f) {
  const std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  ASSERT_FALSE(targets.empty());
  for (int64_t t : targets) {
    hwy::SetSupportedTargetsForTest(t);
    SCOPED_TRACE(hwy::TargetName(t));
    f();
  }
  hwy::SetSupportedTargetsForTest(0);
}

uint32_t bits(float f) { return f32_bits(f); }

std::vector<float> random_floats(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.0f, 1.0f);
  std::vector<float> v(n);
  for (auto& x : v) x = u(rng);
  return v;
}

// A weight matrix in dtype dt (F32 or F16) plus its exact values as f32.
struct Weights {
  std::vector<float> f32;        // N*K values the kernel sees (already F16-rounded for F16)
  std::vector<uint16_t> bits16;  // F16 storage
  DType dt;
  const void* data() const {
    return dt == DType::F16 ? static_cast<const void*>(bits16.data()) : f32.data();
  }
};

Weights make_weights(size_t N, size_t K, DType dt, uint32_t seed) {
  Weights w{random_floats(N * K, seed), {}, dt};
  if (dt == DType::F16) {
    w.bits16.resize(N * K);
    for (size_t i = 0; i < N * K; ++i) {
      w.bits16[i] = f32_to_f16(w.f32[i]);
      w.f32[i] = f16_to_f32(w.bits16[i]);
    }
  }
  return w;
}

// Checks Y against a float64 reference; the bound scales with sum |x_k w_k| of each output, the
// natural size of f32 summation error whatever the order of the sum.
void expect_matches_reference(const std::vector<float>& X, size_t M, size_t K, const Weights& w,
                              size_t N, const std::vector<float>& Y, double rel) {
  for (size_t m = 0; m < M; ++m)
    for (size_t n = 0; n < N; ++n) {
      double ref = 0, mag = 0;
      for (size_t kk = 0; kk < K; ++kk) {
        const double p = (double)X[m * K + kk] * (double)w.f32[n * K + kk];
        ref += p;
        mag += std::fabs(p);
      }
      ASSERT_LE(std::fabs(Y[m * N + n] - ref), rel * mag + 1e-30)
          << "m=" << m << " n=" << n << " M=" << M << " K=" << K << " N=" << N;
    }
}

std::vector<float> product(const std::vector<float>& X, size_t M, size_t K, const Weights& w,
                           size_t N, bool in_block = false) {
  std::vector<float> Y(M * N, NAN);
  k::matmul_xwt(X.data(), M, K, w.data(), w.dt, N, Y.data(), in_block);
  return Y;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

}  // namespace

// ---- matrix products ----

class MatmulTest : public ::testing::TestWithParam<DType> {};

TEST_P(MatmulTest, MatchesScalarReferenceOnOddSizes) {
  const DType dt = GetParam();
  // (K, N) pairs: K below, at and around vector widths, N around the 8-row and 2-row blocks; the
  // larger ones cross the threading threshold and, for M > 16, the tiled F16 path (K > 1024
  // columns per widening step, several row tiles, neither a multiple). M covers the GEMV, the
  // multi-row GEMV with every leftover count of its four-row blocks, and sgemm / tiles.
  const std::vector<std::pair<size_t, size_t>> shapes = {
      {1, 1}, {1, 7}, {7, 33}, {33, 1}, {33, 4099}, {4099, 7}, {4099, 33}, {1100, 300}, {16, 64}};
  for (auto [K, N] : shapes) {
    const Weights w = make_weights(N, K, dt, 1000 + (uint32_t)(K * 31 + N));
    for (size_t M : {1, 2, 3, 5, 12, 16, 17, 64}) {
      const auto X = random_floats(M * K, (uint32_t)(M * 7 + K));
      expect_matches_reference(X, M, K, w, N, product(X, M, K, w, N), 1e-5);
    }
  }
  // The wide tiles of a product run inside the caller's block: a last tile of a few rows, a
  // widening step past 1024 columns, and one narrower tile than the width.
  for (auto [K, N] : std::vector<std::pair<size_t, size_t>>{{1100, 515}, {40, 200}, {512, 1024}}) {
    const Weights w = make_weights(N, K, dt, 7 + (uint32_t)N);
    const auto X = random_floats(40 * K, 8 + (uint32_t)K);
    expect_matches_reference(X, 40, K, w, N, product(X, 40, K, w, N, true), 1e-5);
  }
  // Rows of X in two tiles of uneven height.
  const Weights w = make_weights(300, 1100, dt, 5);
  const auto X = random_floats(300 * 1100, 6);
  expect_matches_reference(X, 300, 1100, w, 300, product(X, 300, 1100, w, 300), 1e-5);
}

TEST_P(MatmulTest, EveryTargetMatchesReference) {
  const DType dt = GetParam();
  for_each_target([&] {
    for (auto [K, N] : std::vector<std::pair<size_t, size_t>>{{7, 9}, {33, 33}, {4099, 6}}) {
      const Weights w = make_weights(N, K, dt, 77 + (uint32_t)K);
      for (size_t M : {1, 3, 5}) {
        const auto X = random_floats(M * K, (uint32_t)(M + K));
        expect_matches_reference(X, M, K, w, N, product(X, M, K, w, N), 1e-5);
      }
    }
  });
}

// A row's result must not depend on how the rows were split: thread count, a sub-block of W, or the
// number of rows of X up to the multi-row limit (so prompt rows equal the same rows decoded alone).
// Products with many rows (several tiles each way) are the same bits at every thread count too.
TEST_P(MatmulTest, RowResultsIndependentOfSplitThreadsAndSmallM) {
  const DType dt = GetParam();
  const size_t K = 1031, N = 517;  // ~530 K weights: threaded; N odd so blocks end mid-group
  const size_t big_m = 300;
  const Weights w = make_weights(N, K, dt, 5);
  const auto X = random_floats(big_m * K, 6);
  const size_t saved = parallel::num_threads();
  std::vector<float> one_thread, one_thread_big;
  for (size_t threads : {1, 2, 3, 8}) {
    parallel::set_num_threads(threads);
    const auto Y = product(X, 1, K, w, N);
    const auto Y_big = product(X, big_m, K, w, N);
    if (threads == 1) {
      one_thread = Y;
      one_thread_big = Y_big;
      expect_matches_reference(X, big_m, K, w, N, Y_big, 1e-5);
    } else {
      EXPECT_TRUE(same_bits(Y, one_thread)) << threads << " threads";
      EXPECT_TRUE(same_bits(Y_big, one_thread_big)) << threads << " threads, M = " << big_m;
    }
  }
  parallel::set_num_threads(saved);
  // dot_row of one weight row gives that row's output.
  const size_t esz = dt == DType::F16 ? 2 : 4;
  for (size_t n : {0, 7, 8, 300, 516}) {
    const void* row = static_cast<const char*>(w.data()) + n * K * esz;
    EXPECT_EQ(bits(k::dot_row(X.data(), row, dt, K)), bits(one_thread[n])) << n;
  }
  // Rows [r0, r0 + n) of W as their own matrix.
  for (auto [r0, n] :
       std::vector<std::pair<size_t, size_t>>{{0, 1}, {3, 5}, {101, 416}, {516, 1}}) {
    std::vector<float> Y(n);
    k::matmul_xwt(X.data(), 1, K, static_cast<const char*>(w.data()) + r0 * K * esz, dt, n,
                  Y.data());
    EXPECT_EQ(0, std::memcmp(Y.data(), one_thread.data() + r0, n * sizeof(float))) << r0;
  }
  for (size_t M : {2, 3, 5, 12}) {
    const auto Y = product(X, M, K, w, N);
    for (size_t m = 0; m < M; ++m) {
      const std::vector<float> xm(X.begin() + m * K, X.begin() + (m + 1) * K);
      const auto Y1 = product(xm, 1, K, w, N);
      EXPECT_EQ(0, std::memcmp(Y.data() + m * N, Y1.data(), N * sizeof(float))) << M << " " << m;
    }
  }
}

// The multi-row building block on its own, with more rows of X than one pass over W takes (the
// path of products too large for BLAS's int sizes) and a row range that starts mid-matrix: every
// output equals the single-row GEMV bit for bit.
TEST_P(MatmulTest, MultiRowBlockMatchesSingleRowOverManyRows) {
  const DType dt = GetParam();
  const size_t K = 301, N = 23, M = 37, n0 = 3, n1 = 22;
  const Weights w = make_weights(N, K, dt, 11);
  const auto X = random_floats(M * K, 12);
  std::vector<float> Y(M * N, NAN), y(N, NAN);
  if (dt == DType::F16)
    k::simd::gemv_multi_f16(X.data(), M, K, w.bits16.data(), n0, n1, Y.data(), N);
  else
    k::simd::gemv_multi_f32(X.data(), M, K, w.f32.data(), n0, n1, Y.data(), N);
  for (size_t m = 0; m < M; ++m) {
    if (dt == DType::F16)
      k::simd::gemv_f16(X.data() + m * K, K, w.bits16.data(), n0, n1, y.data());
    else
      k::simd::gemv_f32(X.data() + m * K, K, w.f32.data(), n0, n1, y.data());
    for (size_t n = 0; n < N; ++n) {
      if (n < n0 || n >= n1)
        EXPECT_TRUE(std::isnan(Y[m * N + n])) << "wrote outside the range: " << m << " " << n;
      else
        EXPECT_EQ(bits(Y[m * N + n]), bits(y[n])) << m << " " << n;
    }
  }
}

// Rows much shorter than a page are read several consecutive rows per stream (blocks of 8 x P
// rows, P shrinking for short ranges): every output of any row range, aligned to those blocks or
// not, is its own row's dot product bit for bit, and nothing outside the range is written.
TEST_P(MatmulTest, ShortRowGemvMatchesRowDotOverAnyRange) {
  const DType dt = GetParam();
  const size_t esz = dt == DType::F16 ? 2 : 4;
  for (size_t K : {200, 700, 1031}) {  // 1 to 4 rows a stream, F32 and F16
    const size_t N = 77;
    const Weights w = make_weights(N, K, dt, 21 + (uint32_t)K);
    const auto x = random_floats(K, 22);
    for (auto [n0, n1] : std::vector<std::pair<size_t, size_t>>{
             {0, 77}, {1, 77}, {5, 74}, {13, 45}, {0, 20}, {3, 30}}) {
      std::vector<float> y(N, NAN);
      if (dt == DType::F16)
        k::simd::gemv_f16(x.data(), K, w.bits16.data(), n0, n1, y.data());
      else
        k::simd::gemv_f32(x.data(), K, w.f32.data(), n0, n1, y.data());
      for (size_t n = 0; n < N; ++n) {
        if (n < n0 || n >= n1) {
          EXPECT_TRUE(std::isnan(y[n])) << "wrote outside the range: K=" << K << " n=" << n;
          continue;
        }
        const void* row = static_cast<const char*>(w.data()) + n * K * esz;
        EXPECT_EQ(bits(y[n]), bits(k::dot_row(x.data(), row, dt, K)))
            << "K=" << K << " [" << n0 << ", " << n1 << ") n=" << n;
      }
    }
  }
}

// Called from inside parallel blocks (as a caller that splits its own work would), each product
// runs on its block's thread and is still right; the F16 tile scratch must not be shared across
// threads.
TEST_P(MatmulTest, CallsFromInsideAParallelRegion) {
  const DType dt = GetParam();
  const size_t K = 600, N = 260, M = 20;
  const Weights w = make_weights(N, K, dt, 9);
  std::vector<std::vector<float>> X(8), Y(8);
  for (size_t t = 0; t < 8; ++t) {
    X[t] = random_floats(M * K, 100 + t);
    Y[t].assign(M * N, NAN);
  }
  parallel::run(8,
                [&](size_t t) { k::matmul_xwt(X[t].data(), M, K, w.data(), dt, N, Y[t].data()); });
  for (size_t t = 0; t < 8; ++t) expect_matches_reference(X[t], M, K, w, N, Y[t], 1e-5);
}

TEST_P(MatmulTest, EmptyDimensions) {
  const DType dt = GetParam();
  const Weights w = make_weights(5, 3, dt, 1);
  std::vector<float> X(6 * 3, 1.0f), Y(6 * 5, NAN);
  for (size_t M : {1, 2, 6}) {  // K == 0: every output is an empty sum
    std::fill(Y.begin(), Y.end(), NAN);
    k::matmul_xwt(X.data(), M, 0, w.data(), dt, 5, Y.data());
    for (size_t i = 0; i < M * 5; ++i) EXPECT_EQ(bits(Y[i]), 0u) << M;
  }
  std::fill(Y.begin(), Y.end(), 7.0f);
  k::matmul_xwt(X.data(), 0, 3, w.data(), dt, 5, Y.data());
  k::matmul_xwt(X.data(), 4, 3, w.data(), dt, 0, Y.data());
  for (float v : Y) EXPECT_EQ(v, 7.0f);
}

INSTANTIATE_TEST_SUITE_P(Dtypes, MatmulTest, ::testing::Values(DType::F32, DType::F16),
                         [](const auto& info) { return std::string(dtype_name(info.param)); });

TEST(Matmul, RefusesWeightDtypesWithoutAKernel) {
  float x[4] = {1, 2, 3, 4}, y[4];
  uint16_t w[16] = {};
  for (auto [dt, text] : std::vector<std::pair<DType, const char*>>{
           {DType::BF16, "unsupported dtype BF16 for op matmul"},
           {DType::F64, "unsupported dtype F64 for op matmul"},
           {DType::U32, "unsupported dtype U32 for op matmul"}}) {
    for (size_t M : {1, 2}) {
      try {
        k::matmul_xwt(x, M, 2, w, dt, 2, y);
        ADD_FAILURE() << text;
      } catch (const Error& e) {
        EXPECT_STREQ(e.what(), text);
      }
    }
  }
}

// ---- vector helpers ----

// ---- F16 delta-rule state passes ----

// Both passes against the plain loops they replace, on every target, for widths below, at and
// between whole column blocks, from a stored state, from a zero state and in place; values of
// mixed magnitude so that the f16 roundings (and overflow to infinity) matter.
TEST(DeltaRuleF16, StatePassesMatchPlainLoopsOnEveryTarget) {
  auto f16 = [](std::vector<float> v, float scale) {
    for (float& x : v) x = round_f16(x * scale);
    return v;
  };
  for_each_target([&] {
    for (size_t D : {1, 7, 8, 33, 40, 128}) {
      const auto S0 = f16(random_floats(D * D, 31 + (uint32_t)D), 30000.0f);
      const auto kk = f16(random_floats(D, 32), 1.0f), q = f16(random_floats(D, 33), 1.0f);
      const auto delta = f16(random_floats(D, 34), 40000.0f);
      const float decay = round_f16(0.9f);
      for (int mode = 0; mode < 3; ++mode) {  // stored state, zero state, in place
        SCOPED_TRACE("D=" + std::to_string(D) + " mode=" + std::to_string(mode));
        std::vector<float> want(D * D), want_r(D, 0.0f), want_o(D, 0.0f);
        for (size_t a = 0; a < D; ++a)
          for (size_t b = 0; b < D; ++b) {
            want[a * D + b] = round_f16((mode == 1 ? 0.0f : S0[a * D + b]) * decay);
            want_r[b] += kk[a] * want[a * D + b];
          }
        std::vector<float> S(D * D, NAN), r(D, NAN), o(D, NAN);
        if (mode == 2) S = S0;
        k::delta_decay_read_f16(mode == 0 ? S0.data() : mode == 1 ? nullptr : S.data(), S.data(),
                                D, decay, kk.data(), r.data());
        for (size_t i = 0; i < D * D; ++i) ASSERT_EQ(bits(S[i]), bits(want[i])) << i;
        for (size_t b = 0; b < D; ++b) ASSERT_EQ(bits(r[b]), bits(want_r[b])) << b;
        for (size_t a = 0; a < D; ++a)
          for (size_t b = 0; b < D; ++b) {
            float& s = want[a * D + b];
            s = round_f16(s + round_f16(kk[a] * delta[b]));
            want_o[b] += q[a] * s;
          }
        k::delta_update_read_f16(S.data(), D, kk.data(), delta.data(), q.data(), o.data());
        for (size_t i = 0; i < D * D; ++i) ASSERT_EQ(bits(S[i]), bits(want[i])) << i;
        for (size_t b = 0; b < D; ++b) ASSERT_EQ(bits(o[b]), bits(want_o[b])) << b;
      }
    }
  });
}

TEST(VectorHelpers, DotAgainstScalar) {
  for_each_target([] {
    for (size_t n : {0, 1, 7, 15, 16, 17, 33, 4099}) {
      // Offset by one element so that no vector load is aligned.
      const auto a = random_floats(n + 1, (uint32_t)n);
      const Weights w = make_weights(1, n + 1, DType::F16, (uint32_t)n + 3);
      const auto b = random_floats(n + 1, (uint32_t)n + 5);
      for (DType dt : {DType::F32, DType::F16}) {
        const float* rowf = dt == DType::F16 ? w.f32.data() + 1 : b.data() + 1;
        const void* row = dt == DType::F16 ? static_cast<const void*>(w.bits16.data() + 1)
                                           : static_cast<const void*>(b.data() + 1);
        double ref = 0, mag = 0;
        for (size_t i = 0; i < n; ++i) {
          ref += (double)a[i + 1] * rowf[i];
          mag += std::fabs((double)a[i + 1] * rowf[i]);
        }
        EXPECT_LE(std::fabs(k::dot_row(a.data() + 1, row, dt, n) - ref), 1e-5 * mag) << n;
        if (dt == DType::F32) {
          EXPECT_LE(std::fabs(k::dot_f32(a.data() + 1, rowf, n) - ref), 1e-5 * mag) << n;
        }
      }
    }
  });
}

// ---- conversions ----

namespace {

// f32 inputs that stress 16-bit rounding: a sweep over the whole bit space, every f16 value with
// its neighbours, exact halfway points (ties) and the points one f32 ulp either side of them, the
// edge of overflow and of the subnormals, infinities, quiet and signalling NaNs with payloads.
std::vector<float> conversion_inputs() {
  std::vector<uint32_t> u;
  for (uint64_t x = 0; x <= 0xffffffffull; x += 997) u.push_back((uint32_t)x);
  for (uint32_t h = 0; h < 0x10000; ++h) {
    const uint32_t f = f32_bits(f16_to_f32((uint16_t)h));
    const uint32_t next = f32_bits(f16_to_f32((uint16_t)(h + 1)));
    for (int d = -2; d <= 2; ++d) u.push_back(f + d);
    if ((h & 0x7c00) != 0x7c00 && (h & 0x7fff) != 0x7bff && h != 0x7fff && h != 0xffff) {
      // midpoint between h and its successor in magnitude, plus and minus one ulp
      const float mid = (f32_from_bits(f) + f32_from_bits(next)) / 2;
      for (int d = -1; d <= 1; ++d) u.push_back(f32_bits(mid) + d);
    }
    // bf16 ties: the low half exactly 0x8000, odd and even kept halves, and around them.
    for (uint32_t low : {0x7fffu, 0x8000u, 0x8001u, 0x0001u, 0xffffu}) u.push_back((h << 16) | low);
  }
  for (uint32_t s : {0u, 0x80000000u})
    for (uint32_t m : {0x7f800000u, 0x7f800001u, 0x7fbfffffu, 0x7fc00000u, 0x7fffffffu, 0x7fa00001u,
                       0x477fefffu, 0x477ff000u, 0x477ff001u, 0x33000000u, 0x33000001u, 0x32ffffffu,
                       0x38800000u, 0x387fffffu, 0x00000001u, 0x007fffffu, 0x7f7fffffu})
      u.push_back(s | m);
  std::vector<float> v(u.size());
  std::memcpy(v.data(), u.data(), u.size() * 4);
  return v;
}

}  // namespace

TEST(Conversions, BitIdenticalToScalarOnEveryTarget) {
  const std::vector<float> in = conversion_inputs();
  const size_t n = in.size() - 3;  // odd length: the tails go through the leftover loops
  std::vector<uint16_t> want_f16(n), want_bf16(n), got16(n);
  std::vector<uint32_t> want_rf16(n), want_rbf16(n);
  for (size_t i = 0; i < n; ++i) {
    want_f16[i] = f32_to_f16(in[i + 1]);
    want_bf16[i] = f32_to_bf16(in[i + 1]);
    want_rf16[i] = bits(round_f16(in[i + 1]));
    want_rbf16[i] = bits(round_bf16(in[i + 1]));
  }
  for_each_target([&] {
    k::store_as(in.data() + 1, got16.data(), DType::F16, n);
    EXPECT_EQ(got16, want_f16);
    k::store_as(in.data() + 1, got16.data(), DType::BF16, n);
    EXPECT_EQ(got16, want_bf16);
    std::vector<float> r(in.begin() + 1, in.begin() + 1 + n);
    k::round_to_dtype(r.data(), n, DType::F16);
    EXPECT_EQ(0, std::memcmp(r.data(), want_rf16.data(), n * 4));
    r.assign(in.begin() + 1, in.begin() + 1 + n);
    k::round_to_dtype(r.data(), n, DType::BF16);
    EXPECT_EQ(0, std::memcmp(r.data(), want_rbf16.data(), n * 4));
    r.assign(in.begin() + 1, in.begin() + 1 + n);
    k::round_to_dtype(r.data(), n, DType::F32);
    EXPECT_EQ(0, std::memcmp(r.data(), in.data() + 1, n * 4));
    std::vector<float> copy(n);
    k::store_as(in.data() + 1, copy.data(), DType::F32, n);
    EXPECT_EQ(0, std::memcmp(copy.data(), in.data() + 1, n * 4));
  });
}

TEST(Conversions, WideningEvery16BitPattern) {
  std::vector<uint16_t> all(0x10001);
  for (uint32_t h = 0; h < 0x10000; ++h) all[h + 1] = (uint16_t)h;  // +1: unaligned start
  std::vector<uint32_t> want_f16(0x10000), want_bf16(0x10000);
  for (uint32_t h = 0; h < 0x10000; ++h) {
    want_f16[h] = bits(f16_to_f32((uint16_t)h));
    want_bf16[h] = bits(bf16_to_f32((uint16_t)h));
  }
  for_each_target([&] {
    std::vector<float> out(0x10000);
    k::load_as_f32(all.data() + 1, DType::F16, out.data(), 0x10000);
    EXPECT_EQ(0, std::memcmp(out.data(), want_f16.data(), 0x10000 * 4));
    k::load_as_f32(all.data() + 1, DType::BF16, out.data(), 0x10000);
    EXPECT_EQ(0, std::memcmp(out.data(), want_bf16.data(), 0x10000 * 4));
    for (size_t n : {0, 1, 7, 33}) {  // short lengths write exactly n elements
      std::vector<float> o(40, -1.0f);
      k::load_as_f32(all.data() + 1, DType::F16, o.data(), n);
      for (size_t i = 0; i < 40; ++i)
        EXPECT_EQ(bits(o[i]), i < n ? want_f16[i] : bits(-1.0f)) << n << " " << i;
    }
  });
}

// The table map on every target: every finite f16 value (from an unaligned start, odd tails)
// and the infinities come out as their own table entries, the output written up to n only; a
// value that is not an f16 value, or a NaN, anywhere in the input (vector body or tail) is refused.
TEST(Conversions, TableMapOverEvery16BitPattern) {
  std::vector<uint16_t> table(k::kF16TableSize, 0xffff);
  for (uint32_t h = 0; h < 0x10000; ++h) {
    table[h] = (uint16_t)((h * 40503u) >> 3);
    if ((table[h] & 0x7c00) == 0x7c00 && (table[h] & 0x3ff)) table[h] |= 0x200;  // quiet NaNs
  }
  std::vector<float> x(0x10001);
  for (uint32_t h = 0; h < 0x10000; ++h) x[h + 1] = f16_to_f32((uint16_t)h);
  for_each_target([&] {
    for (size_t n : {size_t{1}, size_t{7}, size_t{33}, size_t{0x7c00}}) {  // finite values only
      std::vector<float> y(n + 1, -1.0f);
      ASSERT_TRUE(k::map_f16_table(x.data() + 1, y.data(), n, table.data())) << n;
      for (size_t i = 0; i < n; ++i)
        ASSERT_EQ(bits(y[i]), bits(f16_to_f32(table[i]))) << n << " " << i;
      EXPECT_EQ(y[n], -1.0f);
    }
    const std::vector<float> top = {-65504.0f, 1.0f, 2.0f,      INFINITY, 4.0f,
                                    5.0f,      6.0f, -INFINITY, 0.5f};
    std::vector<float> y(top.size());
    ASSERT_TRUE(k::map_f16_table(top.data(), y.data(), top.size(), table.data()));
    EXPECT_EQ(bits(y[3]), bits(f16_to_f32(table[0x7c00])));
    EXPECT_EQ(bits(y[7]), bits(f16_to_f32(table[0xfc00])));
    EXPECT_EQ(bits(y[8]), bits(f16_to_f32(table[0x3800])));
    for (size_t at : {size_t{0}, size_t{5}, size_t{16}, size_t{32}})
      for (float bad : {0.1f, NAN, 65520.0f, 1e-30f}) {
        std::vector<float> in(33, 1.5f), out(33);
        in[at] = bad;
        EXPECT_FALSE(k::map_f16_table(in.data(), out.data(), 33, table.data())) << at << " " << bad;
      }
  });
}

// A pool far larger than the OpenBLAS build's thread count (built here for 64, with buffers for
// 128 callers at once and 512 more with a warning), every thread in an sgemm at the same time: callers beyond what the build
// supports wait their turn instead of ending the process, and every product is still right.
TEST(Matmul, MoreConcurrentCallersThanTheBlasBuildSupports) {
  const size_t saved = parallel::num_threads();
  parallel::set_num_threads(1024);
  const size_t K = 1024, N = 256, M = 64;
  const Weights w = make_weights(N, K, DType::F32, 4);
  const std::vector<float> X = random_floats(M * K, 5);
  std::vector<std::vector<float>> Y(1024, std::vector<float>(M * N, NAN));
  parallel::run(Y.size(), [&](size_t t) {
    k::matmul_xwt(X.data(), M, K, w.data(), DType::F32, N, Y[t].data());
  });
  parallel::set_num_threads(saved);
  expect_matches_reference(X, M, K, w, N, Y[0], 1e-5);
  for (size_t t = 1; t < Y.size(); ++t)
    ASSERT_EQ(std::memcmp(Y[t].data(), Y[0].data(), M * N * sizeof(float)), 0) << t;
}

// Batched matrix product against a double-precision reference, over contiguous and strided
// operands, and its checks.
#include "ops_test_util.h"

using namespace tl;
using namespace opt;

namespace {

// C = A . B over the trailing two dims of contiguous row-major values, in double; also the sum of
// |a||b| per output, which bounds the f32 accumulation error.
void ref_matmul(const std::vector<float>& a, const std::vector<float>& b, size_t batches, size_t m,
                size_t k, size_t n, std::vector<double>& c, std::vector<double>& mag) {
  c.assign(batches * m * n, 0);
  mag.assign(batches * m * n, 0);
  for (size_t z = 0; z < batches; ++z)
    for (size_t i = 0; i < m; ++i)
      for (size_t j = 0; j < n; ++j)
        for (size_t p = 0; p < k; ++p) {
          double x = a[(z * m + i) * k + p], y = b[(z * k + p) * n + j];
          c[(z * m + i) * n + j] += x * y;
          mag[(z * m + i) * n + j] += std::fabs(x * y);
        }
}

void check_matmul(const Tensor& a, const Tensor& b, const char* what) {
  Tensor c = matmul(a, b);
  size_t r = a.rank();
  size_t m = a.shape()[r - 2], k = a.shape()[r - 1], n = b.shape()[r - 1];
  size_t batches = a.elem_count() / (m * k);
  std::vector<double> ref, mag;
  ref_matmul(vals(a), vals(b), batches, m, k, n, ref, mag);
  std::vector<float> got = vals(c);
  ASSERT_EQ(got.size(), ref.size()) << what;
  for (size_t i = 0; i < got.size(); ++i) {
    if (a.dtype() == DType::F16) {
      // f32 accumulation then one rounding: the exact value, or its F16 neighbour when the f32
      // sum sits near a rounding boundary.
      double lo = ref_f16(ref[i] - 1e-6 * mag[i]), hi = ref_f16(ref[i] + 1e-6 * mag[i]);
      ASSERT_TRUE(got[i] >= lo && got[i] <= hi) << what << " " << got[i] << " vs " << ref[i];
    } else {
      ASSERT_NEAR(got[i], ref[i], 2e-6 * mag[i] + 1e-30) << what << " m=" << m << " k=" << k;
    }
  }
}

}  // namespace

TEST(OpsMatmul, ContiguousBatchedOddSizes) {
  for (DType dt : {DType::F32, DType::F16, DType::F64})
    for (size_t m : {1ul, 7ul, 33ul})
      for (size_t k : {1ul, 7ul, 33ul})
        for (size_t n : {1ul, 33ul}) {
          Tensor a = make(rand_vec(2 * m * k, -1, 1, (uint32_t)(m * 100 + k)), {2, m, k}, dt);
          Tensor b = make(rand_vec(2 * k * n, -1, 1, (uint32_t)(k * 100 + n)), {2, k, n}, dt);
          check_matmul(a, b, dtype_name(dt));
          EXPECT_EQ(matmul(a, b).dtype(), dt);
        }
  // Sizes large enough for the BLAS path, and a long inner dimension.
  for (DType dt : {DType::F32, DType::F16}) {
    check_matmul(make(rand_vec(65 * 129, -1, 1, 1), {65, 129}, dt),
                 make(rand_vec(129 * 257, -1, 1, 2), {129, 257}, dt), "large");
    check_matmul(make(rand_vec(4099, -1, 1, 3), {1, 4099}, dt),
                 make(rand_vec(4099 * 3, -1, 1, 4), {4099, 3}, dt), "k=4099");
  }
}

TEST(OpsMatmul, StridedAndBroadcastOperands) {
  for (DType dt : {DType::F32, DType::F16, DType::F64})
    for (size_t m : {1ul, 5ul, 40ul}) {
      // A transposed weight (the linear-layer layout), broadcast over a batch of 3 with stride 0.
      Tensor w = make(rand_vec(9 * 11, -1, 1, 7), {9, 11}, dt);
      Tensor x = make(rand_vec(3 * m * 11, -1, 1, 8), {3, m, 11}, dt);
      check_matmul(x, t(broadcast_left(w, {3})), "broadcast weight");
      // The same with a weight narrowed along its input dimension (row stride 20, not 11).
      Tensor wide = make(rand_vec(9 * 20, -1, 1, 12), {9, 20}, dt);
      check_matmul(x, t(broadcast_left(narrow(wide, 1, 2, 11), {3})), "narrowed weight");
      // A transposed left operand and a narrowed right operand (row stride larger than n).
      Tensor at = t(make(rand_vec(3 * 11 * m, -1, 1, 9), {3, 11, m}, dt));
      Tensor bn = narrow(make(rand_vec(3 * 11 * 20, -1, 1, 10), {3, 11, 20}, dt), 2, 3, 9);
      check_matmul(at, bn, "transposed lhs, narrowed rhs");
      // Inner strides BLAS cannot take directly (both strides > 1) are packed.
      Tensor base = make(rand_vec(2000, -1, 1, 11), {2000}, dt);
      check_matmul(base.view({1, m, 11}, {0, 23, 2}, 0), base.view({1, 11, 9}, {0, 19, 2}, 1),
                   "packed");
    }
}

TEST(OpsMatmul, HalfAccumulatesInF32AndRoundsOnce) {
  // 2048 + 1 + ... + 1 (eight ones) = 2056 exactly; summing in F16 would stall at 2048.
  Tensor a = make({2048, 1, 1, 1, 1, 1, 1, 1, 1}, {1, 9}, DType::F16);
  Tensor b = make(std::vector<float>(9, 1.0f), {9, 1}, DType::F16);
  EXPECT_EQ(vals(matmul(a, b))[0], 2056.0f);
  // Same with many rows (the multi-row path).
  Tensor a8 = broadcast_as(a, {8, 9}).contiguous();
  for (float v : vals(matmul(a8, b))) EXPECT_EQ(v, 2056.0f);
}

TEST(OpsMatmul, ChecksInOrder) {
  auto z = [](Shape s, DType dt = DType::F32) { return Tensor::zeros(s, dt); };
  EXPECT_TL_ERROR(matmul(z({3}), z({3})), "shape mismatch in matmul, lhs: [3], rhs: [3]");
  EXPECT_TL_ERROR(matmul(z({2, 3}), z({1, 3, 2})),
                  "shape mismatch in matmul, lhs: [2, 3], rhs: [1, 3, 2]");
  EXPECT_TL_ERROR(matmul(z({2, 3}), z({4, 2})),
                  "shape mismatch in matmul, lhs: [2, 3], rhs: [4, 2]");
  // Leading dimensions must be equal, not merely hold the same number of matrices.
  EXPECT_TL_ERROR(matmul(z({2, 3, 1, 4}), z({3, 2, 4, 1})),
                  "shape mismatch in matmul, lhs: [2, 3, 1, 4], rhs: [3, 2, 4, 1]");
  EXPECT_TL_ERROR(matmul(z({0, 3}), z({5, 4})),
                  "shape mismatch in matmul, lhs: [0, 3], rhs: [5, 4]");
  EXPECT_TL_ERROR(matmul(z({2, 3}), z({3, 2}, DType::F16)),
                  "dtype mismatch in matmul, lhs: F32, rhs: F16");
  EXPECT_TL_ERROR(matmul(z({2, 3}, DType::BF16), z({3, 2}, DType::BF16)),
                  "unsupported dtype BF16 for op matmul");
  EXPECT_TL_ERROR(matmul(z({2, 3}, DType::U32), z({3, 2}, DType::U32)),
                  "unsupported dtype U32 for op matmul");
  // An empty result or an empty inner dimension gives zeros before the dtype checks.
  Tensor e = matmul(z({0, 1}, DType::BF16), z({1, 4}, DType::BF16));
  EXPECT_EQ(e.shape(), (Shape{0, 4}));
  EXPECT_EQ(e.dtype(), DType::BF16);
  Tensor k0 = matmul(z({2, 0}), z({0, 3}, DType::F16));
  EXPECT_EQ(k0.shape(), (Shape{2, 3}));
  EXPECT_EQ(vals(k0), std::vector<float>(6, 0.0f));
}

// Shape operations: views, copies and their error texts.
#include <numeric>

#include "ops_test_util.h"

using namespace tl;
using namespace opt;

namespace {

// 0, 1, 2, ... as an F32 tensor of `shape`.
Tensor iota(const Shape& shape, DType dt = DType::F32) {
  std::vector<float> v(shape_elem_count(shape));
  std::iota(v.begin(), v.end(), 0.0f);
  return make(v, shape, dt);
}

// Value of iota(shape) at a multi-index.
float iota_at(const std::vector<size_t>& idx, const Shape& shape) {
  return (float)ravel(idx, shape);
}

}  // namespace

TEST(OpsShape, ReshapeInfersOneSizeAndViewsContiguousInput) {
  Tensor x = iota({2, 3, 4});
  Tensor r = reshape(x, {4, kInfer, 2});
  EXPECT_EQ(r.shape(), (Shape{4, 3, 2}));
  EXPECT_TRUE(r.shares_storage(x));
  EXPECT_EQ(vals(r), vals(x));
  EXPECT_EQ(reshape(x, {kInfer}).shape(), (Shape{24}));
  EXPECT_EQ(flatten_all(Tensor::zeros({}, DType::F32)).shape(), (Shape{1}));
  // A transposed (non-contiguous) input is copied in its logical order.
  Tensor tr = reshape(transpose(iota({2, 3}), 0, 1), {6});
  EXPECT_EQ(vals(tr), (std::vector<float>{0, 3, 1, 4, 2, 5}));
  EXPECT_FALSE(tr.shares_storage(x));
}

TEST(OpsShape, ReshapeErrors) {
  struct Case {
    Shape src, dst;
    const char* text;
  } cases[] = {
      {{0}, {1, 1, 0, kInfer}, "cannot reshape tensor of 0 elements to (1, 1, 0, ())"},
      {{2, 3}, {kInfer, 0}, "cannot reshape tensor of 6 elements to ((), 0)"},
      {{2, 3}, {4, kInfer}, "cannot reshape tensor with 6 elements to (4, ())"},
      {{2, 3}, {4, 2}, "shape mismatch in reshape, lhs: [2, 3], rhs: [4, 2]"},
      {{2, 3}, {}, "shape mismatch in reshape, lhs: [2, 3], rhs: []"},
  };
  for (const Case& c : cases)
    EXPECT_TL_ERROR(reshape(Tensor::zeros(c.src, DType::F32), c.dst), c.text);
}

TEST(OpsShape, UnsqueezeSqueezeDims) {
  Tensor x = iota({2, 3});
  struct Case {
    long dim;
    Shape want;
  } ups[] = {{0, {1, 2, 3}}, {1, {2, 1, 3}}, {2, {2, 3, 1}}, {-1, {2, 3, 1}}, {-3, {1, 2, 3}}};
  for (const auto& c : ups) {
    Tensor u = unsqueeze(x, c.dim);
    EXPECT_EQ(u.shape(), c.want) << c.dim;
    EXPECT_EQ(vals(u), vals(x));
    EXPECT_EQ(squeeze(u, c.dim).shape(), x.shape()) << c.dim;
  }
  EXPECT_EQ(squeeze(x, 1).shape(), x.shape());  // size 3: unchanged
  EXPECT_TL_ERROR(unsqueeze(x, 3), "unsqueeze: dimension index 3 out of range for shape [2, 3]");
  EXPECT_TL_ERROR(unsqueeze(x, -4), "unsqueeze: dimension index -4 out of range for shape [2, 3]");
  EXPECT_TL_ERROR(squeeze(x, 2), "squeeze: dimension index 2 out of range for shape [2, 3]");
  EXPECT_TL_ERROR(squeeze(x, -3), "squeeze: dimension index -3 out of range for shape [2, 3]");
}

TEST(OpsShape, NarrowEveryDimMatchesIndexing) {
  Shape s{3, 5, 7};
  Tensor x = iota(s);
  for (long d = 0; d < 3; ++d)
    for (size_t start : {0ul, 1ul})
      for (size_t len : {0ul, 1ul, 2ul}) {
        Tensor n = narrow(x, d, start, len);
        EXPECT_TRUE(n.shares_storage(x));
        Shape ns = s;
        ns[d] = len;
        ASSERT_EQ(n.shape(), ns);
        std::vector<float> got = vals(n);
        for (size_t i = 0; i < got.size(); ++i) {
          auto idx = unravel(i, ns);
          idx[d] += start;
          ASSERT_EQ(got[i], iota_at(idx, s));
        }
        // Element-wise ops on the view read it correctly.
        EXPECT_EQ(vals(neg(neg(n))), got);
      }
  EXPECT_TRUE(narrow(x, -1, 0, 7).shares_storage(x));
}

TEST(OpsShape, NarrowErrors) {
  Tensor x = Tensor::zeros({4, 6}, DType::F32);
  EXPECT_TL_ERROR(narrow(x, 0, 5, 0),
                  "narrow invalid args start > dim_len: [4, 6], dim: 0, start: 5, len:0");
  EXPECT_TL_ERROR(narrow(x, -1, 4, 3),
                  "narrow invalid args start + len > dim_len: [4, 6], dim: 1, start: 4, len:3");
  // The end saturates instead of wrapping around to a small value.
  EXPECT_TL_ERROR(narrow(x, 1, 2, SIZE_MAX),
                  "narrow invalid args start + len > dim_len: [4, 6], dim: 1, start: 2, "
                  "len:18446744073709551615");
  EXPECT_TL_ERROR(narrow(x, 2, 0, 1), "narrow: dimension index 2 out of range for shape [4, 6]");
}

TEST(OpsShape, TransposeAndT) {
  Shape s{2, 3, 4};
  Tensor x = iota(s);
  Tensor tr = transpose(x, 0, 2);
  ASSERT_EQ(tr.shape(), (Shape{4, 3, 2}));
  std::vector<float> got = vals(tr);
  for (size_t i = 0; i < got.size(); ++i) {
    auto idx = unravel(i, tr.shape());
    std::swap(idx[0], idx[2]);
    ASSERT_EQ(got[i], iota_at(idx, s));
  }
  EXPECT_EQ(t(x).shape(), (Shape{2, 4, 3}));
  EXPECT_EQ(vals(t(t(x))), vals(x));
  EXPECT_TL_ERROR(t(iota({5})), "unexpected rank, expected: 2, got: 1 ([5])");
  EXPECT_TL_ERROR(transpose(x, 0, 3),
                  "transpose: dimension index 3 out of range for shape [2, 3, 4]");
  EXPECT_TL_ERROR(broadcast_as(iota({2, 3}), {3, 3}), "cannot broadcast [2, 3] to [3, 3]");
}

TEST(OpsShape, CatAlongEachDimIncludingViews) {
  for (long d = 0; d < 3; ++d) {
    Shape s0{2, 3, 4}, s1 = s0, s2t = s0;
    s1[d] = 1;
    s2t[d] = 5;
    std::swap(s2t[0], s2t[2]);
    Tensor a = iota(s0), b = affine(iota(s1), 1, 100);
    Tensor c = transpose(affine(iota(s2t), 1, 1000), 0, 2);  // a strided view
    Tensor out = cat({a, b, c}, d);
    ASSERT_EQ(out.shape()[d], s0[d] + 6);
    EXPECT_EQ(vals(narrow(out, d, 0, s0[d])), vals(a)) << d;
    EXPECT_EQ(vals(narrow(out, d, s0[d], 1)), vals(b)) << d;
    EXPECT_EQ(vals(narrow(out, d, s0[d] + 1, 5)), vals(c)) << d;
  }
  Tensor one = iota({2});
  EXPECT_TRUE(cat({one}, 7).shares_storage(one));  // a single tensor comes back unchecked
}

TEST(OpsShape, CatErrorsInCheckOrder) {
  auto z = [](Shape s, DType dt = DType::F32) { return Tensor::zeros(s, dt); };
  EXPECT_TL_ERROR(cat({}, 0), "cat expects at least one tensor");
  EXPECT_TL_ERROR(cat({z({2, 3}), z({2, 3})}, 2),
                  "cat: dimension index 2 out of range for shape [2, 3]");
  EXPECT_TL_ERROR(cat({z({2, 3}), z({3})}, 1), "cat: dimension index 1 out of range for shape [3]");
  EXPECT_TL_ERROR(cat({z({2, 3}), z({3})}, 0), "unexpected rank, expected: 2, got: 1 ([3])");
  EXPECT_TL_ERROR(cat({z({2, 3, 4}), z({2, 3, 4}), z({2, 5, 6})}, 0),
                  "shape mismatch in cat for dim 1, shape for arg 1: [2, 3, 4] shape for arg 3: "
                  "[2, 5, 6]");
  EXPECT_TL_ERROR(cat({z({1, 2, 2}), z({1, 2, 3})}, -2),
                  "shape mismatch in cat for dim 2, shape for arg 1: [1, 2, 2] shape for arg 2: "
                  "[1, 2, 3]");
  // Shapes are checked for every argument before any dtype.
  EXPECT_TL_ERROR(
      cat({z({2, 3}), z({2, 3}, DType::F16), z({2, 4})}, 0),
      "shape mismatch in cat for dim 1, shape for arg 1: [2, 3] shape for arg 3: [2, 4]");
  EXPECT_TL_ERROR(cat({z({2, 3}), z({1, 3}, DType::F16)}, 0),
                  "dtype mismatch in cat, lhs: F32, rhs: F16");
}

TEST(OpsShape, StackValuesAndErrors) {
  Tensor a = iota({2, 3}), b = affine(iota({2, 3}), 1, 10);
  Tensor s = stack({a, b}, -1);
  ASSERT_EQ(s.shape(), (Shape{2, 3, 2}));
  std::vector<float> got = vals(s);
  for (size_t i = 0; i < 6; ++i) {
    EXPECT_EQ(got[2 * i], (float)i);
    EXPECT_EQ(got[2 * i + 1], (float)i + 10);
  }
  EXPECT_EQ(stack({a, b}, 0).shape(), (Shape{2, 2, 3}));
  EXPECT_TL_ERROR(stack({}, 0), "stack expects at least one tensor");
  EXPECT_TL_ERROR(stack({a}, 3), "stack: dimension index 3 out of range for shape [2, 3]");
  EXPECT_TL_ERROR(stack({a, iota({2, 4})}, 1),
                  "shape mismatch in cat for dim 2, shape for arg 1: [2, 1, 3] shape for arg 2: "
                  "[2, 1, 4]");
}

TEST(OpsShape, IndexSelectGathersRowsAndColumns) {
  Shape s{4, 3};
  Tensor x = iota(s, DType::F16);
  std::vector<uint32_t> ids{3, 0, 3, 1, 2};
  Tensor id_u32 = Tensor::from_u32(ids, {5});
  std::vector<int64_t> ids64(ids.begin(), ids.end());
  Tensor id_i64 = Tensor::from_bytes(ids64.data(), ids64.size() * 8, DType::I64, {5});
  for (const Tensor& id : {id_u32, id_i64}) {
    Tensor rows = index_select(x, id, 0);
    ASSERT_EQ(rows.shape(), (Shape{5, 3}));
    EXPECT_EQ(rows.dtype(), DType::F16);
    std::vector<float> got = vals(rows);
    for (size_t i = 0; i < 5; ++i)
      for (size_t j = 0; j < 3; ++j) ASSERT_EQ(got[i * 3 + j], iota_at({ids[i], j}, s));
  }
  std::vector<uint8_t> ids8{2, 2, 0};
  Tensor cols = index_select(x, Tensor::from_bytes(ids8.data(), 3, DType::U8, {3}), -1);
  ASSERT_EQ(cols.shape(), (Shape{4, 3}));
  std::vector<float> got = vals(cols);
  for (size_t i = 0; i < 4; ++i)
    for (size_t j = 0; j < 3; ++j) ASSERT_EQ(got[i * 3 + j], iota_at({i, ids8[j]}, s));
  // A strided source (a transposed view) gathers its logical rows.
  Tensor rt = index_select(t(x), Tensor::from_u32({1}, {1}), 0);
  EXPECT_EQ(vals(rt), (std::vector<float>{1, 4, 7, 10}));
}

TEST(OpsShape, IndexSelectErrors) {
  Tensor x = Tensor::zeros({4, 3}, DType::F32);
  EXPECT_TL_ERROR(index_select(x, Tensor::from_u32({1, 5, 9}, {3}), 0),
                  "index-select invalid index 5 with dim size 4");
  std::vector<int64_t> neg1{-1};
  EXPECT_TL_ERROR(index_select(x, Tensor::from_bytes(neg1.data(), 8, DType::I64, {1}), 0),
                  "index-select invalid index 18446744073709551615 with dim size 4");
  EXPECT_TL_ERROR(index_select(x, Tensor::from_u32({0, 1}, {1, 2}), 0),
                  "shape mismatch in index-select, lhs: [4, 3], rhs: [1, 2]");
  EXPECT_TL_ERROR(index_select(x, Tensor::from_f32({0}, {1}), 0),
                  "unsupported dtype F32 for op index-select");
  EXPECT_TL_ERROR(index_select(x, Tensor::from_u32({0}, {1}), 2),
                  "index-select: dimension index 2 out of range for shape [4, 3]");
}

TEST(OpsShape, RankAccessorsAndToVec1) {
  Tensor x = Tensor::zeros({2, 3}, DType::F32);
  EXPECT_EQ(dims2(x), (std::array<size_t, 2>{2, 3}));
  EXPECT_EQ(dim(x, -1), 3u);
  EXPECT_TL_ERROR(dims3(x), "unexpected rank, expected: 3, got: 2 ([2, 3])");
  EXPECT_TL_ERROR(dim(Tensor::zeros({}, DType::F32), -1),
                  "dim: dimension index -1 out of range for shape []");
  EXPECT_TL_ERROR(to_vec1_f32(x), "unexpected rank, expected: 1, got: 2 ([2, 3])");
  EXPECT_TL_ERROR(to_vec1_f32(Tensor::zeros({2}, DType::F16)),
                  "unexpected dtype, expected: F32, got: F16");
  EXPECT_EQ(to_vec1_f32(narrow(iota({5}), 0, 2, 3)), (std::vector<float>{2, 3, 4}));
  std::vector<float> v{1, 2, 3};
  EXPECT_TL_ERROR(Tensor::from_f32(v, {2, 2}),
                  "Shape mismatch, got buffer of size 3 which is compatible with shape [2, 2]");
}

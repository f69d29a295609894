// Helpers shared by the ops_*.cpp files: per-dtype element traits and a strided row walker.
#pragma once
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "tensor/half.h"
#include "tensor/ops.h"
#include "tensor/tensor.h"

namespace tl::detail {

// Element traits: S is the stored type, C the type arithmetic happens in. load widens exactly,
// store rounds to the dtype (nearest even), rnd rounds a C value to a value of the dtype.
struct F32Traits {
  using S = float;
  using C = float;
  static C load(S v) { return v; }
  static S store(C v) { return v; }
  static C rnd(C v) { return v; }
  static C from_f64(double d) { return (float)d; }
};
struct F64Traits {
  using S = double;
  using C = double;
  static C load(S v) { return v; }
  static S store(C v) { return v; }
  static C rnd(C v) { return v; }
  static C from_f64(double d) { return d; }
};
struct F16Traits {
  using S = uint16_t;
  using C = float;
  static C load(S v) { return f16_to_f32(v); }
  static S store(C v) { return f32_to_f16(v); }
  static C rnd(C v) { return round_f16(v); }
  static C from_f64(double d) { return f16_to_f32(f64_to_f16(d)); }
};
struct BF16Traits {
  using S = uint16_t;
  using C = float;
  static C load(S v) { return bf16_to_f32(v); }
  static S store(C v) { return f32_to_bf16(v); }
  static C rnd(C v) { return round_bf16(v); }
  static C from_f64(double d) { return bf16_to_f32(f64_to_bf16(d)); }
};
// Unsigned 32-bit integers: wrapping arithmetic.
struct U32Traits {
  using S = uint32_t;
  using C = uint32_t;
  static C load(S v) { return v; }
  static S store(C v) { return v; }
  static C rnd(C v) { return v; }
};

// Calls f(Traits{}) for the float dtypes; other dtypes throw unsupported_dtype(dt, op).
template <class F>
auto dispatch_float(DType dt, const char* op, F&& f) {
  switch (dt) {
    case DType::F32:
      return f(F32Traits{});
    case DType::F16:
      return f(F16Traits{});
    case DType::BF16:
      return f(BF16Traits{});
    case DType::F64:
      return f(F64Traits{});
    default:
      throw unsupported_dtype(dt, op);
  }
}

// As dispatch_float, plus U32.
template <class F>
auto dispatch_arith(DType dt, const char* op, F&& f) {
  if (dt == DType::U32) return f(U32Traits{});
  return dispatch_float(dt, op, std::forward<F>(f));
}

// Walks `shape` in row-major order one innermost row at a time. For each row calls
// f(row_index, offsets, inner_len, inner_strides), where offsets[i] is the element offset of the
// row's first element in operand i (which has strides strides[i] aligned to shape, 0 where
// broadcast) starting from base[i]. Rank 0 is one row of one element.
template <size_t N, class F>
void for_rows(const Shape& shape, const std::array<std::vector<size_t>, N>& strides,
              std::array<size_t, N> base, F&& f) {
  size_t n = shape_elem_count(shape);
  if (n == 0) return;
  size_t r = shape.size();
  std::array<size_t, N> inner_st{};
  if (r == 0) {
    f(size_t{0}, base, size_t{1}, inner_st);
    return;
  }
  size_t inner = shape[r - 1];
  for (size_t i = 0; i < N; ++i) inner_st[i] = strides[i][r - 1];
  size_t rows = n / inner;
  std::vector<size_t> idx(r - 1, 0);
  std::array<size_t, N> off = base;
  for (size_t row = 0; row < rows; ++row) {
    f(row, off, inner, inner_st);
    for (size_t d = r - 1; d-- > 0;) {
      if (++idx[d] < shape[d]) {
        for (size_t i = 0; i < N; ++i) off[i] += strides[i][d];
        break;
      }
      for (size_t i = 0; i < N; ++i) off[i] -= strides[i][d] * (shape[d] - 1);
      idx[d] = 0;
    }
  }
}

// Typed pointer to a tensor's storage base (element 0 of the storage, not of the view): offsets
// from for_rows already include the view's offset.
template <class S>
const S* storage_base(const Tensor& x) {
  return x.data<S>() - x.offset();
}
template <class S>
S* mutable_base(Tensor& x) {
  return x.data<S>() - x.offset();
}

// out[i] = store(op(load(x[i]), traits)) over a float tensor; an empty tensor comes back as is.
template <class Op>
Tensor unary(const Tensor& x, const char* name, Op op) {
  if (x.elem_count() == 0) return x;
  return dispatch_float(x.dtype(), name, [&](auto tr) {
    using T = decltype(tr);
    using S = typename T::S;
    Tensor out = Tensor::empty(x.shape(), x.dtype());
    S* o = out.data<S>();
    const S* s = storage_base<S>(x);
    for_rows<1>(x.shape(), {x.strides()}, {x.offset()},
                [&](size_t row, const std::array<size_t, 1>& off, size_t n,
                    const std::array<size_t, 1>& in) {
                  S* dst = o + row * n;
                  const S* src = s + off[0];
                  for (size_t i = 0; i < n; ++i) dst[i] = T::store(op(T::load(src[i * in[0]]), tr));
                });
    return out;
  });
}

}  // namespace tl::detail

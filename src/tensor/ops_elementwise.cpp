// Element-wise operations: unary maps, affine, same-shape and broadcasting binary operations.
// Inputs may be any strided view; outputs are new contiguous tensors.
#include <cmath>
#include <type_traits>

#include "tensor/ops.h"
#include "tensor/ops_internal.h"

namespace tl {

using detail::for_rows;
using detail::storage_base;
using detail::unary;

namespace {

// out = store(op(load(a), load(b))) over `shape`, with a and b addressed through strides aligned
// to shape (0 where broadcast). Dtypes are equal here.
template <class Op>
Tensor binary_strided(const Tensor& a, const Tensor& b, const Shape& shape,
                      const std::vector<size_t>& sa, const std::vector<size_t>& sb,
                      const char* name, Op op) {
  return detail::dispatch_arith(a.dtype(), name, [&](auto tr) {
    using T = decltype(tr);
    using S = typename T::S;
    Tensor out = Tensor::empty(shape, a.dtype());
    S* o = out.data<S>();
    const S* pa = storage_base<S>(a);
    const S* pb = storage_base<S>(b);
    std::array<std::vector<size_t>, 2> st{sa, sb};
    for_rows<2>(shape, st, {a.offset(), b.offset()},
                [&](size_t row, const std::array<size_t, 2>& off, size_t n,
                    const std::array<size_t, 2>& in) {
                  S* dst = o + row * n;
                  const S* x = pa + off[0];
                  const S* y = pb + off[1];
                  for (size_t i = 0; i < n; ++i)
                    dst[i] = T::store(op(T::load(x[i * in[0]]), T::load(y[i * in[1]])));
                });
    return out;
  });
}

template <class Op>
Tensor binary(const Tensor& a, const Tensor& b, const char* name, Op op) {
  if (a.shape() != b.shape()) throw shape_mismatch(name, a.shape(), b.shape());
  if (a.elem_count() == 0) return a;
  if (a.dtype() != b.dtype()) throw dtype_mismatch(name, a.dtype(), b.dtype());
  return binary_strided(a, b, a.shape(), a.strides(), b.strides(), name, op);
}

// Broadcast shape of two shapes (right-aligned; equal sizes or one of them 1), or the
// "shape mismatch in {bname}" error with the original shapes.
Shape broadcast_shape(const Shape& l, const Shape& r, const char* bname) {
  size_t n = std::max(l.size(), r.size());
  Shape out(n);
  for (size_t i = 0; i < n; ++i) {
    size_t rev = n - i;
    size_t lv = l.size() < rev ? 1 : l[l.size() - rev];
    size_t rv = r.size() < rev ? 1 : r[r.size() - rev];
    if (lv == rv || rv == 1)
      out[i] = lv;
    else if (lv == 1)
      out[i] = rv;
    else
      throw shape_mismatch(bname, l, r);
  }
  shape_elem_count(out);  // refuses an element count that overflows
  return out;
}

// Strides of x aligned to the broadcast shape `to` (0 for missing and expanded dimensions).
std::vector<size_t> aligned_strides(const Tensor& x, const Shape& to) {
  std::vector<size_t> st(to.size(), 0);
  size_t lead = to.size() - x.rank();
  for (size_t i = 0; i < x.rank(); ++i)
    st[lead + i] = x.shape()[i] == to[lead + i] ? x.strides()[i] : 0;
  return st;
}

template <class Op>
Tensor broadcast_binary(const Tensor& a, const Tensor& b, const char* bname, const char* name,
                        Op op) {
  Shape shape = broadcast_shape(a.shape(), b.shape(), bname);
  if (shape_elem_count(shape) == 0) return Tensor::empty(shape, a.dtype());
  if (a.dtype() != b.dtype()) throw dtype_mismatch(name, a.dtype(), b.dtype());
  return binary_strided(a, b, shape, aligned_strides(a, shape), aligned_strides(b, shape), name,
                        op);
}

template <class C>
C checked_div(C x, C y) {
  if constexpr (std::is_integral_v<C>) {
    if (y == 0) throw InternalFailure("attempt to divide by zero");
  }
  return x / y;
}

const auto kAdd = [](auto x, auto y) { return x + y; };
const auto kSub = [](auto x, auto y) { return x - y; };
const auto kMul = [](auto x, auto y) { return x * y; };
const auto kDiv = [](auto x, auto y) { return checked_div(x, y); };
const auto kMax = [](auto x, auto y) { return x < y ? y : x; };

}  // namespace

// ---- unary ----

Tensor neg(const Tensor& x) {
  return unary(x, "neg", [](auto v, auto) { return -v; });
}
Tensor abs(const Tensor& x) {
  return unary(x, "abs", [](auto v, auto) { return std::fabs(v); });
}
Tensor sqr(const Tensor& x) {
  return unary(x, "sqr", [](auto v, auto) { return v * v; });
}
Tensor sqrt(const Tensor& x) {
  return unary(x, "sqrt", [](auto v, auto) { return std::sqrt(v); });
}
Tensor exp(const Tensor& x) {
  return unary(x, "exp", [](auto v, auto) { return std::exp(v); });
}
Tensor log(const Tensor& x) {
  return unary(x, "log", [](auto v, auto) { return std::log(v); });
}
Tensor cos(const Tensor& x) {
  return unary(x, "cos", [](auto v, auto) { return std::cos(v); });
}
Tensor sin(const Tensor& x) {
  return unary(x, "sin", [](auto v, auto) { return std::sin(v); });
}
Tensor recip(const Tensor& x) {
  return unary(x, "recip", [](auto v, auto) { return decltype(v)(1) / v; });
}
Tensor silu(const Tensor& x) {
  return unary(x, "silu", [](auto v, auto tr) {
    using T = decltype(tr);
    auto e = T::rnd(std::exp(-v));
    auto d = T::rnd(decltype(v)(1) + e);
    return v / d;
  });
}

Tensor affine(const Tensor& x, double mul, double add) {
  // mul and add are converted to the dtype first (cheap next to the rest; not a hot path).
  return unary(x, "affine", [mul, add](auto v, auto tr) {
    using T = decltype(tr);
    return T::rnd(v * T::from_f64(mul)) + T::from_f64(add);
  });
}

// ---- binary ----

Tensor add(const Tensor& a, const Tensor& b) { return binary(a, b, "add", kAdd); }
Tensor sub(const Tensor& a, const Tensor& b) { return binary(a, b, "sub", kSub); }
Tensor mul(const Tensor& a, const Tensor& b) { return binary(a, b, "mul", kMul); }
Tensor div(const Tensor& a, const Tensor& b) { return binary(a, b, "div", kDiv); }
Tensor maximum(const Tensor& a, const Tensor& b) { return binary(a, b, "maximum", kMax); }

Tensor maximum(const Tensor& x, double scalar) {
  // The scalar becomes a rank-0 F64 tensor converted to x's dtype with the usual rules.
  Tensor s = Tensor::from_bytes(&scalar, sizeof scalar, DType::F64, {}).to_dtype(x.dtype());
  return maximum(x, broadcast_as(s, x.shape()));
}

Tensor broadcast_add(const Tensor& a, const Tensor& b) {
  return broadcast_binary(a, b, "broadcast_add", "add", kAdd);
}
Tensor broadcast_sub(const Tensor& a, const Tensor& b) {
  return broadcast_binary(a, b, "broadcast_sub", "sub", kSub);
}
Tensor broadcast_mul(const Tensor& a, const Tensor& b) {
  return broadcast_binary(a, b, "broadcast_mul", "mul", kMul);
}
Tensor broadcast_div(const Tensor& a, const Tensor& b) {
  return broadcast_binary(a, b, "broadcast_div", "div", kDiv);
}
Tensor broadcast_maximum(const Tensor& a, const Tensor& b) {
  return broadcast_binary(a, b, "broadcast_maximum", "maximum", kMax);
}

}  // namespace tl

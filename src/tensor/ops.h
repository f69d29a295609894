// Tensor operations: shape manipulation, element-wise arithmetic, reductions and the batched
// matrix product. Every function returns a new tensor handle (a view sharing storage where noted)
// or throws tl::Error whose message is the exact user-facing text.
//
// Dimension arguments are signed: 0, 1, ... count from the front, -1 is the last dimension, -2 the
// one before it. An out-of-range dimension gives "{op}: dimension index {d} out of range for
// shape {shape}" with d printed as given.
//
// Rounding: F16 and BF16 values are widened to f32, each elementary step (+, -, *, /, exp, ...) is
// computed in f32 and rounded back to the dtype before the next step. Composite operations round
// after every step (silu: exp, then 1 + e, then v / that). F32 never fuses a*b+c. Matrix products
// accumulate in f32 and round once.
//
// Floating-point dtypes for arithmetic: F32, F16, BF16, F64. Same-shape and broadcasting binary
// operations also accept U32 (wrapping arithmetic). Other dtypes give "unsupported dtype {dt} for
// op {op}".
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tensor/error.h"
#include "tensor/tensor.h"

namespace tl {

// ---- message builders (shared by the ops and by fused code that must report the same text) ----

// "{op}: dimension index {dim} out of range for shape {shape}"
Error dim_out_of_range(const char* op, long dim, const Shape& shape);
// "shape mismatch in {op}, lhs: {lhs}, rhs: {rhs}"
Error shape_mismatch(const char* op, const Shape& lhs, const Shape& rhs);
// "dtype mismatch in {op}, lhs: {lhs}, rhs: {rhs}"
Error dtype_mismatch(const char* op, DType lhs, DType rhs);
// "unexpected rank, expected: {expected}, got: {got} ({shape})"
Error unexpected_rank(size_t expected, const Shape& shape);
// "unsupported dtype {dt} for op {op}"
Error unsupported_dtype(DType dt, const char* op);

// Resolves a signed dimension against a rank (valid: -rank .. rank-1), or throws
// dim_out_of_range(op, dim, shape).
size_t resolve_dim(long dim, const Shape& shape, const char* op);
// Same for positions where a new dimension may be inserted (valid: -(rank+1) .. rank).
size_t resolve_dim_plus_one(long dim, const Shape& shape, const char* op);

// ---- creation and inspection ----

// zeros(x.shape(), x.dtype()).
Tensor zeros_like(const Tensor& x);
// Size of one dimension; error op name "dim".
size_t dim(const Tensor& x, long d);
// The sizes of a tensor of exactly that rank, else unexpected_rank(N, shape).
std::array<size_t, 1> dims1(const Tensor& x);
std::array<size_t, 2> dims2(const Tensor& x);
std::array<size_t, 3> dims3(const Tensor& x);
std::array<size_t, 4> dims4(const Tensor& x);
// Values of a rank-1 F32 tensor. Rank first ("unexpected rank, expected: 1, ..."), then dtype
// ("unexpected dtype, expected: F32, got: {dt}").
std::vector<float> to_vec1_f32(const Tensor& x);

// ---- shape ----

// Marks the one reshape size that is inferred from the element count.
inline constexpr size_t kInfer = SIZE_MAX;
// New shape with the same element count; a view when x is contiguous, else a contiguous copy.
// One entry may be kInfer: it becomes count / product(others). Errors: product(others) == 0:
// "cannot reshape tensor of {n} elements to {tuple}"; not divisible: "cannot reshape tensor with
// {n} elements to {tuple}" (tuple prints the inferred entry as "()"); count differs: "shape
// mismatch in reshape, lhs: {src}, rhs: {dst}".
Tensor reshape(const Tensor& x, const Shape& shape);
// Rank-1 view of all elements.
Tensor flatten_all(const Tensor& x);
// Inserts a size-1 dimension at `dim` (view).
Tensor unsqueeze(const Tensor& x, long dim);
// Removes `dim` when its size is 1 (view); otherwise returns x.
Tensor squeeze(const Tensor& x, long dim);
// View of [start, start + len) along dim; x itself when that is the whole dimension. Errors:
// "narrow invalid args start > dim_len: {shape}, dim: {d}, start: {s}, len:{l}", then the same with
// "start + len > dim_len" (the sum saturates instead of wrapping).
Tensor narrow(const Tensor& x, long dim, size_t start, size_t len);
// View with two dimensions swapped (x itself when d1 == d2; op name "transpose").
Tensor transpose(const Tensor& x, long d1, long d2);
// Transpose of the last two dimensions; rank < 2: "unexpected rank, expected: 2, got: ...".
Tensor t(const Tensor& x);
// View of x expanded to `shape` (right-aligned; size-1 or missing dimensions repeat with stride 0).
// Error: "cannot broadcast {src} to {dst}".
Tensor broadcast_as(const Tensor& x, const Shape& shape);
// broadcast_as(x, left ++ x.shape()).
Tensor broadcast_left(const Tensor& x, const Shape& left);
// Concatenation along dim. One tensor: returned as is. Checks in this order: at least one tensor
// ("cat expects at least one tensor"); dim valid for the first tensor, then for every tensor (op
// "cat"); per tensor, rank equal to the first's ("unexpected rank, ...") and all other sizes equal
// ("shape mismatch in cat for dim {i}, shape for arg 1: {s0} shape for arg {n}: {sn}", n 1-based,
// i the first differing dim); finally dtypes ("dtype mismatch in cat, lhs: {}, rhs: {}").
Tensor cat(const std::vector<Tensor>& xs, long dim);
// Stacks along a new dimension: unsqueeze every tensor at dim, then cat ("stack expects at least
// one tensor").
Tensor stack(const std::vector<Tensor>& xs, long dim);
// Gathers entries of x along dim at the positions in ids (rank 1; U8, U32 or I64). Errors: dim (op
// "index-select"); ids not rank 1: "shape mismatch in index-select, lhs: {x}, rhs: {ids}"; other id
// dtypes: "unsupported dtype {ids dtype} for op index-select"; the first id out of range:
// "index-select invalid index {i} with dim size {n}" (negative I64 ids wrap to huge values).
Tensor index_select(const Tensor& x, const Tensor& ids, long dim);

// ---- element-wise ----

// Unary ops on float dtypes; an empty tensor is returned as is.
Tensor neg(const Tensor& x);
Tensor abs(const Tensor& x);
Tensor sqr(const Tensor& x);
Tensor sqrt(const Tensor& x);
Tensor exp(const Tensor& x);
Tensor log(const Tensor& x);
Tensor cos(const Tensor& x);
Tensor sin(const Tensor& x);
Tensor recip(const Tensor& x);
// v / (1 + exp(-v)), one rounding per step in F16/BF16.
Tensor silu(const Tensor& x);
// x * mul + add: mul and add are first converted to x's dtype (F16/BF16 with one rounding from
// the double), then each element is round(round(x * mul) + add); never fused.
Tensor affine(const Tensor& x, double mul, double add);

// Same-shape binary ops. Shape checked first ("shape mismatch in {op}, ..."); an empty result
// returns lhs; then dtype ("dtype mismatch in {op}, ..."). op = "add", "sub", "mul", "div",
// "maximum". maximum(a, b) = a < b ? b : a (a NaN in a wins, a NaN in b loses).
Tensor add(const Tensor& a, const Tensor& b);
Tensor sub(const Tensor& a, const Tensor& b);
Tensor mul(const Tensor& a, const Tensor& b);
Tensor div(const Tensor& a, const Tensor& b);
Tensor maximum(const Tensor& a, const Tensor& b);
// Maximum against a scalar, converted to x's dtype first.
Tensor maximum(const Tensor& x, double scalar);

// Broadcasting binary ops (numpy rules, right-aligned). Shapes that do not broadcast: "shape
// mismatch in broadcast_{op}, lhs: {}, rhs: {}" with the original shapes; a dtype mismatch names
// the plain op ("dtype mismatch in add, ...").
Tensor broadcast_add(const Tensor& a, const Tensor& b);
Tensor broadcast_sub(const Tensor& a, const Tensor& b);
Tensor broadcast_mul(const Tensor& a, const Tensor& b);
Tensor broadcast_div(const Tensor& a, const Tensor& b);
Tensor broadcast_maximum(const Tensor& a, const Tensor& b);

// ---- reductions over one dimension, kept with size 1 ----

// Sequential sum from zero. In F16/BF16 every partial sum is rounded, so a running sum can overflow
// to infinity or stop growing. Op name "sum".
Tensor sum_keepdim(const Tensor& x, long dim);
// sum_keepdim(x) * (1 / n) + 0 through affine (1 / n computed in double). Op name "mean-keepdim".
Tensor mean_keepdim(const Tensor& x, long dim);
// Running maximum from element 0, replaced when running < value: a leading NaN wins, later NaNs are
// skipped. Op name "max"; an empty dimension gives "empty tensor for reduce".
Tensor max_keepdim(const Tensor& x, long dim);

// ---- matrix product ----

// Batched product over equal leading dimensions: (..., m, k) x (..., k, n) -> (..., m, n), both of
// rank >= 2. Operands may be views (transposed, narrowed, broadcast with stride 0). Checks, in
// order: ranks equal and >= 2, inner sizes and leading dimensions equal ("shape mismatch in matmul,
// lhs: {}, rhs: {}"); an empty result or k == 0 gives zeros in a's dtype; dtypes equal ("dtype
// mismatch in matmul, ..."); dtype F32, F16 or F64, else "unsupported dtype {dt} for op matmul".
// F16 accumulates in f32 and rounds once per output element.
Tensor matmul(const Tensor& a, const Tensor& b);

}  // namespace tl

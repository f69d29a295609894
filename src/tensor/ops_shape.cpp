// Shape operations: views (reshape, narrow, transpose, squeeze, broadcast) and copies (cat, stack,
// index_select), plus the shared message builders.
#include <cstring>

#include "tensor/ops.h"
#include "tensor/ops_internal.h"

namespace tl {

Error dim_out_of_range(const char* op, long dim, const Shape& shape) {
  return Error(std::string(op) + ": dimension index " + std::to_string(dim) +
               " out of range for shape " + shape_str(shape));
}

Error shape_mismatch(const char* op, const Shape& lhs, const Shape& rhs) {
  return Error(std::string("shape mismatch in ") + op + ", lhs: " + shape_str(lhs) +
               ", rhs: " + shape_str(rhs));
}

Error dtype_mismatch(const char* op, DType lhs, DType rhs) {
  return Error(std::string("dtype mismatch in ") + op + ", lhs: " + dtype_name(lhs) +
               ", rhs: " + dtype_name(rhs));
}

Error unexpected_rank(size_t expected, const Shape& shape) {
  return Error("unexpected rank, expected: " + std::to_string(expected) +
               ", got: " + std::to_string(shape.size()) + " (" + shape_str(shape) + ")");
}

Error unsupported_dtype(DType dt, const char* op) {
  return Error(std::string("unsupported dtype ") + dtype_name(dt) + " for op " + op);
}

size_t resolve_dim(long dim, const Shape& shape, const char* op) {
  long rank = (long)shape.size();
  if (dim >= 0 && dim < rank) return (size_t)dim;
  if (dim < 0 && -dim <= rank) return (size_t)(rank + dim);
  throw dim_out_of_range(op, dim, shape);
}

size_t resolve_dim_plus_one(long dim, const Shape& shape, const char* op) {
  long rank = (long)shape.size();
  if (dim >= 0 && dim <= rank) return (size_t)dim;
  if (dim < 0 && -dim <= rank + 1) return (size_t)(rank + 1 + dim);
  throw dim_out_of_range(op, dim, shape);
}

Tensor zeros_like(const Tensor& x) { return Tensor::zeros(x.shape(), x.dtype()); }

size_t dim(const Tensor& x, long d) { return x.shape()[resolve_dim(d, x.shape(), "dim")]; }

template <size_t N>
static std::array<size_t, N> dims_n(const Tensor& x) {
  if (x.rank() != N) throw unexpected_rank(N, x.shape());
  std::array<size_t, N> out;
  for (size_t i = 0; i < N; ++i) out[i] = x.shape()[i];
  return out;
}
std::array<size_t, 1> dims1(const Tensor& x) { return dims_n<1>(x); }
std::array<size_t, 2> dims2(const Tensor& x) { return dims_n<2>(x); }
std::array<size_t, 3> dims3(const Tensor& x) { return dims_n<3>(x); }
std::array<size_t, 4> dims4(const Tensor& x) { return dims_n<4>(x); }

std::vector<float> to_vec1_f32(const Tensor& x) {
  if (x.rank() != 1) throw unexpected_rank(1, x.shape());
  if (x.dtype() != DType::F32)
    throw Error(std::string("unexpected dtype, expected: F32, got: ") + dtype_name(x.dtype()));
  return x.to_f32_vec();
}

// ---- views ----

Tensor reshape(const Tensor& x, const Shape& shape) {
  size_t n = x.elem_count();
  Shape dst = shape;
  long hole = -1;
  size_t others = 1;
  bool others_overflow = false;
  for (size_t i = 0; i < dst.size(); ++i) {
    if (dst[i] == kInfer) {
      if (hole >= 0) throw InternalFailure("reshape: more than one inferred dimension");
      hole = (long)i;
      continue;
    }
    if (dst[i] != 0 && others > SIZE_MAX / dst[i]) others_overflow = true;
    others *= dst[i];
  }
  if (hole >= 0) {
    // An overflowing product cannot divide a real element count.
    if (others == 0 && !others_overflow)
      throw Error("cannot reshape tensor of " + std::to_string(n) + " elements to " +
                  tuple_str(dst, hole));
    if (others_overflow || n % others != 0)
      throw Error("cannot reshape tensor with " + std::to_string(n) + " elements to " +
                  tuple_str(dst, hole));
    dst[hole] = n / others;
  }
  bool same = !others_overflow;
  if (same) {
    size_t m = 1;
    for (size_t d : dst) m *= d;  // no overflow: every factor is part of `others` or the hole
    same = m == n;
  }
  if (!same) throw shape_mismatch("reshape", x.shape(), dst);
  Tensor c = x.contiguous();
  return c.view(dst, contiguous_strides(dst), c.offset());
}

Tensor flatten_all(const Tensor& x) { return reshape(x, {x.elem_count()}); }

Tensor unsqueeze(const Tensor& x, long dim) {
  size_t d = resolve_dim_plus_one(dim, x.shape(), "unsqueeze");
  Shape shape = x.shape();
  std::vector<size_t> strides = x.strides();
  size_t st = d < shape.size() ? strides[d] * shape[d] : 1;
  shape.insert(shape.begin() + d, 1);
  strides.insert(strides.begin() + d, st);
  return x.view(shape, strides, x.offset());
}

Tensor squeeze(const Tensor& x, long dim) {
  size_t d = resolve_dim(dim, x.shape(), "squeeze");
  if (x.shape()[d] != 1) return x;
  Shape shape = x.shape();
  std::vector<size_t> strides = x.strides();
  shape.erase(shape.begin() + d);
  strides.erase(strides.begin() + d);
  return x.view(shape, strides, x.offset());
}

Tensor narrow(const Tensor& x, long dim, size_t start, size_t len) {
  size_t d = resolve_dim(dim, x.shape(), "narrow");
  size_t size = x.shape()[d];
  auto err = [&](const char* msg) {
    return Error(std::string("narrow invalid args ") + msg + ": " + shape_str(x.shape()) +
                 ", dim: " + std::to_string(d) + ", start: " + std::to_string(start) +
                 ", len:" + std::to_string(len));
  };
  if (start > size) throw err("start > dim_len");
  size_t end = len > SIZE_MAX - start ? SIZE_MAX : start + len;
  if (end > size) throw err("start + len > dim_len");
  if (start == 0 && len == size) return x;
  Shape shape = x.shape();
  shape[d] = len;
  return x.view(shape, x.strides(), x.offset() + start * x.strides()[d]);
}

Tensor transpose(const Tensor& x, long d1, long d2) {
  size_t a = resolve_dim(d1, x.shape(), "transpose");
  size_t b = resolve_dim(d2, x.shape(), "transpose");
  if (a == b) return x;
  Shape shape = x.shape();
  std::vector<size_t> strides = x.strides();
  std::swap(shape[a], shape[b]);
  std::swap(strides[a], strides[b]);
  return x.view(shape, strides, x.offset());
}

Tensor t(const Tensor& x) {
  if (x.rank() < 2) throw unexpected_rank(2, x.shape());
  return transpose(x, (long)x.rank() - 2, (long)x.rank() - 1);
}

Tensor broadcast_as(const Tensor& x, const Shape& shape) {
  const Shape& src = x.shape();
  auto err = [&] {
    return Error("cannot broadcast " + shape_str(src) + " to " + shape_str(shape));
  };
  if (src.size() > shape.size()) throw err();
  size_t lead = shape.size() - src.size();
  std::vector<size_t> strides(shape.size(), 0);
  for (size_t i = 0; i < src.size(); ++i) {
    if (src[i] == shape[lead + i])
      strides[lead + i] = x.strides()[i];
    else if (src[i] == 1)
      strides[lead + i] = 0;
    else
      throw err();
  }
  shape_elem_count(shape);  // refuses sizes whose element count overflows
  return x.view(shape, strides, x.offset());
}

Tensor broadcast_left(const Tensor& x, const Shape& left) {
  Shape shape = left;
  shape.insert(shape.end(), x.shape().begin(), x.shape().end());
  return broadcast_as(x, shape);
}

// ---- copies ----

// Copies every element of src (any strides) into dst's storage at element offset `dst_base`, with
// destination strides `dst_strides` aligned to src's shape.
static void copy_into(const Tensor& src, Tensor& dst, size_t dst_base,
                      const std::vector<size_t>& dst_strides) {
  size_t es = dtype_size(src.dtype());
  const uint8_t* s = detail::storage_base<uint8_t>(src);
  uint8_t* d = detail::mutable_base<uint8_t>(dst);
  std::array<std::vector<size_t>, 2> st{src.strides(), dst_strides};
  detail::for_rows<2>(
      src.shape(), st, {src.offset(), dst_base},
      [&](size_t, const std::array<size_t, 2>& off, size_t n, const std::array<size_t, 2>& in) {
        if (in[0] == 1 && in[1] == 1) {
          std::memcpy(d + off[1] * es, s + off[0] * es, n * es);
          return;
        }
        for (size_t i = 0; i < n; ++i)
          std::memcpy(d + (off[1] + i * in[1]) * es, s + (off[0] + i * in[0]) * es, es);
      });
}

Tensor cat(const std::vector<Tensor>& xs, long dim) {
  if (xs.empty()) throw Error("cat expects at least one tensor");
  const Tensor& x0 = xs[0];
  if (xs.size() == 1) return x0;
  size_t d = resolve_dim(dim, x0.shape(), "cat");
  for (const Tensor& x : xs)
    if (d >= x.rank()) throw dim_out_of_range("cat", (long)d, x.shape());
  size_t total = 0;
  for (size_t a = 0; a < xs.size(); ++a) {
    const Tensor& x = xs[a];
    if (x.rank() != x0.rank()) throw unexpected_rank(x0.rank(), x.shape());
    for (size_t i = 0; i < x0.rank(); ++i)
      if (i != d && x0.shape()[i] != x.shape()[i])
        throw Error("shape mismatch in cat for dim " + std::to_string(i) +
                    ", shape for arg 1: " + shape_str(x0.shape()) + " shape for arg " +
                    std::to_string(a + 1) + ": " + shape_str(x.shape()));
    if (x.shape()[d] > SIZE_MAX - total) throw Error("tensor size overflow in cat");
    total += x.shape()[d];
  }
  for (const Tensor& x : xs)
    if (x.dtype() != x0.dtype()) throw dtype_mismatch("cat", x0.dtype(), x.dtype());
  Shape shape = x0.shape();
  shape[d] = total;
  Tensor out = Tensor::empty(shape, x0.dtype());
  std::vector<size_t> ost = out.strides();
  size_t pos = 0;
  for (const Tensor& x : xs) {
    copy_into(x, out, pos * ost[d], ost);
    pos += x.shape()[d];
  }
  return out;
}

Tensor stack(const std::vector<Tensor>& xs, long dim) {
  if (xs.empty()) throw Error("stack expects at least one tensor");
  size_t d = resolve_dim_plus_one(dim, xs[0].shape(), "stack");
  std::vector<Tensor> parts;
  parts.reserve(xs.size());
  for (const Tensor& x : xs) parts.push_back(unsqueeze(x, (long)d));
  return cat(parts, (long)d);
}

Tensor index_select(const Tensor& x, const Tensor& ids, long dim) {
  size_t d = resolve_dim(dim, x.shape(), "index-select");
  if (ids.rank() != 1) throw shape_mismatch("index-select", x.shape(), ids.shape());
  if (ids.dtype() != DType::U8 && ids.dtype() != DType::U32 && ids.dtype() != DType::I64)
    throw unsupported_dtype(ids.dtype(), "index-select");
  size_t n_ids = ids.shape()[0];
  size_t src_dim = x.shape()[d];
  // Id values as machine-size integers; a negative I64 wraps, as a cast to usize would.
  std::vector<size_t> idx(n_ids);
  {
    const uint8_t* base = detail::storage_base<uint8_t>(ids);
    size_t st = ids.strides()[0];
    for (size_t i = 0; i < n_ids; ++i) {
      size_t e = ids.offset() + i * st;
      size_t v = 0;
      switch (ids.dtype()) {
        case DType::U8:
          v = base[e];
          break;
        case DType::U32:
          v = reinterpret_cast<const uint32_t*>(base)[e];
          break;
        default:
          v = (size_t) reinterpret_cast<const int64_t*>(base)[e];
          break;
      }
      if (v >= src_dim)
        throw Error("index-select invalid index " + std::to_string(v) + " with dim size " +
                    std::to_string(src_dim));
      idx[i] = v;
    }
  }
  Shape shape = x.shape();
  shape[d] = n_ids;
  Tensor out = Tensor::empty(shape, x.dtype());
  if (out.elem_count() == 0) return out;
  Tensor src = x.contiguous();
  size_t es = dtype_size(x.dtype());
  size_t left = 1, right = 1;
  for (size_t i = 0; i < d; ++i) left *= shape[i];
  for (size_t i = d + 1; i < shape.size(); ++i) right *= shape[i];
  const uint8_t* s = detail::storage_base<uint8_t>(src) + src.offset() * es;
  uint8_t* o = detail::mutable_base<uint8_t>(out);
  size_t row = right * es;
  for (size_t l = 0; l < left; ++l)
    for (size_t i = 0; i < n_ids; ++i)
      std::memcpy(o + (l * n_ids + i) * row, s + (l * src_dim + idx[i]) * row, row);
  return out;
}

}  // namespace tl

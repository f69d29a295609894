#include "tensor/tensor.h"

#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>

namespace tl {

const char* dtype_name(DType dt) {
  switch (dt) {
    case DType::U8: return "U8";
    case DType::U32: return "U32";
    case DType::I64: return "I64";
    case DType::BF16: return "BF16";
    case DType::F16: return "F16";
    case DType::F32: return "F32";
    case DType::F64: return "F64";
  }
  return "?";
}

size_t dtype_size(DType dt) {
  switch (dt) {
    case DType::U8: return 1;
    case DType::BF16:
    case DType::F16: return 2;
    case DType::U32:
    case DType::F32: return 4;
    case DType::I64:
    case DType::F64: return 8;
  }
  return 1;
}

std::string shape_str(const Shape& s) {
  std::string out = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(s[i]);
  }
  return out + "]";
}

std::string tuple_str(const Shape& s, long hole) {
  std::string out = "(";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) out += ", ";
    out += ((long)i == hole) ? std::string("()") : std::to_string(s[i]);
  }
  if (s.size() == 1) out += ",";
  return out + ")";
}

Storage::Storage(size_t bytes) : bytes_(bytes) {
  size_t rounded = (bytes + 63) / 64 * 64;
  if (rounded < bytes) throw std::bad_alloc();
  data_ = static_cast<uint8_t*>(std::aligned_alloc(64, rounded == 0 ? 64 : rounded));
  if (!data_) throw std::bad_alloc();
}

Storage::~Storage() { std::free(data_); }

size_t shape_elem_count(const Shape& s) {
  size_t n = 1;
  for (size_t d : s) {
    if (d != 0 && n > SIZE_MAX / d) throw Error("tensor size overflow for shape " + shape_str(s));
    n *= d;
  }
  return n;
}

std::vector<size_t> contiguous_strides(const Shape& s) {
  std::vector<size_t> st(s.size());
  size_t acc = 1;
  for (size_t i = s.size(); i-- > 0;) {
    st[i] = acc;
    acc *= s[i];
  }
  return st;
}

static size_t checked_bytes(const Shape& shape, DType dt) {
  size_t n = shape_elem_count(shape);
  if (n > SIZE_MAX / dtype_size(dt)) throw Error("tensor size overflow for shape " + shape_str(shape));
  return n * dtype_size(dt);
}

Tensor Tensor::empty(const Shape& shape, DType dt) {
  Tensor t;
  t.storage_ = std::make_shared<Storage>(checked_bytes(shape, dt));
  t.shape_ = shape;
  t.strides_ = contiguous_strides(shape);
  t.dtype_ = dt;
  return t;
}

Tensor Tensor::zeros(const Shape& shape, DType dt) {
  Tensor t = empty(shape, dt);
  std::memset(t.storage_->data(), 0, t.storage_->bytes());
  return t;
}

static Error buffer_mismatch(size_t n, const Shape& shape) {
  return Error("Shape mismatch, got buffer of size " + std::to_string(n) +
               " which is compatible with shape " + shape_str(shape));
}

Tensor Tensor::from_bytes(const void* src, size_t nbytes, DType dt, const Shape& shape) {
  size_t want = checked_bytes(shape, dt);
  if (nbytes != want) throw buffer_mismatch(nbytes / dtype_size(dt), shape);
  Tensor t = empty(shape, dt);
  if (nbytes) std::memcpy(t.storage_->data(), src, nbytes);
  return t;
}

Tensor Tensor::from_f32(const std::vector<float>& data, const Shape& shape) {
  if (data.size() != shape_elem_count(shape)) throw buffer_mismatch(data.size(), shape);
  return from_bytes(data.data(), data.size() * 4, DType::F32, shape);
}

Tensor Tensor::from_u32(const std::vector<uint32_t>& data, const Shape& shape) {
  if (data.size() != shape_elem_count(shape)) throw buffer_mismatch(data.size(), shape);
  return from_bytes(data.data(), data.size() * 4, DType::U32, shape);
}

size_t Tensor::elem_count() const { return shape_elem_count(shape_); }

bool Tensor::is_contiguous() const {
  size_t acc = 1;
  for (size_t i = shape_.size(); i-- > 0;) {
    if (shape_[i] != 1 && strides_[i] != acc) return false;
    acc *= shape_[i];
  }
  return true;
}

Tensor Tensor::view(const Shape& shape, const std::vector<size_t>& strides, size_t offset) const {
  Tensor t;
  t.storage_ = storage_;
  t.shape_ = shape;
  t.strides_ = strides;
  t.offset_ = offset;
  t.dtype_ = dtype_;
  return t;
}

namespace {

// Calls f(src_element_index_in_storage, dst_linear_index) over a strided view in row-major order.
template <class F>
void for_each_index(const Shape& shape, const std::vector<size_t>& strides, size_t offset, F f) {
  size_t n = shape_elem_count(shape);
  if (n == 0) return;
  size_t r = shape.size();
  std::vector<size_t> idx(r, 0);
  size_t src = offset;
  for (size_t lin = 0; lin < n; ++lin) {
    f(src, lin);
    for (size_t d = r; d-- > 0;) {
      if (++idx[d] < shape[d]) {
        src += strides[d];
        break;
      }
      src -= strides[d] * (shape[d] - 1);
      idx[d] = 0;
    }
  }
}

float load_f32(const uint8_t* base, DType dt, size_t i) {
  switch (dt) {
    case DType::U8: return (float)base[i];
    case DType::U32: return (float)reinterpret_cast<const uint32_t*>(base)[i];
    case DType::I64: return (float)reinterpret_cast<const int64_t*>(base)[i];
    case DType::BF16: return bf16_to_f32(reinterpret_cast<const uint16_t*>(base)[i]);
    case DType::F16: return f16_to_f32(reinterpret_cast<const uint16_t*>(base)[i]);
    case DType::F32: return reinterpret_cast<const float*>(base)[i];
    case DType::F64: return (float)reinterpret_cast<const double*>(base)[i];
  }
  return 0;
}

double load_f64(const uint8_t* base, DType dt, size_t i) {
  switch (dt) {
    case DType::U8: return (double)base[i];
    case DType::U32: return (double)reinterpret_cast<const uint32_t*>(base)[i];
    case DType::I64: return (double)reinterpret_cast<const int64_t*>(base)[i];
    case DType::F64: return reinterpret_cast<const double*>(base)[i];
    default: return (double)load_f32(base, dt, i);
  }
}

}  // namespace

Tensor Tensor::contiguous() const {
  if (is_contiguous()) return *this;
  Tensor out = empty(shape_, dtype_);
  size_t es = dtype_size(dtype_);
  const uint8_t* src = storage_->data();
  uint8_t* dst = out.storage_->data();
  for_each_index(shape_, strides_, offset_,
                 [&](size_t s, size_t d) { std::memcpy(dst + d * es, src + s * es, es); });
  return out;
}

// Conversion rules: F16/BF16 -> F32 exact; F32 -> F16/BF16 round to nearest even; F64 -> F16/BF16
// with one rounding from f64; integers -> 16-bit floats via f32; F64 -> F32 nearest.
Tensor Tensor::to_dtype(DType dt) const {
  if (dt == dtype_) return *this;
  Tensor src = contiguous();
  size_t n = elem_count();
  Tensor out = empty(shape_, dt);
  const uint8_t* s = src.storage_->data() + src.offset_ * dtype_size(dtype_);
  uint8_t* d = out.storage_->data();
  for (size_t i = 0; i < n; ++i) {
    switch (dt) {
      case DType::F32:
        reinterpret_cast<float*>(d)[i] =
            dtype_ == DType::F64 ? (float)load_f64(s, dtype_, i) : load_f32(s, dtype_, i);
        break;
      case DType::F64: reinterpret_cast<double*>(d)[i] = load_f64(s, dtype_, i); break;
      case DType::F16:
        reinterpret_cast<uint16_t*>(d)[i] = dtype_ == DType::F64
                                                ? f64_to_f16(load_f64(s, dtype_, i))
                                                : f32_to_f16(load_f32(s, dtype_, i));
        break;
      case DType::BF16:
        reinterpret_cast<uint16_t*>(d)[i] = dtype_ == DType::F64
                                                ? f64_to_bf16(load_f64(s, dtype_, i))
                                                : f32_to_bf16(load_f32(s, dtype_, i));
        break;
      case DType::U32: {
        double v = load_f64(s, dtype_, i);
        reinterpret_cast<uint32_t*>(d)[i] = (v != v || v <= 0) ? 0u : v >= 4294967295.0 ? 0xffffffffu : (uint32_t)v;
        break;
      }
      case DType::I64: {
        double v = load_f64(s, dtype_, i);
        reinterpret_cast<int64_t*>(d)[i] = (v != v) ? 0 : v >= 9.2233720368547758e18 ? INT64_MAX
                                           : v <= -9.2233720368547758e18 ? INT64_MIN : (int64_t)v;
        break;
      }
      case DType::U8: {
        double v = load_f64(s, dtype_, i);
        d[i] = (v != v || v <= 0) ? 0 : v >= 255 ? 255 : (uint8_t)v;
        break;
      }
    }
  }
  return out;
}

std::vector<float> Tensor::to_f32_vec() const {
  Tensor c = contiguous();
  size_t n = elem_count();
  std::vector<float> out(n);
  const uint8_t* s = c.storage_->data() + c.offset_ * dtype_size(dtype_);
  for (size_t i = 0; i < n; ++i) out[i] = load_f32(s, dtype_, i);
  return out;
}

}  // namespace tl

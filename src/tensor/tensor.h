// Tensor: an n-dimensional view (shape, strides in elements, offset) over shared CPU storage.
//
// Storage is reference counted and 64-byte aligned; a view (narrow, transpose, broadcast) shares it.
// Operations that compute make a new contiguous tensor. F16 and BF16 elements are stored as raw
// 16-bit patterns (tl::f16 / tl::bf16 have the same layout as uint16_t).
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "tensor/dtype.h"
#include "tensor/error.h"
#include "tensor/half.h"

namespace tl {

// Owned, aligned bytes. Allocation failure throws std::bad_alloc.
class Storage {
 public:
  explicit Storage(size_t bytes);
  ~Storage();
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t bytes() const { return bytes_; }

 private:
  uint8_t* data_ = nullptr;
  size_t bytes_ = 0;
};

// Product of the sizes; throws tl::Error on overflow of size_t.
size_t shape_elem_count(const Shape& s);

class Tensor {
 public:
  Tensor() = default;  // an empty handle (no storage); valid() is false

  // New contiguous tensor of zeros. Throws std::bad_alloc / tl::Error (size overflow).
  static Tensor zeros(const Shape& shape, DType dt);
  // Uninitialised contiguous tensor (callers fill every element).
  static Tensor empty(const Shape& shape, DType dt);
  // Copies raw element bytes (stored layout of dt, little-endian) into a new tensor.
  // nbytes must equal elem_count(shape) * dtype_size(dt); otherwise the "Shape mismatch, got
  // buffer of size {} which is compatible with shape {}" error (size counted in elements).
  static Tensor from_bytes(const void* src, size_t nbytes, DType dt, const Shape& shape);
  // from_vec: data.size() must equal the shape's element count, same error text as above.
  static Tensor from_f32(const std::vector<float>& data, const Shape& shape);
  static Tensor from_u32(const std::vector<uint32_t>& data, const Shape& shape);

  bool valid() const { return storage_ != nullptr; }
  DType dtype() const { return dtype_; }
  Device device() const { return Device::Cpu; }
  const Shape& shape() const { return shape_; }
  const std::vector<size_t>& strides() const { return strides_; }
  size_t offset() const { return offset_; }
  size_t rank() const { return shape_.size(); }
  size_t elem_count() const;
  bool is_contiguous() const;
  // True when both handles refer to the same storage block.
  bool shares_storage(const Tensor& o) const { return storage_ == o.storage_; }

  // A contiguous tensor with the same values (this handle when already contiguous).
  Tensor contiguous() const;
  // Conversion with the library's rounding rules (same dtype: this handle).
  Tensor to_dtype(DType dt) const;
  // Element values widened to f32 in row-major order (any dtype; U32/I64/U8 converted).
  std::vector<float> to_f32_vec() const;

  // Raw pointer to the element at the view's offset; for a contiguous tensor, all elements follow
  // it in row-major order. Contiguity is the caller's to ensure: nothing here checks it.
  template <class T>
  T* data() {
    return reinterpret_cast<T*>(storage_->data()) + offset_;
  }
  template <class T>
  const T* data() const {
    return reinterpret_cast<const T*>(storage_->data()) + offset_;
  }

  // Build a view over this tensor's storage (used by the ops).
  Tensor view(const Shape& shape, const std::vector<size_t>& strides, size_t offset) const;

 private:
  std::shared_ptr<Storage> storage_;
  Shape shape_;
  std::vector<size_t> strides_;  // in elements
  size_t offset_ = 0;            // in elements
  DType dtype_ = DType::F32;
};

// Row-major strides for a shape.
std::vector<size_t> contiguous_strides(const Shape& s);

}  // namespace tl

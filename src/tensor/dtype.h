// Element types of tensors and their names as they appear in error messages.
#pragma once
#include <cstddef>
#include <cstdint>

namespace tl {

enum class DType : uint8_t { U8, U32, I64, BF16, F16, F32, F64 };

// Variant name as printed in messages: "U8", "U32", "I64", "BF16", "F16", "F32", "F64".
const char* dtype_name(DType dt);
size_t dtype_size(DType dt);
inline bool is_float(DType dt) {
  return dt == DType::BF16 || dt == DType::F16 || dt == DType::F32 || dt == DType::F64;
}

enum class Device : uint8_t { Cpu };

}  // namespace tl

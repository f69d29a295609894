// Read-only memory-mapped safetensors file: header parsed with nlohmann_json and validated before
// any tensor byte is touched.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include "tensor/tensor.h"

namespace tl {

// One header entry. dtype_name is the stored name ("F32", "F16", "BF16", "I64", ...); shape and
// the byte range [begin, end) relative to the data section, already validated against the file.
struct TensorInfo {
  std::string dtype_name;
  Shape shape;
  size_t begin = 0;
  size_t end = 0;
};

class SafeTensorsFile {
 public:
  // Maps and validates. Failures are tl::Error with the texts "path: {path:?} {io error text}"
  // for open/map failures and "path: {path:?} {HeaderTooSmall|HeaderTooLarge|...}" for header
  // failures (see the notes on the library's formats).
  static std::shared_ptr<const SafeTensorsFile> open(const std::string& path);
  ~SafeTensorsFile();

  bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
  const TensorInfo* find(const std::string& name) const;
  // Pointer to the first byte of a tensor's data inside the mapping.
  const uint8_t* data(const TensorInfo& info) const { return data_start_ + info.begin; }
  // Copies a tensor out of the mapping into a new Tensor of its stored dtype (U16 read as U32,
  // I32 as I64); unknown or unreadable dtypes throw "unsupported safetensor dtype {}".
  Tensor load(const TensorInfo& info) const;
  const std::map<std::string, TensorInfo>& tensors() const { return tensors_; }

 private:
  SafeTensorsFile() = default;
  void* map_ = nullptr;
  size_t map_len_ = 0;
  const uint8_t* data_start_ = nullptr;
  std::map<std::string, TensorInfo> tensors_;
};

}  // namespace tl

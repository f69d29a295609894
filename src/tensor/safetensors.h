// Read-only memory-mapped safetensors file: header parsed with nlohmann_json and validated before
// any tensor byte is touched.
//
// File layout: u64 little-endian n, then n bytes of UTF-8 JSON, then the data section. The JSON
// object maps each tensor name to {"dtype", "shape", "data_offsets": [begin, end]} (offsets into
// the data section) and may hold "__metadata__", a map of strings. Sorted by offsets, the tensors
// must tile the data section exactly: no gap, no overlap, nothing after the last one.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "tensor/tensor.h"

namespace tl {

// Every element type a header may name, in the format's own order.
enum class StoredDType : uint8_t {
  BOOL, U8, I8, F8_E5M2, F8_E4M3, I16, U16, F16, BF16, I32, U32, F32, F64, I64, U64
};
// "BOOL", "U8", ..., "F8_E5M2", ...: the name as written in the header.
const char* stored_dtype_name(StoredDType dt);
size_t stored_dtype_size(StoredDType dt);
// The tensor dtype a stored dtype loads as (U16 widens to U32, I32 to I64), or nullopt when the
// tensor library cannot read it (BOOL, I8, F8_E5M2, F8_E4M3, I16, U64).
std::optional<DType> loaded_dtype(StoredDType dt);

// One header entry: the stored dtype, the shape and the byte range [begin, end) relative to the
// data section, already validated against the file (end - begin == elements * element size).
struct TensorInfo {
  std::string dtype_name;
  StoredDType dtype = StoredDType::F32;
  Shape shape;
  size_t begin = 0;
  size_t end = 0;
};

// Rust `{:?}` text of a path: double-quoted, with \" \\ \' \n \r \t \0 escaped, other control
// and invisible characters as \u{hex}, bytes that are not UTF-8 as \xHH.
std::string debug_path(const std::string& path);

class SafeTensorsFile {
 public:
  // Maps and validates. Failures are tl::Error with the texts "path: {path:?} {io error text}"
  // for open/map failures ("No such file or directory (os error 2)") and
  // "path: {path:?} {HeaderTooSmall|HeaderTooLarge|InvalidHeaderLength|InvalidHeader|
  // InvalidHeaderDeserialization|InvalidOffset(\"name\")|ValidationOverflow|TensorInvalidInfo|
  // MetadataIncompleteBuffer}" for a header the format rejects.
  static std::shared_ptr<const SafeTensorsFile> open(const std::string& path);
  ~SafeTensorsFile();
  SafeTensorsFile(const SafeTensorsFile&) = delete;
  SafeTensorsFile& operator=(const SafeTensorsFile&) = delete;

  bool contains(const std::string& name) const { return tensors_.count(name) != 0; }
  const TensorInfo* find(const std::string& name) const;
  // Pointer to the first byte of a tensor's data inside the mapping.
  const uint8_t* data(const TensorInfo& info) const { return data_start_ + info.begin; }
  // Copies a tensor out of the mapping into a new Tensor of its loaded dtype (U16 read as U32,
  // I32 as I64); unreadable dtypes throw "unsupported safetensor dtype {}".
  Tensor load(const TensorInfo& info) const;
  // Copies and converts in one pass, straight from the mapping into a new tensor of dtype `dt`
  // (no full-size temporary of the stored dtype). Values equal load(info).to_dtype(dt).
  Tensor load_as(const TensorInfo& info, DType dt) const;
  const std::map<std::string, TensorInfo>& tensors() const { return tensors_; }
  // The "__metadata__" map, absent when the header has none (or holds null).
  const std::optional<std::map<std::string, std::string>>& metadata() const { return metadata_; }
  size_t file_size() const { return file_len_; }

 private:
  SafeTensorsFile() = default;
  // Tells the kernel that the mapped pages lying wholly inside a tensor's bytes are no longer
  // needed (they were copied): keeps resident memory near the model's own size while loading.
  void release_pages(const TensorInfo& info) const;

  void* map_ = nullptr;
  size_t map_len_ = 0;   // bytes mapped (at least 1: an empty file maps one page)
  size_t file_len_ = 0;  // bytes of the file
  const uint8_t* data_start_ = nullptr;
  std::map<std::string, TensorInfo> tensors_;
  std::optional<std::map<std::string, std::string>> metadata_;
};

}  // namespace tl

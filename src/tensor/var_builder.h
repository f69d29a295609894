// Named access to the tensors of one memory-mapped safetensors file, with dotted prefixes.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "tensor/safetensors.h"
#include "tensor/tensor.h"

namespace tl {

class VarBuilder {
 public:
  // Memory-maps the file and parses its header. Errors are tl::Error with the library's texts
  // (see safetensors.h). The mapping lives as long as any VarBuilder derived from this one.
  static VarBuilder from_mmaped_safetensors(const std::string& path, DType dt);

  // A builder with one more prefix component (a component may contain dots).
  VarBuilder pp(const std::string& component) const;
  // Full name: prefix components joined by "." then "." and name, or the bare name without prefix.
  std::string path(const std::string& name) const;
  // Finds the full name, copies its data into a new tensor of the stored dtype, converts it to
  // this builder's dtype, then compares the shape exactly. Errors, in this order:
  // "cannot find tensor {full name}"; "unsupported safetensor dtype {stored name}";
  // "shape mismatch for {full name}, expected: {requested}, got: {stored}".
  Tensor get(const Shape& shape, const std::string& name) const;
  // True iff the header lists this full name (no data read, no shape compared).
  bool contains_tensor(const std::string& full_name) const;
  DType dtype() const { return dtype_; }

 private:
  struct Shared;
  std::shared_ptr<Shared> shared_;  // the file, common to derived builders
  std::vector<std::string> prefix_;
  DType dtype_ = DType::F32;
};

}  // namespace tl

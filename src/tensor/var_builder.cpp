#include "tensor/var_builder.h"

namespace tl {

struct VarBuilder::Shared {
  std::shared_ptr<const SafeTensorsFile> file;
};

VarBuilder VarBuilder::from_mmaped_safetensors(const std::string& path, DType dt) {
  VarBuilder vb;
  vb.shared_ = std::make_shared<Shared>();
  vb.shared_->file = SafeTensorsFile::open(path);
  vb.dtype_ = dt;
  return vb;
}

VarBuilder VarBuilder::pp(const std::string& component) const {
  VarBuilder vb = *this;
  vb.prefix_.push_back(component);
  return vb;
}

std::string VarBuilder::path(const std::string& name) const {
  if (prefix_.empty()) return name;
  std::string full;
  for (const std::string& c : prefix_) {
    full += c;
    full += '.';
  }
  return full + name;
}

Tensor VarBuilder::get(const Shape& shape, const std::string& name) const {
  std::string full = path(name);
  // A default-constructed builder has no file: it lists no tensor.
  if (!shared_) throw Error("cannot find tensor " + full);
  const TensorInfo* info = shared_->file->find(full);
  if (!info) throw Error("cannot find tensor " + full);
  Tensor t = shared_->file->load_as(*info, dtype_);
  if (t.shape() != shape) {
    throw Error("shape mismatch for " + full + ", expected: " + shape_str(shape) +
                ", got: " + shape_str(t.shape()));
  }
  return t;
}

bool VarBuilder::contains_tensor(const std::string& full_name) const {
  return shared_ && shared_->file->contains(full_name);
}

}  // namespace tl

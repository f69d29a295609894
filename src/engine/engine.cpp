#include "engine/engine.h"

#include <utility>

#include "tensor/error.h"
#include "tensor/safetensors.h"
#include "tensor/var_builder.h"

namespace engine {
namespace {

// ASCII case folding. Full Unicode lower-casing gives the same answers for the words compared
// here: no non-ASCII character lower-cases into any of their letters.
std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace

tl::Device resolve_device(std::string_view device) {
  const std::string d = ascii_lower(device);
  if (d.rfind("cuda", 0) == 0) {
    throw tl::Error(
        "CUDA initialization failed: the candle crate has not been built with cuda support");
  }
  if (d == "metal" || d == "mps") {
    throw tl::Error(
        "Metal/MPS initialization failed: the candle crate has not been built with metal support");
  }
  return tl::Device::Cpu;
}

tl::DType resolve_dtype(std::string_view dtype) {
  const std::string d = ascii_lower(dtype);
  if (d == "bf16" || d == "bfloat16") return tl::DType::BF16;
  if (d == "fp16" || d == "float16") return tl::DType::F16;
  return tl::DType::F32;
}

std::unique_ptr<Engine> build_engine(const model::Config& cfg, const std::string& weights_path,
                                     tl::DType dtype, tl::Device device) {
  if (weights_path.find('\0') != std::string::npos) {
    throw tl::Error("path: " + tl::debug_path(weights_path) +
                    " file name contained an unexpected NUL byte");
  }
  // The accessor (and with it the mapping) passes into load() and is released when it returns.
  model::LlmModel model = model::LlmModel::load(
      cfg, tl::VarBuilder::from_mmaped_safetensors(weights_path, dtype), dtype);
  model::KVCache cache(static_cast<size_t>(cfg.num_hidden_layers));
  return std::unique_ptr<Engine>(new Engine{std::move(model), std::move(cache), device});
}

}  // namespace engine

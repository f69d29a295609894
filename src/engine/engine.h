// The engine behind one LlmEngine object: the loaded model, its decoding caches and the device.
// Built once by build_engine(); the configuration record and the weight accessor live only during
// construction, so no file mapping outlives it.
#pragma once
#include <memory>
#include <string>
#include <string_view>

#include "model/config.h"
#include "model/kv_cache.h"
#include "model/llm_model.h"
#include "tensor/dtype.h"

namespace engine {

struct Engine {
  model::LlmModel model;
  model::KVCache cache;  // one LayerCache per decoder layer, empty at construction
  tl::Device device = tl::Device::Cpu;
};

// Device text to device. Compared in lower case: a text starting with "cuda", or exactly "metal"
// or "mps", is refused (tl::Error with the two fixed initialisation texts); every other text,
// the empty one included, selects the CPU.
tl::Device resolve_device(std::string_view device);

// Dtype text to compute dtype, in lower case: "bf16"/"bfloat16" -> BF16, "fp16"/"float16" -> F16,
// anything else -> F32. Never fails.
tl::DType resolve_dtype(std::string_view dtype);

// Opens the one weight file, loads the model converted to `dtype` and builds an empty cache of
// num_hidden_layers entries. Throws tl::Error with the tensor library's text when the file cannot
// be opened or parsed or a tensor is missing or misshapen; everything built so far is released.
// A path holding a NUL byte is refused before any file is touched (it would otherwise name a
// shorter, different path at the operating-system boundary).
std::unique_ptr<Engine> build_engine(const model::Config& cfg, const std::string& weights_path,
                                     tl::DType dtype, tl::Device device);

}  // namespace engine

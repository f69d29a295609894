// Test-only extension module `tessaline_testing`: loads a model through model::LlmModel and runs
// single forward calls, so pytest can compare logits with the NumPy reference.
//
//   m = tessaline_testing.Model(path, config_json, dtype)   # dtype "f32" | "f16" | "bf16"
//   m.forward(ids, offset) -> list[float]   # last position's logits; commits the step on success
//   m.reset()                               # every cache entry back to empty
//   m.kv_lengths() -> list[int]             # committed key/value length per layer (0: none)
//
// The configuration is a JSON object with the record's keys; "moe_config" and
// "gated_deltanet_config" are nested objects. A key missing or null keeps the record's default
// (the optional sizes stay unset). This is a plain mapping for tests, not the product's parser.
//
// tl::Error becomes RuntimeError with the error's message; tl::InternalFailure becomes
// tessaline_testing.InternalFailure (a RuntimeError subclass) with its message.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <memory>
#include <new>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/config.h"
#include "model/kv_cache.h"
#include "model/llm_model.h"
#include "tensor/error.h"
#include "tensor/var_builder.h"

namespace {

using nlohmann::json;

PyObject* g_internal_failure = nullptr;

bool has(const json& j, const char* key) { return j.contains(key) && !j.at(key).is_null(); }

template <class T>
void read(const json& j, const char* key, T& out) {
  if (has(j, key)) out = j.at(key).get<T>();
}

void read_opt(const json& j, const char* key, std::optional<uint64_t>& out) {
  if (has(j, key)) out = j.at(key).get<uint64_t>();
}

model::Config parse_config(const std::string& text) {
  json j = json::parse(text);
  model::Config c;
  if (has(j, "moe_config")) {
    const json& m = j.at("moe_config");
    model::MoeConfig mc;
    read(m, "intermediate_size", mc.intermediate_size);
    read(m, "n_routed_experts", mc.n_routed_experts);
    read_opt(m, "n_shared_experts", mc.n_shared_experts);
    read(m, "num_experts_per_tok", mc.num_experts_per_tok);
    read(m, "routed_scaling_factor", mc.routed_scaling_factor);
    read(m, "norm_topk_prob", mc.norm_topk_prob);
    read_opt(m, "n_dense_layer", mc.n_dense_layer);
    c.moe_config = mc;
  }
  for (const char* key : {"vocab_size", "hidden_size", "intermediate_size", "num_hidden_layers",
                          "num_attention_heads"}) {
    if (!has(j, key)) throw tl::Error(std::string("Missing ") + key);
  }
  read(j, "vocab_size", c.vocab_size);
  read(j, "hidden_size", c.hidden_size);
  read(j, "intermediate_size", c.intermediate_size);
  read(j, "num_hidden_layers", c.num_hidden_layers);
  read(j, "num_attention_heads", c.num_attention_heads);
  c.num_key_value_heads = c.num_attention_heads;
  read(j, "num_key_value_heads", c.num_key_value_heads);
  if (has(j, "head_dim")) {
    c.head_dim = j.at("head_dim").get<uint64_t>();
  } else {
    if (c.num_attention_heads == 0) throw tl::InternalFailure("attempt to divide by zero");
    c.head_dim = c.hidden_size / c.num_attention_heads;
  }
  read(j, "norm_eps", c.norm_eps);
  read(j, "use_qk_norm", c.use_qk_norm);
  read(j, "attention_qkv_bias", c.attention_qkv_bias);
  read(j, "attention_out_bias", c.attention_out_bias);
  read(j, "mlp_bias", c.mlp_bias);
  read(j, "lm_head_bias", c.lm_head_bias);
  read(j, "rope_theta", c.rope_theta);
  read(j, "partial_rotary_factor", c.partial_rotary_factor);
  read(j, "max_position_embeddings", c.max_position_embeddings);
  read(j, "attention_type", c.attention_type);
  read(j, "hybrid_ratio", c.hybrid_ratio);
  read_opt(j, "hybrid_softmax_head_dim", c.hybrid_softmax_head_dim);
  read_opt(j, "hybrid_softmax_num_heads", c.hybrid_softmax_num_heads);
  read_opt(j, "hybrid_softmax_num_kv_heads", c.hybrid_softmax_num_kv_heads);
  read(j, "hybrid_softmax_gated", c.hybrid_softmax_gated);
  if (has(j, "gated_deltanet_config")) {
    const json& g = j.at("gated_deltanet_config");
    read(g, "use_short_conv", c.use_short_conv);
    read(g, "conv_kernel_size", c.conv_kernel_size);
    read(g, "conv_bias", c.conv_bias);
  }
  return c;
}

tl::DType parse_dtype(const std::string& s) {
  if (s == "f32" || s == "fp32" || s == "float32") return tl::DType::F32;
  if (s == "f16" || s == "fp16" || s == "float16") return tl::DType::F16;
  if (s == "bf16" || s == "bfloat16") return tl::DType::BF16;
  throw tl::Error("unknown dtype " + s);
}

// A Python str holding every byte of an error text (it may contain NUL bytes).
PyObject* message(const std::string& m) {
  PyObject* o = PyUnicode_DecodeUTF8(m.data(), static_cast<Py_ssize_t>(m.size()), "replace");
  return o ? o : Py_None;
}

// Runs f, turning every C++ exception into a Python exception. Returns false when one was raised.
template <class F>
bool guarded(F&& f) {
  try {
    f();
    return true;
  } catch (const tl::InternalFailure& e) {
    PyErr_SetObject(g_internal_failure, message(e.message()));
  } catch (const tl::Error& e) {
    PyErr_SetObject(PyExc_RuntimeError, message(e.message()));
  } catch (const json::exception& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_Format(PyExc_SystemError, "unexpected C++ exception: %s", e.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
  }
  return false;
}

struct State {
  model::LlmModel model;
  model::KVCache cache;
  std::vector<float> logits;
};

struct ModelObject {
  PyObject_HEAD State* st;
};

PyObject* model_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", "config_json", "dtype", nullptr};
  const char* path = nullptr;
  const char* config = nullptr;
  const char* dtype = "f32";
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ss|s", const_cast<char**>(kwlist), &path,
                                   &config, &dtype)) {
    return nullptr;
  }
  auto* self = reinterpret_cast<ModelObject*>(type->tp_alloc(type, 0));
  if (!self) return nullptr;
  self->st = nullptr;
  bool ok = guarded([&] {
    model::Config cfg = parse_config(config);
    tl::DType dt = parse_dtype(dtype);
    auto vb = tl::VarBuilder::from_mmaped_safetensors(path, dt);
    auto m = model::LlmModel::load(cfg, std::move(vb), dt);
    size_t n = m.num_layers();
    self->st = new State{std::move(m), model::KVCache(n), {}};
  });
  if (!ok) {
    Py_DECREF(self);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(self);
}

void model_dealloc(PyObject* obj) {
  auto* self = reinterpret_cast<ModelObject*>(obj);
  delete self->st;
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);  // heap type
}

PyObject* model_forward(PyObject* obj, PyObject* args) {
  auto* self = reinterpret_cast<ModelObject*>(obj);
  PyObject* seq = nullptr;
  unsigned long long offset = 0;
  if (!PyArg_ParseTuple(args, "OK", &seq, &offset)) return nullptr;
  PyObject* fast = PySequence_Fast(seq, "ids must be a sequence of ints");
  if (!fast) return nullptr;
  Py_ssize_t n = PySequence_Fast_GET_SIZE(fast);
  std::vector<uint32_t> ids(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    unsigned long long v = PyLong_AsUnsignedLongLong(PySequence_Fast_GET_ITEM(fast, i));
    if (PyErr_Occurred() || v > 0xffffffffULL) {
      Py_DECREF(fast);
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_OverflowError, "id out of u32 range");
      return nullptr;
    }
    ids[static_cast<size_t>(i)] = static_cast<uint32_t>(v);
  }
  Py_DECREF(fast);
  State& st = *self->st;
  bool ok = guarded([&] {
    st.logits.assign(st.model.vocab_size(), 0.0f);
    st.model.forward(ids.data(), ids.size(), static_cast<size_t>(offset), st.cache,
                     st.logits.data());
    st.cache.commit();
  });
  if (!ok) return nullptr;
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(st.logits.size()));
  if (!out) return nullptr;
  for (size_t i = 0; i < st.logits.size(); ++i) {
    PyObject* f = PyFloat_FromDouble(st.logits[i]);
    if (!f) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), f);
  }
  return out;
}

PyObject* model_reset(PyObject* obj, PyObject*) {
  reinterpret_cast<ModelObject*>(obj)->st->cache.reset();
  Py_RETURN_NONE;
}

PyObject* model_kv_lengths(PyObject* obj, PyObject*) {
  const auto& layers = reinterpret_cast<ModelObject*>(obj)->st->cache.layers;
  PyObject* out = PyList_New(static_cast<Py_ssize_t>(layers.size()));
  if (!out) return nullptr;
  for (size_t i = 0; i < layers.size(); ++i) {
    PyObject* v = PyLong_FromSize_t(layers[i].kv_len);
    if (!v) {
      Py_DECREF(out);
      return nullptr;
    }
    PyList_SET_ITEM(out, static_cast<Py_ssize_t>(i), v);
  }
  return out;
}

PyMethodDef model_methods[] = {
    {"forward", model_forward, METH_VARARGS, "forward(ids, offset) -> list[float]"},
    {"reset", model_reset, METH_NOARGS, "reset()"},
    {"kv_lengths", model_kv_lengths, METH_NOARGS, "kv_lengths() -> list[int]"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot model_slots[] = {{Py_tp_new, reinterpret_cast<void*>(model_new)},
                             {Py_tp_dealloc, reinterpret_cast<void*>(model_dealloc)},
                             {Py_tp_methods, model_methods},
                             {0, nullptr}};

PyType_Spec model_spec = {"tessaline_testing.Model", sizeof(ModelObject), 0, Py_TPFLAGS_DEFAULT,
                          model_slots};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "tessaline_testing", "", -1, nullptr,
                          nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_tessaline_testing(void) {
  PyObject* m = PyModule_Create(&module_def);
  if (!m) return nullptr;
  PyObject* type = PyType_FromSpec(&model_spec);
  g_internal_failure =
      PyErr_NewException("tessaline_testing.InternalFailure", PyExc_RuntimeError, nullptr);
  if (!g_internal_failure || PyModule_AddObjectRef(m, "InternalFailure", g_internal_failure) < 0 ||
      !type || PyModule_AddObjectRef(m, "Model", type) < 0) {
    Py_XDECREF(type);
    Py_DECREF(m);
    return nullptr;
  }
  Py_DECREF(type);
  return m;
}

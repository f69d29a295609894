// Reading the constructor's configuration dictionary into a model::Config.
//
// Keys are looked up in the dictionary's own storage (a subclass's __getitem__ or __missing__ is
// never called), in a fixed order that decides which error is raised first. A key holding None is
// present, and None then goes through the conversion like any other value. Optional values that
// do not convert fall back to their defaults; required ones raise their conversion's error.
#include <optional>
#include <string>

#include "engine/py_args.h"
#include "engine/py_types.h"
#include "tensor/error.h"

namespace engine::py {
namespace {

// The value under `key` (a new reference) or an empty Ref when absent. A raising lookup throws.
Ref dict_get(PyObject* dict, const char* key) {
  Ref k = check(PyUnicode_FromString(key));
#if PY_VERSION_HEX >= 0x030D0000
  PyObject* v = nullptr;
  if (PyDict_GetItemRef(dict, k.get(), &v) < 0) throw PyErrorSet{};
  return Ref(v);
#else
  PyObject* v = PyDict_GetItemWithError(dict, k.get());
  if (v == nullptr) {
    if (PyErr_Occurred()) throw PyErrorSet{};
    return Ref();
  }
  Py_INCREF(v);
  return Ref(v);
#endif
}

// Runs conv(obj); a failure clears the Python error and gives nullopt.
template <class F>
auto try_convert(PyObject* obj, F&& conv) -> std::optional<decltype(conv(obj))> {
  try {
    return conv(obj);
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

template <class F>
auto optional_key(PyObject* dict, const char* key, F&& conv)
    -> std::optional<decltype(conv(dict))> {
  Ref v = dict_get(dict, key);
  if (!v) return std::nullopt;
  return try_convert(v.get(), conv);
}

uint64_t required_key(PyObject* dict, const char* key) {
  Ref v = dict_get(dict, key);
  if (!v) throw tl::InternalFailure(std::string("Missing ") + key);
  return to_u64(v.get());  // its TypeError / OverflowError passes unchanged
}

// A present value that must be an integer: any other value stops construction, carrying the
// conversion's message (the original exception stays attached as __cause__).
uint64_t strict_integer(PyObject* v, const char* key) {
  try {
    return to_u64(v);
  } catch (const PyErrorSet&) {
    PyObject* cause = fetch_exception();
    std::string detail = "?";
    if (cause != nullptr) {
      PyObject* s = PyObject_Str(cause);
      if (s != nullptr) {
        const char* u = PyUnicode_AsUTF8(s);
        if (u != nullptr) detail = u;
        Py_DECREF(s);
      }
      PyErr_Clear();
    }
    set_error(PyExc_RuntimeError, std::string(key) + " must be an unsigned integer: " + detail);
    if (cause != nullptr) {
      PyObject* exc = fetch_exception();
      if (exc != nullptr) {
        PyException_SetCause(exc, cause);  // steals cause
        restore_exception(exc);
      } else {
        Py_DECREF(cause);
      }
    }
    throw PyErrorSet{};
  }
}

Ref get_attr(PyObject* obj, const char* name) { return check(PyObject_GetAttrString(obj, name)); }

model::MoeConfig parse_moe(PyObject* moe) {
  // Attributes are read (and the required ones converted) in this order; a missing attribute
  // raises the lookup's own error.
  model::MoeConfig m;
  m.intermediate_size = to_u64(get_attr(moe, "intermediate_size").get());
  m.n_routed_experts = to_u64(get_attr(moe, "n_routed_experts").get());
  {
    Ref v = get_attr(moe, "n_shared_experts");
    m.n_shared_experts = try_convert(v.get(), to_u64);
  }
  m.num_experts_per_tok = to_u64(get_attr(moe, "num_experts_per_tok").get());
  {
    Ref v = get_attr(moe, "routed_scaling_factor");
    m.routed_scaling_factor = try_convert(v.get(), to_f32).value_or(1.0f);
  }
  {
    Ref v = get_attr(moe, "norm_topk_prob");
    m.norm_topk_prob = try_convert(v.get(), to_bool).value_or(false);
  }
  {
    Ref v = get_attr(moe, "n_dense_layer");
    m.n_dense_layer = try_convert(v.get(), to_u64);
  }
  return m;
}

// One setting of the "gated_deltanet_config" object: any failure (lookup, attribute, conversion)
// gives nullopt and the caller's default.
template <class F>
auto deltanet_setting(PyObject* dict, const char* attr, F&& conv)
    -> std::optional<decltype(conv(dict))> {
  try {
    Ref obj = dict_get(dict, "gated_deltanet_config");
    if (!obj) return std::nullopt;
    Ref v = get_attr(obj.get(), attr);
    return conv(v.get());
  } catch (const PyErrorSet&) {
    PyErr_Clear();
    return std::nullopt;
  }
}

}  // namespace

model::Config parse_config(PyObject* dict) {
  model::Config c;
  {
    // A raising lookup of "moe_config" counts as absent.
    Ref moe;
    try {
      moe = dict_get(dict, "moe_config");
    } catch (const PyErrorSet&) {
      PyErr_Clear();
    }
    if (moe) c.moe_config = parse_moe(moe.get());
  }
  c.vocab_size = required_key(dict, "vocab_size");
  c.hidden_size = required_key(dict, "hidden_size");
  c.intermediate_size = required_key(dict, "intermediate_size");
  c.num_hidden_layers = required_key(dict, "num_hidden_layers");
  c.num_attention_heads = required_key(dict, "num_attention_heads");
  {
    Ref v = dict_get(dict, "num_key_value_heads");
    c.num_key_value_heads =
        v ? strict_integer(v.get(), "num_key_value_heads") : c.num_attention_heads;
  }
  {
    Ref v = dict_get(dict, "head_dim");
    if (v) {
      c.head_dim = strict_integer(v.get(), "head_dim");
    } else {
      if (c.num_attention_heads == 0) throw tl::InternalFailure("attempt to divide by zero");
      c.head_dim = c.hidden_size / c.num_attention_heads;
    }
  }
  c.norm_eps = optional_key(dict, "norm_eps", to_f64).value_or(1e-6);
  c.use_qk_norm = optional_key(dict, "use_qk_norm", to_bool).value_or(true);
  c.attention_qkv_bias = optional_key(dict, "attention_qkv_bias", to_bool).value_or(false);
  c.attention_out_bias = optional_key(dict, "attention_out_bias", to_bool).value_or(false);
  c.mlp_bias = optional_key(dict, "mlp_bias", to_bool).value_or(false);
  c.lm_head_bias = optional_key(dict, "lm_head_bias", to_bool).value_or(false);
  c.rope_theta = optional_key(dict, "rope_theta", to_f32).value_or(10000.0f);
  c.partial_rotary_factor = optional_key(dict, "partial_rotary_factor", to_f32).value_or(1.0f);
  c.max_position_embeddings = optional_key(dict, "max_position_embeddings", to_u64).value_or(4096);
  c.attention_type = optional_key(dict, "attention_type", to_text).value_or("softmax");
  c.hybrid_ratio = optional_key(dict, "hybrid_ratio", to_text).value_or("3:1");
  c.hybrid_softmax_head_dim = optional_key(dict, "hybrid_softmax_head_dim", to_u64);
  c.hybrid_softmax_num_heads = optional_key(dict, "hybrid_softmax_num_heads", to_u64);
  c.hybrid_softmax_num_kv_heads = optional_key(dict, "hybrid_softmax_num_kv_heads", to_u64);
  c.hybrid_softmax_gated = optional_key(dict, "hybrid_softmax_gated", to_bool).value_or(false);
  c.use_short_conv = deltanet_setting(dict, "use_short_conv", to_bool).value_or(true);
  c.conv_kernel_size = deltanet_setting(dict, "conv_kernel_size", to_u64).value_or(4);
  c.conv_bias = deltanet_setting(dict, "conv_bias", to_bool).value_or(false);
  return c;
}

}  // namespace engine::py

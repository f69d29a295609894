// Class LlmEngine: construction, generate, streaming_generate and clear_kv_cache.
#include <atomic>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "engine/py_args.h"
#include "engine/py_types.h"

namespace engine::py {
namespace {

const char* const kNewParams[] = {"weights_path", "config_dict", "dtype", "device"};
const FunctionDescription kNewDesc = {"LlmEngine.__new__()", kNewParams, 4, 2};

const char* const kGenParams[] = {
    "input_ids",          "max_new_tokens",         "temperature",     "top_k",        "top_p",
    "repetition_penalty", "exclude_penalty_tokens", "suppress_tokens", "eos_token_id", "seed"};
const FunctionDescription kGenerateDesc = {"LlmEngine.generate()", kGenParams, 10, 2};
const FunctionDescription kStreamingDesc = {"LlmEngine.streaming_generate()", kGenParams, 10, 2};

EngineObject* as_engine(PyObject* self) { return reinterpret_cast<EngineObject*>(self); }

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded(
      [&]() -> PyObject* {
        PyObject* a[4];
        bind_tuple_dict(kNewDesc, args, kwargs, a);
        const std::string weights_path = extract_argument("weights_path", a[0], to_text);
        PyObject* config_dict = extract_argument("config_dict", a[1], [](PyObject* o) {
          if (!PyDict_Check(o)) raise_downcast_error(o, "dict");
          return o;
        });
        const std::string dtype = a[2] ? extract_argument("dtype", a[2], to_text) : "fp32";
        const std::string device = a[3] ? extract_argument("device", a[3], to_text) : "cpu";

        // The whole dictionary is read before the device is resolved, and the device before the
        // weight file is touched.
        std::unique_ptr<Engine> eng;
        {
          const model::Config cfg = parse_config(config_dict);
          const tl::Device dev = resolve_device(device);
          const tl::DType dt = resolve_dtype(dtype);
          eng = build_engine(cfg, weights_path, dt, dev);
        }
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw PyErrorSet{};  // eng (model and cache) released on unwind
        as_engine(self)->engine = eng.release();
        as_engine(self)->flag.init();
        return self;
      },
      static_cast<PyObject*>(nullptr));
}

void engine_dealloc(PyObject* self) {
  delete as_engine(self)->engine;
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

// The ten converted arguments of generate / streaming_generate.
struct GenerateArgs {
  std::vector<uint32_t> input_ids;
  size_t max_new_tokens = 0;
  SamplingSettings settings;
  uint32_t eos_token_id = 2;
  uint64_t seed = 42;
};

std::unordered_set<uint32_t> to_set(const std::vector<uint32_t>& ids) {
  return std::unordered_set<uint32_t>(ids.begin(), ids.end());
}

// Converts in parameter order; the first failure ends the call. None selects the default for
// temperature, top_k, top_p, repetition_penalty and the two token lists.
GenerateArgs convert_generate_args(PyObject* const* a) {
  GenerateArgs g;
  g.input_ids = extract_argument("input_ids", a[0], to_token_list);
  g.max_new_tokens = static_cast<size_t>(extract_argument("max_new_tokens", a[1], to_u64));
  auto given = [](PyObject* o) { return o != nullptr && o != Py_None; };
  if (given(a[2])) g.settings.temperature = extract_argument("temperature", a[2], to_f32);
  if (given(a[3])) g.settings.top_k = static_cast<size_t>(extract_argument("top_k", a[3], to_u64));
  if (given(a[4])) g.settings.top_p = extract_argument("top_p", a[4], to_f32);
  if (given(a[5])) {
    g.settings.repetition_penalty = extract_argument("repetition_penalty", a[5], to_f32);
  }
  std::vector<uint32_t> exclude, suppress;
  if (given(a[6])) exclude = extract_argument("exclude_penalty_tokens", a[6], to_token_list);
  if (given(a[7])) suppress = extract_argument("suppress_tokens", a[7], to_token_list);
  if (a[8] != nullptr) g.eos_token_id = extract_argument("eos_token_id", a[8], to_u32);
  if (a[9] != nullptr) g.seed = extract_argument("seed", a[9], to_u64);
  g.settings.exclude = to_set(exclude);
  g.settings.suppress = to_set(suppress);
  return g;
}

PyObject* engine_generate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  return guarded(
      [&]() -> PyObject* {
        PyObject* a[10];
        bind_fastcall(kGenerateDesc, args, nargs, kwnames, a);
        EngineObject* eo = as_engine(self);
        if (!eo->flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
        ExclusiveGuard hold(eo->flag);  // for the whole call, conversions included
        GenerateArgs g = convert_generate_args(a);
        const std::vector<uint32_t> ids =
            generate(*eo->engine, std::move(g.input_ids), g.max_new_tokens, g.settings,
                     g.eos_token_id, g.seed);
        Ref list = check(PyList_New(static_cast<Py_ssize_t>(ids.size())));
        for (size_t i = 0; i < ids.size(); ++i) {
          PyObject* v = check(PyLong_FromUnsignedLong(ids[i])).release();
          PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), v);
        }
        return list.release();
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* engine_streaming_generate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  return guarded(
      [&]() -> PyObject* {
        PyObject* a[10];
        bind_fastcall(kStreamingDesc, args, nargs, kwnames, a);
        GenerateArgs g = convert_generate_args(a);  // nothing touched before all ten convert
        EngineObject* eo = as_engine(self);
        // The engine's flag only for the reset; a busy engine here is an internal failure.
        if (!eo->flag.try_exclusive()) {
          raise(PyExc_RuntimeError, "Already borrowed: PyBorrowMutError");
        }
        eo->engine->cache.reset();
        eo->flag.release_exclusive();

        StreamerContents c;
        c.state.tokens = std::move(g.input_ids);
        c.state.rng = ChaCha12Rng::seed_from_u64(g.seed);
        c.settings = std::move(g.settings);
        c.max_new_tokens = g.max_new_tokens;
        c.eos_token_id = g.eos_token_id;
        return new_streamer(self, std::move(c));
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* engine_clear_kv_cache(PyObject* self, PyObject*) {
  return guarded(
      [&]() -> PyObject* {
        EngineObject* eo = as_engine(self);
        if (!eo->flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
        ExclusiveGuard hold(eo->flag);
        eo->engine->cache.reset();
        Py_RETURN_NONE;
      },
      static_cast<PyObject*>(nullptr));
}

PyMethodDef engine_methods[] = {
    {"clear_kv_cache", engine_clear_kv_cache, METH_NOARGS, "clear_kv_cache($self)\n--\n\n"},
    {"generate", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_generate)),
     METH_FASTCALL | METH_KEYWORDS,
     "generate($self, input_ids, max_new_tokens, temperature=1.0, top_k=None, top_p=None, "
     "repetition_penalty=1.0, exclude_penalty_tokens=None, suppress_tokens=None, eos_token_id=2, "
     "seed=42)\n--\n\n"},
    {"streaming_generate",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_streaming_generate)),
     METH_FASTCALL | METH_KEYWORDS,
     "streaming_generate($self, input_ids, max_new_tokens, temperature=1.0, top_k=None, "
     "top_p=None, repetition_penalty=1.0, exclude_penalty_tokens=None, suppress_tokens=None, "
     "eos_token_id=2, seed=42)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr}};

PyType_Slot engine_slots[] = {
    {Py_tp_doc,
     const_cast<char*>(
         "LlmEngine(weights_path, config_dict, dtype=\"fp32\", device=\"cpu\")\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, engine_methods},
    {0, nullptr}};

PyType_Spec engine_spec = {"tessaline.LlmEngine", static_cast<int>(sizeof(EngineObject)), 0,
                           Py_TPFLAGS_DEFAULT, engine_slots};

}  // namespace

PyTypeObject* engine_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return cached_type(slot, &engine_spec);
}

}  // namespace engine::py

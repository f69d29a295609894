// Argument binding and conversion for the module's methods, with the binding library's texts:
// every parameter is positional-or-keyword; binding failures are TypeError naming the function;
// a conversion's own TypeError is re-raised as "argument '{}': {}", every other failure passes on
// unchanged.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/py_util.h"

namespace engine::py {

struct FunctionDescription {
  const char* full_name;      // "LlmEngine.generate()"
  const char* const* params;  // parameter names, in position order
  size_t n_params;
  size_t n_required;  // the first n_required parameters are required
};

// Fills out[0..n_params) with borrowed references (NULL = not given). Throws PyErrorSet with the
// binding's TypeError set.
void bind_fastcall(const FunctionDescription& fd, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out);
void bind_tuple_dict(const FunctionDescription& fd, PyObject* args, PyObject* kwargs,
                     PyObject** out);

// Conversions. Each throws PyErrorSet with the conversion's own exception pending.
// Unsigned 64-bit (also machine-size): int directly, other objects through __index__.
uint64_t to_u64(PyObject* o);
// Unsigned 32-bit: read as a C long, then narrowed ("out of range integral type conversion
// attempted").
uint32_t to_u32(PyObject* o);
// 64-bit float through the interpreter's float conversion; to_f32 rounds it to 32 bits.
double to_f64(PyObject* o);
float to_f32(PyObject* o);
// bool: a Python bool or a numpy bool scalar.
bool to_bool(PyObject* o);
// A str (or subclass) read as UTF-8.
std::string to_text(PyObject* o);
// A sequence of u32 ids (not a str).
std::vector<uint32_t> to_token_list(PyObject* o);

// Re-raises the pending exception as TypeError "argument '{name}': {message}" when its type is
// exactly TypeError (keeping its __cause__); other exceptions stay as they are. Always throws.
[[noreturn]] void rethrow_argument_error(const char* name);

// Runs conv(obj) for parameter `name`, wrapping its TypeError as above.
template <class F>
auto extract_argument(const char* name, PyObject* obj, F&& conv) -> decltype(conv(obj)) {
  try {
    return conv(obj);
  } catch (const PyErrorSet&) {
    rethrow_argument_error(name);
  }
}

}  // namespace engine::py

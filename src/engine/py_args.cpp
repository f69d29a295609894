#include "engine/py_args.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace engine::py {
namespace {

// Upper bound on the capacity reserved from a sequence's reported length: the length is only a
// hint, and a __len__ reporting an absurd size must not make us reserve that much.
constexpr size_t kMaxCapacityHint = size_t{1} << 16;

[[noreturn]] void too_many_positional(const FunctionDescription& fd, size_t given) {
  raise(PyExc_TypeError, std::string(fd.full_name) + " takes from " +
                             std::to_string(fd.n_required) + " to " + std::to_string(fd.n_params) +
                             " positional arguments but " + std::to_string(given) + " " +
                             (given == 1 ? "was" : "were") + " given");
}

// Places one keyword argument; the name is compared as UTF-8 with each parameter name, over its
// whole length (a name may hold NUL characters, and then names no parameter).
void place_keyword(const FunctionDescription& fd, PyObject* key, PyObject* value, PyObject** out) {
  Py_ssize_t len = 0;
  const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
  if (name == nullptr) PyErr_Clear();
  if (name != nullptr) {
    const std::string_view given(name, static_cast<size_t>(len));
    for (size_t i = 0; i < fd.n_params; ++i) {
      if (given == fd.params[i]) {
        if (out[i] != nullptr) {
          raise(PyExc_TypeError,
                std::string(fd.full_name) + " got multiple values for argument '" + name + "'");
        }
        out[i] = value;
        return;
      }
    }
  }
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", fd.full_name, key);
  throw PyErrorSet{};
}

void check_missing(const FunctionDescription& fd, size_t nargs, PyObject** out) {
  if (nargs >= fd.n_required) return;
  std::vector<const char*> missing;
  for (size_t i = 0; i < fd.n_required; ++i) {
    if (out[i] == nullptr) missing.push_back(fd.params[i]);
  }
  if (missing.empty()) return;
  std::string msg = std::string(fd.full_name) + " missing " + std::to_string(missing.size()) +
                    " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                    ": ";
  for (size_t i = 0; i < missing.size(); ++i) {
    if (i != 0) {
      if (missing.size() > 2) msg += ',';
      msg += (i == missing.size() - 1) ? " and " : " ";
    }
    msg += '\'';
    msg += missing[i];
    msg += '\'';
  }
  raise(PyExc_TypeError, msg);
}

}  // namespace

void bind_fastcall(const FunctionDescription& fd, PyObject* const* args, Py_ssize_t nargs_in,
                   PyObject* kwnames, PyObject** out) {
  const size_t nargs = static_cast<size_t>(PyVectorcall_NARGS(nargs_in));
  std::fill(out, out + fd.n_params, nullptr);
  if (nargs > fd.n_params) too_many_positional(fd, nargs);
  for (size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      place_keyword(fd, PyTuple_GET_ITEM(kwnames, i), args[nargs + static_cast<size_t>(i)], out);
    }
  }
  check_missing(fd, nargs, out);
}

void bind_tuple_dict(const FunctionDescription& fd, PyObject* args, PyObject* kwargs,
                     PyObject** out) {
  const size_t nargs = static_cast<size_t>(PyTuple_GET_SIZE(args));
  std::fill(out, out + fd.n_params, nullptr);
  if (nargs > fd.n_params) too_many_positional(fd, nargs);
  for (size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) place_keyword(fd, key, value, out);
  }
  check_missing(fd, nargs, out);
}

uint64_t to_u64(PyObject* o) {
  unsigned long long v;
  if (PyLong_Check(o)) {
    v = PyLong_AsUnsignedLongLong(o);
  } else {
    Ref idx = check(PyNumber_Index(o));
    v = PyLong_AsUnsignedLongLong(idx.get());
  }
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PyErrorSet{};
  return static_cast<uint64_t>(v);
}

uint32_t to_u32(PyObject* o) {
  // PyLong_AsLong applies __index__ to non-ints itself.
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) throw PyErrorSet{};
  if (v < 0 || static_cast<unsigned long>(v) > 0xFFFFFFFFul) {
    raise(PyExc_OverflowError, "out of range integral type conversion attempted");
  }
  return static_cast<uint32_t>(v);
}

double to_f64(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) throw PyErrorSet{};
  return v;
}

float to_f32(PyObject* o) {
  // Values beyond the f32 range become infinities (IEEE conversion), no error.
  return static_cast<float>(to_f64(o));
}

bool to_bool(PyObject* o) {
  if (PyBool_Check(o)) return o == Py_True;
  // numpy's bool scalar (numpy.bool_ / numpy.bool), read through its nb_bool slot.
  PyTypeObject* tp = Py_TYPE(o);
  bool is_numpy_bool = false;
  {
    PyObject* mod = PyObject_GetAttrString(reinterpret_cast<PyObject*>(tp), "__module__");
    if (mod == nullptr) {
      PyErr_Clear();
    } else {
      const char* m = PyUnicode_Check(mod) ? PyUnicode_AsUTF8(mod) : nullptr;
      if (m == nullptr) PyErr_Clear();
      is_numpy_bool = m != nullptr && std::strcmp(m, "numpy") == 0;
      Py_DECREF(mod);
    }
    if (is_numpy_bool) {
      PyObject* name = PyType_GetName(tp);
      const char* n = name != nullptr ? PyUnicode_AsUTF8(name) : nullptr;
      if (n == nullptr) PyErr_Clear();
      is_numpy_bool = n != nullptr && (std::strcmp(n, "bool_") == 0 || std::strcmp(n, "bool") == 0);
      Py_XDECREF(name);
    }
  }
  if (is_numpy_bool) {
    if (tp->tp_as_number != nullptr && tp->tp_as_number->nb_bool != nullptr) {
      const int r = tp->tp_as_number->nb_bool(o);
      if (r == 0) return false;
      if (r == 1) return true;
      throw PyErrorSet{};
    }
    raise(PyExc_TypeError,
          "object of type '" + type_qualname(o) + "' does not define a '__bool__' conversion");
  }
  raise_downcast_error(o, "PyBool");
}

std::string to_text(PyObject* o) {
  if (!PyUnicode_Check(o)) raise_downcast_error(o, "str");
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(o, &n);
  if (s == nullptr) throw PyErrorSet{};
  return std::string(s, static_cast<size_t>(n));
}

std::vector<uint32_t> to_token_list(PyObject* o) {
  if (PyUnicode_Check(o)) raise(PyExc_TypeError, "Can't extract `str` to `Vec`");
  if (!PySequence_Check(o)) raise_downcast_error(o, "Sequence");
  std::vector<uint32_t> out;
  const Py_ssize_t hint = PySequence_Size(o);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(std::min(static_cast<size_t>(hint), kMaxCapacityHint));
  }
  Ref it = check(PyObject_GetIter(o));
  for (;;) {
    Ref item(PyIter_Next(it.get()));
    if (!item) {
      if (PyErr_Occurred()) throw PyErrorSet{};
      break;
    }
    out.push_back(to_u32(item.get()));
  }
  return out;
}

void rethrow_argument_error(const char* name) {
  PyObject* exc = fetch_exception();
  if (exc == nullptr) raise(PyExc_SystemError, "conversion failed without an exception");
  if (reinterpret_cast<PyObject*>(Py_TYPE(exc)) != PyExc_TypeError) {
    restore_exception(exc);
    throw PyErrorSet{};
  }
  PyObject* msg = PyUnicode_FromFormat("argument '%s': %S", name, exc);
  if (msg == nullptr) {
    Py_DECREF(exc);
    throw PyErrorSet{};
  }
  PyObject* wrapped = PyObject_CallOneArg(PyExc_TypeError, msg);
  Py_DECREF(msg);
  if (wrapped == nullptr) {
    Py_DECREF(exc);
    throw PyErrorSet{};
  }
  // The new error carries the original's cause (NULL sets none and suppresses the context).
  PyException_SetCause(wrapped, PyException_GetCause(exc));
  Py_DECREF(exc);
  restore_exception(wrapped);
  throw PyErrorSet{};
}

}  // namespace engine::py

#include "engine/py_util.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "tensor/error.h"

namespace engine::py {

void set_error(PyObject* type, const std::string& msg) {
  PyObject* text = PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace");
  if (text == nullptr) return;  // MemoryError is pending
  PyErr_SetObject(type, text);
  Py_DECREF(text);
}

void raise(PyObject* type, const std::string& msg) {
  set_error(type, msg);
  throw PyErrorSet{};
}

void set_error_from_current_exception() {
  // A foreign unwind has no C++ exception object: thread cancellation, or a daemon thread that
  // the interpreter ends at shutdown while it waits for the lock. It must go on unwinding.
  // (Detected without binding a reference to it, which has no object behind it.)
  if (!std::current_exception()) throw;
  try {
    throw;
  } catch (const PyErrorSet&) {
    if (!PyErr_Occurred()) set_error(PyExc_RuntimeError, "internal error: lost Python exception");
  } catch (const tl::Error& e) {
    set_error(PyExc_RuntimeError, e.message());
  } catch (const tl::InternalFailure& e) {
    set_error(PyExc_RuntimeError, e.message());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_error(PyExc_RuntimeError, e.what());
  } catch (...) {
    set_error(PyExc_RuntimeError, "unknown C++ exception");
  }
}

PyObject* fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (type == nullptr) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void restore_exception(PyObject* exc) {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  if (exc == nullptr) return;
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

std::string type_qualname(PyObject* obj) {
  PyObject* name = PyType_GetQualName(Py_TYPE(obj));
  if (name == nullptr) {
    PyErr_Clear();
    return "?";
  }
  Py_ssize_t n = 0;
  const char* s = PyUnicode_AsUTF8AndSize(name, &n);
  std::string out = s != nullptr ? std::string(s, static_cast<size_t>(n)) : "?";
  if (s == nullptr) PyErr_Clear();
  Py_DECREF(name);
  return out;
}

std::string downcast_message(PyObject* obj, const char* to) {
  std::string msg = "'";
  if (obj == Py_None) {
    msg += "None' is not";
  } else {
    msg += type_qualname(obj);
    msg += "' object is not";
  }
  msg += " an instance of '";
  msg += to;
  msg += "'";
  return msg;
}

void raise_downcast_error(PyObject* obj, const char* to) {
  raise(PyExc_TypeError, downcast_message(obj, to));
}

PyTypeObject* cached_type(std::atomic<PyObject*>& slot, PyType_Spec* type_def) {
  PyObject* t = slot.load(std::memory_order_acquire);
  if (t != nullptr) return reinterpret_cast<PyTypeObject*>(t);
  PyObject* made = PyType_FromSpec(type_def);
  if (made == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) {
    Py_DECREF(made);  // another thread stored its type first
    return reinterpret_cast<PyTypeObject*>(expected);
  }
  return reinterpret_cast<PyTypeObject*>(made);
}

uint64_t current_thread_id() {
  static std::atomic<uint64_t> next{1};
  thread_local const uint64_t id = next.fetch_add(1, std::memory_order_relaxed);
  return id;
}

}  // namespace engine::py

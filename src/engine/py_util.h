// Shared helpers of the Python module: owned references, the "Python error already set" signal,
// translation of C++ failures into Python exceptions, borrow flags and thread identities.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

namespace engine::py {

// Thrown after a Python exception has been set; the entry point returns NULL with it pending.
struct PyErrorSet {};

// An owned (strong) reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* p) : p_(p) {}  // steals
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      Py_XDECREF(p_);
      p_ = std::exchange(o.p_, nullptr);
    }
    return *this;
  }
  // A daemon thread that the interpreter ends at shutdown while it waits to retake the lock
  // (inside a conversion hook, say) unwinds through here without the lock, while the main thread
  // tears the interpreter down: the reference is then left alone rather than released unlocked.
  ~Ref() {
    if (p_ != nullptr && PyGILState_Check()) Py_DECREF(p_);
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// Throws PyErrorSet when p is NULL (a Python error is then pending); otherwise owns p.
inline Ref check(PyObject* p) {
  if (p == nullptr) throw PyErrorSet{};
  return Ref(p);
}

// Sets a Python exception of `type` with a UTF-8 message (invalid bytes replaced).
void set_error(PyObject* type, const std::string& msg);
// Sets the exception and throws PyErrorSet.
[[noreturn]] void raise(PyObject* type, const std::string& msg);

// Translates the exception being handled (call only inside a catch block): PyErrorSet keeps the
// pending Python error; tl::Error and tl::InternalFailure become RuntimeError with their message;
// std::bad_alloc becomes MemoryError; anything else becomes RuntimeError.
void set_error_from_current_exception();

// Runs f at a module entry point; no C++ exception ever leaves. `fail` is returned on failure.
template <class F, class R>
R guarded(F&& f, R fail) {
  try {
    return f();
  } catch (...) {
    set_error_from_current_exception();
    return fail;
  }
}

// The pending exception as one normalised object (NULL when none), taking it out of the error
// indicator; and putting one back (steals).
PyObject* fetch_exception();
void restore_exception(PyObject* exc);

// type(obj).__qualname__ as UTF-8 ("?" if unavailable).
std::string type_qualname(PyObject* obj);

// "'{qualname}' object is not an instance of '{to}'", or "'None' is not an instance of '{to}'".
std::string downcast_message(PyObject* obj, const char* to);
[[noreturn]] void raise_downcast_error(PyObject* obj, const char* to);

// Per-object borrow flag: 0 free, 1..MAX-1 shared borrows, MAX one exclusive borrow.
class BorrowFlag {
 public:
  static constexpr size_t kExclusive = ~size_t{0};
  void init() { v_.store(0, std::memory_order_relaxed); }
  bool try_exclusive() {
    size_t expected = 0;
    return v_.compare_exchange_strong(expected, kExclusive, std::memory_order_acq_rel,
                                      std::memory_order_relaxed);
  }
  void release_exclusive() { v_.store(0, std::memory_order_release); }
  bool try_shared() {
    size_t v = v_.load(std::memory_order_relaxed);
    for (;;) {
      if (v == kExclusive) return false;
      if (v_.compare_exchange_weak(v, v + 1, std::memory_order_acquire,
                                   std::memory_order_relaxed)) {
        return true;
      }
    }
  }
  void release_shared() { v_.fetch_sub(1, std::memory_order_release); }

 private:
  std::atomic<size_t> v_{0};
};

// Holds an exclusive borrow until destroyed.
class ExclusiveGuard {
 public:
  explicit ExclusiveGuard(BorrowFlag& f) : f_(&f) {}
  ExclusiveGuard(const ExclusiveGuard&) = delete;
  ExclusiveGuard& operator=(const ExclusiveGuard&) = delete;
  ~ExclusiveGuard() { release(); }
  void release() {
    if (f_ != nullptr) f_->release_exclusive();
    f_ = nullptr;
  }

 private:
  BorrowFlag* f_;
};

// The type object made from `type_def`, created on first use and kept in `slot` for the rest of the
// process. Safe without the interpreter lock: if two threads race, one type wins and the other
// is released. NULL with an exception set when creation fails.
PyTypeObject* cached_type(std::atomic<PyObject*>& slot, PyType_Spec* type_def);

// Identity of the calling thread: 1, 2, 3, ... in order of first use, never reused (native thread
// ids are recycled once a thread ends).
uint64_t current_thread_id();

}  // namespace engine::py

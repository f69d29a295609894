// Class LlmStreamer: one decoding step per __next__, bound to the thread that created it.
#include <atomic>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine/py_types.h"

namespace engine::py {
namespace {

StreamerObject* as_streamer(PyObject* self) { return reinterpret_cast<StreamerObject*>(self); }

// Refuses use from any thread but the creator (equality-assertion form, calling thread left).
void check_thread(StreamerObject* s) {
  const uint64_t here = current_thread_id();
  if (here != s->thread_id) {
    raise(PyExc_RuntimeError,
          "assertion `left == right` failed: tessaline::LlmStreamer is unsendable, but sent to "
          "another thread\n  left: ThreadId(" +
              std::to_string(here) + ")\n right: ThreadId(" + std::to_string(s->thread_id) + ")");
  }
}

PyObject* streamer_iter(PyObject* self) {
  return guarded(
      [&]() -> PyObject* {
        StreamerObject* s = as_streamer(self);
        check_thread(s);
        if (!s->flag.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
        Py_INCREF(self);
        s->flag.release_shared();
        return self;
      },
      static_cast<PyObject*>(nullptr));
}

PyObject* streamer_next(PyObject* self) {
  return guarded(
      [&]() -> PyObject* {
        StreamerObject* s = as_streamer(self);
        check_thread(s);
        if (!s->flag.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
        ExclusiveGuard hold(s->flag);
        StreamerContents& c = *s->contents;
        if (c.state.generated_count >= c.max_new_tokens) return nullptr;  // end, no exception

        EngineObject* eo = reinterpret_cast<EngineObject*>(c.engine);
        Engine& e = *eo->engine;
        std::vector<float>& logits = c.logits;
        // The engine's flag from building the input to copying out the logits. The forward pass
        // leaves a pending cache step that is committed only once the id is chosen.
        if (!eo->flag.try_exclusive()) {
          raise(PyExc_RuntimeError, "Already borrowed: PyBorrowMutError");
        }
        ExclusiveGuard engine_hold(eo->flag);
        forward_logits(e, c.state, logits);
#ifndef Py_GIL_DISABLED
        // Token choice on the streamer's own state, without the engine's flag: nothing else can
        // touch the engine before the commit below (the interpreter lock is held and no Python
        // code runs in between). Without that lock another thread could, so there the flag is
        // kept until the commit or rollback.
        engine_hold.release();
#endif
        ChaCha12Rng rng = c.state.rng;
        const uint32_t id = choose_token(e, c.state, c.settings, logits, rng);
        PyObject* result = PyLong_FromUnsignedLong(id);
        if (result == nullptr) {
          e.cache.rollback();
          throw PyErrorSet{};
        }
        advance(e, c.state, id, rng);
        if (id == c.eos_token_id) c.state.generated_count = c.max_new_tokens;
        return result;
      },
      static_cast<PyObject*>(nullptr));
}

void streamer_dealloc(PyObject* self) {
  StreamerObject* s = as_streamer(self);
  if (s->thread_id == current_thread_id()) {
    if (s->contents != nullptr) {
      PyObject* engine = s->contents->engine;
      delete s->contents;
      Py_XDECREF(engine);
    }
  } else {
    // Released on a foreign thread: the contents (and so the engine) are left allocated, and
    // the condition is reported through the unraisable hook without disturbing any exception
    // that is being raised right now.
    PyObject* pending = fetch_exception();
    PyErr_SetString(PyExc_RuntimeError,
                    "tessaline::LlmStreamer is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    restore_exception(pending);
  }
  PyTypeObject* tp = Py_TYPE(self);
  tp->tp_free(self);
  Py_DECREF(tp);
}

PyType_Slot streamer_slots[] = {{Py_tp_iter, reinterpret_cast<void*>(streamer_iter)},
                                {Py_tp_iternext, reinterpret_cast<void*>(streamer_next)},
                                {Py_tp_dealloc, reinterpret_cast<void*>(streamer_dealloc)},
                                {0, nullptr}};

PyType_Spec streamer_spec = {"tessaline.LlmStreamer", static_cast<int>(sizeof(StreamerObject)), 0,
                             Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                             streamer_slots};

}  // namespace

PyTypeObject* streamer_type() {
  static std::atomic<PyObject*> slot{nullptr};
  return cached_type(slot, &streamer_spec);
}

PyObject* new_streamer(PyObject* engine, StreamerContents&& contents) {
  PyTypeObject* tp = streamer_type();
  if (tp == nullptr) throw PyErrorSet{};
  auto owned = std::make_unique<StreamerContents>(std::move(contents));
  PyObject* self = tp->tp_alloc(tp, 0);
  if (self == nullptr) throw PyErrorSet{};
  Py_INCREF(engine);
  owned->engine = engine;
  StreamerObject* s = as_streamer(self);
  s->contents = owned.release();
  s->flag.init();
  s->thread_id = current_thread_id();
  return self;
}

}  // namespace engine::py

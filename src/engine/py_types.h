// Object layouts and type objects of the module's two classes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/decode.h"
#include "engine/engine.h"
#include "engine/py_util.h"
#include "model/config.h"

namespace engine::py {

// LlmEngine instance: header, the engine (model, cache, device), then the borrow flag.
struct EngineObject {
  PyObject_HEAD Engine* engine;  // owned; never null once the object is visible to Python
  BorrowFlag flag;
};

// What a streamer carries between steps.
struct StreamerContents {
  DecodeState state;  // tokens, generated, rng, seqlen_offset, generated_count
  PyObject* engine;   // strong reference to the LlmEngine whose model and cache the steps use
  SamplingSettings settings;
  size_t max_new_tokens = 0;
  uint32_t eos_token_id = 2;
  std::vector<float> logits;  // scratch for one step's logits, reused across steps
};

// LlmStreamer instance: header, contents, borrow flag, then the creating thread's identity.
struct StreamerObject {
  PyObject_HEAD StreamerContents* contents;  // owned
  BorrowFlag flag;
  uint64_t thread_id;
};

// The class objects, created on first use and kept for the rest of the process, so a module that
// is imported again hands out the same classes. NULL with an exception set on failure.
PyTypeObject* engine_type();
PyTypeObject* streamer_type();

// A new streamer over `engine` (takes a new reference to it). Throws PyErrorSet on failure.
PyObject* new_streamer(PyObject* engine, StreamerContents&& contents);

// Reads the configuration dictionary in its fixed order (throws PyErrorSet / tl::InternalFailure).
model::Config parse_config(PyObject* dict);

}  // namespace engine::py

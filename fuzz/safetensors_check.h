// What must hold for any byte string opened as a safetensors file, shared by the libFuzzer
// harness and the regression tests that replay its inputs.
//
// The file is written to an anonymous in-memory file and opened through /proc/self/fd, then every
// listed tensor is fetched through VarBuilder::get as F32, F16 and BF16. The mapping is not
// tracked by AddressSanitizer (a read past the file's end inside the last page returns zeros
// instead of faulting), so the checks themselves make sure that every accepted entry lies inside
// the file and that the bytes the reader copies are the file's own.
#pragma once
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "tensor/safetensors.h"
#include "tensor/var_builder.h"

namespace fuzz {

struct Broken {
  std::string what;
};

inline bool starts_with(const std::string& s, const std::string& p) {
  return s.compare(0, p.size(), p) == 0;
}

// The text after "path: {path:?} " of a refused header must be one of the format's variants.
inline void check_open_error(const std::string& msg, const std::string& path) {
  std::string lead = "path: " + tl::debug_path(path) + " ";
  if (!starts_with(msg, lead)) throw Broken{"open error without the path: " + msg};
  std::string v = msg.substr(lead.size());
  static const char* kVariants[] = {"HeaderTooSmall",
                                    "HeaderTooLarge",
                                    "InvalidHeaderLength",
                                    "InvalidHeader",
                                    "InvalidHeaderDeserialization",
                                    "ValidationOverflow",
                                    "TensorInvalidInfo",
                                    "MetadataIncompleteBuffer"};
  for (const char* k : kVariants) {
    if (v == k) return;
  }
  if (starts_with(v, "InvalidOffset(\"") && v.size() >= 17 &&
      v.compare(v.size() - 2, 2, "\")") == 0) {
    return;
  }
  throw Broken{"unexpected open error: " + msg};
}

inline bool same_bits(const tl::Tensor& a, const tl::Tensor& b) {
  if (a.dtype() != b.dtype() || a.shape() != b.shape()) return false;
  size_t n = a.elem_count() * tl::dtype_size(a.dtype());
  return n == 0 || std::memcmp(a.data<uint8_t>(), b.data<uint8_t>(), n) == 0;
}

// A stored type whose loaded dtype has the same element layout is copied byte for byte.
inline bool copied_verbatim(tl::StoredDType s) {
  using tl::StoredDType;
  switch (s) {
    case StoredDType::U8:
    case StoredDType::U32:
    case StoredDType::I64:
    case StoredDType::F16:
    case StoredDType::BF16:
    case StoredDType::F32:
    case StoredDType::F64:
      return true;
    default:
      return false;
  }
}

// Opens `path` (whose content is file[0, size)) and fetches everything it lists. Throws Broken.
inline void fetch_all(const std::string& path, const uint8_t* file, size_t size) {
  using namespace tl;
  std::shared_ptr<const SafeTensorsFile> f;
  try {
    f = SafeTensorsFile::open(path);
  } catch (const Error& e) {
    check_open_error(e.what(), path);
    return;
  }
  if (f->file_size() != size) throw Broken{"file size differs from the input"};
  // The reader accepted the header, so the length prefix and the header fit in the file.
  if (size < 8) throw Broken{"accepted a file shorter than the length prefix"};
  uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | file[i];
  if (n > size - 8) throw Broken{"accepted a header longer than the file"};
  const uint8_t* section = file + 8 + n;
  size_t section_len = size - 8 - n;

  if (f->metadata()) {
    for (const auto& [k, v] : *f->metadata()) (void)(k.size() + v.size());
  }

  const DType kTargets[] = {DType::F32, DType::F16, DType::BF16};
  VarBuilder vbs[3];
  for (int t = 0; t < 3; ++t) {
    try {
      vbs[t] = VarBuilder::from_mmaped_safetensors(path, kTargets[t]);
    } catch (const Error& e) {
      throw Broken{std::string("reopen failed: ") + e.what()};
    }
  }

  for (const auto& [name, info] : f->tensors()) {
    size_t elems = 1;
    for (size_t d : info.shape) {
      if (d != 0 && elems > SIZE_MAX / d) throw Broken{"accepted an overflowing shape: " + name};
      elems *= d;
    }
    size_t es = stored_dtype_size(info.dtype);
    if (info.end < info.begin || info.end > section_len) {
      throw Broken{"entry outside the file: " + name};
    }
    if (info.end - info.begin != elems * es) {
      throw Broken{"entry length differs from its shape: " + name};
    }
    if (info.dtype_name != stored_dtype_name(info.dtype)) throw Broken{"dtype name: " + name};
    const uint8_t* want = section + info.begin;
    if (info.end > info.begin && std::memcmp(f->data(info), want, info.end - info.begin) != 0) {
      throw Broken{"data pointer does not address the entry's bytes: " + name};
    }
    if (!f->contains(name) || f->find(name) != &info) throw Broken{"lookup: " + name};

    bool readable = loaded_dtype(info.dtype).has_value();
    std::string unsupported = std::string("unsupported safetensor dtype ") + info.dtype_name;
    Tensor plain;
    try {
      plain = f->load(info);
      if (!readable) throw Broken{"loaded an unreadable dtype: " + name};
      if (plain.shape() != info.shape) throw Broken{"loaded shape differs: " + name};
      if (copied_verbatim(info.dtype) && elems > 0 &&
          std::memcmp(plain.data<uint8_t>(), want, elems * es) != 0) {
        throw Broken{"loaded bytes differ from the file: " + name};
      }
    } catch (const Error& e) {
      if (readable || e.what() != unsupported) throw Broken{"load: " + name + ": " + e.what()};
    }

    for (int t = 0; t < 3; ++t) {
      const VarBuilder& vb = vbs[t];
      try {
        Tensor got = vb.get(info.shape, name);
        if (!readable) throw Broken{"get accepted an unreadable dtype: " + name};
        // Direct conversion from the mapping must give what copy-then-convert gives.
        if (!same_bits(got, plain.to_dtype(kTargets[t]))) {
          throw Broken{std::string("conversion to ") + dtype_name(kTargets[t]) +
                       " differs: " + name};
        }
      } catch (const Error& e) {
        if (readable || e.what() != unsupported) throw Broken{"get: " + name + ": " + e.what()};
      }
      // The same full name through a prefix.
      size_t dot = name.find('.');
      if (dot != std::string::npos &&
          vb.pp(name.substr(0, dot)).path(name.substr(dot + 1)) != name) {
        throw Broken{"prefixed path: " + name};
      }
      // A shape one dimension longer: refused after the conversion, with both shapes named.
      if (readable) {
        Shape wrong = info.shape;
        wrong.push_back(1);
        std::string expect = "shape mismatch for " + name + ", expected: " + shape_str(wrong) +
                             ", got: " + shape_str(info.shape);
        try {
          vb.get(wrong, name);
        } catch (const Error& e) {
          // what() ends at the first NUL, and a JSON name may hold one ("\u0000"): compare
          // that much. Carrying the rest is up to whoever turns the error into a message.
          if (std::string(e.what()) != std::string(expect.c_str())) {
            throw Broken{std::string("mismatch text: ") + e.what()};
          }
          continue;
        }
        throw Broken{"get accepted a wrong shape: " + name};
      }
    }
  }

  // A name the header does not list.
  std::string absent =
      "\x01"
      "absent";
  if (!f->contains(absent)) {
    try {
      vbs[0].get({1}, absent);
    } catch (const Error& e) {
      if (e.what() != "cannot find tensor " + absent)
        throw Broken{std::string("absent: ") + e.what()};
      return;
    }
    throw Broken{"found an absent tensor"};
  }
}

// Writes the bytes to an anonymous file and calls body(path) on it. Returns "" when body returns,
// else what broke (an exception other than tl::Error escaping counts as broken).
template <class Body>
std::string with_file(const uint8_t* data, size_t size, Body body) {
  int fd = memfd_create("fuzz.safetensors", MFD_CLOEXEC);
  if (fd < 0) return "memfd_create failed";
  for (size_t done = 0; done < size;) {
    ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) {
      close(fd);
      return "write failed";
    }
    done += (size_t)w;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string result;
  try {
    body(path);
  } catch (const Broken& b) {
    result = b.what;
  } catch (const std::exception& e) {
    result = std::string("escaped exception: ") + e.what();
  } catch (...) {
    result = "escaped a non-standard exception";
  }
  close(fd);
  return result;
}

// fetch_all on the bytes as a file: "" when every check holds, else what broke.
inline std::string check_file(const uint8_t* data, size_t size) {
  return with_file(data, size, [&](const std::string& path) { fetch_all(path, data, size); });
}

}  // namespace fuzz

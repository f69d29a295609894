// libFuzzer harness for the safetensors reader and the weight accessor.
//
// Each input is the whole file. It is written to an anonymous in-memory file and opened through
// /proc/self/fd, then every listed tensor is fetched through VarBuilder::get as F32, F16 and BF16.
// The mapping is not tracked by AddressSanitizer (a read past the file's end inside the last page
// returns zeros instead of faulting), so the harness itself checks that every accepted entry lies
// inside the file and that the bytes the reader copies are the file's own.
//
// Anything thrown other than tl::Error, an error text outside the reader's set, or a broken
// invariant aborts, and libFuzzer keeps the input.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tensor/safetensors.h"
#include "tensor/var_builder.h"

using namespace tl;

namespace {

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_safetensors: %s\n", what.c_str());
  std::abort();
}

bool starts_with(const std::string& s, const std::string& p) { return s.compare(0, p.size(), p) == 0; }

// The text after "path: {path:?} " of a refused header must be one of the format's variants.
void check_open_error(const std::string& msg, const std::string& path) {
  std::string lead = "path: " + debug_path(path) + " ";
  if (!starts_with(msg, lead)) fail("open error without the path: " + msg);
  std::string v = msg.substr(lead.size());
  static const char* kVariants[] = {"HeaderTooSmall",       "HeaderTooLarge",
                                    "InvalidHeaderLength",  "InvalidHeader",
                                    "InvalidHeaderDeserialization", "ValidationOverflow",
                                    "TensorInvalidInfo",    "MetadataIncompleteBuffer"};
  for (const char* k : kVariants) {
    if (v == k) return;
  }
  if (starts_with(v, "InvalidOffset(\"") && v.size() >= 17 && v.compare(v.size() - 2, 2, "\")") == 0) {
    return;
  }
  fail("unexpected open error: " + msg);
}

bool same_bits(const Tensor& a, const Tensor& b) {
  if (a.dtype() != b.dtype() || a.shape() != b.shape()) return false;
  size_t n = a.elem_count() * dtype_size(a.dtype());
  return n == 0 || std::memcmp(a.data<uint8_t>(), b.data<uint8_t>(), n) == 0;
}

// A stored type whose loaded dtype has the same element layout is copied byte for byte.
bool copied_verbatim(StoredDType s) {
  switch (s) {
    case StoredDType::U8:
    case StoredDType::U32:
    case StoredDType::I64:
    case StoredDType::F16:
    case StoredDType::BF16:
    case StoredDType::F32:
    case StoredDType::F64: return true;
    default: return false;
  }
}

void fetch_all(const std::string& path, const uint8_t* file, size_t size) {
  std::shared_ptr<const SafeTensorsFile> f;
  try {
    f = SafeTensorsFile::open(path);
  } catch (const Error& e) {
    check_open_error(e.what(), path);
    return;
  }
  if (f->file_size() != size) fail("file size differs from the input");
  // The reader accepted the header, so the length prefix and the header fit in the file.
  uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | file[i];
  if (size < 8 || n > size - 8) fail("accepted a header longer than the file");
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
      fail(std::string("reopen failed: ") + e.what());
    }
  }

  for (const auto& [name, info] : f->tensors()) {
    size_t elems = 1;
    for (size_t d : info.shape) {
      if (d != 0 && elems > SIZE_MAX / d) fail("accepted an overflowing shape: " + name);
      elems *= d;
    }
    size_t es = stored_dtype_size(info.dtype);
    if (info.end < info.begin || info.end > section_len) fail("entry outside the file: " + name);
    if (info.end - info.begin != elems * es) fail("entry length differs from its shape: " + name);
    if (info.dtype_name != stored_dtype_name(info.dtype)) fail("dtype name mismatch: " + name);
    const uint8_t* want = section + info.begin;
    if (info.end > info.begin && std::memcmp(f->data(info), want, info.end - info.begin) != 0) {
      fail("data pointer does not address the entry's bytes: " + name);
    }
    if (!f->contains(name) || f->find(name) != &info) fail("lookup disagrees with the table");

    bool readable = loaded_dtype(info.dtype).has_value();
    std::string unsupported = std::string("unsupported safetensor dtype ") + info.dtype_name;
    Tensor plain;
    try {
      plain = f->load(info);
      if (!readable) fail("loaded an unreadable dtype: " + name);
      if (plain.shape() != info.shape) fail("loaded shape differs: " + name);
      if (copied_verbatim(info.dtype) && elems > 0 &&
          std::memcmp(plain.data<uint8_t>(), want, elems * es) != 0) {
        fail("loaded bytes differ from the file: " + name);
      }
    } catch (const Error& e) {
      if (readable || e.what() != unsupported) fail("load: " + name + ": " + e.what());
    }

    for (int t = 0; t < 3; ++t) {
      const VarBuilder& vb = vbs[t];
      try {
        Tensor got = vb.get(info.shape, name);
        if (!readable) fail("get accepted an unreadable dtype: " + name);
        // Direct conversion from the mapping must give what copy-then-convert gives.
        if (!same_bits(got, plain.to_dtype(kTargets[t]))) fail("conversion differs: " + name);
      } catch (const Error& e) {
        if (readable || e.what() != unsupported) fail("get: " + name + ": " + e.what());
      }
      // The same full name through a prefix.
      size_t dot = name.find('.');
      if (dot != std::string::npos) {
        if (vb.pp(name.substr(0, dot)).path(name.substr(dot + 1)) != name) fail("pp path: " + name);
      }
      // A shape one dimension longer: refused after the conversion, with both shapes named.
      if (readable) {
        Shape wrong = info.shape;
        wrong.push_back(1);
        try {
          vb.get(wrong, name);
          fail("get accepted a wrong shape: " + name);
        } catch (const Error& e) {
          std::string expect = "shape mismatch for " + name + ", expected: " + shape_str(wrong) +
                               ", got: " + shape_str(info.shape);
          if (e.what() != expect) fail(std::string("wrong mismatch text: ") + e.what());
        }
      }
    }
  }

  // A name the header does not list.
  std::string absent = "\x01" "absent";
  if (!f->contains(absent)) {
    try {
      vbs[0].get({1}, absent);
      fail("found an absent tensor");
    } catch (const Error& e) {
      if (e.what() != "cannot find tensor " + absent) fail(std::string("absent: ") + e.what());
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("fuzz.safetensors", MFD_CLOEXEC);
  if (fd < 0) fail("memfd_create");
  for (size_t done = 0; done < size;) {
    ssize_t w = write(fd, data + done, size - done);
    if (w <= 0) fail("write");
    done += (size_t)w;
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  try {
    fetch_all(path, data, size);
  } catch (const std::exception& e) {
    fail(std::string("escaped exception: ") + e.what());
  }
  close(fd);
  return 0;
}

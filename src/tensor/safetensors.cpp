#include "tensor/safetensors.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "tensor/half.h"
#include "tensor/kernels.h"
#include "tensor/parallel.h"

static_assert(std::endian::native == std::endian::little,
              "stored tensors are little-endian and are copied byte for byte");

namespace tl {

namespace {

constexpr StoredDType kAllStored[] = {
    StoredDType::BOOL, StoredDType::U8,  StoredDType::I8,   StoredDType::F8_E5M2,
    StoredDType::F8_E4M3, StoredDType::I16, StoredDType::U16, StoredDType::F16,
    StoredDType::BF16, StoredDType::I32, StoredDType::U32,  StoredDType::F32,
    StoredDType::F64,  StoredDType::I64, StoredDType::U64};

// A JSON header may be at most this long (bytes).
constexpr uint64_t kMaxHeaderSize = 100'000'000;
// Nesting of arrays/objects a header may use, the top-level object counted as 1.
constexpr int kMaxDepth = 127;

}  // namespace

const char* stored_dtype_name(StoredDType dt) {
  switch (dt) {
    case StoredDType::BOOL: return "BOOL";
    case StoredDType::U8: return "U8";
    case StoredDType::I8: return "I8";
    case StoredDType::F8_E5M2: return "F8_E5M2";
    case StoredDType::F8_E4M3: return "F8_E4M3";
    case StoredDType::I16: return "I16";
    case StoredDType::U16: return "U16";
    case StoredDType::F16: return "F16";
    case StoredDType::BF16: return "BF16";
    case StoredDType::I32: return "I32";
    case StoredDType::U32: return "U32";
    case StoredDType::F32: return "F32";
    case StoredDType::F64: return "F64";
    case StoredDType::I64: return "I64";
    case StoredDType::U64: return "U64";
  }
  return "?";
}

size_t stored_dtype_size(StoredDType dt) {
  switch (dt) {
    case StoredDType::BOOL:
    case StoredDType::U8:
    case StoredDType::I8:
    case StoredDType::F8_E5M2:
    case StoredDType::F8_E4M3: return 1;
    case StoredDType::I16:
    case StoredDType::U16:
    case StoredDType::F16:
    case StoredDType::BF16: return 2;
    case StoredDType::I32:
    case StoredDType::U32:
    case StoredDType::F32: return 4;
    case StoredDType::F64:
    case StoredDType::I64:
    case StoredDType::U64: return 8;
  }
  return 1;
}

std::optional<DType> loaded_dtype(StoredDType dt) {
  switch (dt) {
    case StoredDType::U8: return DType::U8;
    case StoredDType::U16:
    case StoredDType::U32: return DType::U32;
    case StoredDType::I32:
    case StoredDType::I64: return DType::I64;
    case StoredDType::F16: return DType::F16;
    case StoredDType::BF16: return DType::BF16;
    case StoredDType::F32: return DType::F32;
    case StoredDType::F64: return DType::F64;
    default: return std::nullopt;
  }
}

// ---------------------------------------------------------------------------------------------
// Path text

namespace {

// Decodes one UTF-8 sequence strictly (no overlong forms, no surrogates, at most U+10FFFF).
// Returns its length in bytes and sets *cp, or returns 0 when s[i..] does not start with one.
size_t utf8_decode(const unsigned char* s, size_t n, size_t i, uint32_t* cp) {
  unsigned char b0 = s[i];
  if (b0 < 0x80) {
    *cp = b0;
    return 1;
  }
  size_t len;
  uint32_t c;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n - i < len) return 0;
  for (size_t k = 1; k < len; ++k) {
    unsigned char b = s[i + k];
    if (k == 1 ? (b < lo || b > hi) : (b < 0x80 || b > 0xBF)) return 0;
    c = (c << 6) | (b & 0x3F);
  }
  *cp = c;
  return len;
}

bool valid_utf8(const unsigned char* s, size_t n) {
  uint32_t cp;
  for (size_t i = 0; i < n;) {
    if (s[i] < 0x80) {  // fast path for the ASCII that headers are made of
      ++i;
      continue;
    }
    size_t len = utf8_decode(s, n, i, &cp);
    if (len == 0) return false;
    i += len;
  }
  return true;
}

// Characters printed as \u{..}: controls, and the invisible or combining characters that a
// debug print escapes so that the quoted text shows every code point.
bool escaped_as_unicode(uint32_t c) {
  if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
  if (c == 0xAD) return true;                     // soft hyphen
  if (c >= 0x300 && c <= 0x36F) return true;      // combining diacritical marks
  if (c >= 0x200B && c <= 0x200F) return true;    // zero-width and direction marks
  if (c >= 0x2028 && c <= 0x202E) return true;    // line/paragraph separators, embeddings
  if (c >= 0x2060 && c <= 0x2064) return true;    // word joiner, invisible operators
  if (c >= 0x2066 && c <= 0x206F) return true;    // isolates, deprecated format characters
  if (c == 0xFEFF) return true;                   // zero-width no-break space
  if (c >= 0xE000 && c <= 0xF8FF) return true;    // private use
  if (c >= 0xFE00 && c <= 0xFE0F) return true;    // variation selectors
  if ((c & 0xFFFE) == 0xFFFE) return true;        // noncharacters U+xxFFFE/U+xxFFFF
  if (c >= 0xE0000) return true;                  // tags, variation selectors, private use
  return false;
}

// strerror_r comes in two flavours: GNU returns the message (maybe not in buf), XSI (macOS,
// musl) returns a status and fills buf.
[[maybe_unused]] const char* strerror_result(const char* msg, const char*) { return msg; }
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
  return rc == 0 ? buf : "Unknown error";
}

// The OS error as a Rust io::Error displays it: "No such file or directory (os error 2)".
std::string os_error_text(int err) {
  char buf[256] = {0};
  const char* msg = strerror_result(strerror_r(err, buf, sizeof buf), buf);
  return std::string(msg) + " (os error " + std::to_string(err) + ")";
}

}  // namespace

namespace {

// Rust `{:?}` quoting. Paths (printed char by char) escape the single quote too; strings do not.
std::string debug_quote(const std::string& path, bool escape_single_quote) {
  static const char* hex = "0123456789abcdef";
  const auto* s = reinterpret_cast<const unsigned char*>(path.data());
  size_t n = path.size();
  std::string out = "\"";
  for (size_t i = 0; i < n;) {
    uint32_t c;
    size_t len = utf8_decode(s, n, i, &c);
    if (len == 0) {  // not UTF-8: the byte in upper-case hex
      static const char* HEX = "0123456789ABCDEF";
      out += "\\x";
      out += HEX[s[i] >> 4];
      out += HEX[s[i] & 15];
      ++i;
      continue;
    }
    switch (c) {
      case 0: out += "\\0"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\'':
        if (escape_single_quote) {
          out += "\\'";
        } else {
          out += '\'';
        }
        break;
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      default:
        if (escaped_as_unicode(c)) {
          std::string digits;
          do {
            digits.insert(digits.begin(), hex[c & 15]);
            c >>= 4;
          } while (c);
          out += "\\u{" + digits + "}";
        } else {
          out.append(path, i, len);
        }
    }
    i += len;
  }
  return out + "\"";
}

}  // namespace

std::string debug_path(const std::string& path) { return debug_quote(path, true); }

// ---------------------------------------------------------------------------------------------
// Header parsing

namespace {

struct HeaderFailure {
  std::string variant;  // "InvalidHeaderDeserialization", "InvalidOffset(\"a\")", ...
};

// Streams the header through nlohmann's SAX interface and keeps only what the format defines,
// so that ignored fields cost no memory. Rules of the schema:
// - the top level is an object; "__metadata__" (at most once) is null or an object of strings;
// - every other key is a tensor; its value is an object holding "dtype" (one of the format's
//   names), "shape" (array of unsigned integers) and "data_offsets" (array of exactly two
//   unsigned integers), each at most once; unknown fields are ignored whatever they hold;
// - a tensor name listed twice keeps its last entry;
// - nesting deeper than kMaxDepth is refused.
class HeaderSax {
 public:
  using json = nlohmann::json;

  std::map<std::string, TensorInfo> tensors;
  std::optional<std::map<std::string, std::string>> metadata;

  bool null() { return scalar(Kind::Null); }
  bool boolean(bool) { return scalar(Kind::Other); }
  bool number_integer(json::number_integer_t) { return scalar(Kind::Other); }
  bool number_unsigned(json::number_unsigned_t v) {
    if (state_ == State::ShapeItem) {
      cur_.shape.push_back(v);
      return true;
    }
    if (state_ == State::OffsetItem) {
      if (n_offsets_ >= 2) return false;  // a pair has exactly two members
      offsets_[n_offsets_++] = v;
      return true;
    }
    return scalar(Kind::Other);
  }
  bool number_float(json::number_float_t, const std::string&) { return scalar(Kind::Other); }
  bool binary(json::binary_t&) { return false; }
  bool string(std::string& v) {
    switch (state_) {
      case State::MetaItem:
        (*metadata)[meta_key_] = v;
        state_ = State::MetaKey;
        return true;
      case State::DtypeValue: {
        for (StoredDType dt : kAllStored) {
          if (v == stored_dtype_name(dt)) {
            cur_.dtype = dt;
            cur_.dtype_name = v;
            state_ = State::TensorKey;
            return true;
          }
        }
        return false;  // not a dtype of the format
      }
      default: return scalar(Kind::Other);
    }
  }

  bool start_object(std::size_t) {
    if (++depth_ > kMaxDepth) return false;
    switch (state_) {
      case State::Start: state_ = State::TopKey; return true;
      case State::MetaValue:
        metadata.emplace();
        state_ = State::MetaKey;
        return true;
      case State::TensorValue:
        cur_ = TensorInfo{};
        seen_dtype_ = seen_shape_ = seen_offsets_ = false;
        state_ = State::TensorKey;
        return true;
      case State::Skip: ++skip_depth_; return true;
      case State::SkipStart:
        skip_depth_ = 1;
        state_ = State::Skip;
        return true;
      default: return false;  // an object where a string, number or array belongs
    }
  }
  bool key(std::string& k) {
    switch (state_) {
      case State::TopKey:
        if (k == "__metadata__") {
          if (seen_metadata_) return false;  // a field given twice
          seen_metadata_ = true;
          state_ = State::MetaValue;
        } else {
          cur_name_ = k;
          state_ = State::TensorValue;
        }
        return true;
      case State::MetaKey:
        meta_key_ = k;
        state_ = State::MetaItem;
        return true;
      case State::TensorKey:
        if (k == "dtype") return field(seen_dtype_, State::DtypeValue);
        if (k == "shape") return field(seen_shape_, State::ShapeValue);
        if (k == "data_offsets") return field(seen_offsets_, State::OffsetValue);
        state_ = State::SkipStart;
        return true;
      case State::Skip: return true;
      default: return false;
    }
  }
  bool end_object() {
    --depth_;
    switch (state_) {
      case State::TopKey: state_ = State::Done; return true;
      case State::MetaKey: state_ = State::TopKey; return true;
      case State::TensorKey:
        if (!seen_dtype_ || !seen_shape_ || !seen_offsets_) return false;  // missing field
        tensors[cur_name_] = std::move(cur_);
        state_ = State::TopKey;
        return true;
      case State::Skip: return end_skipped();
      default: return false;
    }
  }
  bool start_array(std::size_t) {
    if (++depth_ > kMaxDepth) return false;
    switch (state_) {
      case State::ShapeValue: state_ = State::ShapeItem; return true;
      case State::OffsetValue:
        n_offsets_ = 0;
        state_ = State::OffsetItem;
        return true;
      case State::Skip: ++skip_depth_; return true;
      case State::SkipStart:
        skip_depth_ = 1;
        state_ = State::Skip;
        return true;
      default: return false;  // only "shape" and "data_offsets" are arrays
    }
  }
  bool end_array() {
    --depth_;
    switch (state_) {
      case State::ShapeItem: state_ = State::TensorKey; return true;
      case State::OffsetItem:
        if (n_offsets_ != 2) return false;
        cur_.begin = offsets_[0];
        cur_.end = offsets_[1];
        state_ = State::TensorKey;
        return true;
      case State::Skip: return end_skipped();
      default: return false;
    }
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) {
    return false;
  }

  bool complete() const { return state_ == State::Done; }

 private:
  enum class State {
    Start, TopKey, MetaValue, MetaKey, MetaItem, TensorValue, TensorKey, DtypeValue, ShapeValue,
    ShapeItem, OffsetValue, OffsetItem, SkipStart, Skip, Done
  };
  enum class Kind { Null, Other };

  bool field(bool& seen, State next) {
    if (seen) return false;  // a field given twice
    seen = true;
    state_ = next;
    return true;
  }
  // A value that is neither an object nor an array.
  bool scalar(Kind kind) {
    switch (state_) {
      case State::MetaValue:
        if (kind != Kind::Null) return false;
        state_ = State::TopKey;  // "__metadata__": null means no metadata
        return true;
      case State::SkipStart: state_ = State::TensorKey; return true;
      case State::Skip: return true;
      default: return false;  // wrong type for this place
    }
  }
  bool end_skipped() {
    if (--skip_depth_ == 0) state_ = State::TensorKey;
    return true;
  }

  State state_ = State::Start;
  int depth_ = 0;
  int skip_depth_ = 0;
  bool seen_metadata_ = false;
  bool seen_dtype_ = false, seen_shape_ = false, seen_offsets_ = false;
  std::string cur_name_;
  std::string meta_key_;
  TensorInfo cur_;
  uint64_t offsets_[2] = {0, 0};
  int n_offsets_ = 0;
};

// Validates the header of a mapped file of `len` bytes and fills the tensor table. Throws
// HeaderFailure. Reads only bytes [0, 8 + n) and never the data section.
void parse_header(const uint8_t* buf, size_t len, std::map<std::string, TensorInfo>* tensors,
                  std::optional<std::map<std::string, std::string>>* metadata,
                  size_t* data_offset) {
  if (len < 8) throw HeaderFailure{"HeaderTooSmall"};
  uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | buf[i];
  if (n > kMaxHeaderSize) throw HeaderFailure{"HeaderTooLarge"};
  if (n > len - 8) throw HeaderFailure{"InvalidHeaderLength"};
  const uint8_t* hdr = buf + 8;
  if (!valid_utf8(hdr, n)) throw HeaderFailure{"InvalidHeader"};
  // A JSON text never begins with a byte-order mark and never holds a raw NUL; the parser would
  // skip the first silently and take the second for the end of its input.
  if ((n >= 3 && hdr[0] == 0xEF && hdr[1] == 0xBB && hdr[2] == 0xBF) || std::memchr(hdr, 0, n)) {
    throw HeaderFailure{"InvalidHeaderDeserialization"};
  }

  HeaderSax sax;
  bool ok;
  try {
    ok = nlohmann::json::sax_parse(hdr, hdr + n, &sax, nlohmann::json::input_format_t::json,
                                   /*strict=*/true, /*ignore_comments=*/false);
  } catch (const nlohmann::json::exception&) {
    ok = false;
  }
  if (!ok || !sax.complete()) throw HeaderFailure{"InvalidHeaderDeserialization"};

  // Sorted by (begin, end), the ranges must follow one another from 0 without gap or overlap.
  // Equal ranges (zero-size tensors) keep name order, so the reported name is deterministic.
  std::vector<std::pair<const std::string*, const TensorInfo*>> order;
  order.reserve(sax.tensors.size());
  for (const auto& [name, info] : sax.tensors) order.emplace_back(&name, &info);
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return std::pair(a.second->begin, a.second->end) < std::pair(b.second->begin, b.second->end);
  });
  size_t start = 0;
  for (const auto& [name, info] : order) {
    if (info->begin != start || info->end < info->begin) {
      throw HeaderFailure{"InvalidOffset(" + debug_quote(*name, false) + ")"};
    }
    start = info->end;
    size_t elems = 1;
    for (size_t d : info->shape) {
      if (d != 0 && elems > SIZE_MAX / d) throw HeaderFailure{"ValidationOverflow"};
      elems *= d;
    }
    size_t es = stored_dtype_size(info->dtype);
    if (elems > SIZE_MAX / es) throw HeaderFailure{"ValidationOverflow"};
    if (info->end - info->begin != elems * es) throw HeaderFailure{"TensorInvalidInfo"};
  }
  if (start != len - 8 - n) throw HeaderFailure{"MetadataIncompleteBuffer"};

  *tensors = std::move(sax.tensors);
  *metadata = std::move(sax.metadata);
  *data_offset = 8 + n;
}

}  // namespace

std::shared_ptr<const SafeTensorsFile> SafeTensorsFile::open(const std::string& path) {
  auto fail = [&](const std::string& what) {
    return Error("path: " + debug_path(path) + " " + what);
  };
  if (path.find('\0') != std::string::npos) {
    throw fail("file name contained an unexpected NUL byte");
  }
  std::shared_ptr<SafeTensorsFile> f(new SafeTensorsFile());
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) throw fail(os_error_text(errno));
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    throw fail(os_error_text(err));
  }
  f->file_len_ = (size_t)st.st_size;
  // mmap refuses a length of 0; an empty file maps one page and is then too small for a header.
  f->map_len_ = std::max<size_t>(f->file_len_, 1);
  void* p = mmap(nullptr, f->map_len_, PROT_READ, MAP_SHARED, fd, 0);
  int err = errno;
  ::close(fd);
  if (p == MAP_FAILED) throw fail(os_error_text(err));
  f->map_ = p;

  size_t data_offset = 0;
  try {
    parse_header(static_cast<const uint8_t*>(p), f->file_len_, &f->tensors_, &f->metadata_,
                 &data_offset);
  } catch (const HeaderFailure& h) {
    throw fail(h.variant);
  }
  f->data_start_ = static_cast<const uint8_t*>(p) + data_offset;
  return f;
}

SafeTensorsFile::~SafeTensorsFile() {
  if (map_) munmap(map_, map_len_);
}

const TensorInfo* SafeTensorsFile::find(const std::string& name) const {
  auto it = tensors_.find(name);
  return it == tensors_.end() ? nullptr : &it->second;
}

void SafeTensorsFile::release_pages(const TensorInfo& info) const {
  static const size_t page = (size_t)sysconf(_SC_PAGESIZE);
  uintptr_t lo = reinterpret_cast<uintptr_t>(data(info));
  uintptr_t hi = lo + (info.end - info.begin);
  lo = (lo + page - 1) / page * page;
  hi = hi / page * page;
  if (hi > lo) madvise(reinterpret_cast<void*>(lo), hi - lo, MADV_DONTNEED);
}

namespace {

Error unsupported(const TensorInfo& info) {
  return Error(std::string("unsupported safetensor dtype ") + stored_dtype_name(info.dtype));
}

template <class T>
inline T rd(const uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Value of stored element i as the library widens it to f32 for a float conversion: 16-bit
// floats exactly, F64 rounded to nearest, integers `(float)v` from their loaded dtype.
inline float widen_f32(const uint8_t* s, StoredDType dt, size_t i) {
  switch (dt) {
    case StoredDType::U8: return (float)s[i];
    case StoredDType::U16: return (float)(uint32_t)rd<uint16_t>(s + 2 * i);
    case StoredDType::U32: return (float)rd<uint32_t>(s + 4 * i);
    case StoredDType::I32: return (float)(int64_t)rd<int32_t>(s + 4 * i);
    case StoredDType::I64: return (float)rd<int64_t>(s + 8 * i);
    case StoredDType::F16: return f16_to_f32(rd<uint16_t>(s + 2 * i));
    case StoredDType::BF16: return bf16_to_f32(rd<uint16_t>(s + 2 * i));
    case StoredDType::F32: return rd<float>(s + 4 * i);
    case StoredDType::F64: return (float)rd<double>(s + 8 * i);
    default: return 0;
  }
}

// Runs body(i0, i1) over [0, n) in blocks of whole 64 K-element units, in parallel when n is large
// enough to pay for it.
template <class Body>
void for_blocks(size_t n, Body body) {
  constexpr size_t kBlock = 1 << 16;
  if (n <= 4 * kBlock) {
    body(0, n);
    return;
  }
  parallel::for_ranges(n, 1, body, kBlock);
}

// Stored elements to 16-bit floats of dt: F64 rounds once from double; F32 in place-aligned
// storage goes through the vector conversion (bit-identical to the scalar one); everything else
// widens to f32 first.
template <uint16_t (*FromF64)(double), uint16_t (*FromF32)(float)>
void convert_to_half(const uint8_t* s, StoredDType sdt, size_t n, DType dt, uint16_t* d) {
  if (sdt == StoredDType::F64) {
    for_blocks(n, [&](size_t i0, size_t i1) {
      for (size_t i = i0; i < i1; ++i) d[i] = FromF64(rd<double>(s + 8 * i));
    });
  } else if (sdt == StoredDType::F32 && reinterpret_cast<uintptr_t>(s) % alignof(float) == 0) {
    const float* f = reinterpret_cast<const float*>(s);
    for_blocks(n, [&](size_t i0, size_t i1) { kernels::store_as(f + i0, d + i0, dt, i1 - i0); });
  } else {
    for_blocks(n, [&](size_t i0, size_t i1) {
      for (size_t i = i0; i < i1; ++i) d[i] = FromF32(widen_f32(s, sdt, i));
    });
  }
}

// Converts n stored elements to a float dtype (F32, F16 or BF16) with the library's rules.
void convert_to_float(const uint8_t* s, StoredDType sdt, size_t n, DType dt, uint8_t* out) {
  switch (dt) {
    case DType::F32: {
      auto* d = reinterpret_cast<float*>(out);
      for_blocks(n, [&](size_t i0, size_t i1) {
        for (size_t i = i0; i < i1; ++i) d[i] = widen_f32(s, sdt, i);
      });
      return;
    }
    case DType::F16:
      convert_to_half<f64_to_f16, f32_to_f16>(s, sdt, n, dt, reinterpret_cast<uint16_t*>(out));
      return;
    case DType::BF16:
      convert_to_half<f64_to_bf16, f32_to_bf16>(s, sdt, n, dt, reinterpret_cast<uint16_t*>(out));
      return;
    default: return;
  }
}

}  // namespace

Tensor SafeTensorsFile::load(const TensorInfo& info) const {
  std::optional<DType> ldt = loaded_dtype(info.dtype);
  if (!ldt) throw unsupported(info);
  const uint8_t* s = data(info);
  size_t nbytes = info.end - info.begin;
  Tensor t;
  if (info.dtype == StoredDType::U16 || info.dtype == StoredDType::I32) {
    // Widened integer types: element count from the validated byte length.
    size_t n = nbytes / stored_dtype_size(info.dtype);
    t = Tensor::empty(info.shape, *ldt);
    if (info.dtype == StoredDType::U16) {
      auto* d = t.data<uint32_t>();
      for (size_t i = 0; i < n; ++i) d[i] = rd<uint16_t>(s + 2 * i);
    } else {
      auto* d = t.data<int64_t>();
      for (size_t i = 0; i < n; ++i) d[i] = rd<int32_t>(s + 4 * i);
    }
  } else {
    t = Tensor::from_bytes(s, nbytes, *ldt, info.shape);
  }
  release_pages(info);
  return t;
}

Tensor SafeTensorsFile::load_as(const TensorInfo& info, DType dt) const {
  std::optional<DType> ldt = loaded_dtype(info.dtype);
  if (!ldt) throw unsupported(info);
  if (*ldt == dt || !is_float(dt) || dt == DType::F64) return load(info).to_dtype(dt);
  Tensor t = Tensor::empty(info.shape, dt);
  convert_to_float(data(info), info.dtype, (info.end - info.begin) / stored_dtype_size(info.dtype),
                   dt, t.data<uint8_t>());
  release_pages(info);
  return t;
}

}  // namespace tl

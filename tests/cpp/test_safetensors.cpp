// The safetensors reader and the weight accessor, on files built byte by byte in the tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tensor/half.h"
#include "tensor/safetensors.h"
#include "tensor/var_builder.h"

using namespace tl;
using Bytes = std::vector<uint8_t>;

namespace {

// ---- building files ----------------------------------------------------------------------------

Bytes u64le(uint64_t v) {
  Bytes b(8);
  for (int i = 0; i < 8; ++i) b[i] = (uint8_t)(v >> (8 * i));
  return b;
}

// 8-byte length, the header text exactly as given, then the data.
Bytes raw_file(const std::string& header, const Bytes& data = {}) {
  Bytes out(8 + header.size() + data.size());
  Bytes len = u64le(header.size());
  std::memcpy(out.data(), len.data(), 8);
  if (!header.empty()) std::memcpy(out.data() + 8, header.data(), header.size());
  if (!data.empty()) std::memcpy(out.data() + 8 + header.size(), data.data(), data.size());
  return out;
}

template <class T>
Bytes as_bytes(const std::vector<T>& v) {
  Bytes b(v.size() * sizeof(T));
  if (!b.empty()) std::memcpy(b.data(), v.data(), b.size());
  return b;
}

struct Entry {
  std::string name;
  std::string dtype;
  Shape shape;
  Bytes data;
};

std::string shape_json(const Shape& s) {
  std::string o = "[";
  for (size_t i = 0; i < s.size(); ++i) {
    if (i) o += ",";
    o += std::to_string(s[i]);
  }
  return o + "]";
}

// A well-formed file: tensors laid out in the given order, header padded with spaces to a
// multiple of 8 as common writers do.
Bytes build_file(const std::vector<Entry>& entries, const std::string& metadata_json = "") {
  std::string h = "{";
  bool first = true;
  if (!metadata_json.empty()) {
    h += "\"__metadata__\":" + metadata_json;
    first = false;
  }
  size_t off = 0;
  Bytes data;
  for (const Entry& e : entries) {
    if (!first) h += ",";
    first = false;
    h += "\"" + e.name + "\":{\"dtype\":\"" + e.dtype + "\",\"shape\":" + shape_json(e.shape) +
         ",\"data_offsets\":[" + std::to_string(off) + "," + std::to_string(off + e.data.size()) +
         "]}";
    off += e.data.size();
    data.insert(data.end(), e.data.begin(), e.data.end());
  }
  h += "}";
  while (h.size() % 8) h += ' ';
  return raw_file(h, data);
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/tl_st_XXXXXX";
    char* d = mkdtemp(tmpl);
    if (!d) throw std::runtime_error("mkdtemp failed");
    dir_ = d;
  }
  ~TempDir() { std::filesystem::remove_all(dir_); }
  std::string write(const std::string& name, const Bytes& bytes) const {
    std::string p = dir_ + "/" + name;
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), (std::streamsize)bytes.size());
    return p;
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Opens the bytes as a file; returns "" on success or the error text with the path prefix
// removed.
std::string open_error(const TempDir& td, const Bytes& bytes) {
  std::string p = td.write("t.safetensors", bytes);
  try {
    SafeTensorsFile::open(p);
    return "";
  } catch (const Error& e) {
    std::string prefix = "path: \"" + p + "\" ";
    std::string m = e.what();
    if (m.rfind(prefix, 0) != 0) return "<bad prefix> " + m;
    return m.substr(prefix.size());
  }
}

std::string get_error(const VarBuilder& vb, const Shape& s, const std::string& name) {
  try {
    vb.get(s, name);
    return "";
  } catch (const Error& e) {
    return e.what();
  }
}

const std::string kMeta = "{\"dtype\":\"F32\",\"shape\":[1],\"data_offsets\":[0,4]}";

}  // namespace

// ---- header validation -------------------------------------------------------------------------

struct HeaderCase {
  const char* what;
  Bytes file;
  const char* expect;  // "" = opens
};

// One header entry: "name":{"dtype":..,"shape":..,"data_offsets":..} with the parts as raw JSON.
std::string ent(const std::string& name, const std::string& dtype, const std::string& shape,
                const std::string& offsets) {
  return "\"" + name + "\":{\"dtype\":" + dtype + ",\"shape\":" + shape +
         ",\"data_offsets\":" + offsets + "}";
}
std::string obj(const std::string& body) { return "{" + body + "}"; }

TEST(SafeTensorsHeader, EveryRejectionHasItsVariant) {
  const std::string f32 = "\"F32\"", u8 = "\"U8\"";
  const std::string a4 = ent("a", f32, "[1]", "[0,4]");  // a valid 4-byte entry
  const Bytes four(4, 0), eight(8, 0);
  const std::string max = "18446744073709551615", max1 = "18446744073709551614";
  // 1 (top) + 1 (entry) + 125 = 127 levels.
  const std::string open125(125, '['), close125(125, ']');
  const std::string deser = "InvalidHeaderDeserialization";
  Bytes len_beyond = u64le(10);
  len_beyond.push_back('{');
  len_beyond.push_back('}');
  std::vector<HeaderCase> cases = {
      {"empty file", {}, "HeaderTooSmall"},
      {"seven bytes", Bytes(7, 0), "HeaderTooSmall"},
      {"length over the limit", u64le(100'000'001), "HeaderTooLarge"},
      {"length 2^64-1", u64le(~0ull), "HeaderTooLarge"},
      {"length at the limit, file short", u64le(100'000'000), "InvalidHeaderLength"},
      {"length beyond the file", len_beyond, "InvalidHeaderLength"},
      {"stray 0xFF", raw_file("{\"a\xff\":1}"), "InvalidHeader"},
      {"overlong slash", raw_file("{\xc0\xaf}"), "InvalidHeader"},
      {"encoded surrogate", raw_file("{\"\xed\xa0\x80\":1}"), "InvalidHeader"},
      {"cut multibyte at the end", raw_file("{}\xe2\x82"), "InvalidHeader"},
      {"above U+10FFFF", raw_file("{\"\xf4\x90\x80\x80\":1}"), "InvalidHeader"},
      {"not JSON", raw_file("hello"), deser.c_str()},
      {"empty header", raw_file(""), deser.c_str()},
      {"top level array", raw_file("[]"), deser.c_str()},
      {"byte-order mark", raw_file("\xef\xbb\xbf{}"), deser.c_str()},
      {"trailing text", raw_file("{}x"), deser.c_str()},
      {"trailing NUL padding", raw_file(std::string("{}\0\0", 4)), deser.c_str()},
      {"comment", raw_file("{/**/}"), deser.c_str()},
      {"missing dtype", raw_file("{\"a\":{\"shape\":[1],\"data_offsets\":[0,4]}}", four),
       deser.c_str()},
      {"missing offsets", raw_file("{\"a\":{\"dtype\":\"F32\",\"shape\":[1]}}", four),
       deser.c_str()},
      {"unknown dtype", raw_file(obj(ent("a", "\"F128\"", "[1]", "[0,4]")), four), deser.c_str()},
      {"dtype not a string", raw_file(obj(ent("a", "4", "[1]", "[0,4]")), four), deser.c_str()},
      {"negative size", raw_file(obj(ent("a", f32, "[-1]", "[0,4]")), four), deser.c_str()},
      {"fractional size", raw_file(obj(ent("a", f32, "[1.0]", "[0,4]")), four), deser.c_str()},
      {"size of 2^64", raw_file(obj(ent("a", f32, "[18446744073709551616]", "[0,4]")), four),
       deser.c_str()},
      {"shape not an array", raw_file(obj(ent("a", f32, "1", "[0,4]")), four), deser.c_str()},
      {"nested shape", raw_file(obj(ent("a", f32, "[[1]]", "[0,4]")), four), deser.c_str()},
      {"three offsets", raw_file(obj(ent("a", f32, "[1]", "[0,4,4]")), four), deser.c_str()},
      {"negative offset", raw_file(obj(ent("a", f32, "[1]", "[-4,0]")), four), deser.c_str()},
      {"entry is a string", raw_file("{\"a\":\"F32\"}"), deser.c_str()},
      {"entry is positional", raw_file("{\"a\":[\"F32\",[1],[0,4]]}", four), deser.c_str()},
      {"field given twice",
       raw_file("{\"a\":{\"dtype\":\"F32\",\"dtype\":\"F32\",\"shape\":[1],"
                "\"data_offsets\":[0,4]}}",
                four),
       deser.c_str()},
      {"metadata given twice", raw_file("{\"__metadata__\":{},\"__metadata__\":{}}"),
       deser.c_str()},
      {"metadata value not a string", raw_file("{\"__metadata__\":{\"k\":1}}"), deser.c_str()},
      {"metadata is an array", raw_file("{\"__metadata__\":[]}"), deser.c_str()},
      {"nesting of 128 levels",
       raw_file("{\"a\":{\"x\":" + open125 + "[]" + close125 +
                    ",\"dtype\":\"U8\",\"shape\":[],\"data_offsets\":[0,1]}}",
                {7}),
       deser.c_str()},
      {"nesting of 127 levels",
       raw_file("{\"a\":{\"x\":" + open125 + close125 +
                    ",\"dtype\":\"U8\",\"shape\":[],\"data_offsets\":[0,1]}}",
                {7}),
       ""},
      {"first tensor not at 0", raw_file(obj(ent("a", f32, "[1]", "[4,8]")), eight),
       "InvalidOffset(\"a\")"},
      {"gap between tensors", raw_file(obj(a4 + "," + ent("b", f32, "[1]", "[5,9]")), Bytes(9)),
       "InvalidOffset(\"b\")"},
      {"overlap",
       raw_file(obj(ent("a", f32, "[2]", "[0,8]") + "," + ent("b", f32, "[1]", "[4,8]")), eight),
       "InvalidOffset(\"b\")"},
      {"begin after end", raw_file(obj(a4 + "," + ent("b", f32, "[1]", "[4,0]")), four),
       "InvalidOffset(\"b\")"},
      {"end before begin, empty", raw_file(obj(a4 + "," + ent("b", u8, "[0]", "[4,3]")), four),
       "InvalidOffset(\"b\")"},
      {"huge offsets", raw_file(obj(ent("a", u8, "[1]", "[" + max1 + "," + max + "]")), {1}),
       "InvalidOffset(\"a\")"},
      {"huge end", raw_file(obj(ent("a", u8, "[1]", "[0," + max + "]")), {1}),
       "TensorInvalidInfo"},
      {"name needing escapes", raw_file(obj(ent("q\\\"\\u0001'", u8, "[1]", "[1,2]")), {1, 2}),
       "InvalidOffset(\"q\\\"\\u{1}'\")"},
      {"size does not match", raw_file(obj(ent("a", f32, "[3]", "[0,8]")), eight),
       "TensorInvalidInfo"},
      {"element count overflows", raw_file(obj(ent("a", u8, "[4294967296,4294967296]", "[0,0]"))),
       "ValidationOverflow"},
      {"byte count overflows", raw_file(obj(ent("a", f32, "[4611686018427387904]", "[0,0]"))),
       "ValidationOverflow"},
      {"zero dimension hides an overflow",
       raw_file(obj(ent("a", f32, "[0,4294967296,4294967296]", "[0,0]"))), ""},
      {"data longer than the tensors", raw_file(obj(a4), Bytes(5)), "MetadataIncompleteBuffer"},
      {"data shorter than the tensors", raw_file(obj(a4), Bytes(3)), "MetadataIncompleteBuffer"},
      {"no tensors, stray data", raw_file("{}", Bytes(1)), "MetadataIncompleteBuffer"},
      {"no tensors", raw_file("{}"), ""},
      {"white space around", raw_file(" \t\r\n{} \n"), ""},
      {"null metadata", raw_file("{\"__metadata__\":null}"), ""},
      {"unknown fields of any kind",
       raw_file("{\"a\":{\"x\":{\"y\":[1,{\"z\":null}]},\"dtype\":\"F32\",\"w\":-1.5e3,"
                "\"shape\":[1],\"data_offsets\":[0,4],\"v\":\"s\",\"x\":true}}",
                four),
       ""},
      {"names out of offset order",
       raw_file(obj(ent("z", f32, "[1]", "[0,4]") + "," + ent("a", f32, "[1]", "[4,8]")), eight),
       ""},
      {"first in offset order reported",
       raw_file(obj(ent("z", f32, "[1]", "[4,8]") + "," + ent("a", f32, "[1]", "[9,13]")),
                Bytes(13)),
       "InvalidOffset(\"z\")"},
      {"name listed twice keeps the last",
       raw_file(obj(ent("a", f32, "[9]", "[0,36]") + "," + a4), four), ""},
      {"name listed twice, last one invalid",
       raw_file(obj(a4 + "," + ent("a", f32, "[1]", "[4,8]")), four), "InvalidOffset(\"a\")"},
  };
  TempDir td;
  for (const HeaderCase& c : cases) {
    EXPECT_EQ(open_error(td, c.file), c.expect) << c.what;
  }
}

TEST(SafeTensorsHeader, EveryTruncationIsRefusedWithTheRightVariant) {
  Bytes file = build_file({{"w", "F32", {2, 3}, as_bytes(std::vector<float>{1, 2, 3, 4, 5, 6})},
                           {"b", "F16", {3}, Bytes(6, 0x11)},
                           {"s", "I64", {}, Bytes(8, 0x22)}});
  uint64_t n = 0;
  for (int i = 7; i >= 0; --i) n = (n << 8) | file[i];
  TempDir td;
  ASSERT_EQ(open_error(td, file), "");
  for (size_t len = 0; len < file.size(); ++len) {
    Bytes cut(file.begin(), file.begin() + (long)len);
    const char* want = len < 8 ? "HeaderTooSmall"
                       : len < 8 + n ? "InvalidHeaderLength"
                                     : "MetadataIncompleteBuffer";
    EXPECT_EQ(open_error(td, cut), want) << "length " << len;
  }
  Bytes longer = file;
  longer.push_back(0);
  EXPECT_EQ(open_error(td, longer), "MetadataIncompleteBuffer");
}

// Random corruption of a valid file: each open either fails with an error value or yields a
// table whose every tensor can be read and lies inside the data section (run under the
// sanitizers this also proves that no byte outside the file is touched).
TEST(SafeTensorsHeader, CorruptedFilesNeverReadOutsideTheFile) {
  Bytes file = build_file({{"a.weight", "F32", {2, 2}, as_bytes(std::vector<float>{1, 2, 3, 4})},
                           {"a.bias", "BF16", {2}, Bytes(4, 0x3f)},
                           {"ids", "U16", {3}, Bytes(6, 0x01)},
                           {"z", "U8", {0}, {}}},
                          "{\"format\":\"pt\"}");
  TempDir td;
  std::mt19937 rng(7);
  int opened = 0, refused = 0;
  const uint8_t interesting[] = {'0', '9', '[', ']', '{', '}', '"', ',', ':', 0x80, 0xff, 0};
  for (int iter = 0; iter < 3000; ++iter) {
    Bytes f = file;
    int edits = 1 + (int)(rng() % 3);
    for (int e = 0; e < edits; ++e) {
      size_t pos = rng() % f.size();
      f[pos] = (rng() & 1) ? interesting[rng() % sizeof interesting] : (uint8_t)rng();
    }
    std::string p = td.write("c.safetensors", f);
    try {
      auto st = SafeTensorsFile::open(p);
      ++opened;
      for (const auto& [name, info] : st->tensors()) {
        ASSERT_LE(info.begin, info.end);
        ASSERT_LE(8 + info.end, f.size());
        try {
          Tensor t = st->load_as(info, DType::F32);
          ASSERT_EQ(t.shape(), info.shape);
        } catch (const Error& e) {
          std::string m = e.what();
          ASSERT_EQ(m.rfind("unsupported safetensor dtype ", 0), 0u) << m;
        }
      }
    } catch (const Error&) {
      ++refused;
    }
  }
  EXPECT_GT(refused, 0);
  EXPECT_GT(opened, 0);  // some edits hit tensor data or padding only
}

// ---- opening ------------------------------------------------------------------------------------

TEST(SafeTensorsOpen, SystemErrorsCarryThePathAndTheOsText) {
  TempDir td;
  std::string missing = td.dir() + "/nope.safetensors";
  struct Case {
    std::string path;
    std::string expect;
  } cases[] = {
      {missing, "path: \"" + missing + "\" No such file or directory (os error 2)"},
#ifdef __linux__
      // A directory opens but cannot be mapped.
      {td.dir(), "path: \"" + td.dir() + "\" No such device (os error 19)"},
#endif
      {missing + "/x", "path: \"" + missing + "/x\" No such file or directory (os error 2)"},
      {std::string("a\0b", 3), "path: \"a\\0b\" file name contained an unexpected NUL byte"},
  };
  for (const Case& c : cases) {
    try {
      SafeTensorsFile::open(c.path);
      ADD_FAILURE() << "opened " << c.path;
    } catch (const Error& e) {
      EXPECT_EQ(e.what(), c.expect);
    }
  }
  // Through the accessor the text is the same.
  try {
    VarBuilder::from_mmaped_safetensors(missing, DType::F32);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.what(), cases[0].expect);
  }
}

TEST(SafeTensorsOpen, PathsArePrintedAsDebugStrings) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"model.safetensors", "\"model.safetensors\""},
      {"q\"b\\s'", "\"q\\\"b\\\\s\\'\""},
      {"\n\r\t", "\"\\n\\r\\t\""},
      {std::string("\0", 1), "\"\\0\""},
      {"\x01\x1b\x7f", "\"\\u{1}\\u{1b}\\u{7f}\""},
      {"caf\xc3\xa9 \xe6\x97\xa5", "\"caf\xc3\xa9 \xe6\x97\xa5\""},       // printable text kept
      {"e\xcc\x81", "\"e\\u{301}\""},                                    // combining accent
      {"\xc2\x85\xc2\xad", "\"\\u{85}\\u{ad}\""},                        // C1 control, soft hyphen
      {"a\xff" "b\xc3", "\"a\\xFFb\\xC3\""},                             // not UTF-8
      {"\xed\xa0\x80", "\"\\xED\\xA0\\x80\""},                           // surrogate bytes
  };
  for (const Case& c : cases) EXPECT_EQ(debug_path(c.in), c.out);

  // A real file whose name needs escaping reports it so.
  TempDir td;
  std::string p = td.write("it's\"odd\".safetensors", raw_file("[]"));
  try {
    SafeTensorsFile::open(p);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.what(), "path: \"" + td.dir() + "/it\\'s\\\"odd\\\".safetensors\" "
                        "InvalidHeaderDeserialization");
  }
}

TEST(SafeTensorsOpen, MetadataAndTable) {
  TempDir td;
  std::string p = td.write("m.safetensors",
                           build_file({{"x", "U8", {2}, {5, 6}}, {"e", "F32", {0, 3}, {}},
                                       {"s", "F64", {}, as_bytes(std::vector<double>{2.5})}},
                                      "{\"format\":\"pt\",\"k\":\"\\u00e9\\n\",\"k\":\"last\"}"));
  auto st = SafeTensorsFile::open(p);
  ASSERT_TRUE(st->metadata().has_value());
  std::map<std::string, std::string> want = {{"format", "pt"}, {"k", "last"}};
  EXPECT_EQ(*st->metadata(), want);
  ASSERT_EQ(st->tensors().size(), 3u);
  const TensorInfo* x = st->find("x");
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->dtype_name, "U8");
  EXPECT_EQ(x->shape, (Shape{2}));
  EXPECT_EQ(st->data(*x)[1], 6);
  EXPECT_EQ(st->find("e")->shape, (Shape{0, 3}));
  EXPECT_EQ(st->find("s")->shape, Shape{});
  EXPECT_TRUE(st->contains("s"));
  EXPECT_FALSE(st->contains("S"));
  EXPECT_EQ(st->find("y"), nullptr);

  p = td.write("n.safetensors", raw_file("{\"__metadata__\":null}"));
  EXPECT_FALSE(SafeTensorsFile::open(p)->metadata().has_value());
}

// ---- dtypes and conversion ----------------------------------------------------------------------

TEST(SafeTensorsDtype, StoredTypesLoadAsTheLibraryReadsThem) {
  struct Case {
    const char* stored;
    Bytes bytes;
    DType loaded;
    std::vector<double> values;
  } cases[] = {
      {"U8", {0, 7, 255}, DType::U8, {0, 7, 255}},
      {"U16", as_bytes(std::vector<uint16_t>{0, 300, 65535}), DType::U32, {0, 300, 65535}},
      {"U32", as_bytes(std::vector<uint32_t>{1, 4000000000u, 9}), DType::U32, {1, 4e9, 9}},
      {"I32", as_bytes(std::vector<int32_t>{-5, 2147483647, -2147483647 - 1}), DType::I64,
       {-5, 2147483647.0, -2147483648.0}},
      {"I64", as_bytes(std::vector<int64_t>{-1, 1LL << 40, 3}), DType::I64,
       {-1, 1099511627776.0, 3}},
      {"F16", as_bytes(std::vector<uint16_t>{0x3c00, 0xc000, 0x7c00}), DType::F16,
       {1, -2, INFINITY}},
      {"BF16", as_bytes(std::vector<uint16_t>{0x3f80, 0x4049, 0xff80}), DType::BF16,
       {1, 3.140625, -INFINITY}},
      {"F32", as_bytes(std::vector<float>{0.5f, -0.0f, 1e30f}), DType::F32, {0.5, -0.0, 1e30f}},
      {"F64", as_bytes(std::vector<double>{0.1, -3, 1e300}), DType::F64, {0.1, -3, 1e300}},
  };
  TempDir td;
  std::vector<Entry> entries;
  for (const Case& c : cases) entries.push_back({c.stored, c.stored, {3}, c.bytes});
  auto st = SafeTensorsFile::open(td.write("d.safetensors", build_file(entries)));
  for (const Case& c : cases) {
    Tensor t = st->load(*st->find(c.stored));
    ASSERT_EQ(t.dtype(), c.loaded) << c.stored;
    ASSERT_EQ(t.shape(), Shape{3});
    for (size_t i = 0; i < 3; ++i) {
      double got;
      switch (t.dtype()) {
        case DType::U8: got = t.data<uint8_t>()[i]; break;
        case DType::U32: got = t.data<uint32_t>()[i]; break;
        case DType::I64: got = (double)t.data<int64_t>()[i]; break;
        case DType::F16: got = f16_to_f32(t.data<uint16_t>()[i]); break;
        case DType::BF16: got = bf16_to_f32(t.data<uint16_t>()[i]); break;
        case DType::F32: got = t.data<float>()[i]; break;
        default: got = t.data<double>()[i];
      }
      EXPECT_EQ(got, c.values[i]) << c.stored << "[" << i << "]";
      EXPECT_EQ(std::signbit(got), std::signbit(c.values[i])) << c.stored << "[" << i << "]";
    }
  }
}

TEST(SafeTensorsDtype, UnreadableTypesFailAfterLookupAndBeforeShape) {
  const char* names[] = {"BOOL", "I8", "F8_E5M2", "F8_E4M3", "I16", "U64"};
  TempDir td;
  std::vector<Entry> entries;
  for (const char* n : names) {
    StoredDType dt = StoredDType::U8;
    for (int k = 0; k <= (int)StoredDType::U64; ++k)
      if (std::string(stored_dtype_name((StoredDType)k)) == n) dt = (StoredDType)k;
    EXPECT_FALSE(loaded_dtype(dt).has_value()) << n;
    entries.push_back({std::string("t_") + n, n, {2}, Bytes(2 * stored_dtype_size(dt), 1)});
  }
  std::string path = td.write("u.safetensors", build_file(entries));
  VarBuilder vb = VarBuilder::from_mmaped_safetensors(path, DType::F32);
  for (const char* n : names) {
    std::string want = std::string("unsupported safetensor dtype ") + n;
    EXPECT_EQ(get_error(vb, {2}, std::string("t_") + n), want);
    EXPECT_EQ(get_error(vb, {7, 7}, std::string("t_") + n), want);  // dtype before shape
    EXPECT_TRUE(vb.contains_tensor(std::string("t_") + n));
  }
  EXPECT_EQ(get_error(vb, {2}, "t_x"), "cannot find tensor t_x");
}

// The direct conversion from the mapping must give what copying in the stored dtype and then
// converting gives, for every pair, including the parallel path of large tensors.
TEST(SafeTensorsDtype, DirectConversionEqualsCopyThenConvert) {
  std::mt19937 rng(3);
  auto random_bytes = [&](size_t n) {
    Bytes b(n);
    for (auto& x : b) x = (uint8_t)rng();
    return b;
  };
  const char* stored[] = {"U8", "U16", "U32", "I32", "I64", "F16", "BF16", "F32", "F64"};
  std::vector<Entry> entries;
  for (const char* s : stored) {
    StoredDType dt = StoredDType::U8;
    for (int k = 0; k <= (int)StoredDType::U64; ++k)
      if (std::string(stored_dtype_name((StoredDType)k)) == s) dt = (StoredDType)k;
    size_t es = stored_dtype_size(dt);
    entries.push_back({std::string("small_") + s, s, {3, 37}, random_bytes(111 * es)});
    entries.push_back({std::string("large_") + s, s, {300001}, random_bytes(300001 * es)});
  }
  TempDir td;
  auto st = SafeTensorsFile::open(td.write("c.safetensors", build_file(entries)));
  const DType targets[] = {DType::F32, DType::F16, DType::BF16, DType::F64, DType::U32, DType::I64,
                           DType::U8};
  for (const Entry& e : entries) {
    const TensorInfo* info = st->find(e.name);
    for (DType dt : targets) {
      Tensor ref = st->load(*info).to_dtype(dt);
      Tensor got = st->load_as(*info, dt);
      ASSERT_EQ(got.dtype(), dt);
      ASSERT_EQ(got.shape(), e.shape);
      size_t nbytes = got.elem_count() * dtype_size(dt);
      ASSERT_EQ(std::memcmp(ref.data<uint8_t>(), got.data<uint8_t>(), nbytes), 0)
          << e.name << " -> " << dtype_name(dt);
    }
  }
}

TEST(SafeTensorsDtype, ConversionRoundsOnceToNearestEven) {
  // Stored value -> expected F16 and BF16 bits under one round-to-nearest-even.
  struct F32Case {
    float v;
    uint16_t f16, bf16;
  } f32_cases[] = {
      {1.0f, 0x3c00, 0x3f80},
      {-2.0f, 0xc000, 0xc000},
      {65504.0f, 0x7bff, 0x4780},
      {65520.0f, 0x7c00, 0x4780},                 // rounds to infinity in F16
      {1.0f + 1.0f / 2048, 0x3c00, 0x3f80},       // F16 tie to even (down)
      {1.0f + 3.0f / 2048, 0x3c02, 0x3f80},       // F16 tie to even (up)
      {1.0f + 1.0f / 256, 0x3c04, 0x3f80},        // BF16 tie to even (down)
      {1.0f + 3.0f / 256, 0x3c0c, 0x3f82},        // BF16 tie to even (up)
      {5.960464477539063e-08f, 0x0001, 0x3380},   // smallest F16 subnormal
      {-0.0f, 0x8000, 0x8000},
  };
  std::vector<float> vals;
  for (const auto& c : f32_cases) vals.push_back(c.v);
  // F64 values whose correct F16 rounding differs from rounding through F32 first.
  std::vector<double> dvals = {1.0 + std::ldexp(1.0, -11) + std::ldexp(1.0, -40),
                               1.0 + std::ldexp(1.0, -8) + std::ldexp(1.0, -40)};
  TempDir td;
  VarBuilder f16 = VarBuilder::from_mmaped_safetensors(
      td.write("r.safetensors",
               build_file({{"f", "F32", {vals.size()}, as_bytes(vals)},
                           {"d", "F64", {dvals.size()}, as_bytes(dvals)}})),
      DType::F16);
  VarBuilder bf16 = VarBuilder::from_mmaped_safetensors(td.dir() + "/r.safetensors", DType::BF16);
  Tensor h = f16.get({vals.size()}, "f"), b = bf16.get({vals.size()}, "f");
  ASSERT_EQ(h.dtype(), DType::F16);
  ASSERT_EQ(b.dtype(), DType::BF16);
  for (size_t i = 0; i < vals.size(); ++i) {
    EXPECT_EQ(h.data<uint16_t>()[i], f32_cases[i].f16) << vals[i];
    EXPECT_EQ(b.data<uint16_t>()[i], f32_cases[i].bf16) << vals[i];
  }
  Tensor hd = f16.get({2}, "d"), bd = bf16.get({2}, "d");
  EXPECT_EQ(hd.data<uint16_t>()[0], 0x3c01);  // through F32 it would tie down to 0x3c00
  EXPECT_EQ(bd.data<uint16_t>()[1], 0x3f81);  // through F32 it would tie down to 0x3f80
}

// ---- the accessor -------------------------------------------------------------------------------

TEST(VarBuilderTest, PrefixesFormFullNames) {
  TempDir td;
  VarBuilder vb = VarBuilder::from_mmaped_safetensors(
      td.write("p.safetensors", build_file({{"x", "U8", {1}, {1}}})), DType::F32);
  struct Case {
    VarBuilder b;
    std::string name, full;
  } cases[] = {
      {vb, "weight", "weight"},
      {vb.pp("embed_tokens"), "weight", "embed_tokens.weight"},
      {vb.pp("layers.3").pp("mlp").pp("experts.12"), "bias", "layers.3.mlp.experts.12.bias"},
      {vb.pp("attn").pp("conv_q.conv"), "weight", "attn.conv_q.conv.weight"},
      {vb.pp(""), "w", ".w"},
      {vb.pp("a").pp(""), "", "a.."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.b.path(c.name), c.full);
    EXPECT_EQ(get_error(c.b, {1}, c.name), "cannot find tensor " + c.full);
    EXPECT_EQ(c.b.dtype(), DType::F32);
  }
  // pp leaves the builder it came from unchanged.
  VarBuilder a = vb.pp("a");
  a.pp("b");
  EXPECT_EQ(a.path("w"), "a.w");
}

TEST(VarBuilderTest, GetChecksInOrderAndCompareShapesExactly) {
  std::vector<float> w = {1, 2, 3, 4, 5, 6};
  TempDir td;
  VarBuilder vb = VarBuilder::from_mmaped_safetensors(
      td.write("g.safetensors",
               build_file({{"lm_head.weight", "F32", {2, 3}, as_bytes(w)},
                           {"layers.0.attn.dt_bias", "F16", {3}, Bytes(6, 0)},
                           {"scalar", "F32", {}, as_bytes(std::vector<float>{7})},
                           {"empty", "F32", {0, 4}, {}}})),
      DType::F32);
  VarBuilder head = vb.pp("lm_head");
  struct Case {
    const VarBuilder* b;
    Shape shape;
    std::string name, err;
  } cases[] = {
      {&head, {3, 2}, "weight",
       "shape mismatch for lm_head.weight, expected: [3, 2], got: [2, 3]"},
      {&head, {6}, "weight", "shape mismatch for lm_head.weight, expected: [6], got: [2, 3]"},
      {&head, {2, 3, 1}, "weight",
       "shape mismatch for lm_head.weight, expected: [2, 3, 1], got: [2, 3]"},
      {&head, {1, 2, 3}, "weight",
       "shape mismatch for lm_head.weight, expected: [1, 2, 3], got: [2, 3]"},
      {&vb, {1}, "scalar", "shape mismatch for scalar, expected: [1], got: []"},
      {&vb, {}, "empty", "shape mismatch for empty, expected: [], got: [0, 4]"},
      {&head, {2, 3}, "bias", "cannot find tensor lm_head.bias"},
      {&vb, {2, 3}, "lm_head.Weight", "cannot find tensor lm_head.Weight"},
      {&head, {2, 3}, "weight", ""},
      {&vb, {}, "scalar", ""},
      {&vb, {0, 4}, "empty", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(get_error(*c.b, c.shape, c.name), c.err) << c.name;

  Tensor t = head.get({2, 3}, "weight");
  EXPECT_EQ(t.to_f32_vec(), w);
  EXPECT_TRUE(t.is_contiguous());
  // A second fetch is a separate copy.
  Tensor t2 = head.get({2, 3}, "weight");
  EXPECT_FALSE(t.shares_storage(t2));
  EXPECT_EQ(t2.to_f32_vec(), w);

  // contains_tensor takes the full name and looks at the header only.
  EXPECT_TRUE(vb.contains_tensor("lm_head.weight"));
  EXPECT_TRUE(head.contains_tensor("lm_head.weight"));
  EXPECT_FALSE(head.contains_tensor("weight"));
  EXPECT_TRUE(vb.contains_tensor("layers.0.attn.dt_bias"));
  EXPECT_FALSE(vb.contains_tensor("layers.0.attn"));
  EXPECT_FALSE(vb.contains_tensor(""));

  // An accessor that never opened a file lists nothing.
  VarBuilder none;
  EXPECT_FALSE(none.contains_tensor("scalar"));
  EXPECT_EQ(get_error(none.pp("a"), {1}, "b"), "cannot find tensor a.b");
}

#ifdef __linux__
// The mapping stays while any handle lives and goes with the last one.
TEST(VarBuilderTest, MappingLivesAsLongAsTheLastHandle) {
  TempDir td;
  std::string p = td.write("life.safetensors",
                           build_file({{"x.w", "F32", {2}, as_bytes(std::vector<float>{3, 4})}}));
  auto mapped = [&] {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
      if (line.find(p) != std::string::npos) return true;
    return false;
  };
  ASSERT_FALSE(mapped());
  Tensor t;
  {
    VarBuilder child;
    {
      VarBuilder root = VarBuilder::from_mmaped_safetensors(p, DType::F32);
      EXPECT_TRUE(mapped());
      child = root.pp("x");
    }
    EXPECT_TRUE(mapped());
    t = child.get({2}, "w");
  }
  EXPECT_FALSE(mapped());
  EXPECT_EQ(t.to_f32_vec(), (std::vector<float>{3, 4}));  // the copy outlives the mapping
  // A file that fails validation leaves nothing mapped behind.
  td.write("bad.safetensors", raw_file("{}", Bytes(3)));
  EXPECT_THROW(SafeTensorsFile::open(td.dir() + "/bad.safetensors"), Error);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  bool left = false;
  while (std::getline(maps, line)) left |= line.find("bad.safetensors") != std::string::npos;
  EXPECT_FALSE(left);
}
#endif

// Unaligned data (odd header lengths put tensors at any address) reads correctly.
TEST(VarBuilderTest, UnalignedTensorsReadCorrectly) {
  std::vector<double> d = {1.5, -2.25, 1e-3};
  std::vector<float> f = {0.25f, 8.0f};
  for (size_t pad = 0; pad < 8; ++pad) {
    std::string h = "{\"p\":{\"dtype\":\"U8\",\"shape\":[" + std::to_string(pad) +
                    "],\"data_offsets\":[0," + std::to_string(pad) +
                    "]},\"d\":{\"dtype\":\"F64\",\"shape\":[3],\"data_offsets\":[" +
                    std::to_string(pad) + "," + std::to_string(pad + 24) +
                    "]},\"f\":{\"dtype\":\"F32\",\"shape\":[2],\"data_offsets\":[" +
                    std::to_string(pad + 24) + "," + std::to_string(pad + 32) + "]}}";
    h += std::string(pad % 3, ' ');
    Bytes data(pad, 9);
    Bytes db = as_bytes(d), fb = as_bytes(f);
    data.insert(data.end(), db.begin(), db.end());
    data.insert(data.end(), fb.begin(), fb.end());
    TempDir td;
    std::string path = td.write("a.safetensors", raw_file(h, data));
    VarBuilder vb = VarBuilder::from_mmaped_safetensors(path, DType::F32);
    EXPECT_EQ(vb.get({3}, "d").to_f32_vec(), (std::vector<float>{1.5f, -2.25f, 1e-3f})) << pad;
    EXPECT_EQ(vb.get({2}, "f").to_f32_vec(), f) << pad;
  }
}

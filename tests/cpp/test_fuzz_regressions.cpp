// Replays inputs of the safetensors fuzzer through its own checks (fuzz/safetensors_check.h):
// the committed seed files, inputs the fuzzer kept for reaching a new path, and values at the
// edges of 64-bit arithmetic that short random inputs rarely reach. Each must be accepted or
// refused with one of the reader's texts, and whatever is accepted must lie inside the file and
// load to the file's own bytes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "../../fuzz/loader_check.h"
#include "../../fuzz/safetensors_check.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes with_length(const std::string& header, const std::string& data = "", uint64_t len = 0,
                  bool explicit_len = false) {
  uint64_t n = explicit_len ? len : header.size();
  Bytes out;
  for (int i = 0; i < 8; ++i) out.push_back((uint8_t)(n >> (8 * i)));
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

Bytes literal(const char* s, size_t n) { return Bytes(s, s + n); }

// "" when the bytes open as a file, else the variant printed after "path: {path:?} ".
std::string open_outcome(const Bytes& b) {
  int fd = memfd_create("regression.safetensors", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, b.data(), b.size()), (ssize_t)b.size());
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  std::string outcome;
  try {
    tl::SafeTensorsFile::open(path);
  } catch (const tl::Error& e) {
    outcome = std::string(e.what()).substr(("path: " + tl::debug_path(path) + " ").size());
  }
  close(fd);
  return outcome;
}

std::string one(const std::string& dtype, const std::string& shape, const std::string& offsets) {
  return "{\"t\":{\"dtype\":\"" + dtype + "\",\"shape\":" + shape + ",\"data_offsets\":" + offsets +
         "}}";
}

std::filesystem::path seed_dir(const char* which) {
  return std::filesystem::path(__FILE__).parent_path() / ".." / ".." / "fuzz" / "seeds" / which;
}

Bytes read_file(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// How many of the loader's three dtypes load the bytes as the tiny model ("" when nothing broke).
std::pair<int, std::string> loads(const Bytes& b) {
  int n = -1;
  std::string broken =
      fuzz::with_file(b.data(), b.size(), [&](const std::string& p) { n = fuzz::load_and_run(p); });
  return {n, broken};
}

// Replaces every occurrence of `from` by `to` (same length, so no offset moves).
Bytes patched(Bytes b, const std::string& from, const std::string& to) {
  for (size_t i = 0; i + from.size() <= b.size(); ++i) {
    if (std::memcmp(b.data() + i, from.data(), from.size()) == 0) {
      std::memcpy(b.data() + i, to.data(), to.size());
    }
  }
  return b;
}

TEST(FuzzRegressions, CommittedSeedsPassEveryCheck) {
  namespace fs = std::filesystem;
  size_t seen = 0;
  for (const auto& entry : fs::directory_iterator(seed_dir("safetensors"))) {
    Bytes b = read_file(entry.path());
    EXPECT_EQ(fuzz::check_file(b.data(), b.size()), "") << entry.path();
    // Every prefix is a truncated file: refused with a reader text, never read past its end.
    for (size_t cut = 0; cut < b.size(); cut += 7) {
      EXPECT_EQ(fuzz::check_file(b.data(), cut), "") << entry.path() << " cut at " << cut;
    }
    ++seen;
  }
  EXPECT_GE(seen, 6u);
}

TEST(FuzzRegressions, ExtremeSizesAndOffsets) {
  const std::string max64 = "18446744073709551615";  // 2^64 - 1
  const std::vector<Bytes> inputs = {
      // Offsets at the top of the range: end - begin and the range order must not wrap.
      with_length(one("U8", "[1]", "[" + max64 + "," + max64 + "]"), "x"),
      with_length(one("U8", "[1]", "[" + max64 + ",0]"), "x"),
      with_length(one("U8", "[0]", "[0," + max64 + "]")),
      // Element counts whose product, or product times the element size, wraps 64 bits.
      with_length(one("F32", "[4294967296,4294967296]", "[0,0]")),
      with_length(one("F32", "[4611686018427387904]", "[0,0]")),
      with_length(one("F64", "[2305843009213693952,8]", "[0,0]")),
      // Zero-element tensors whose other sizes are huge: nothing to copy, nothing to overflow.
      with_length(one("F32", "[0," + max64 + "]", "[0,0]")),
      with_length(one("BF16", "[" + max64 + ",0,3]", "[0,0]")),
      with_length(one("U16", "[3037000500,3037000500,0]", "[0,0]")),
      // Length prefixes at and beyond the limits, with and without a body behind them.
      with_length("{}", "", UINT64_MAX, true),
      with_length("{}", "", 100'000'000, true),
      with_length("{}", "", 100'000'001, true),
      with_length("{}", "", 3, true),
      // A tensor ending exactly at the end of the file next to one that ends one byte past it.
      with_length("{\"a\":{\"dtype\":\"F16\",\"shape\":[1],\"data_offsets\":[0,2]},"
                  "\"b\":{\"dtype\":\"U8\",\"shape\":[2],\"data_offsets\":[2,4]}}",
                  "abc"),
      with_length(one("F32", "[2]", "[0,8]"), std::string("\0\0\xc0\x7f\x01\0\x80\xff", 8)),
  };
  for (size_t i = 0; i < inputs.size(); ++i) {
    EXPECT_EQ(fuzz::check_file(inputs[i].data(), inputs[i].size()), "") << "input " << i;
  }
}

// Short inputs the fuzzer kept while covering new paths of the header parser and the loaders;
// the public safetensors library accepts and refuses each of them the same way.
TEST(FuzzRegressions, FuzzerCorpusSamples) {
  static const struct {
    const char* bytes;
    size_t size;
    const char* refusal;  // the header variant named after the path, "" when the file opens
  } kInputs[] = {
      {"\020\377\377\377\377I32", 8, "HeaderTooLarge"},
      {"\020", 1, "HeaderTooSmall"},
      {"\010\000\000\000\000\000\000\000{}\000\000\000\000\340\337", 16, "InvalidHeader"},
      {"\000\000\000\000\000\000\000\000", 8, "InvalidHeaderDeserialization"},
      {" \001\000\000\000\000\000\000", 8, "InvalidHeaderLength"},
      {"p\000\000\000\000\000\000\000{\042s~~~~~~~~~~~\134u0000~~\134t0000~~~~~~~~~~~~~'n~~~"
       "~~~~~~~'n~~~\042:{\042dtype\042:\042U8\042,\042shape\042:[1,2],\042data_offsets\042:"
       "[30,32]}}\000",
       121, "InvalidOffset(\"s~~~~~~~~~~~\\0~~\\t0000~~~~~~~~~~~~~'n~~~~~~~~~~'n~~~\")"},
      {"\010\000\000\000\000\000\000\000{}      \315", 17, "MetadataIncompleteBuffer"},
      {"p\000\000\000\000\000\000\000{\042s\042:{\042dtype\042:\042F64\042,\042shape\042:[],"
       "\042data_offsets\042:[0,4]},\042z\042:{\042dtype\042:\042F32\042,\042shape\042:[0,4]"
       ",\042data_offsets\042:[4,4]}}    \000\000@@",
       124, "TensorInvalidInfo"},
      // opens: BF16,U8
      {"\225\000\000\000\000\000\000\000{\042__metdanullta_offsetx\042:{\042dtype\042:\042U8"
       "\042,\042shape\042:[1],\042data_offsets\042:[0,1]},\042layers.0.y\042:{\042dtype\042"
       ":\042BF16\042,\042shape\042:[2],\042data_offsets\042:[1,5],\042extra\042:[{}]}}\007"
       "\200\077\000\300",
       162, ""},
      // opens: F16,F32,F64,U8
      {"\020\001\000\000\000\000\000\000{\042__metadata__\042:{\042format\042:\042pt\042},"
       "\042d.f65\042:{\042dtype\042:\042F64\042,\042shape\042:[2],\042data_offsets\042:[0,1"
       "6]},\042c.i32\042:{\042dtype\042:\042F32\042,\042shape\042:[2],\042data_offsets\042:"
       "[16,24]},\042a.f16\042:{\042dtype\042:\042F16\042,\042shape\042:[3],\042data_offsets"
       "\042:[24,30]},\042c.u8\042:{\042dtype\042:\042U8\042,\042shape\042:[1,2],\042data_of"
       "fsets\042:[30,32]}}     \234u\000\210<\3447~\000ta__\042:{\042format\042:\042pt\377{"
       "\000\377",
       312, ""},
      // opens: F16,I32,U64,U8
      {"\020\001\000\000\000\000\000\000{\042__metadata__\042:{\042format\042:\042pt\042},"
       "\042d\323\21760\042:{\042dtype\042:\042U64\042,\042shape\042:[2],\042data_offsets"
       "\042:[0,16]},\042c.i32\042:{\042dtype\042:\042I32\042,\042shape\042:[2],\042data_off"
       "sets\042:[16,24]},\042a.f16\042:{\042dtype\042:\042F16\042,\042shape\042:[3],\042dat"
       "a_offsets\042:[24,30]},\042b.u8\042:{\042dtype\042:\042U8\042,\042shape\042:[1,2],"
       "\042data_offsets\042:[30,32]}}     \234u\000\210<\3447~\000\000\000\000@\000\000\000"
       "\371\377\377\377\377\377\377\177\000<\000\301\377{\000\377",
       312, ""},
      // opens: I16
      {"@\000\000\000\000\000\000\000{\042w\042:{\042dtype\042:\042I16\042,\042shape\042:[2,"
       "6],\042data_offsets\042:[0,24]}}       \000\000\000\377\377\377\014\077\000\000\000@"
       "\000\000@@\000\000\200@\000\000\240@",
       96, ""},
      // opens: I32,I64
      {"p\000\000\000\000\000\000\000{\042s\042:{\042dtype\042:\042I32\042,\042shape\042:[],"
       "\042data_offsets\042:[0,4]},\042r\042:{\042dtype\042:\042I64\042,\042shape\042:[0,4]"
       ",\042data_offsets\042:[4,4]}}    \000\000@@",
       124, ""},
      // Found by the fuzzer: a tensor name holding U+0000 (error texts that name it).
      {"\225\000\000\000\000\000\000\000{\042__metdanull\134u0000setx\042:{\042dtype\042:"
       "\042U8\042,\042shape\042:[1],\042data_offsets\042:[0,1]},\042layers.0.y\042:{\042dty"
       "pe\042:\042BF16\042,\042shape\042:[2],\042data_offsets\042:[1,5],\042extra\042:[{}]}"
       "}\007:\042I3", 162, ""},
  };
  for (const auto& in : kInputs) {
    Bytes b = literal(in.bytes, in.size);
    EXPECT_EQ(open_outcome(b), in.refusal);
    EXPECT_EQ(fuzz::check_file(b.data(), b.size()), "") << in.refusal;
  }
}

TEST(FuzzRegressions, LoaderSeedAndItsEdits) {
  const Bytes seed = read_file(seed_dir("loader") / "untied_f16");
  ASSERT_GT(seed.size(), 1000u);
  // The committed seed is a complete weight file for the tiny model, in every dtype.
  EXPECT_EQ(loads(seed), std::make_pair(3, std::string()));
  // Without "lm_head.weight" the head is tied to the embedding table (checked inside).
  EXPECT_EQ(loads(patched(seed, "lm_head.weight", "lm_head.weighx")),
            std::make_pair(3, std::string()));
  // Edits that break the file are refused with the accessor's texts, never loaded.
  for (const auto& [from, to] : std::vector<std::pair<std::string, std::string>>{
           {"\"F16\"", "\"I16\""},                  // unreadable dtype
           {"\"F16\"", "\"U8\" "},                  // element size no longer matches the byte range
           {"A_log", "A_loh"},                      // a required tensor missing
           {"\"shape\":[5,4]", "\"shape\":[4,5]"},  // embedding table transposed
       }) {
    EXPECT_EQ(loads(patched(seed, from, to)), std::make_pair(0, std::string())) << from;
  }
  // Truncated files.
  for (size_t cut = 0; cut < seed.size(); cut += 97) {
    Bytes b(seed.begin(), seed.begin() + cut);
    EXPECT_EQ(loads(b), std::make_pair(0, std::string())) << "cut at " << cut;
  }
}

}  // namespace

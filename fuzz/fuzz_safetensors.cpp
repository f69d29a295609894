// libFuzzer harness for the safetensors reader and the weight accessor: each input is a whole
// file; safetensors_check.h says what must hold. A broken check aborts, so libFuzzer keeps the
// input as a crash.
#include <cstdio>
#include <cstdlib>

#include "safetensors_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string broken = fuzz::check_file(data, size);
  if (!broken.empty()) {
    std::fprintf(stderr, "fuzz_safetensors: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}

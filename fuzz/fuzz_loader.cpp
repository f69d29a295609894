// libFuzzer harness for model loading: the fuzzed bytes are the weight file of the fixed tiny
// configuration in loader_check.h. A broken check aborts, so libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "loader_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string broken =
      fuzz::with_file(data, size, [](const std::string& path) { fuzz::load_and_run(path); });
  if (!broken.empty()) {
    std::fprintf(stderr, "fuzz_loader: %s\n", broken.c_str());
    std::abort();
  }
  return 0;
}

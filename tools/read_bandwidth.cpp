// Memory read bandwidth at a given thread count, the bound that decode speed is compared with:
//
//   read_bandwidth THREADS [MIB]      prints the best GB/s of several reads of a MIB buffer
//                                     (default 1024)
//
// Every thread sums its contiguous share of the buffer as eight equal parts read side by side,
// prefetching ahead in each, with integer adds (which vectorise without reassociating floats):
// one stream without prefetch reaches about half of this, and the reader has to be as good as the
// engine's products for the comparison to mean anything. Plain std::thread, independent of the
// library's own pool, so the figure does not depend on what is measured against it.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr size_t kStreams = 8;
constexpr size_t kLine = 8;  // uint64 words per cache line
volatile uint64_t g_sink;

// Runs body(t) on `threads` threads (t = 0 .. threads-1) and waits for all of them.
template <typename F>
void on_threads(size_t threads, const F& body) {
  std::vector<std::thread> pool;
  for (size_t t = 1; t < threads; ++t) pool.emplace_back(body, t);
  body(0);
  for (std::thread& th : pool) th.join();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: read_bandwidth THREADS [MIB]\n");
    return 2;
  }
  const size_t threads = std::max(1l, std::strtol(argv[1], nullptr, 10));
  const size_t mib = argc > 2 ? std::max(1l, std::strtol(argv[2], nullptr, 10)) : 1024;
  const size_t step = kStreams * kLine;
  const size_t n = (mib << 20) / sizeof(uint64_t) / step * step;
  auto* buf = static_cast<uint64_t*>(std::aligned_alloc(64, n * sizeof(uint64_t)));
  if (!buf) {
    std::fprintf(stderr, "cannot allocate %zu MiB\n", mib);
    return 1;
  }
  const size_t steps = n / step;
  auto share = [&](size_t t, size_t* lo, size_t* hi) {
    *lo = steps * t / threads * step;
    *hi = steps * (t + 1) / threads * step;
  };
  on_threads(threads, [&](size_t t) {  // first touch by the thread that reads the share
    size_t lo, hi;
    share(t, &lo, &hi);
    for (size_t i = lo; i < hi; ++i) buf[i] = i;
  });
  std::vector<uint64_t> sums(threads);
  double best = 1e30;
  for (int rep = 0; rep < 10; ++rep) {
    const auto t0 = std::chrono::steady_clock::now();
    on_threads(threads, [&](size_t t) {
      size_t lo, hi;
      share(t, &lo, &hi);
      const size_t q = (hi - lo) / kStreams;  // a multiple of kLine
      uint64_t acc[kStreams] = {};
      for (size_t i = 0; i < q; i += kLine)
        for (size_t s = 0; s < kStreams; ++s) {
          const uint64_t* p = buf + lo + s * q + i;
          __builtin_prefetch(p + 64);
          for (size_t j = 0; j < kLine; ++j) acc[s] += p[j];
        }
      uint64_t total = 0;
      for (size_t s = 0; s < kStreams; ++s) total += acc[s];
      sums[t] = total;
    });
    best = std::min(best,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    uint64_t total = 0;
    for (uint64_t s : sums) total += s;
    g_sink = total;
  }
  std::printf("%.2f\n", n * sizeof(uint64_t) / best / 1e9);
  std::free(buf);
  return 0;
}

// Times one token choice over a vocabulary of 151,936 random normal logits (standard deviation 1,
// and 4 for a peaked distribution): the seeded draw with the default settings, with top-k 50 +
// top-p 0.9, with top-p 0.9 alone, and the greedy choice. Prints the median and the fastest of
// many runs, in milliseconds.
//   bench_sampling [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "engine/sampling.h"

namespace {

constexpr size_t kVocab = 151936;

struct Stats {
  double median_ms, min_ms;
};

template <class F>
Stats time_runs(int runs, const std::vector<float>& logits, F&& choose) {
  std::vector<double> ms;
  std::vector<float> work;
  size_t sink = 0;
  for (int r = 0; r < runs; ++r) {
    work = logits;  // the choice works in place; restore the input outside the timed region
    auto t0 = std::chrono::steady_clock::now();
    sink += choose(work);
    auto t1 = std::chrono::steady_clock::now();
    ms.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
  }
  std::sort(ms.begin(), ms.end());
  if (sink == static_cast<size_t>(-1)) std::puts("");  // keep the results alive
  return {ms[ms.size() / 2], ms.front()};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 301;
  std::mt19937 gen(1234);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> logits(kVocab), peaked(kVocab);
  for (float& v : logits) v = normal(gen);
  for (float& v : peaked) v = 4.0f * normal(gen);

  engine::ChaCha12Rng rng = engine::ChaCha12Rng::seed_from_u64(42);
  struct Case {
    const char* name;
    size_t top_k;
    float top_p;
    const std::vector<float>* input;
  } cases[] = {{"sample defaults", 0, 1.0f, &logits},
               {"sample top_k 50 + top_p 0.9", 50, 0.9f, &logits},
               {"sample top_p 0.9 alone", 0, 0.9f, &logits},
               {"sample top_p 0.9, sd 4", 0, 0.9f, &peaked},
               {"sample top_k 5000", 5000, 1.0f, &logits}};
  std::printf("vocabulary %zu, %d runs each\n", kVocab, runs);
  for (const Case& c : cases) {
    Stats s = time_runs(runs, *c.input, [&](std::vector<float>& w) {
      return engine::sample_logits(w, c.top_k, rng, 1.0f, c.top_p);
    });
    std::printf("%-30s median %.4f ms  min %.4f ms\n", c.name, s.median_ms, s.min_ms);
  }
  Stats s = time_runs(runs, logits, [](std::vector<float>& w) { return engine::argmax(w); });
  std::printf("%-30s median %.4f ms  min %.4f ms\n", "greedy argmax", s.median_ms, s.min_ms);
  return 0;
}

// The worker pool: every index runs exactly once (nested calls and throwing blocks included), the
// lowest index's exception wins, and back-to-back jobs never mix up when workers wake late.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "tensor/parallel.h"

namespace parallel = tl::parallel;

namespace {

// Runs f at 1, 2 and 8 threads, then restores the pool size.
template <class F>
void at_thread_counts(const F& f) {
  const size_t saved = parallel::num_threads();
  for (size_t threads : {1, 2, 8}) {
    parallel::set_num_threads(threads);
    SCOPED_TRACE(std::to_string(threads) + " threads");
    f();
  }
  parallel::set_num_threads(saved);
}

}  // namespace

TEST(Parallel, EveryIndexOnceNestedAndThrowing) {
  at_thread_counts([] {
    for (size_t n : {1, 2, 7, 300}) {
      std::vector<std::atomic<int>> outer(n), inner(n * 5);
      parallel::run(n, [&](size_t i) {
        parallel::run(5, [&](size_t j) { inner[i * 5 + j].fetch_add(1); });
        outer[i].fetch_add(1);
      });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(outer[i].load(), 1) << n << " " << i;
      for (size_t i = 0; i < n * 5; ++i) ASSERT_EQ(inner[i].load(), 1) << n << " " << i;

      // Blocks 3, 10, 17, ... throw; all blocks still run and the lowest one's exception arrives.
      std::vector<std::atomic<int>> ran(n);
      try {
        parallel::run(n, [&](size_t i) {
          ran[i].fetch_add(1);
          if (i % 7 == 3) throw std::runtime_error(std::to_string(i));
        });
        EXPECT_LT(n, 4u) << "no exception";
      } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "3");
      }
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(ran[i].load(), 1) << n << " " << i;
    }
  });
}

// Thousands of short jobs in a row, with pauses between some of them so that workers fall asleep
// and wake while the caller has already finished the job alone and published the next. Each job
// owns a heap block freed right after the call: a worker touching a finished job's data would
// show up as a wrong count here or as a use after free under the address sanitizer.
TEST(Parallel, BackToBackJobsWithLateWorkers) {
  at_thread_counts([] {
    std::mt19937 rng(7);
    for (int job = 0; job < 3000; ++job) {
      const size_t n = 2 + rng() % 9;
      auto counts = std::make_unique<std::vector<std::atomic<int>>>(n);
      const int id = job;
      const unsigned slow = rng() % n;
      parallel::run(n, [&, id](size_t i) {
        if (i == slow && id % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
        (*counts)[i].fetch_add(id + 1);
      });
      for (size_t i = 0; i < n; ++i) ASSERT_EQ((*counts)[i].load(), id + 1) << job << " " << i;
      counts.reset();
      if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
    }
  });
}

TEST(Parallel, ThreadsFromEnvironment) {
  struct Case {
    const char *rayon, *rayon_rs, *omp;
    size_t want;
  };
  // 8 online processors.
  for (const Case& c : std::vector<Case>{{nullptr, nullptr, nullptr, 8},
                                         {"3", "5", "6", 3},
                                         {"+3", nullptr, nullptr, 3},
                                         {"0", "5", "6", 8},  // 0: the online processors
                                         {"x", "5", "6", 5},  // not a count: next variable
                                         {"-1", "", "6", 6},
                                         {" 2", "2x", "0", 8},
                                         {"99999999999999999999", nullptr, "4", 4},
                                         {nullptr, "0", "4", 8},
                                         {"100000", nullptr, nullptr, 8},  // online bound
                                         {"9", "2", nullptr, 8}}) {
    EXPECT_EQ(parallel::threads_from_env(c.rayon, c.rayon_rs, c.omp, 8), c.want)
        << (c.rayon ? c.rayon : "-") << " " << (c.rayon_rs ? c.rayon_rs : "-") << " "
        << (c.omp ? c.omp : "-");
  }
}

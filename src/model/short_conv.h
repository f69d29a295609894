// Causal depthwise convolution over time with a short kernel; causality comes from a carried
// tail of the last K-1 raw inputs (kept in the LayerCache by the caller).
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "tensor/tensor.h"
#include "tensor/var_builder.h"

namespace model {

struct ShortConv {
  tl::Tensor weight;  // (C, 1, K) in the model dtype; tap K-1 multiplies the newest input
  std::optional<tl::Tensor> bias;  // (C)
  size_t channels = 0;             // C
  size_t kernel_size = 0;          // K
  // f32 copies of the stored values laid out for loops over channels: taps (K, C) tap-major,
  // bias32 (C) or empty. Filled by from_tensors.
  std::vector<float> taps, bias32;

  // Fetches "weight" (C, 1, K), then "bias" (C) when `bias`. Refuses C == 0 or K == 0 with a
  // tl::Error before fetching anything.
  static ShortConv load(size_t channels, size_t kernel_size, bool bias, const tl::VarBuilder& vb);
  // Builds the convolution from a (C, 1, K) weight and an optional (C) bias of the same dtype.
  static ShortConv from_tensors(tl::Tensor weight, std::optional<tl::Tensor> bias);

  // x: T x C (token-major). prev_tail: C x (K-1) (channel-major, oldest first) or nullptr for
  // zeros. new_tail: C x (K-1), the last K-1 raw inputs after this call (may not alias prev_tail).
  // y: T x C, y[t][c] = bias[c] + sum_j w[c][j] * xc[c][t+j], rounded in the model dtype (the bias
  // add is a separate rounding step). No activation. y must not alias x.
  // Only channels [c0, c1) of y and new_tail are written (and of x and prev_tail read), so that
  // disjoint channel ranges can run on different threads.
  void forward(const float* x, size_t T, const float* prev_tail, float* new_tail, float* y,
               size_t c0 = 0, size_t c1 = SIZE_MAX) const;
};

}  // namespace model

#include "model/short_conv.h"

#include <algorithm>
#include <string>

#include "tensor/error.h"
#include "tensor/kernels.h"

namespace model {

ShortConv ShortConv::load(size_t channels, size_t kernel_size, bool bias,
                          const tl::VarBuilder& vb) {
  // A depthwise convolution needs one filter per channel and at least one tap; with K == 0 the
  // carried tail would have width -1. Refuse such a layer before touching the file.
  if (channels == 0 || kernel_size == 0)
    throw tl::Error("invalid short convolution " + vb.path("weight") + ": channels " +
                    std::to_string(channels) + " and kernel size " + std::to_string(kernel_size) +
                    " (both must be at least 1)");
  tl::Tensor w = vb.get({channels, 1, kernel_size}, "weight");
  std::optional<tl::Tensor> b;
  if (bias) b = vb.get({channels}, "bias");
  return from_tensors(std::move(w), std::move(b));
}

ShortConv ShortConv::from_tensors(tl::Tensor weight, std::optional<tl::Tensor> bias) {
  ShortConv sc;
  const tl::Shape& s = weight.shape();
  if (s.size() != 3 || s[1] != 1 || s[0] == 0 || s[2] == 0)
    throw tl::Error("invalid short convolution weight shape " + tl::shape_str(s));
  sc.channels = s[0];
  sc.kernel_size = s[2];
  const size_t C = sc.channels, K = sc.kernel_size;
  std::vector<float> w = weight.to_f32_vec();  // (C, K) row-major
  sc.taps.resize(K * C);
  for (size_t c = 0; c < C; ++c)
    for (size_t j = 0; j < K; ++j) sc.taps[j * C + c] = w[c * K + j];
  if (bias) {
    if (bias->shape() != tl::Shape{C})
      throw tl::Error("invalid short convolution bias shape " + tl::shape_str(bias->shape()));
    sc.bias32 = bias->to_f32_vec();
  }
  sc.weight = std::move(weight);
  sc.bias = std::move(bias);
  return sc;
}

void ShortConv::forward(const float* x, size_t T, const float* prev_tail, float* new_tail, float* y,
                        size_t c0, size_t c1) const {
  const size_t C = channels, K = kernel_size, W = K - 1;
  c1 = std::min(c1, C);
  if (c0 >= c1) return;
  const size_t nc = c1 - c0;
  const tl::DType d = weight.dtype();

  // The input sequence of this call is xc = [prev_tail (W columns) | x (T columns)]; column i of
  // xc is the tail's column i for i < W and token i - W of x otherwise.
  // New tail: columns T .. T+W-1 of xc (the last W raw inputs, oldest first).
  for (size_t i = 0; i < W; ++i) {
    const size_t col = T + i;
    if (col >= W) {
      const float* src = x + (col - W) * C;
      for (size_t c = c0; c < c1; ++c) new_tail[c * W + i] = src[c];
    } else if (prev_tail) {
      for (size_t c = c0; c < c1; ++c) new_tail[c * W + i] = prev_tail[c * W + col];
    } else {
      for (size_t c = c0; c < c1; ++c) new_tail[c * W + i] = 0.0f;
    }
  }

  // y[t] = sum over taps j of taps[j] * xc[t + j], accumulated in f32 in tap order, rounded once.
  for (size_t t = 0; t < T; ++t) {
    float* yr = y + t * C;
    for (size_t c = c0; c < c1; ++c) yr[c] = 0.0f;
    for (size_t j = 0; j < K; ++j) {
      const float* wj = taps.data() + j * C;
      const size_t col = t + j;
      if (col >= W) {
        const float* src = x + (col - W) * C;
        for (size_t c = c0; c < c1; ++c) yr[c] += wj[c] * src[c];
      } else if (prev_tail) {
        for (size_t c = c0; c < c1; ++c) yr[c] += wj[c] * prev_tail[c * W + col];
      } else {
        // The absent tail stands for zeros; keep the product so that a non-finite tap still
        // gives NaN as it would against a stored zero tail.
        for (size_t c = c0; c < c1; ++c) yr[c] += wj[c] * 0.0f;
      }
    }
    tl::kernels::round_to_dtype(yr + c0, nc, d);
    if (!bias32.empty()) {
      for (size_t c = c0; c < c1; ++c) yr[c] += bias32[c];
      tl::kernels::round_to_dtype(yr + c0, nc, d);
    }
  }
}

}  // namespace model

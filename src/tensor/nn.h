// Layer helpers over tensors: linear layer, embedding table, one-dimensional (grouped)
// convolution, and the softmax / sigmoid / silu activations. Errors are the tensor ops' own texts.
#pragma once
#include <cstddef>
#include <optional>

#include "tensor/ops.h"
#include "tensor/tensor.h"

namespace tl {

// y = x . weight^T (+ bias as a separate broadcast add, so F16 rounds twice).
// weight: (out, in); bias: (out). x of rank 4 (b1, b2, t, in) or rank 3 (b, t, in) multiplies the
// weight broadcast over its leading dimensions (no copy); any other rank multiplies weight^T
// directly, so rank 2 works and other ranks fail in matmul ("shape mismatch in matmul, ...").
struct Linear {
  Tensor weight;
  std::optional<Tensor> bias;
  Tensor forward(const Tensor& x) const;
};

// Row lookup: ids of any shape (U8, U32 or I64) -> ids.shape ++ [hidden_size]. Ids are flattened,
// gathered from dimension 0 of the table (index_select's texts), then reshaped.
struct Embedding {
  Tensor embeddings;  // (vocab, hidden_size)
  size_t hidden_size = 0;
  Tensor forward(const Tensor& ids) const;
};

struct Conv1dConfig {
  size_t padding = 0;
  size_t stride = 1;
  size_t dilation = 1;
  size_t groups = 1;
};

// Cross-correlation (no kernel flip) over x: (B, C_in, L) with weight (C_out, C_in / groups, K);
// y[b][o][t] = sum_{c, j} w[o][c][j] * x[b][g * C_in/groups + c][t * stride + j * dilation - pad]
// with g = o / (C_out / groups), out-of-range positions reading zero. L_out = (L + 2 pad -
// dilation (K - 1) - 1) / stride + 1, or 0 when the input is shorter than the kernel's span. The
// optional bias (C_out) is added afterwards as a broadcast add of bias reshaped to (1, C_out, 1).
// Depthwise convolution is groups == C_in == C_out with weight (C, 1, K).
// Accumulates in f32 (f64 for F64) and rounds once per output; BF16 gives "unsupported dtype BF16
// for op matmul" like every other matrix product.
struct Conv1d {
  Tensor weight;
  std::optional<Tensor> bias;
  Conv1dConfig config;
  Tensor forward(const Tensor& x) const;
};

// Softmax along dim: max_keepdim, broadcast_sub, exp, sum_keepdim, broadcast_div, each rounded
// in x's dtype (no wider type). Op name "softmax".
Tensor softmax(const Tensor& x, long dim);
// 1 / (exp(-v) + 1), rounding each step in x's dtype. (SiLU is tl::silu in ops.h.)
Tensor sigmoid(const Tensor& x);

}  // namespace tl

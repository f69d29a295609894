// SIMD kernels of single-token attention over a key/value cache: the query heads that share one
// kv head against a span of cached rows, reading each key and value row once for all of them.
// Highway with runtime dispatch, single-threaded (the caller splits positions over threads).
//
// Cached rows are strided: row j of a span starts at base + j * ld elements (ld = Hkv * D for the
// layout [pos][kv_head][D]). Stored rows are F32 or F16 bits (dt); anything else throws
// tl::Error "unsupported dtype <name> for op attention".
#pragma once
#include <cstddef>

#include "tensor/dtype.h"

namespace tl::kernels {

// G kv heads of width D, each shared by R query heads: query head h = g * R + r reads the
// elements [g * D, g * D + D) of every cached row.

// S[h * lds + j] = dot(Q[h * D .. h * D + D), K row j [g * D ..]) for h < G * R, j < n,
// accumulated in f32. Each score has the summation order of dot_row (one vector accumulator over
// the full vectors of the row, its lane sum, then the leftover elements in order) and so its bits.
void attn_scores(const float* Q, size_t G, size_t R, size_t D, const void* K, size_t ldk, DType dt,
                 size_t n, float* S, size_t lds);

// acc[h * D + c] += sum over j < n of P[h * ldp + j] * V row j [g * D + c] for h < G * R, c < D:
// per element one chain of multiply-adds in order of j (vector lanes fused where the target has
// FMA), so the result does not depend on how a caller cuts [0, n) into consecutive calls, nor on
// G or R.
void attn_values(const float* P, size_t ldp, size_t G, size_t R, const void* V, size_t ldv,
                 DType dt, size_t n, size_t D, float* acc);

}  // namespace tl::kernels

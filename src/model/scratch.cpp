#include "model/scratch.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace model {

namespace {

void* allocate(size_t bytes) {
  if (bytes >= Block::kMapBytes) {
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
  }
  void* p = std::malloc(bytes);
  if (!p) throw std::bad_alloc();
  return p;
}

void deallocate(void* p, size_t bytes) {
  if (!p) return;
  if (bytes >= Block::kMapBytes)
    munmap(p, bytes);
  else
    std::free(p);
}

}  // namespace

Block& Block::operator=(Block&& o) noexcept {
  if (this != &o) {
    release();
    p_ = o.p_, cap_ = o.cap_;
    o.p_ = nullptr, o.cap_ = 0;
  }
  return *this;
}

void Block::reserve(size_t bytes, size_t keep) {
  if (bytes <= cap_) return;
  const size_t grown = cap_ + cap_ / 2;
  const size_t want = std::max(bytes, grown >= cap_ ? grown : bytes);
  void* p = allocate(want);
  if (keep > 0 && p_) std::memcpy(p, p_, std::min(keep, cap_));
  deallocate(p_, cap_);
  p_ = p;
  cap_ = want;
}

void Block::release() {
  deallocate(p_, cap_);
  p_ = nullptr;
  cap_ = 0;
}

float* ScratchBuffer::get(size_t rows, size_t row_floats) {
  size_t n = 0, bytes = 0;
  if (__builtin_mul_overflow(rows, row_floats, &n) ||
      __builtin_mul_overflow(n, sizeof(float), &bytes))
    throw std::bad_alloc();
  row_floats_ = std::max(row_floats_, row_floats);
  asked_ = std::max(asked_, bytes);
  block_.reserve(std::max<size_t>(bytes, sizeof(float)));
  return block_.floats();
}

void ScratchBuffer::trim() {
  // Saturates: a row so wide that kKeepRows of them overflow keeps whatever it holds.
  size_t keep = 0;
  if (__builtin_mul_overflow(kKeepRows, row_floats_, &keep) ||
      __builtin_mul_overflow(keep, sizeof(float), &keep))
    return;
  if (asked_ > keep) {
    block_.release();
    asked_ = 0;
  }
}

void MlpScratch::trim() {
  gate.trim();
  up.trim();
}

void AttentionScratch::trim() {
  for (ScratchBuffer* b : {&qp, &k, &v, &q, &gate, &scores, &o, &acc, &keys, &values, &tiles})
    b->trim();
}

void DeltaNetScratch::trim() {
  for (ScratchBuffer* b : {&q_raw, &k_raw, &v_raw, &q, &k, &v, &g, &beta, &decay, &heads})
    b->trim();
}

void MoEScratch::trim() {
  for (ScratchBuffer* b :
       {&probs, &weights, &router32, &rows, &gate, &up, &act, &tiles, &ranked, &shared_out})
    b->trim();
}

void Scratch::trim() {
  for (ScratchBuffer* b : {&x, &h, &m, &rope}) b->trim();
  attn.trim();
  delta.trim();
  mlp.trim();
  moe.trim();
}

}  // namespace model

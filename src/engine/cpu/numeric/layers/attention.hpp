#pragma once
// Scaled dot-product attention, fused forward and backward: per head, query
// rows in blocks of kQueryBlock, keys in blocks of kKeyBlock (attention.cpp), with an online
// softmax, so no more than one block of scores exists at a time (never the
// whole L x S matrix). The forward pass keeps each row's log-sum-exp for the
// backward pass, which recomputes the blocks' probabilities from it.
//
// Note [summation order of attention]
// Per head (the leading axes, flattened) and query row i, in f32:
// * scores: s_ij = (q_i . k_j) * scale [+ mask_ij], the dot product in the
//   order of Note [summation order of products] over the head dimension;
//   a pair hidden by a Bool mask or by is_causal (j > i) scores -inf;
// * keys are taken in blocks of kKeyBlock (256) from j = 0, under is_causal
//   each cut after the last key the block's query rows (64 of them) see.
//   Per block, with m the running maximum (from -inf) and m' = max(m, the
//   block's maximum):
//   alpha = exp(m - m'), p_ij = exp(s_ij - m'), l = l * alpha + sum(p_i.)
//   (sum_run's order), o = o * alpha + P V (the block's product in the order
//   of products, then added elementwise); exp is the engine's;
// * y_i = o / l rounded once, and lse_i = m + log(l) kept. A row with every
//   pair hidden gives 0 (as PyTorch does; the unfused softmax gives NaN).
// * dropout (dropout_p > 0): p_ij enters o times 0 or 1 / (1 - dropout_p)
//   (Note [counter-based random numbers], word (head * L + i) * S + j), l
//   takes it undropped.
// Backward, with P_ij = exp(s_ij - lse_i) recomputed per block and
// D_i = sum(dy_i * y_i) (sum_run over the value dimension):
// dS = P * (dP - D_i) * scale with dP = dy V^T (times the dropout factor);
// dV_j = sum over query blocks (ascending) of P~^T dy, dK_j of dS^T Q,
// dQ_i = sum over key blocks (ascending) of dS K: each block's product in the
// order of products, added into an f32 sum from +0; each rounded once.
#include <cstdint>
#include <vector>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/random/philox.hpp"

namespace mirel {

// A [heads, rows, cols] operand read through strides: head h starts at head[h].
template <class T>
struct HeadOperand {
  const T* data;
  std::vector<std::ptrdiff_t> head;
  std::ptrdiff_t rs, cs;
};

// The mask, at [heads, L, S] through strides (0 on broadcast axes): a Bool
// mask keeps the pairs where it holds, a float mask is added to the scores.
template <class T>
struct AttentionMask {
  const bool* keep = nullptr;
  const T* add = nullptr;
  std::vector<std::ptrdiff_t> head;
  std::ptrdiff_t rs = 0, cs = 0;
};

struct AttentionConfig {
  std::size_t heads, l, s, e, ev;
  float scale;
  bool causal;
  double dropout_p;      // 0: no dropout
  PhiloxStream stream;   // dropout's words
};

// Where a [heads, rows, cols] result goes: row r of head h at data + head[h] +
// r * rs, its cols elements contiguous. Heads write disjoint elements.
template <class T>
struct HeadTarget {
  T* data;
  std::vector<std::ptrdiff_t> head;
  std::ptrdiff_t rs;
};

// Writes the result [heads, L, Ev] into out; returns the log-sum-exps [heads, L] when kept.
template <class T>
NdArray<float> attention_forward(const HeadOperand<T>& q, const HeadOperand<T>& k, const HeadOperand<T>& v,
                                 const AttentionMask<T>& mask, const AttentionConfig& c, const HeadTarget<T>& out,
                                 bool keep_lse);

// dy and y are the result's gradient and the result, [heads, L, Ev]; the
// gradients go to the targets given (null: not wanted).
template <class T>
void attention_backward(const HeadOperand<T>& dy, const HeadOperand<T>& y, const HeadOperand<T>& q,
                        const HeadOperand<T>& k, const HeadOperand<T>& v, const AttentionMask<T>& mask,
                        const AttentionConfig& c, const NdArray<float>& lse, const HeadTarget<T>* dq,
                        const HeadTarget<T>* dk, const HeadTarget<T>* dv);

}  // namespace mirel

// Whole matrices: the per-vector routines applied to every row of a matrix
// read in place, rows shared among threads (row_chunks.hpp). Row i of each
// result is what the per-vector routine gives for row i, whatever the
// number of threads. Nothing here touches the interpreter; `poll` is the
// caller's cancellation check, called from the calling thread only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "lsh/bulk/row_matrix.hpp"
#include "lsh/bulk/row_signer.hpp"
#include "lsh/bulk/signature_words.hpp"
#include "lsh/failure.hpp"

namespace zln::lsh {

// out: rows x cols binary32, C order; may be the input's own memory when the
// input is that very array.
void normalize_rows(const MatrixView& x, float* out, unsigned threads, CancelCheck poll);

// out: rows x 32 bytes of SHA-256.
void digest_rows(const MatrixView& x, unsigned char* out, unsigned threads, CancelCheck poll);

// out: rows x families x words (plan.words()) signature words.
void sign_rows(const MatrixView& x, const RowSigningPlan& plan, std::uint64_t* out, unsigned threads, CancelCheck poll);

// out: rows x families x layout.count band values.
void band_keys(const SignatureView& s, std::uint64_t digits, const BandLayout& layout, std::uint64_t* out,
               CancelCheck poll);

// out: rows x families texts of `digits` UCS-4 characters each.
void signature_texts(const SignatureView& s, std::uint64_t digits, char32_t* out, CancelCheck poll);

// out: rows x families distances (a and b of the same shape).
void hamming_rows(const SignatureView& a, const SignatureView& b, std::int64_t* out, CancelCheck poll);

// The dot product of two binary32 rows, summed in element order in binary64
// over the exact binary64 products, starting from +0.0 (so never -0.0).
// Both are written out, never fused into one multiply-add (the build's
// -ffp-contract=off).
double ordered_dot(const float* a, const float* b, std::size_t n) noexcept;

// out[k] = ordered_dot(row i[k], row j[k]) for k < i.count (j as long);
// every index already checked to lie in 0 .. x.rows-1. Pairs go four at a
// time through interleaved chains; `plain` takes them one by one through
// ordered_dot itself (the twin the tests compare against).
void pair_dots(const MatrixView& x, const IndexView& i, const IndexView& j, double* out, unsigned threads,
               CancelCheck poll, bool plain = false);

}  // namespace zln::lsh

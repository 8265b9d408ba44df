#include "lsh/bulk/bulk_rows.hpp"

#include <memory>
#include <vector>

#include "lsh/bulk/row_chunks.hpp"
#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"

namespace zln::lsh {

void normalize_rows(const MatrixView& x, float* out, unsigned threads, CancelCheck poll) {
    const std::size_t d = x.cols;
    run_row_chunks(
        x.rows, threads,
        [&]() -> RowRange {
            return [&x, out, d, row = std::vector<float>(d)](std::size_t begin, std::size_t end,
                                                             detail::WorkMeter&) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    // Read whole before writing: out may be the input itself.
                    x.row_as_float(i, row.data());
                    normalize_vector(row.data(), d, out + i * d);
                }
            };
        },
        poll);
}

void digest_rows(const MatrixView& x, unsigned char* out, unsigned threads, CancelCheck poll) {
    const std::size_t d = x.cols;
    run_row_chunks(
        x.rows, threads,
        [&]() -> RowRange {
            auto digester = std::make_shared<EmbeddingDigester>();
            return [&x, out, d, digester, row = std::vector<float>(d)](std::size_t begin, std::size_t end,
                                                                       detail::WorkMeter&) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    x.row_as_float(i, row.data());
                    if (i + 1 < end) x.prefetch_row(i + 1);
                    digester->digest(row.data(), d, out + 32 * i);
                }
            };
        },
        poll);
}

void sign_rows(const MatrixView& x, const RowSigningPlan& plan, std::uint64_t* out, unsigned threads,
               CancelCheck poll) {
    const std::size_t d = x.cols;
    const std::uint64_t F = plan.families, B = plan.bits, W = plan.words();
    run_row_chunks(
        x.rows, threads,
        [&]() -> RowRange {
            return [&x, &plan, out, d, F, B, W, row = std::vector<float>(d), bits = std::vector<std::uint8_t>(F * B),
                    cert = detail::CertifiedInput{}](std::size_t begin, std::size_t end,
                                                     detail::WorkMeter& meter) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    x.row_as_float(i, row.data());
                    if (i + 1 < end) x.prefetch_row(i + 1);
                    sign_row_bits(plan, row.data(), bits.data(), meter, cert);
                    for (std::uint64_t f = 0; f < F; ++f)
                        pack_signature_words(bits.data() + f * B, B, out + (i * F + f) * W);
                }
            };
        },
        poll);
}

void band_keys(const SignatureView& s, std::uint64_t digits, const BandLayout& layout, std::uint64_t* out,
               CancelCheck poll) {
    const std::size_t F = s.families, W = s.words;
    run_row_chunks(
        s.rows, 1,
        [&]() -> RowRange {
            return [&s, digits, layout, out, F, W, row = std::vector<std::uint64_t>(F * W)](
                       std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    s.row(i, row.data());
                    for (std::size_t f = 0; f < F; ++f) {
                        band_values(row.data() + f * W, digits, layout, out + (i * F + f) * layout.count);
                    }
                }
            };
        },
        poll);
}

void signature_texts(const SignatureView& s, std::uint64_t digits, char32_t* out, CancelCheck poll) {
    const std::size_t F = s.families, W = s.words;
    run_row_chunks(
        s.rows, 1,
        [&]() -> RowRange {
            return [&s, digits, out, F, W, row = std::vector<std::uint64_t>(F * W)](std::size_t begin, std::size_t end,
                                                                                    detail::WorkMeter&) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    s.row(i, row.data());
                    for (std::size_t f = 0; f < F; ++f)
                        signature_text(row.data() + f * W, digits, out + (i * F + f) * digits);
                }
            };
        },
        poll);
}

void hamming_rows(const SignatureView& a, const SignatureView& b, std::int64_t* out, CancelCheck poll) {
    const std::size_t F = a.families, W = a.words;
    run_row_chunks(
        a.rows, 1,
        [&]() -> RowRange {
            return [&a, &b, out, F, W, ra = std::vector<std::uint64_t>(F * W), rb = std::vector<std::uint64_t>(F * W)](
                       std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
                for (std::size_t i = begin; i < end; ++i) {
                    a.row(i, ra.data());
                    b.row(i, rb.data());
                    for (std::size_t f = 0; f < F; ++f) {
                        out[i * F + f] = static_cast<std::int64_t>(
                            words_hamming(ra.data() + f * W, rb.data() + f * W, W));
                    }
                }
            };
        },
        poll);
}

double ordered_dot(const float* a, const float* b, std::size_t n) noexcept {
    double acc = 0.0;
    for (std::size_t k = 0; k < n; ++k) {
        // Both products and sums in binary64; the build never fuses them.
        const double p = static_cast<double>(a[k]) * static_cast<double>(b[k]);
        acc = acc + p;
    }
    return acc;
}

namespace {

// Four dot products at once: four independent chains, each exactly the loop
// of ordered_dot, so the processor overlaps their additions.
void ordered_dots4(const float* const* a, const float* const* b, std::size_t n, double* out) noexcept {
    double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
    const float *a0 = a[0], *a1 = a[1], *a2 = a[2], *a3 = a[3];
    const float *b0 = b[0], *b1 = b[1], *b2 = b[2], *b3 = b[3];
    for (std::size_t k = 0; k < n; ++k) {
        s0 = s0 + static_cast<double>(a0[k]) * static_cast<double>(b0[k]);
        s1 = s1 + static_cast<double>(a1[k]) * static_cast<double>(b1[k]);
        s2 = s2 + static_cast<double>(a2[k]) * static_cast<double>(b2[k]);
        s3 = s3 + static_cast<double>(a3[k]) * static_cast<double>(b3[k]);
    }
    out[0] = s0;
    out[1] = s1;
    out[2] = s2;
    out[3] = s3;
}

// One worker's pairs: rows read in place where they are native binary32
// values side by side, else copied into scratch rows first.
class PairWorker {
public:
    PairWorker(const MatrixView& x, const IndexView& i, const IndexView& j, double* out, bool plain)
        : x_(x), i_(i), j_(j), out_(out), plain_(plain), scratch_(8 * x.cols) {}

    void operator()(std::size_t begin, std::size_t end, detail::WorkMeter&) {
        std::size_t k = begin;
        if (!plain_) {
            for (; k + 4 <= end; k += 4) {
                const float* a[4];
                const float* b[4];
                for (unsigned q = 0; q < 4; ++q) {
                    a[q] = row(static_cast<std::size_t>(i_[k + q]), 2 * q);
                    b[q] = row(static_cast<std::size_t>(j_[k + q]), 2 * q + 1);
                }
                ordered_dots4(a, b, x_.cols, out_ + k);
            }
        }
        for (; k < end; ++k) {
            const float* a = row(static_cast<std::size_t>(i_[k]), 0);
            const float* b = row(static_cast<std::size_t>(j_[k]), 1);
            out_[k] = ordered_dot(a, b, x_.cols);
        }
    }

private:
    const float* row(std::size_t r, std::size_t slot) {
        if (x_.row_is_native_float(r)) return reinterpret_cast<const float*>(x_.element(r, 0));
        float* dst = scratch_.data() + slot * x_.cols;
        x_.row_as_float(r, dst);
        return dst;
    }

    const MatrixView& x_;
    const IndexView& i_;
    const IndexView& j_;
    double* out_;
    bool plain_;
    std::vector<float> scratch_;
};

}  // namespace

void pair_dots(const MatrixView& x, const IndexView& i, const IndexView& j, double* out, unsigned threads,
               CancelCheck poll, bool plain) {
    run_row_chunks(
        i.count, threads,
        [&]() -> RowRange {
            return [worker = std::make_shared<PairWorker>(x, i, j, out, plain)](
                       std::size_t begin, std::size_t end, detail::WorkMeter& meter) { (*worker)(begin, end, meter); };
        },
        poll);
}

}  // namespace zln::lsh

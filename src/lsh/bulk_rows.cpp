#include "lsh/bulk_rows.hpp"

#include <vector>

#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/row_chunks.hpp"

namespace zln::lsh {

void normalize_rows(const MatrixView& x, float* out, unsigned threads, CancelCheck poll) {
    const std::size_t d = x.cols;
    run_row_chunks(x.rows, threads, [&]() -> RowRange {
        return [&x, out, d, row = std::vector<float>(d)](std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                // Read whole before writing: out may be the input itself.
                x.row_as_float(i, row.data());
                normalize_vector(row.data(), d, out + i * d);
            }
        };
    }, poll);
}

void digest_rows(const MatrixView& x, unsigned char* out, unsigned threads, CancelCheck poll) {
    const std::size_t d = x.cols;
    run_row_chunks(x.rows, threads, [&]() -> RowRange {
        auto digester = std::make_shared<EmbeddingDigester>();
        return [&x, out, d, digester, row = std::vector<float>(d)](std::size_t begin, std::size_t end,
                                                                  detail::WorkMeter&) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                x.row_as_float(i, row.data());
                digester->digest(row.data(), d, out + 32 * i);
            }
        };
    }, poll);
}

void sign_rows(const MatrixView& x, const RowSigningPlan& plan, std::uint64_t* out, unsigned threads,
               CancelCheck poll) {
    const std::size_t d = x.cols;
    const std::uint64_t F = plan.families, B = plan.bits, W = plan.words();
    run_row_chunks(x.rows, threads, [&]() -> RowRange {
        return [&x, &plan, out, d, F, B, W, row = std::vector<float>(d), bits = std::vector<std::uint8_t>(F * B)](
                   std::size_t begin, std::size_t end, detail::WorkMeter& meter) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                x.row_as_float(i, row.data());
                sign_row_bits(plan, row.data(), bits.data(), meter);
                for (std::uint64_t f = 0; f < F; ++f) pack_signature_words(bits.data() + f * B, B, out + (i * F + f) * W);
            }
        };
    }, poll);
}

void band_keys(const SignatureView& s, std::uint64_t digits, const BandLayout& layout, std::uint64_t* out,
               CancelCheck poll) {
    const std::size_t F = s.families, W = s.words;
    run_row_chunks(s.rows, 1, [&]() -> RowRange {
        return [&s, digits, layout, out, F, W, row = std::vector<std::uint64_t>(F * W)](
                   std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                s.row(i, row.data());
                for (std::size_t f = 0; f < F; ++f) {
                    band_values(row.data() + f * W, digits, layout, out + (i * F + f) * layout.count);
                }
            }
        };
    }, poll);
}

void signature_texts(const SignatureView& s, std::uint64_t digits, char32_t* out, CancelCheck poll) {
    const std::size_t F = s.families, W = s.words;
    run_row_chunks(s.rows, 1, [&]() -> RowRange {
        return [&s, digits, out, F, W, row = std::vector<std::uint64_t>(F * W)](std::size_t begin, std::size_t end,
                                                                               detail::WorkMeter&) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                s.row(i, row.data());
                for (std::size_t f = 0; f < F; ++f) signature_text(row.data() + f * W, digits, out + (i * F + f) * digits);
            }
        };
    }, poll);
}

void hamming_rows(const SignatureView& a, const SignatureView& b, std::int64_t* out, CancelCheck poll) {
    const std::size_t F = a.families, W = a.words;
    run_row_chunks(a.rows, 1, [&]() -> RowRange {
        return [&a, &b, out, F, W, ra = std::vector<std::uint64_t>(F * W), rb = std::vector<std::uint64_t>(F * W)](
                   std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
            for (std::size_t i = begin; i < end; ++i) {
                a.row(i, ra.data());
                b.row(i, rb.data());
                for (std::size_t f = 0; f < F; ++f) {
                    out[i * F + f] = static_cast<std::int64_t>(words_hamming(ra.data() + f * W, rb.data() + f * W, W));
                }
            }
        };
    }, poll);
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

void pair_dots(const MatrixView& x, const IndexView& i, const IndexView& j, double* out, unsigned threads,
               CancelCheck poll) {
    const std::size_t d = x.cols;
    run_row_chunks(i.count, threads, [&]() -> RowRange {
        return [&x, &i, &j, out, d, ra = std::vector<float>(d), rb = std::vector<float>(d)](
                   std::size_t begin, std::size_t end, detail::WorkMeter&) mutable {
            for (std::size_t k = begin; k < end; ++k) {
                x.row_as_float(static_cast<std::size_t>(i[k]), ra.data());
                x.row_as_float(static_cast<std::size_t>(j[k]), rb.data());
                out[k] = ordered_dot(ra.data(), rb.data(), d);
            }
        };
    }, poll);
}

}  // namespace zln::lsh

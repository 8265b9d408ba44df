#include "lsh/simhash.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>

#include "lsh/kernels/sign_mix.hpp"
#include "lsh/portable/overflow.hpp"
#include "lsh/portable/physical_memory.hpp"
#include "lsh/simhash/certified.hpp"
#include "lsh/simhash/certified_driver.hpp"
#include "lsh/simhash/paths.hpp"
#include "lsh/simhash/sign_cache.hpp"
#include "lsh/simhash/sign_rows.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh {

namespace {

using detail::best_exact_path;
using detail::concrete_path;
using detail::KernelTable;
using detail::WorkMeter;

constexpr std::uint64_t kFamilyLimit = std::uint64_t{1} << 57;
constexpr std::uint64_t kBitsLimit = std::uint64_t{1} << 63;

// Poll the cancellation check about every 2^20 scalar additions, or 2^23
// vector-lane additions (the block and certified kernels do those roughly
// eight times faster); both come to a few milliseconds at most.
constexpr std::uint64_t kScalarCheckInterval = std::uint64_t{1} << 20;
constexpr std::uint64_t kSimdCheckInterval = std::uint64_t{1} << 23;

struct BandShape {
    std::uint64_t chars;  // signature length H
    std::uint64_t chunk;  // characters per band
    std::uint64_t count;  // number of bands
};

BandShape band_shape(std::uint64_t hex_chars, std::uint64_t bands) noexcept {
    if (bands == 0) bands = 1;
    std::uint64_t chunk = hex_chars / bands;
    if (chunk == 0) chunk = 1;
    return {hex_chars, chunk, std::min(bands, hex_chars)};
}

std::uint64_t hex_length(std::uint64_t bits) noexcept { return bits / 4 + (bits % 4 != 0 ? 1 : 0); }

// Everything the call and the caller's result objects will hold at once:
// the records (signature plus band strings), the widened vector, one bit
// buffer and the interpreter's objects built from the records (record
// instance, signature text, band list and band texts). Deliberately rough;
// it only has to turn hopeless requests into a prompt bad_alloc.
std::uint64_t estimated_bytes(std::uint64_t families, std::uint64_t bits, std::uint64_t n,
                              const BandShape& s) noexcept {
    const std::uint64_t band_native = sat_mul(s.count, sat_add(sizeof(std::string), sat_add(s.chunk, 1)));
    const std::uint64_t record_native = sat_add(sat_add(sizeof(FamilyRecord), s.chars), band_native);
    const std::uint64_t band_python = sat_add(sat_mul(8, s.count), sat_mul(s.count, sat_add(s.chunk, 49)));
    const std::uint64_t record_python = sat_add(sat_add(64 + 49 + 56, s.chars), band_python);
    std::uint64_t total = sat_mul(families, sat_add(record_native, record_python));
    total = sat_add(total, bits);            // one family's bit buffer
    total = sat_add(total, sat_mul(n, 8));   // widened elements
    total = sat_add(total, sat_mul(n, 40));  // certified stages: integers and bit planes
    total = sat_add(total, 64 * sizeof(double) * 2);
    return total;
}

std::vector<FamilyRecord> compute(const float* v, std::size_t n, std::uint64_t families, std::uint64_t bits,
                                  std::uint64_t bands, SimhashPath path, CancelCheck cancel, const KernelTable& k) {
    const std::uint64_t blocks = bits / 64 + (bits % 64 != 0 ? 1 : 0);
    path = concrete_path(path, k, families, blocks, n);

    // Elements widened exactly to binary64 once, shared by every family
    // (the certified path widens them only if it sums some lanes in order).
    detail::Widened wide(v, n);

    // The certified path, unless the vector or the request rules it out, in
    // which case the fastest exact path takes the whole call.
    detail::CertifiedInput cert;
    path = detail::vector_path(path, best_exact_path(k, families, blocks, n),
                               detail::sign_rows_can_cover(families, blocks, n), cert, v, n, k);
    const bool certified = path == SimhashPath::Certified;
    WorkMeter meter(cancel, path == SimhashPath::Blocks || certified ? kSimdCheckInterval : kScalarCheckInterval);

    std::shared_ptr<const detail::SignRowCache> rows;       // our own snapshot
    std::shared_ptr<const detail::LookupIndexCache> index;  // likewise
    if (certified) {
        rows = detail::sign_rows_for(families, blocks, n, k.fill->fn, meter);
        if (k.lookup_stage()) index = detail::lookup_index_for(*rows, meter);
        detail::prepare_certified_stage1(cert, v, n, k, index != nullptr, meter);
    }
    detail::ExactFallback fallback{families, blocks, n, &k, nullptr};

    std::shared_ptr<const detail::SignCache> cache;  // our own snapshot
    if (n != 0 && !certified && path != SimhashPath::ScalarUncached) {
        cache = detail::sign_cache_for(families, blocks, n, k.fill->fn, meter);
    }

    const detail::CertifiedCall certified_call{v, n, wide, cert, rows.get(), index.get(), k, fallback, meter};

    std::vector<FamilyRecord> records;
    records.reserve(families);
    for (std::uint64_t f = 0; f < families; ++f) {
        std::vector<std::uint8_t> buffer(bits, 0);
        if (n != 0) detail::family_bits(path, certified_call, cache.get(), f, bits, buffer.data());
        FamilyRecord record;
        record.family = f;
        record.bits = bits;
        record.signature = bits_to_hex(buffer.data(), bits);
        std::vector<std::uint8_t>().swap(buffer);  // the bit buffer goes once the record is complete
        record.bands = split_bands(record.signature, bands);
        records.push_back(std::move(record));
        // Building the texts is work too: with an empty vector and many
        // families it is all the work there is.
        meter.add(bits + 64);
    }
    return records;
}

}  // namespace

int hyperplane_sign(std::uint64_t f, std::uint64_t b, std::uint64_t j) noexcept {
    return detail::sign_bit(f, b, j) != 0 ? 1 : -1;
}

std::string bits_to_hex(const std::uint8_t* bits, std::size_t count) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.resize(count / 4 + (count % 4 != 0 ? 1 : 0));
    // Full groups four bytes at a time: with w = b0 + b1 2^8 + b2 2^16 +
    // b3 2^24 (each 0 or 1), the product w * 0x08040201 has 8 b0 + 4 b1 +
    // 2 b2 + b3 in bits 24..27, and no byte below them carries (each stays
    // below 16).
    std::size_t i = 0, c = 0;
    char* dst = out.data();
    for (; i + 4 <= count; i += 4, ++c) {
        std::uint32_t w;
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(&w, bits + i, 4);  // one load; b0 lands in the low byte
        } else {
            w = bits[i] | bits[i + 1] << 8 | bits[i + 2] << 16 | static_cast<std::uint32_t>(bits[i + 3]) << 24;
        }
        dst[c] = kDigits[(((w & 0x01010101U) * 0x08040201U) >> 24) & 15U];
    }
    if (c < out.size()) {
        unsigned value = 0;
        for (unsigned k = 0; k < 4; ++k, ++i) {
            value = (value << 1) | (i < count ? (bits[i] & 1U) : 0U);  // missing low bits are 0
        }
        out[c] = kDigits[value];
    }
    return out;
}

std::vector<std::string> split_bands(std::string_view signature, std::uint64_t bands) {
    const BandShape s = band_shape(signature.size(), bands);
    std::vector<std::string> out;
    out.reserve(s.count);
    for (std::uint64_t i = 0; i < s.count; ++i) {
        out.emplace_back(signature.substr(i * s.chunk, s.chunk));
    }
    return out;
}

std::vector<FamilyRecord> simhash_lsh_multi(const float* v, std::size_t n, std::uint64_t families, std::uint64_t bits,
                                            std::uint64_t bands, SimhashPath path, CancelCheck cancel,
                                            const detail::KernelTable& kernels) {
    // Sizes that cannot even be represented for the record list and the bit
    // buffers, judged on the values as passed.
    if (families >= kFamilyLimit || bits >= kBitsLimit) ZLN_INTERNAL_FAILURE("capacity overflow");

    const std::uint64_t F = std::max<std::uint64_t>(families, 1);
    const std::uint64_t B = std::max<std::uint64_t>(bits, 64);
    const std::uint64_t K = std::max<std::uint64_t>(bands, 1);

    // Requests that could never fit fail now, before any hashing, instead of
    // after minutes of work or in the middle of building the results.
    const BandShape shape = band_shape(hex_length(B), K);
    if (estimated_bytes(F, B, n, shape) > physical_memory()) throw std::bad_alloc();
    if (B > SIZE_MAX || F > SIZE_MAX) throw std::bad_alloc();

    try {
        return compute(v, n, F, B, K, path, cancel, kernels);
    } catch (const std::length_error&) {
        throw std::bad_alloc();
    }
}

}  // namespace zln::lsh

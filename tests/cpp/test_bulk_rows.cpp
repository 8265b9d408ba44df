// The bulk layer of the core: the row signer against the known answers with
// every driver and kernel level, and the chunk runner's bookkeeping (every
// row exactly once at any thread count, stopping, failures).
#include <atomic>
#include <cmath>
#include <cstring>
#include <random>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "kernel_levels.hpp"
#include "known_answers.hpp"
#include "lsh/bulk/bulk_rows.hpp"
#include "lsh/bulk/row_chunks.hpp"
#include "lsh/simhash.hpp"

namespace {

std::string words_hex(const std::vector<std::uint64_t>& words, std::uint64_t digits) {
    std::string out(digits, '?');
    zln::lsh::signature_text(words.data(), digits, out.data());
    return out;
}

}  // namespace

TEST_CASE("row signer: known answers with every driver and kernel level") {
    const auto& k = zln_test::known_answers();
    // One scratch for every case, as a worker keeps it from row to row:
    // nothing of one vector may leak into the next.
    zln::lsh::detail::CertifiedInput scratch;
    for (const auto& c : k.simhash) {
        const auto& v = k.vectors.at(c.vector);
        const bool long_case = static_cast<double>(v.size()) * c.families * static_cast<double>(c.bits) > 1e7;
        for (const auto& p : zln_test::path_runs()) {
            if (long_case && p.path == zln::lsh::SimhashPath::ScalarUncached) continue;
            const auto plan = zln::lsh::plan_row_signing(v.size(), c.families, c.bits, p.path, {}, p.table);
            std::vector<std::uint8_t> bits(plan.families * plan.bits);
            zln::lsh::detail::WorkMeter meter({}, 1 << 20);
            zln::lsh::sign_row_bits(plan, v.data(), bits.data(), meter, scratch);
            bool same = plan.families == c.records.size();
            for (std::uint64_t f = 0; same && f < plan.families; ++f) {
                std::vector<std::uint64_t> words(plan.words());
                zln::lsh::pack_signature_words(bits.data() + f * plan.bits, plan.bits, words.data());
                same = words_hex(words, plan.hex_digits()) == c.records[f].signature;
            }
            if (!same)
                std::fprintf(stderr, "  row signer differs: %s F=%llu B=%llu %s\n", c.vector.c_str(),
                             static_cast<unsigned long long>(c.families), static_cast<unsigned long long>(c.bits),
                             p.name.c_str());
            CHECK(same);
        }
    }
}

TEST_CASE("chunk runner: every row once, at every thread count") {
    for (unsigned threads = 1; threads <= 4; ++threads) {
        const std::size_t rows = 20000;
        std::vector<std::atomic<int>> seen(rows);
        zln::lsh::run_row_chunks(rows, threads,
                                 [&]() -> zln::lsh::RowRange {
                                     return [&](std::size_t begin, std::size_t end, zln::lsh::detail::WorkMeter&) {
                                         for (std::size_t i = begin; i < end; ++i) {
                                             seen[i].fetch_add(1);
                                             volatile double spin = 0;  // about a microsecond per row: workers start
                                             for (int r = 0; r < 300; ++r) spin = spin + r;
                                         }
                                     };
                                 },
                                 {});
        bool once = true;
        for (auto& s : seen) once = once && s.load() == 1;
        CHECK(once);
    }
}

TEST_CASE("chunk runner: a stop request and a failing worker end the run") {
    bool interrupted = false;
    try {
        std::atomic<int> polls{0};
        auto poll = [](void* ctx) { return static_cast<std::atomic<int>*>(ctx)->fetch_add(1) >= 2; };
        zln::lsh::run_row_chunks(
            1u << 30, 2,
            [&]() -> zln::lsh::RowRange {
                return [](std::size_t, std::size_t, zln::lsh::detail::WorkMeter& meter) { meter.add(1 << 20); };
            },
            zln::CancelCheck{poll, &polls});
    } catch (const zln::Interrupted&) {
        interrupted = true;
    }
    CHECK(interrupted);

    bool failed = false;
    try {
        zln::lsh::run_row_chunks(100000, 3,
                                 [&]() -> zln::lsh::RowRange {
                                     return [](std::size_t begin, std::size_t, zln::lsh::detail::WorkMeter&) {
                                         if (begin > 5000) throw std::runtime_error("row failed");
                                         volatile double spin = 0;
                                         for (int r = 0; r < 3000; ++r) spin = spin + r;
                                     };
                                 },
                                 {});
    } catch (const std::runtime_error& e) {
        failed = std::string(e.what()) == "row failed";
    }
    CHECK(failed);
}

TEST_CASE("pair dots: four interleaved chains give the plain loop's bits") {
    std::mt19937_64 rng(42);
    std::normal_distribution<float> normal;
    std::uniform_real_distribution<float> exponent(-20.0f, 20.0f);
    for (std::size_t d : {0, 1, 3, 17, 300}) {
        const std::size_t rows = 40;
        // Magnitudes over forty binades: the order of the additions shows.
        std::vector<float> data(rows * d);
        for (auto& v : data) v = normal(rng) * std::exp2(exponent(rng));
        std::vector<std::int64_t> i(1003), j(1003);
        for (auto& v : i) v = static_cast<std::int64_t>(rng() % rows);
        for (auto& v : j) v = static_cast<std::int64_t>(rng() % rows);
        zln::lsh::MatrixView x;
        x.base = reinterpret_cast<const unsigned char*>(data.data());
        x.rows = rows;
        x.cols = d;
        x.row_stride = static_cast<std::ptrdiff_t>(d * sizeof(float));
        x.col_stride = sizeof(float);
        auto view = [](const std::vector<std::int64_t>& v) {
            zln::lsh::IndexView ix;
            ix.base = reinterpret_cast<const unsigned char*>(v.data());
            ix.count = v.size();
            ix.stride = 8;
            return ix;
        };
        const auto iv = view(i), jv = view(j);
        for (unsigned threads : {1u, 3u}) {
            std::vector<double> fast(i.size()), plain(i.size());
            zln::lsh::pair_dots(x, iv, jv, fast.data(), threads, {});
            zln::lsh::pair_dots(x, iv, jv, plain.data(), threads, {}, true);
            CHECK(std::memcmp(fast.data(), plain.data(), fast.size() * sizeof(double)) == 0);
        }
    }
}

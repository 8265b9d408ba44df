// The known-answer table on this machine: normalisation, signatures with
// every driver and every level of the kernel table, digests, cosines and
// distances. Each case runs in its own try block, so one failure is
// reported and the others still run.
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "check.hpp"
#include "cosine_policy.hpp"
#include "kernel_levels.hpp"
#include "known_answers.hpp"
#include "lsh/compare.hpp"
#include "lsh/digest.hpp"
#include "lsh/normalize.hpp"
#include "lsh/simhash.hpp"

namespace {

using zln_test::known_answers;

// Runs one case; an exception is a failure of that case alone.
void one_case(const std::string& what, const std::function<bool()>& body) {
    bool ok = false;
    try {
        ok = body();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "  %s: exception %s\n", what.c_str(), e.what());
    }
    if (!ok) std::fprintf(stderr, "  known answer differs: %s\n", what.c_str());
    CHECK(ok);
}

std::uint32_t bits_of(float x) {
    std::uint32_t b;
    std::memcpy(&b, &x, 4);
    return b;
}

}  // namespace

TEST_CASE("known answers: normalize_vector") {
    const auto& k = known_answers();
    CHECK(!k.normalize.empty());
    for (const auto& pair : k.normalize) {
        const std::string& in = pair.first;
        const std::string& want = pair.second;
        one_case("normalize " + in, [&] {
            const auto& v = k.vectors.at(in);
            const auto& expect = k.vectors.at(want);
            std::vector<float> out(v.size());
            zln::lsh::normalize_vector(v.data(), v.size(), out.data());
            for (std::size_t i = 0; i < v.size(); ++i) {
                if (bits_of(out[i]) != bits_of(expect[i])) return false;
            }
            return true;
        });
    }
}

TEST_CASE("known answers: signatures with every driver and kernel level") {
    const auto& k = known_answers();
    CHECK(!k.simhash.empty());
    const auto runs = zln_test::path_runs();
    for (const auto& c : k.simhash) {
        const auto& v = k.vectors.at(c.vector);
        // The plain uncached loop uses no kernel of the table; on the long
        // cases it would only add minutes under emulation.
        const bool long_case = static_cast<double>(v.size()) * static_cast<double>(c.families) *
                                   static_cast<double>(c.bits) >
                               1e7;
        for (const auto& p : runs) {
            if (long_case && p.path == zln::lsh::SimhashPath::ScalarUncached) continue;
            const std::string what = "simhash " + c.vector + " F=" + std::to_string(c.families) +
                                     " B=" + std::to_string(c.bits) + " K=" + std::to_string(c.bands) + " " + p.name;
            one_case(what, [&] {
                const auto got = zln::lsh::simhash_lsh_multi(v.data(), v.size(), c.families, c.bits, c.bands, p.path,
                                                             {}, p.table);
                if (got.size() != c.records.size()) return false;
                for (std::size_t f = 0; f < got.size(); ++f) {
                    const auto& want = c.records[f];
                    if (got[f].family != want.family || got[f].bits != want.bits ||
                        got[f].signature != want.signature || got[f].bands != want.bands) {
                        std::fprintf(stderr, "    family %zu: got %s\n", f, got[f].signature.c_str());
                        return false;
                    }
                }
                return true;
            });
        }
    }
}

TEST_CASE("known answers: digests, cosines, distances") {
    const auto& k = known_answers();
    CHECK(!k.digest.empty() && !k.cosine.empty() && !k.hamming.empty());
    for (const auto& pair : k.digest) {
        const std::string& vid = pair.first;
        const std::string& want = pair.second;
        one_case("digest " + vid, [&] {
            const auto& v = k.vectors.at(vid);
            return zln::lsh::compute_embedding_sha256(v.data(), v.size()) == want;
        });
    }
    if (!zln_test::skip_cosines("known answers: cosine rows")) {
        for (const auto& c : k.cosine) {
            one_case("cosine " + std::to_string(c.d) + "/" + std::to_string(c.t), [&] {
                double want;
                std::memcpy(&want, &c.bits, 8);
                return zln_test::cosine_agrees(zln::lsh::cosine_from_hamming(c.d, c.t), want);
            });
        }
    }
    for (const auto& h : k.hamming) {
        one_case("hamming '" + h.a + "' '" + h.b + "'", [&] {
            try {
                return std::to_string(zln::lsh::hamming_distance_hex(h.a, h.b)) == h.result;
            } catch (const zln::InternalFailure&) {
                return h.result == "panic";
            }
        });
    }
}

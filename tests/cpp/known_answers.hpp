// The committed known-answer table (tests/data/known_answers.txt, written
// by tests/support/gen_known_answers.py from the pure-Python model), parsed.
#pragma once

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace zln_test {

struct KnownFamily {
    std::uint64_t family = 0, bits = 0;
    std::string signature;
    std::vector<std::string> bands;
};

struct KnownSimhash {
    std::string vector;
    std::uint64_t families = 0, bits = 0, bands = 0;
    std::vector<KnownFamily> records;
};

struct KnownAnswers {
    std::map<std::string, std::vector<float>> vectors;
    std::vector<std::pair<std::string, std::string>> normalize;  // input, result
    std::vector<KnownSimhash> simhash;
    std::vector<std::pair<std::string, std::string>> digest;  // vector, sha256
    struct Cosine {
        std::uint64_t d, t, bits;
    };
    std::vector<Cosine> cosine;
    struct Hamming {
        std::string a, b, result;
    };
    std::vector<Hamming> hamming;
};

inline std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> out;
    std::string part;
    std::istringstream in(s);
    while (std::getline(in, part, sep)) out.push_back(part);
    return out;
}

inline std::string unhex_text(const std::string& field) {
    if (field.rfind("x:", 0) != 0) throw std::runtime_error("bad text field " + field);
    std::string out;
    for (std::size_t i = 2; i + 1 < field.size(); i += 2) {
        out.push_back(static_cast<char>(std::stoul(field.substr(i, 2), nullptr, 16)));
    }
    return out;
}

inline const KnownAnswers& known_answers() {
    static const KnownAnswers table = [] {
        KnownAnswers k;
        std::ifstream in(ZLN_KNOWN_ANSWERS_FILE);
        if (!in) throw std::runtime_error("cannot read " ZLN_KNOWN_ANSWERS_FILE);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#') continue;
            const auto f = split(line, ' ');
            const std::string& kind = f[0];
            if (kind == "vector") {
                std::vector<float> v;
                for (std::size_t i = 3; i < f.size(); ++i) {
                    const auto bits = static_cast<std::uint32_t>(std::stoul(f[i], nullptr, 16));
                    float x;
                    std::memcpy(&x, &bits, 4);
                    v.push_back(x);
                }
                if (v.size() != std::stoul(f[2])) throw std::runtime_error("vector length " + f[1]);
                k.vectors[f[1]] = v;
            } else if (kind == "normalize") {
                k.normalize.emplace_back(f[1], f[2]);
            } else if (kind == "simhash") {
                k.simhash.push_back({f[1], std::stoull(f[2]), std::stoull(f[3]), std::stoull(f[4]), {}});
            } else if (kind == "family") {
                KnownFamily r{std::stoull(f[1]), std::stoull(f[2]), f[3], {}};
                if (f.size() > 4) r.bands = split(f[4], ',');
                k.simhash.back().records.push_back(r);
            } else if (kind == "digest") {
                k.digest.emplace_back(f[1], f[2]);
            } else if (kind == "cosine") {
                k.cosine.push_back({std::stoull(f[1]), std::stoull(f[2]), std::stoull(f[3], nullptr, 16)});
            } else if (kind == "hamming") {
                k.hamming.push_back({unhex_text(f[1]), unhex_text(f[2]), f[3]});
            } else {
                throw std::runtime_error("unknown record " + kind);
            }
        }
        return k;
    }();
    return table;
}

}  // namespace zln_test

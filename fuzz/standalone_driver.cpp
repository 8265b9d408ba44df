// A stand-in for libFuzzer's driver when clang's fuzzer runtime is missing:
// replays every file of the given corpus directories (or files), then runs
// randomly mutated corpus entries until the time budget is spent. Not
// coverage-guided; it keeps the targets and their regression inputs
// exercised by any C++ compiler. A failing input is written to
// crash-<n> in the current directory (or -artifact_prefix=) before the
// process dies.
//   standalone_driver [-max_total_time=S] [-seed=N] [-artifact_prefix=P] PATH...
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

std::vector<std::uint8_t> g_current;
std::string g_prefix = "./";

void on_fatal(int sig) {
    const std::string path = g_prefix + "crash-standalone";
    if (FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(g_current.data(), 1, g_current.size(), f);
        std::fclose(f);
        std::fprintf(stderr, "==standalone driver== signal %d; input written to %s\n", sig, path.c_str());
    }
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

bool read_file(const std::string& path, std::vector<std::uint8_t>& out) {
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    out.clear();
    std::uint8_t buf[4096];
    std::size_t got;
    while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) out.insert(out.end(), buf, buf + got);
    std::fclose(f);
    return true;
}

void collect(const std::string& path, std::vector<std::vector<std::uint8_t>>& corpus) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        DIR* d = opendir(path.c_str());
        if (!d) return;
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.') continue;
            collect(path + "/" + e->d_name, corpus);
        }
        closedir(d);
    } else {
        std::vector<std::uint8_t> data;
        if (read_file(path, data)) corpus.push_back(std::move(data));
    }
}

void run(const std::vector<std::uint8_t>& data) {
    g_current = data;
    LLVMFuzzerTestOneInput(g_current.data(), g_current.size());
}

}  // namespace

int main(int argc, char** argv) {
    double budget = 10;
    std::uint64_t seed = 12345;
    std::vector<std::vector<std::uint8_t>> corpus;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a.rfind("-max_total_time=", 0) == 0)
            budget = std::atof(a.c_str() + 16);
        else if (a.rfind("-seed=", 0) == 0)
            seed = std::strtoull(a.c_str() + 6, nullptr, 10);
        else if (a.rfind("-artifact_prefix=", 0) == 0)
            g_prefix = a.substr(17);
        else if (a[0] != '-')
            collect(a, corpus);
    }
    std::signal(SIGABRT, on_fatal);
    std::signal(SIGSEGV, on_fatal);
    std::signal(SIGFPE, on_fatal);

    const auto start = std::chrono::steady_clock::now();
    std::uint64_t runs = 0;
    for (const auto& c : corpus) {
        run(c);
        ++runs;
    }
    std::fprintf(stderr, "standalone driver: replayed %zu inputs\n", corpus.size());

    std::mt19937_64 rng(seed);
    if (corpus.empty()) corpus.push_back({});
    std::vector<std::uint8_t> input;
    for (;;) {
        if ((runs & 63) == 0) {
            const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (spent >= budget) break;
        }
        input = corpus[rng() % corpus.size()];
        const unsigned edits = 1 + rng() % 8;
        for (unsigned k = 0; k < edits; ++k) {
            switch (rng() % 5) {
                case 0:
                    if (!input.empty()) input[rng() % input.size()] = static_cast<std::uint8_t>(rng());
                    break;
                case 1:
                    if (!input.empty()) input[rng() % input.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
                    break;
                case 2:
                    if (input.size() < 4096)
                        input.insert(input.begin() + static_cast<long>(input.empty() ? 0 : rng() % input.size()),
                                     static_cast<std::uint8_t>(rng()));
                    break;
                case 3:
                    if (!input.empty()) input.erase(input.begin() + static_cast<long>(rng() % input.size()));
                    break;
                default: {
                    const std::size_t n = rng() % 256;
                    input.resize(n);
                    for (auto& b : input) b = static_cast<std::uint8_t>(rng());
                }
            }
        }
        run(input);
        ++runs;
    }
    const double spent = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "Done %llu runs in %.0f second(s)\n", static_cast<unsigned long long>(runs), spent);
    return 0;
}

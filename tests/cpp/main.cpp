#include <chrono>
#include <cstring>
#include <exception>
#include <fstream>
#include <set>
#include <string>

#include "check.hpp"
#include "kernel_levels.hpp"

// Runs every registered case, or those whose name contains the first
// argument that is not an option. --kernels=LEVEL narrows every kernel table
// the cases build to that level (generic, popcnt, avx2, ..., neon);
// --list-kernel-levels prints the levels this build knows, one a line;
// --list-cpu-kernel-levels those of them this CPU tells apart (a level whose
// capabilities it lacks gives the table of the level below).
// --one-level=LEVEL narrows to LEVEL like --kernels and tests only what it
// adds to the level below (kernel_levels.hpp), for runs side by side.
// A case that builds no kernel table runs the same way at every level: its
// line ends "[any level]", and --skip-listed=FILE (exact names, one a line)
// leaves such cases out of a run at another level.
namespace kt = zln::lsh::detail;

int main(int argc, char** argv) {
    const char* filter = nullptr;
    std::set<std::string> skipped;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--list-kernel-levels") {
            for (const auto& l : kt::kernel_levels()) std::printf("%s\n", l.name);
            return 0;
        }
        if (arg == "--list-cpu-kernel-levels") {
            kt::Capabilities last = 0;
            bool first = true;
            for (const auto& l : kt::kernel_levels()) {
                const kt::Capabilities allowed = kt::make_kernel_table(l.mask).allowed;
                if (first || allowed != last) std::printf("%s\n", l.name);
                first = false;
                last = allowed;
            }
            return 0;
        }
        if (arg.rfind("--skip-listed=", 0) == 0) {
            std::ifstream list(arg.substr(14));
            if (!list) {
                std::fprintf(stderr, "cannot read %s\n", arg.c_str() + 14);
                return 2;
            }
            for (std::string name; std::getline(list, name);) {
                if (!name.empty() && name.back() == '\r') name.pop_back();
                if (!name.empty()) skipped.insert(name);
            }
            continue;
        }
        const bool one = arg.rfind("--one-level=", 0) == 0;
        if (one || arg.rfind("--kernels=", 0) == 0) {
            const std::string level = arg.substr(one ? 12 : 10);
            bool known = false;
            const kt::KernelLevel* below = nullptr;
            for (const auto& l : kt::kernel_levels()) {
                if (level == l.name) {
                    zln_test::harness_mask() = l.mask;
                    known = true;
                    zln_test::one_level_run() = one;
                    if (one && below != nullptr) zln_test::harness_floor() = kt::make_kernel_table(below->mask).allowed;
                    break;
                }
                below = &l;
            }
            if (!known) {
                std::fprintf(stderr, "unknown kernel level: %s\n", level.c_str());
                return 2;
            }
        } else {
            filter = argv[i];
        }
    }
    const auto levels = zln_test::kernel_levels();
    std::printf("kernel levels:");
    for (const auto& l : levels) std::printf(" %s", l.name.c_str());
    std::printf("\n");
    int run = 0;
    for (const auto& c : zln_test::registry()) {
        if (filter != nullptr && std::strstr(c.name, filter) == nullptr) continue;
        if (skipped.count(c.name) != 0) continue;
        int before = zln_test::failures();
        zln_test::mask_reads() = 0;
        const auto start = std::chrono::steady_clock::now();
        try {
            c.body();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "%s: uncaught exception: %s\n", c.name, e.what());
            ++zln_test::failures();
        }
        ++run;
        const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        std::printf("%s %s (%.0f ms)%s\n", zln_test::failures() == before ? "ok  " : "FAIL", c.name, ms,
                    zln_test::mask_reads() == 0 ? " [any level]" : "");
    }
    std::printf("%d cases, %d failed checks\n", run, zln_test::failures());
    return zln_test::failures() == 0 ? 0 : 1;
}

// What the harness runs the drivers and kernels with: every narrowing of the
// kernel table this CPU supports, within the harness's own mask (main.cpp's
// --kernels=LEVEL narrows it, e.g. to what a CPU without vector extensions
// gets).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "lsh/kernels/kernel_table.hpp"
#include "lsh/simhash.hpp"

namespace zln_test {

namespace kt = zln::lsh::detail;

// How often the mask was read: a case that never reads it runs the same way
// at every --kernels level (main.cpp marks it so).
inline int& mask_reads() {
    static int reads = 0;
    return reads;
}

inline kt::Capabilities& harness_mask() {
    ++mask_reads();
    static kt::Capabilities mask = kt::kCapAll;
    return mask;
}

// --one-level=LEVEL (main.cpp) sets this to what the level below LEVEL allows
// on this CPU, or to nothing at the generic level: a run then tests only
// what LEVEL adds, its own table and the entries that need one of its
// capabilities, so runs at every level side by side test each level once
// (a run at --kernels=LEVEL repeats every level below it).
inline std::optional<kt::Capabilities>& harness_floor() {
    static std::optional<kt::Capabilities> floor;
    return floor;
}

// Whether --one-level was given.
inline bool& one_level_run() {
    static bool on = false;
    return on;
}

struct Level {
    std::string name;
    kt::KernelTable table;
};

// The generic lookup sums marked as if they were the vector ones, so that
// the certified driver runs its lookup stage on the generic twins.
inline constexpr kt::KernelEntry<kt::LookupSums> kForcedGenericLookup{"generic, forced", kt::kCapNone,
                                                                      kt::kTraitVectorLookup, &kt::lookup_sums_generic};

// The generic table with the lookup stage forced.
inline kt::KernelTable forced_generic_lookup_table() {
    kt::KernelTable forced = kt::make_kernel_table(kt::kCapNone);
    forced.lookup_sums = &kForcedGenericLookup;
    return forced;
}

// One table per level, skipping levels that allow nothing more than the one
// before on this CPU (so an AVX2-only machine tests no "avx512" twice), and
// the generic level with the lookup stage forced.
inline std::vector<Level> kernel_levels() {
    std::vector<Level> out;
    for (const auto& level : kt::kernel_levels()) {
        const kt::KernelTable t = kt::make_kernel_table(level.mask & harness_mask());
        if (!out.empty() && out.back().table.allowed == t.allowed) continue;
        out.push_back({level.name, t});
    }
    out.push_back({"generic+lookup", forced_generic_lookup_table()});
    if (one_level_run()) {
        // Only the levels that allow more than the floor (at the generic
        // level, no floor: generic and generic+lookup).
        std::vector<Level> own;
        for (Level& l : out) {
            if (!harness_floor() || (l.table.allowed & ~*harness_floor()) != 0) own.push_back(std::move(l));
        }
        return own;
    }
    return out;
}

// The widest table the harness allows.
inline kt::KernelTable harness_table() { return kt::make_kernel_table(harness_mask()); }

// The entries of one slot that this CPU runs and the harness allows.
template <class Fn>
std::vector<const kt::KernelEntry<Fn>*> entries_to_test(kt::KernelEntries<Fn> entries) {
    std::vector<const kt::KernelEntry<Fn>*> out;
    for (const auto& e : entries) {
        if ((e.needs & ~(kt::cpu_capabilities() & harness_mask())) != 0) continue;
        // One level at a time: what the levels below have was tested there.
        if (one_level_run() && harness_floor() && (e.needs & ~*harness_floor()) == 0) continue;
        out.push_back(&e);
    }
    return out;
}

// A driver with a table: what one forced call runs.
struct PathRun {
    std::string name;
    zln::lsh::SimhashPath path;
    kt::KernelTable table;
};

// Every driver with every level's table (the plain uncached loop once: it
// uses no kernel).
inline std::vector<PathRun> path_runs() {
    using zln::lsh::SimhashPath;
    std::vector<PathRun> out;
    // The plain loop uses no kernel: once, at the generic level of a one-level run.
    if (!one_level_run() || !harness_floor())
        out.push_back({"scalar_uncached", SimhashPath::ScalarUncached, harness_table()});
    for (const Level& level : kernel_levels()) {
        for (auto [name, path] : {std::pair{"auto", SimhashPath::Auto},
                                  {"scalar_cached", SimhashPath::ScalarCached},
                                  {"blocks", SimhashPath::Blocks},
                                  {"certified", SimhashPath::Certified},
                                  {"exact_auto", SimhashPath::ExactAuto}}) {
            // The forced lookup level differs from the generic one only there.
            if (level.table.lookup_sums == &kForcedGenericLookup && path != SimhashPath::Certified) continue;
            out.push_back({std::string(name) + "@" + level.name, path, level.table});
        }
    }
    return out;
}

}  // namespace zln_test

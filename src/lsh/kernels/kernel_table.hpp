// The kernel table: one set of function pointers for every driver, filled
// once from what the CPU can do.
//
// Each slot has a list of candidate entries, best first, ending with the
// generic scalar twin that needs nothing. A table takes, per slot, the first
// entry whose needed capabilities the CPU has and a mask allows. The
// process-wide table (kernel_table()) allows everything the CPU has and is
// the only one the shipped module uses; tests and benchmarks build narrowed
// copies of their own with make_kernel_table(mask) and pass them down.
//
// How a driver proceeds may depend on what kind of kernel it got (a vector
// unit for exact blocks or not, a hardware population count or not); that is
// an entry's trait, read through the table, never a missing pointer.
#pragma once

#include <cstdint>
#include <span>

#include "lsh/kernels/capabilities.hpp"
#include "lsh/kernels/kernels.hpp"

namespace zln::lsh::detail {

using KernelTraits = std::uint32_t;
// An accumulate kernel on a vector unit: 64 lanes of an exact block cost
// little more than a few, so blocks with several doubtful bits are summed
// whole, and a run of such blocks sends the rest of a call there directly.
inline constexpr KernelTraits kTraitVectorExact = 1U << 0;
// Plane sums on a hardware population count (a scalar instruction or a
// vector one).
inline constexpr KernelTraits kTraitNativePopcount = 1U << 1;
// Plane sums on a vector population count.
inline constexpr KernelTraits kTraitVectorPopcount = 1U << 2;
// Lookup sums on vector byte lookups: the certified path's first stage is
// the lookup stage (simhash/lookup_stage.hpp) rather than the bit planes, which
// stay the first stage wherever this entry is not taken.
inline constexpr KernelTraits kTraitVectorLookup = 1U << 3;

template <class Fn>
struct KernelEntry {
    const char* name;
    Capabilities needs;  // every one of these must be present and allowed
    KernelTraits traits;
    Fn fn;
};

template <class Fn>
using KernelEntries = std::span<const KernelEntry<Fn>>;

// The candidates of each slot compiled into this build, best first.
KernelEntries<SignWordFiller> sign_word_filler_entries() noexcept;
KernelEntries<Accumulator> accumulator_entries() noexcept;
KernelEntries<PlaneSums> plane_sums_entries() noexcept;
KernelEntries<PlaneBuilder> plane_builder_entries() noexcept;
KernelEntries<Quantiser> quantiser_entries() noexcept;
KernelEntries<MagnitudeScan> magnitude_scan_entries() noexcept;
KernelEntries<LookupGroupMax> lookup_group_max_entries() noexcept;
KernelEntries<LookupTableBuilder> lookup_tables_entries() noexcept;
KernelEntries<LookupSums> lookup_sums_entries() noexcept;
KernelEntries<LookupVerdicts> lookup_verdicts_entries() noexcept;
KernelEntries<SignedSums> signed_sums_entries() noexcept;

// Whether the running CPU can run an entry at all.
template <class Fn>
bool runnable(const KernelEntry<Fn>& e) noexcept {
    return (e.needs & ~cpu_capabilities()) == 0;
}

struct KernelTable {
    Capabilities allowed = kCapNone;  // the CPU's capabilities within the mask
    const KernelEntry<SignWordFiller>* fill = nullptr;
    const KernelEntry<Accumulator>* accumulate = nullptr;
    const KernelEntry<PlaneSums>* plane_sums = nullptr;
    const KernelEntry<PlaneBuilder>* build_planes = nullptr;
    const KernelEntry<Quantiser>* quantise = nullptr;
    const KernelEntry<MagnitudeScan>* scan = nullptr;
    const KernelEntry<LookupGroupMax>* group_max = nullptr;
    const KernelEntry<LookupTableBuilder>* lookup_tables = nullptr;
    const KernelEntry<LookupSums>* lookup_sums = nullptr;
    const KernelEntry<LookupVerdicts>* lookup_verdicts = nullptr;
    const KernelEntry<SignedSums>* signed_sums = nullptr;

    bool vector_exact() const noexcept { return (accumulate->traits & kTraitVectorExact) != 0; }
    // Whether the certified path's first stage is the lookup stage.
    bool lookup_stage() const noexcept { return (lookup_sums->traits & kTraitVectorLookup) != 0; }
    // Auto's choice. The certified path wins where the population count is
    // in hardware, unless only a scalar one competes with vector exact
    // kernels (on x86-64, POPCNT plane sums lose to AVX2 exact blocks while
    // VPOPCNTQ ones beat AVX-512 blocks; benchmarks/bench_simhash_core.cpp
    // and bench_certified_stages.cpp print the figures per kernel level).
    // On arm64, counted from the compiled kernels: an exact block costs 33
    // instructions per element and 16 lanes (132 per element and block), the
    // NEON plane sums 7 per two words and plane, so at n = 768 the first
    // stage of a block (64 rows x 8 planes x 6 pairs) is about 33k
    // instructions against 101k for the exact block, before the few
    // doubtful bits are refined. The lookup stage (VBMI + VNNI), where
    // present, is faster than either.
    bool auto_takes_certified() const noexcept {
        const KernelTraits t = plane_sums->traits;
        if (lookup_stage()) return true;
        return (t & kTraitNativePopcount) != 0 && ((t & kTraitVectorPopcount) != 0 || !vector_exact());
    }
};

// The best entries within cpu_capabilities() & mask; never fails (the
// generic twins need nothing).
KernelTable make_kernel_table(Capabilities mask) noexcept;

// The process's table: everything the CPU offers, filled on first use.
const KernelTable& kernel_table() noexcept;

// Cumulative narrowings of this architecture, from the generic kernels (mask
// 0) up to everything: the tables worth testing and timing one by one.
struct KernelLevel {
    const char* name;
    Capabilities mask;
};
std::span<const KernelLevel> kernel_levels() noexcept;

}  // namespace zln::lsh::detail

#include "lsh/kernels/kernel_table.hpp"

namespace zln::lsh::detail {

namespace {

constexpr KernelTraits kNone = 0;

// Kept as plain arrays so an entry is added in one line; within a slot the
// order is the preference.
constexpr KernelEntry<SignWordFiller> kFillers[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512dq", kCapAvx512 | kCapAvx512Dq, kNone, &fill_sign_words_avx512dq},
    {"avx512", kCapAvx512, kNone, &fill_sign_words_avx512},
    {"avx2", kCapAvx2, kNone, &fill_sign_words_avx2},
#endif
    {"scalar", kCapNone, kNone, &fill_sign_words_scalar},
};

constexpr KernelEntry<Accumulator> kAccumulators[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kTraitVectorExact, &accumulate_block_avx512},
    {"avx2", kCapAvx2, kTraitVectorExact, &accumulate_block_avx2},
#endif
#if defined(ZLN_ARCH_ARM64)
    {"neon", kCapNeon, kTraitVectorExact, &accumulate_block_neon},
#endif
    {"scalar", kCapNone, kNone, &accumulate_block_scalar},
};

constexpr KernelEntry<PlaneSums> kPlaneSums[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512vpopcntdq", kCapAvx512 | kCapAvx512Vpopcntdq, kTraitNativePopcount | kTraitVectorPopcount,
     &plane_sums_avx512},
    {"popcnt", kCapPopcnt, kTraitNativePopcount, &plane_sums_popcnt},
#endif
#if defined(ZLN_ARCH_ARM64)
    {"neon", kCapNeon, kTraitNativePopcount | kTraitVectorPopcount, &plane_sums_neon},
#endif
    {"generic", kCapNone, kNone, &plane_sums_generic},
};

constexpr KernelEntry<PlaneBuilder> kPlaneBuilders[] = {
#if defined(ZLN_ARCH_X86_64)
    // Chosen with the vector plane sums only, as before: on its own it
    // would speed up nothing that matters.
    {"avx512", kCapAvx512 | kCapAvx512Vpopcntdq, kNone, &build_planes_avx512},
#endif
    {"generic", kCapNone, kNone, &build_planes_generic},
};

constexpr KernelEntry<Quantiser> kQuantisers[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &quantise_planes_avx512},
#endif
    {"generic", kCapNone, kNone, &quantise_planes_generic},
};

constexpr KernelEntry<MagnitudeScan> kScans[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &magnitude_scan_avx512},
#endif
    {"generic", kCapNone, kNone, &magnitude_scan_generic},
};

constexpr KernelEntry<LookupGroupMax> kGroupMax[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &lookup_group_max_avx512},
#endif
    {"generic", kCapNone, kNone, &lookup_group_max_generic},
};

constexpr KernelEntry<LookupTableBuilder> kLookupTables[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &lookup_tables_avx512},
#endif
    {"generic", kCapNone, kNone, &lookup_tables_generic},
};

constexpr KernelEntry<LookupSums> kLookupSums[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512vbmi-vnni", kCapAvx512 | kCapAvx512Vbmi | kCapAvx512Vnni, kTraitVectorLookup, &lookup_sums_vbmi},
#endif
    // The twin only: one table read per group, far slower than bit planes.
    {"generic", kCapNone, kNone, &lookup_sums_generic},
};

constexpr KernelEntry<LookupVerdicts> kLookupVerdicts[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &lookup_verdicts_avx512},
#endif
    {"generic", kCapNone, kNone, &lookup_verdicts_generic},
};

constexpr KernelEntry<SignedSums> kSignedSums[] = {
#if defined(ZLN_ARCH_X86_64)
    {"avx512", kCapAvx512, kNone, &signed_sums_avx512},
#endif
    {"generic", kCapNone, kNone, &signed_sums_generic},
};

constexpr KernelLevel kLevels[] = {
    {"generic", kCapNone},
#if defined(ZLN_ARCH_X86_64)
    {"popcnt", kCapPopcnt},
    {"avx2", kCapPopcnt | kCapAvx2},
    {"avx512", kCapPopcnt | kCapAvx2 | kCapAvx512},
    {"avx512dq", kCapPopcnt | kCapAvx2 | kCapAvx512 | kCapAvx512Dq},
    {"avx512vpopcntdq", kCapPopcnt | kCapAvx2 | kCapAvx512 | kCapAvx512Dq | kCapAvx512Vpopcntdq},
    {"avx512vbmi-vnni", kCapAll},
#endif
#if defined(ZLN_ARCH_ARM64)
    {"neon", kCapAll},
#endif
};

template <class Fn>
const KernelEntry<Fn>* first_allowed(KernelEntries<Fn> entries, Capabilities allowed) noexcept {
    for (const auto& e : entries) {
        if ((e.needs & ~allowed) == 0) return &e;
    }
    return &entries.back();  // the generic twin; never reached, it needs nothing
}

}  // namespace

KernelEntries<SignWordFiller> sign_word_filler_entries() noexcept { return kFillers; }
KernelEntries<Accumulator> accumulator_entries() noexcept { return kAccumulators; }
KernelEntries<PlaneSums> plane_sums_entries() noexcept { return kPlaneSums; }
KernelEntries<PlaneBuilder> plane_builder_entries() noexcept { return kPlaneBuilders; }
KernelEntries<Quantiser> quantiser_entries() noexcept { return kQuantisers; }
KernelEntries<MagnitudeScan> magnitude_scan_entries() noexcept { return kScans; }
KernelEntries<LookupGroupMax> lookup_group_max_entries() noexcept { return kGroupMax; }
KernelEntries<LookupTableBuilder> lookup_tables_entries() noexcept { return kLookupTables; }
KernelEntries<LookupSums> lookup_sums_entries() noexcept { return kLookupSums; }
KernelEntries<LookupVerdicts> lookup_verdicts_entries() noexcept { return kLookupVerdicts; }
KernelEntries<SignedSums> signed_sums_entries() noexcept { return kSignedSums; }

KernelTable make_kernel_table(Capabilities mask) noexcept {
    KernelTable t;
    t.allowed = cpu_capabilities() & mask;
    t.fill = first_allowed(sign_word_filler_entries(), t.allowed);
    t.accumulate = first_allowed(accumulator_entries(), t.allowed);
    t.plane_sums = first_allowed(plane_sums_entries(), t.allowed);
    t.build_planes = first_allowed(plane_builder_entries(), t.allowed);
    t.quantise = first_allowed(quantiser_entries(), t.allowed);
    t.scan = first_allowed(magnitude_scan_entries(), t.allowed);
    t.group_max = first_allowed(lookup_group_max_entries(), t.allowed);
    t.lookup_tables = first_allowed(lookup_tables_entries(), t.allowed);
    t.lookup_sums = first_allowed(lookup_sums_entries(), t.allowed);
    t.lookup_verdicts = first_allowed(lookup_verdicts_entries(), t.allowed);
    t.signed_sums = first_allowed(signed_sums_entries(), t.allowed);
    return t;
}

const KernelTable& kernel_table() noexcept {
    // Filled once; the initialisation calls nothing that could re-enter.
    static const KernelTable table = make_kernel_table(kCapAll);
    return table;
}

std::span<const KernelLevel> kernel_levels() noexcept { return kLevels; }

}  // namespace zln::lsh::detail

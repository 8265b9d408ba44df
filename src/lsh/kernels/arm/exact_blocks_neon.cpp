// The exact-blocks stage's sums with NEON: two binary64 lanes per register, sixteen
// bit positions per pass over the elements, four passes per block. Every
// lane adds +t or -t in element order, exactly like the plain loop; FADD is
// the only arithmetic, so there is nothing to contract.
#include "lsh/kernels/arch.hpp"

#if defined(ZLN_ARCH_ARM64)

#include <arm_neon.h>

#include "lsh/kernels/kernels.hpp"

namespace zln::lsh::detail {

void accumulate_block_neon(const double* t, const std::uint64_t* words, std::size_t count, double* acc) noexcept {
    for (unsigned pass = 0; pass < 4; ++pass) {
        double* a_out = acc + 16 * pass;
        float64x2_t a[8];
        uint64x2_t select[8];  // the two sign bits each register's lanes read
        for (unsigned i = 0; i < 8; ++i) {
            a[i] = vld1q_f64(a_out + 2 * i);
            const unsigned bit = 16 * pass + 2 * i;
            const std::uint64_t pair[2] = {std::uint64_t{1} << bit, std::uint64_t{1} << (bit + 1)};
            select[i] = vld1q_u64(pair);
        }
        for (std::size_t k = 0; k < count; ++k) {
            const float64x2_t plus = vdupq_n_f64(t[k]);
            const float64x2_t minus = vnegq_f64(plus);  // the sign bit flipped, nothing else
            const uint64x2_t w = vdupq_n_u64(words[k]);
            for (unsigned i = 0; i < 8; ++i) {
                a[i] = vaddq_f64(a[i], vbslq_f64(vtstq_u64(w, select[i]), plus, minus));
            }
        }
        for (unsigned i = 0; i < 8; ++i) vst1q_f64(a_out + 2 * i, a[i]);
    }
}

}  // namespace zln::lsh::detail

#endif  // ZLN_ARCH_ARM64

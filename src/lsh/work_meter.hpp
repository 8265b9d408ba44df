// Counts work done by a long computation and polls the cancellation check
// after every `interval` units. Counting instead of timing keeps the cost of
// the check (a call into the interpreter in production) proportional to the
// work and makes small calls never poll at all.
#pragma once

#include <cstdint>

#include "lsh/failure.hpp"

namespace zln::lsh::detail {

class WorkMeter {
public:
    WorkMeter(CancelCheck cancel, std::uint64_t interval) noexcept : cancel_(cancel), interval_(interval) {}

    void add(std::uint64_t units) {
        pending_ += units;
        if (pending_ >= interval_) {
            pending_ = 0;
            if (cancel_()) throw Interrupted();
        }
    }

private:
    CancelCheck cancel_;
    std::uint64_t interval_;
    std::uint64_t pending_ = 0;
};

}  // namespace zln::lsh::detail

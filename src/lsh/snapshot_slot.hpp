// The one global pointer of a process-wide cache.
//
// Computations never use the global pointer itself: each takes its own
// shared_ptr snapshot, and a regrowth only replaces the pointer, never frees
// memory still in use. Taking and replacing the pointer are guarded by a
// mutex held for nothing else (never across the work, the cancellation check
// or a call back into this code), so per-call computations, which the
// interpreter lock serialises, and bulk workers, which run without it, can
// both reach a cache. Two threads may grow a cache at the same time; both
// results are correct, and the last one stays.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

namespace zln::lsh::detail {

template <class T>
class SnapshotSlot {
public:
    constexpr SnapshotSlot() noexcept = default;
    SnapshotSlot(const SnapshotSlot&) = delete;
    SnapshotSlot& operator=(const SnapshotSlot&) = delete;

    std::shared_ptr<const T> load() const noexcept {
        std::lock_guard lock(mutex_);
        return value_;
    }
    void store(std::shared_ptr<const T> value) noexcept {
        {
            std::lock_guard lock(mutex_);
            value_.swap(value);
        }
        // `value` now holds the old snapshot; it is released (perhaps freed)
        // outside the lock.
    }
    void reset() noexcept { store(nullptr); }

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const T> value_;
};

}  // namespace zln::lsh::detail

// The one global pointer of a process-wide cache.
//
// Computations never use the global pointer itself: each takes its own
// shared_ptr snapshot, and a regrowth only replaces the pointer, never frees
// memory still in use. Taking and replacing the pointer are guarded by a
// small lock held for nothing else (never across the work, the cancellation check
// or a call back into this code), so per-call computations, which the
// interpreter lock serialises, and bulk workers, which run without it, can
// both reach a cache. Two threads may grow a cache at the same time; both
// results are correct, and the last one stays.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace zln::lsh::detail {

template <class T>
class SnapshotSlot {
public:
    constexpr SnapshotSlot() noexcept = default;
    SnapshotSlot(const SnapshotSlot&) = delete;
    SnapshotSlot& operator=(const SnapshotSlot&) = delete;

    std::shared_ptr<const T> load() const noexcept {
        Guard guard(lock_);
        return value_;
    }
    void store(std::shared_ptr<const T> value) noexcept {
        {
            Guard guard(lock_);
            value_.swap(value);
        }
        // `value` now holds the old snapshot; it is released (perhaps freed)
        // outside the lock.
    }
    void reset() noexcept { store(nullptr); }

private:
    // A lock from one atomic flag (held for a pointer copy; a thread that
    // finds it taken sleeps on the flag): no library mutex, which some
    // Windows toolchains lack.
    class Guard {
    public:
        explicit Guard(std::atomic_flag& flag) noexcept : flag_(flag) {
            while (flag_.test_and_set(std::memory_order_acquire)) flag_.wait(true, std::memory_order_relaxed);
        }
        ~Guard() {
            flag_.clear(std::memory_order_release);
            flag_.notify_one();
        }
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;

    private:
        std::atomic_flag& flag_;
    };

    mutable std::atomic_flag lock_;
    std::shared_ptr<const T> value_;
};

}  // namespace zln::lsh::detail

// The one template behind the engine's process-wide caches (the sign words
// of sign_cache.hpp, the sign rows of sign_rows.hpp and the lookup index of
// lookup_stage.hpp): a global snapshot that each computation copies, grown
// or rebuilt by whoever needs more of it, and published whole.
//
// Computations never use the global pointer itself: each takes its own
// shared_ptr snapshot, and a regrowth only replaces the pointer, never frees
// memory still in use. A snapshot is never modified once published. Taking
// and replacing the pointer are guarded by a small lock held for nothing
// else (never across the work, the cancellation check or a call back into
// this code), so per-call computations, which the interpreter lock
// serialises, and bulk workers, which run without it, can both reach a
// cache. Two threads may grow a cache at the same time; both results are
// correct, and the last one stays.
//
// A new cache: a struct for its contents, one constinit ProcessCache of it
// in its .cpp (constant-initialised: no dynamic initialiser that a
// re-entrant call could race with), and a function that calls obtain().
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace zln::lsh::detail {

template <class T>
class ProcessCache {
public:
    constexpr ProcessCache() noexcept = default;
    ProcessCache(const ProcessCache&) = delete;
    ProcessCache& operator=(const ProcessCache&) = delete;

    // The current snapshot when it exists and `covers(*current)` holds;
    // otherwise `build(current or null)`'s result, published unless null
    // (a null result leaves the current snapshot in place). The current
    // snapshot stays referenced while `build` runs, so `build` may copy from
    // it even when its cancellation check re-enters and replaces the global
    // pointer meanwhile.
    template <class Covers, class Build>
    std::shared_ptr<const T> obtain(Covers&& covers, Build&& build) {
        std::shared_ptr<const T> old = load();
        if (old && covers(*old)) return old;
        std::shared_ptr<const T> fresh = build(old.get());
        if (fresh) store(fresh);
        return fresh;
    }

    // The current snapshot (possibly null); for tests and benchmarks.
    std::shared_ptr<const T> load() const noexcept {
        Guard guard(lock_);
        return value_;
    }
    // Drops the global snapshot; snapshots held elsewhere stay valid.
    void reset() noexcept { store(nullptr); }

private:
    void store(std::shared_ptr<const T> value) noexcept {
        {
            Guard guard(lock_);
            value_.swap(value);
        }
        // `value` now holds the old snapshot; it is released (perhaps freed)
        // outside the lock.
    }

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

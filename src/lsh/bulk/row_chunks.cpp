#include "lsh/bulk/row_chunks.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace zln::lsh {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kAloneBudget = std::chrono::milliseconds(2);
constexpr auto kChunkLow = std::chrono::milliseconds(1);
constexpr auto kChunkHigh = std::chrono::milliseconds(4);
constexpr auto kPollInterval = std::chrono::milliseconds(10);
// Units between a worker's looks at the stop flag inside a long row (the
// same order as the per-call computation's polls, a few milliseconds).
constexpr std::uint64_t kMeterInterval = std::uint64_t{1} << 22;

struct Shared {
    std::size_t rows = 0;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::condition_variable done;
    std::size_t finished = 0;  // guarded by mutex
    std::exception_ptr error;  // guarded by mutex: the first worker failure
};

bool stop_requested(void* ctx) { return static_cast<Shared*>(ctx)->stop.load(std::memory_order_relaxed); }

// Rows per chunk after a chunk of `count` rows took `took`.
std::size_t next_step(std::size_t count, Clock::duration took) {
    if (took < kChunkLow) return count * 2;
    if (took > kChunkHigh) return std::max<std::size_t>(1, count / 2);
    return count;
}

void worker_loop(Shared& s, const RowRange& range, std::size_t step) {
    try {
        detail::WorkMeter meter(CancelCheck{stop_requested, &s}, kMeterInterval);
        while (!s.stop.load(std::memory_order_relaxed)) {
            const std::size_t begin = s.next.fetch_add(step, std::memory_order_relaxed);
            if (begin >= s.rows) break;
            const std::size_t end = std::min(s.rows, begin + step);
            const Clock::time_point t0 = Clock::now();
            range(begin, end, meter);
            step = next_step(end - begin, Clock::now() - t0);
        }
    } catch (const Interrupted&) {
        // Asked to stop: whoever asked knows why.
    } catch (...) {
        std::lock_guard lock(s.mutex);
        if (!s.error) s.error = std::current_exception();
        s.stop.store(true, std::memory_order_relaxed);
    }
    {
        std::lock_guard lock(s.mutex);
        ++s.finished;
    }
    s.done.notify_all();
}

}  // namespace

void run_row_chunks(std::size_t rows, unsigned threads, const RowWorkerFactory& make_worker, CancelCheck poll) {
    if (rows == 0) return;
    Shared s;
    s.rows = rows;

    // Alone first: small calls never pay for threads.
    std::size_t step = 1;
    {
        const RowRange range = make_worker();
        detail::WorkMeter meter(poll, kMeterInterval);
        const Clock::time_point start = Clock::now();
        std::size_t done = 0;
        while (done < rows) {
            const std::size_t end = std::min(rows, done + step);
            range(done, end, meter);
            done = end;
            const Clock::duration took = Clock::now() - start;
            if (took >= kAloneBudget) {
                // Rows per budget at the rate seen so far, as the workers' first chunk.
                const auto per = std::max<Clock::rep>(1, took.count() / static_cast<Clock::rep>(done));
                step = std::max<std::size_t>(1, static_cast<std::size_t>(kAloneBudget / Clock::duration(per)));
                break;
            }
            step *= 2;
        }
        if (done == rows) return;
        s.next.store(done, std::memory_order_relaxed);
    }
    if (poll()) throw Interrupted();

    const std::size_t left = rows - s.next.load(std::memory_order_relaxed);
    const std::size_t count = std::max<std::size_t>(1, std::min<std::size_t>(threads, (left + step - 1) / step));
    std::vector<RowRange> ranges;
    ranges.reserve(count);
    for (std::size_t t = 0; t < count; ++t) ranges.push_back(make_worker());

    std::vector<std::thread> pool;
    pool.reserve(count);
    auto join_all = [&] {
        for (auto& t : pool) t.join();
    };
    try {
        for (std::size_t t = 0; t < count; ++t) pool.emplace_back(worker_loop, std::ref(s), std::cref(ranges[t]), step);
    } catch (...) {
        s.stop.store(true);
        join_all();
        throw;
    }

    bool interrupted = false;
    {
        std::unique_lock lock(s.mutex);
        while (s.finished < pool.size()) {
            if (s.done.wait_for(lock, kPollInterval, [&] { return s.finished == pool.size(); })) break;
            if (interrupted || s.stop.load()) continue;
            lock.unlock();
            interrupted = poll();
            lock.lock();
            if (interrupted) s.stop.store(true);
        }
    }
    join_all();
    if (s.error) std::rethrow_exception(s.error);
    if (interrupted) throw Interrupted();
}

}  // namespace zln::lsh

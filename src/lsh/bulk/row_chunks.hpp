// Work on the rows of a matrix, cut into chunks of a few milliseconds and
// shared among worker threads.
//
// The calling thread starts alone; a call whose rows take less than about
// two milliseconds is done before any thread starts. Otherwise `threads`
// workers take the remaining rows in chunks (each worker sizes its chunks
// to 1-4 ms from its own timings) while the calling thread only waits and
// calls `poll` every 10 ms or so. When `poll` returns true, the workers
// stop after their current chunk and Interrupted is thrown; the first
// exception a worker throws is rethrown the same way. Every row is handed
// to exactly one call of a worker's range function, so results written per
// row do not depend on the number of threads or on the chunking.
#pragma once

#include <cstddef>
#include <functional>

#include "lsh/failure.hpp"
#include "lsh/work_meter.hpp"

namespace zln::lsh {

// Processes rows [begin, end); long rows report their work to the meter,
// which stops them (Interrupted) when asked to.
using RowRange = std::function<void(std::size_t begin, std::size_t end, detail::WorkMeter& meter)>;
// Makes one worker's range function with its own scratch memory; called on
// the calling thread, once per worker.
using RowWorkerFactory = std::function<RowRange()>;

void run_row_chunks(std::size_t rows, unsigned threads, const RowWorkerFactory& make_worker, CancelCheck poll);

}  // namespace zln::lsh

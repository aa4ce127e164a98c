#pragma once
/// The one parallel loop of the engine: the first pass and every recovery pass run their
/// points through for_each_point, which owns the thread schedule, the cancel check and the
/// capture of the first exception.

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <type_traits>
#include <utility>

namespace morvex::dic::detail {

/// Passes with this many points or fewer run on the calling thread: thread start-up would
/// cost more than it saves. The caller applies it (points > threshold means parallel).
inline constexpr std::int64_t kParallelThreshold = 100;

/// Keeps the first exception thrown inside a parallel pass. An exception must never leave
/// an OpenMP region (that terminates the process), so workers park it here, the remaining
/// points are skipped, and the calling thread rethrows it after the pass, just as a
/// single-threaded loop would have let it through.
class FirstError {
public:
    /// Call from inside a catch handler. Any thread.
    void capture() noexcept {
        bool expected = false;
        if (failed_.compare_exchange_strong(expected, true)) error_ = std::current_exception();
    }
    bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
    /// Only after the pass: the region's closing barrier orders the write of error_.
    void rethrow() const {
        if (error_) std::rethrow_exception(error_);
    }

private:
    std::atomic<bool> failed_{false};
    std::exception_ptr error_;
};

/// No progress reports: the recovery passes.
struct NoProgress {};

/// Runs worker(i) for every i in [0, count), where each thread first builds its own worker
/// with make_worker() (per-thread state such as a configuration copy). Points are handed out
/// one at a time (schedule(dynamic, 1)): their costs vary by orders of magnitude. With
/// `parallel` false everything runs on the calling thread.
///
/// Before each point the loop checks `cancel` and the first error: once either is set, the
/// remaining points are skipped (their slots keep what they held). After each point that
/// returned normally, `progress()` runs under a lock, one call at a time, unless it is
/// NoProgress. The first exception from make_worker, a worker or progress is rethrown on the
/// calling thread after the pass; later ones are dropped. Workers must write disjoint slots.
template <typename MakeWorker, typename Progress = NoProgress>
void for_each_point_with(int count, bool parallel, const std::atomic<bool>& cancel,
                         MakeWorker&& make_worker, Progress&& progress = Progress{}) {
    using Worker = std::decay_t<decltype(make_worker())>;
    FirstError error;
#pragma omp parallel if (parallel)
    {
        std::optional<Worker> worker;
        try {
            worker.emplace(make_worker());
        } catch (...) {
            error.capture();
        }
#pragma omp for schedule(dynamic, 1)
        for (int i = 0; i < count; ++i) {
            if (cancel.load(std::memory_order_relaxed) || error.failed()) continue;
            try {
                (*worker)(i);
            } catch (...) {
                error.capture();
                continue;
            }
            if constexpr (!std::is_same_v<std::decay_t<Progress>, NoProgress>) {
#pragma omp critical(morvex_engine_progress)
                {
                    try {
                        progress();
                    } catch (...) {
                        error.capture();
                    }
                }
            }
        }
    }
    error.rethrow();
}

/// for_each_point_with for a body without per-thread state: body(i) for every point.
template <typename Body>
void for_each_point(int count, bool parallel, const std::atomic<bool>& cancel, Body&& body) {
    for_each_point_with(count, parallel, cancel, [&body]() { return std::ref(body); });
}

}  // namespace morvex::dic::detail

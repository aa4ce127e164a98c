#include <morvex/streaming.hpp>

#include <algorithm>
#include <chrono>
#include <utility>

namespace morvex::dic {

namespace {

// Narrowest integer search a streaming frame gets, pixels; keeps small configured ranges
// from collapsing onto the previous frame's integer peak.
constexpr int kMinStreamingSearchRange = 3;

}  // namespace

StreamingDIC::StreamingDIC(const DICConfig& config) : config_(config) {}

StreamingDIC::~StreamingDIC() = default;

void StreamingDIC::reset(const cv::Mat& reference) {
    // Copy first: if cloning throws, the object still holds its previous sequence.
    cv::Mat reference_copy = reference.clone();
    reference_ = std::move(reference_copy);
    previous_frame_ = cv::Mat();
    last_result_ = DICResult();
    initialized_ = true;
    frame_count_ = 0;
}

DICResult StreamingDIC::process_frame(const cv::Mat& frame) {
    const auto t0 = std::chrono::steady_clock::now();
    if (!initialized_) {
        reset(frame);
        return DICResult();
    }

    DICConfig working = config_;
    // Halve from the stored configuration every time, so the range never compounds; an
    // empty previous result says nothing about where the next frame lies.
    if (frame_count_ > 0 && !last_result_.u.empty())
        working.search_range = std::max(config_.search_range / 2, kMinStreamingSearchRange);

    DICResult result = engine_.run(reference_, frame, working);

    // Build every new member value before touching the object, so an exception on the way
    // (allocation) leaves the previous frame, result and count as they were.
    cv::Mat frame_copy = frame.clone();
    DICResult result_copy = result;
    previous_frame_ = std::move(frame_copy);
    last_result_ = std::move(result_copy);
    ++frame_count_;

    const auto t1 = std::chrono::steady_clock::now();
    const auto elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t1 - t0);
    last_frame_ms_ = static_cast<double>(elapsed_ns.count()) / 1e6;
    return result;
}

}  // namespace morvex::dic

#pragma once
/// Frame-by-frame correlation of an image sequence against one fixed reference.

#include <opencv2/core/mat.hpp>

#include <morvex/engine.hpp>
#include <morvex/records.hpp>
#include <morvex/visibility.hpp>

namespace morvex::dic {

/// Correlates each incoming frame against a reference frame. The first frame handed to
/// process_frame() (or the frame given to reset()) becomes the reference. From the second
/// correlated frame on, the search half-width is max(search_range / 2, 3), always derived
/// from the stored configuration. Frames are deep-copied, so callers may reuse their
/// buffers. One thread at a time; neither copyable nor movable.
class MORVEX_EXPORT StreamingDIC {
public:
    explicit StreamingDIC(const DICConfig& config);
    ~StreamingDIC();
    StreamingDIC(const StreamingDIC&) = delete;
    StreamingDIC& operator=(const StreamingDIC&) = delete;

    /// Start a new sequence with `reference` (deep-copied); forgets the last frame and result.
    void reset(const cv::Mat& reference);

    /// Correlate `frame` against the reference. Without a reference, `frame` becomes the
    /// reference and an empty result is returned. Exceptions of the run propagate and leave
    /// the object's state as it was.
    DICResult process_frame(const cv::Mat& frame);

    /// Frames correlated since the last reset.
    int frame_count() const { return frame_count_; }
    /// Wall time of the most recent correlated call, milliseconds (monotonic clock).
    double last_frame_ms() const { return last_frame_ms_; }
    /// Result of the most recent correlated call; empty after a reset.
    const DICResult& last_result() const { return last_result_; }
    /// Copy of the most recent frame correlated; empty after a reset.
    const cv::Mat& previous_frame() const { return previous_frame_; }
    /// True once a reference is set.
    bool initialized() const { return initialized_; }

private:
    DICConfig config_;
    DICEngine engine_;
    cv::Mat reference_;
    cv::Mat previous_frame_;
    DICResult last_result_;
    bool initialized_ = false;
    int frame_count_ = 0;
    double last_frame_ms_ = 0.0;
};

}  // namespace morvex::dic

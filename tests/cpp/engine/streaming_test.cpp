#include <cstdint>
#include <ostream>
#include <stdexcept>

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include <morvex/streaming.hpp>

#include "support/speckle_pair.h"

namespace {

using morvex::dic::DICConfig;
using morvex::dic::DICResult;
using morvex::dic::StreamingDIC;

bool is_empty(const DICResult& r) {
    return r.rows == 0 && r.cols == 0 && r.u.empty() && r.v.empty() && r.exx.empty() &&
           r.eyy.empty() && r.exy.empty() && r.confidence.empty() && r.valid.empty() &&
           r.iterations.empty() && r.points.empty();
}

// Frames of a sequence: the reference speckle moved by (u, v).
cv::Mat frame(int size, double u, double v) {
    const auto dots = morvex::test::random_dots(size, size, 3);
    return morvex::test::render_dots(size, size, morvex::test::moved_dots(dots, u, v));
}

// Work the grid geometry does not depend on is cut down: these tests look at grids.
DICConfig light_config() {
    DICConfig config;
    config.compute_strain = false;
    return config;
}

TEST(StreamingDIC, FirstFrameBecomesReferenceSecondIsCorrelated) {
    constexpr int kSize = 120;
    DICConfig config = light_config();
    config.subset_size = 21;
    config.search_range = 6;
    config.step = 10;
    StreamingDIC stream(config);
    EXPECT_FALSE(stream.initialized());

    const DICResult first = stream.process_frame(frame(kSize, 0.0, 0.0));
    EXPECT_TRUE(is_empty(first));
    EXPECT_TRUE(stream.initialized());
    EXPECT_EQ(stream.frame_count(), 0);
    EXPECT_EQ(stream.last_frame_ms(), 0.0);
    EXPECT_TRUE(stream.previous_frame().empty());

    const cv::Mat second_frame = frame(kSize, 0.4, -0.3);
    const DICResult second = stream.process_frame(second_frame);
    ASSERT_GT(second.rows, 0);
    EXPECT_EQ(stream.frame_count(), 1);
    EXPECT_GT(stream.last_frame_ms(), 0.0);
    EXPECT_EQ(cv::norm(stream.previous_frame(), second_frame, cv::NORM_INF), 0.0);
    EXPECT_EQ(stream.last_result().u, second.u);
    EXPECT_EQ(stream.last_result().points.size(), second.points.size());
    int valid = 0;
    for (std::size_t i = 0; i < second.u.size(); ++i) {
        if (!second.valid[i]) continue;
        ++valid;
        EXPECT_NEAR(second.u[i], 0.4, 0.02);
        EXPECT_NEAR(second.v[i], -0.3, 0.02);
    }
    EXPECT_EQ(valid, static_cast<int>(second.u.size()));
}

// The narrowed range shows in the grid margin subset_size / 2 + search_range, and thus in
// the first grid point.
struct RangeCase {
    int configured;
    int streamed;
};

void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << "range=" << c.configured;
}

class StreamingRange : public ::testing::TestWithParam<RangeCase> {};

TEST_P(StreamingRange, HalvesFromStoredConfigurationAfterFirstFrame) {
    const RangeCase c = GetParam();
    constexpr int kSize = 100;
    constexpr int kHalfSubset = 10;
    DICConfig config = light_config();
    config.subset_size = 21;
    config.step = 10;
    config.search_range = c.configured;
    StreamingDIC stream(config);
    const cv::Mat still = frame(kSize, 0.0, 0.0);
    stream.process_frame(still);

    const DICResult full = stream.process_frame(still);
    ASSERT_FALSE(full.points.empty());
    EXPECT_EQ(full.points.front().y, kHalfSubset + c.configured);
    for (int call = 0; call < 2; ++call) {  // never compounded
        const DICResult narrowed = stream.process_frame(still);
        ASSERT_FALSE(narrowed.points.empty());
        EXPECT_EQ(narrowed.points.front().y, kHalfSubset + c.streamed);
        EXPECT_EQ(narrowed.points.front().x, kHalfSubset + c.streamed);
    }
    EXPECT_EQ(stream.frame_count(), 3);
}

INSTANTIATE_TEST_SUITE_P(Table, StreamingRange,
                         ::testing::Values(RangeCase{21, 10}, RangeCase{20, 10}, RangeCase{7, 3},
                                           RangeCase{2, 3}));  // wider than configured

TEST(StreamingDIC, DefaultGridsOn512Frames) {
    constexpr int kSize = 512;
    DICConfig config = light_config();
    config.max_iterations = 1;  // the grid is what counts here, not the refinement
    StreamingDIC stream(config);
    const cv::Mat still = frame(kSize, 0.0, 0.0);
    stream.reset(still);

    const DICResult first = stream.process_frame(still);
    EXPECT_EQ(first.rows, 64);
    EXPECT_EQ(first.cols, 64);
    EXPECT_EQ(first.points.front().y, 35);

    const DICResult later = stream.process_frame(still);
    EXPECT_EQ(later.rows, 67);
    EXPECT_EQ(later.cols, 67);
    EXPECT_EQ(later.points.front().y, 24);
    EXPECT_EQ(later.points.front().x, 24);
    EXPECT_EQ(later.points.back().y, 486);
    EXPECT_EQ(later.points.back().x, 486);
}

TEST(StreamingDIC, ResetStartsNewSequenceAtFullRange) {
    constexpr int kSize = 100;
    DICConfig config = light_config();
    config.subset_size = 21;
    config.step = 10;
    config.search_range = 12;
    StreamingDIC stream(config);
    const cv::Mat still = frame(kSize, 0.0, 0.0);
    stream.process_frame(still);
    stream.process_frame(still);
    stream.process_frame(still);
    ASSERT_EQ(stream.frame_count(), 2);
    const double ms = stream.last_frame_ms();

    const cv::Mat new_reference = frame(kSize, -0.5, 0.0);
    stream.reset(new_reference);
    EXPECT_EQ(stream.frame_count(), 0);
    EXPECT_TRUE(is_empty(stream.last_result()));
    EXPECT_TRUE(stream.previous_frame().empty());
    EXPECT_EQ(stream.last_frame_ms(), ms);

    // Correlated at once, against the new reference, with the full range.
    const DICResult r = stream.process_frame(still);
    ASSERT_FALSE(r.points.empty());
    EXPECT_EQ(r.points.front().y, 10 + 12);
    EXPECT_NEAR(r.u[r.u.size() / 2], 0.5, 0.02);
}

TEST(StreamingDIC, CallerMayReuseFrameBuffers) {
    constexpr int kSize = 100;
    DICConfig config = light_config();
    config.subset_size = 21;
    config.step = 10;
    config.search_range = 6;
    StreamingDIC stream(config);

    cv::Mat buffer = frame(kSize, 0.0, 0.0);
    stream.process_frame(buffer);
    buffer.setTo(cv::Scalar(0.0));  // the reference must be the object's own copy

    const cv::Mat moved = frame(kSize, 0.7, 0.2);
    moved.copyTo(buffer);
    const DICResult r = stream.process_frame(buffer);
    buffer.release();
    ASSERT_FALSE(r.u.empty());
    for (std::size_t i = 0; i < r.u.size(); ++i) {
        ASSERT_TRUE(r.valid[i]);
        EXPECT_NEAR(r.u[i], 0.7, 0.02);
        EXPECT_NEAR(r.v[i], 0.2, 0.02);
    }
    EXPECT_EQ(cv::norm(stream.previous_frame(), moved, cv::NORM_INF), 0.0);

    // The same through reset().
    cv::Mat reference_buffer = frame(kSize, 0.0, 0.0);
    stream.reset(reference_buffer);
    reference_buffer.setTo(cv::Scalar(0.0));
    const DICResult again = stream.process_frame(moved);
    ASSERT_FALSE(again.u.empty());
    EXPECT_NEAR(again.u[0], 0.7, 0.02);
}

TEST(StreamingDIC, EmptyGridLeavesNextCallAtFullRange) {
    // 60 x 60 with the defaults: margin 14 + 21 = 35 leaves no centre, while the narrowed
    // margin 14 + 10 = 24 would. An empty result must not narrow the next call.
    const cv::Mat still = frame(60, 0.0, 0.0);
    StreamingDIC stream(light_config());
    stream.process_frame(still);
    EXPECT_TRUE(is_empty(stream.process_frame(still)));
    EXPECT_EQ(stream.frame_count(), 1);
    EXPECT_TRUE(is_empty(stream.process_frame(still)));
    EXPECT_EQ(stream.frame_count(), 2);
}

TEST(StreamingDIC, FailedRunLeavesStateUnchanged) {
    DICConfig config = light_config();
    config.step = 0;  // rejected by the run
    StreamingDIC stream(config);
    const cv::Mat still = frame(100, 0.0, 0.0);
    stream.process_frame(still);  // only stores the reference
    EXPECT_THROW(stream.process_frame(still), std::invalid_argument);
    EXPECT_EQ(stream.frame_count(), 0);
    EXPECT_TRUE(stream.previous_frame().empty());
    EXPECT_TRUE(is_empty(stream.last_result()));
    EXPECT_EQ(stream.last_frame_ms(), 0.0);
}

}  // namespace

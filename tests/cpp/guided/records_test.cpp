// The two settings records: what shapes a prepared reference, and what each frame's solve
// uses. Each has one check, made where it enters; the reference keeps its own settings, so a
// frame correlated with the solve record alone measures what the whole config measures.

#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "support/speckle_pair.h"

namespace {

using namespace morvex::dic;

GuidedConfig config_for(int size) {
    GuidedConfig config;
    config.subset_size = 21;
    config.step = 8;
    config.roi_x0 = 20;
    config.roi_y0 = 20;
    config.roi_x1 = size - 21;
    config.roi_y1 = size - 21;
    return config;
}

void expect_same(const GuidedResult& a, const GuidedResult& b) {
    ASSERT_EQ(a.u.size(), b.u.size());
    for (std::size_t k = 0; k < a.u.size(); ++k) {
        // Bit for bit: the same pipeline from the same settings (NaN where both are).
        EXPECT_TRUE(a.u[k] == b.u[k] || (std::isnan(a.u[k]) && std::isnan(b.u[k]))) << k;
        EXPECT_TRUE(a.v[k] == b.v[k] || (std::isnan(a.v[k]) && std::isnan(b.v[k]))) << k;
        EXPECT_TRUE(a.exx[k] == b.exx[k] || (std::isnan(a.exx[k]) && std::isnan(b.exx[k])));
        EXPECT_EQ(a.status[k], b.status[k]) << k;
    }
}

TEST(GuidedRecords, SolveRecordAloneMeasuresWhatTheWholeConfigMeasures) {
    const int size = 112;
    const auto pair = morvex::test::speckle_pair(size, size, 0.4, -0.3);
    GuidedConfig config = config_for(size);
    config.mask = cv::Mat(size, size, CV_8UC1, cv::Scalar(255));
    config.mask(cv::Rect(0, 0, 30, size)).setTo(0);
    config.strain_window = 20;
    const ReferenceImage whole(pair.reference, config);
    const ReferenceImage parts(pair.reference, static_cast<const GuidedReferenceSettings&>(config),
                               config.threads);
    const GuidedSolveSettings& solve = config;
    expect_same(correlate_guided(whole, pair.deformed, config),
                correlate_guided(parts, pair.deformed, solve));
    // The reference keeps what it was prepared with, mask included.
    EXPECT_EQ(parts.settings().subset_size, 21);
    EXPECT_EQ(parts.settings().roi_x1, size - 21);
    EXPECT_EQ(cv::countNonZero(parts.settings().mask), cv::countNonZero(config.mask));
}

TEST(GuidedRecords, AWholeConfigMustRepeatTheReferencesSettings) {
    const int size = 96;
    const auto pair = morvex::test::speckle_pair(size, size, 0.2, 0.1);
    GuidedConfig config = config_for(size);
    const ReferenceImage reference(pair.reference, config);
    GuidedConfig other = config;
    other.step = 6;
    try {
        correlate_guided(reference, pair.deformed, other);
        FAIL() << "a config of another step was accepted";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("GuidedConfig::step differs"), std::string::npos)
            << error.what();
    }
    // The solve record alone carries no reference fields to disagree.
    GuidedSolveSettings solve;
    solve.min_zncc = 0.5;
    EXPECT_EQ(correlate_guided(reference, pair.deformed, solve).rows, reference.grid_rows());
}

struct BadField {
    const char* name;
    void (*change)(GuidedConfig&);
    const char* message;
    bool reference;  // the reference record's check refuses it, else the solve record's
};

class GuidedRecordChecks : public ::testing::TestWithParam<BadField> {};

// Each record's check names the field without an image, and only its own fields.
TEST_P(GuidedRecordChecks, EachRecordRefusesItsOwnFields) {
    GuidedConfig config;
    GetParam().change(config);
    const auto message_of = [](auto&& check) {
        try {
            check();
        } catch (const std::invalid_argument& error) {
            return std::string(error.what());
        }
        return std::string();
    };
    const std::string from_reference =
        message_of([&] { static_cast<const GuidedReferenceSettings&>(config).check(); });
    const std::string from_solve =
        message_of([&] { static_cast<const GuidedSolveSettings&>(config).check(); });
    const std::string& refused = GetParam().reference ? from_reference : from_solve;
    const std::string& passed = GetParam().reference ? from_solve : from_reference;
    EXPECT_NE(refused.find(GetParam().message), std::string::npos) << refused;
    EXPECT_EQ(passed, "");
    EXPECT_EQ(message_of([&] { config.check(); }), refused);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, GuidedRecordChecks,
    ::testing::Values(
        BadField{"subset_even", [](GuidedConfig& c) { c.subset_size = 20; },
                 "subset_size must be odd and at least 5, got 20", true},
        BadField{"prefilter_wide", [](GuidedConfig& c) { c.prefilter_sigma = 4.0; },
                 "prefilter_sigma must be at most 3.5 px for subset_size 29", true},
        BadField{"reference_noise", [](GuidedConfig& c) { c.reference_noise = -0.5; },
                 "reference_noise must be -1 (estimate) or at least 0, got -0.5", true},
        BadField{"predicted_sigma", [](GuidedConfig& c) { c.max_predicted_sigma = -1.0; },
                 "max_predicted_sigma must be 0 (off) or positive", true},
        BadField{"min_zncc_low", [](GuidedConfig& c) { c.min_zncc = -1.5; },
                 "min_zncc must be a number in [-1, 1], got -1.5", false},
        BadField{"threads", [](GuidedConfig& c) { c.threads = kMaxGuidedThreads + 1; },
                 "threads must be at most 1024, got 1025", false},
        BadField{"iterations", [](GuidedConfig& c) { c.max_iterations = 0; },
                 "max_iterations must be at least 1, got 0", false},
        BadField{"strain_window", [](GuidedConfig& c) { c.strain_window = -1; },
                 "strain_window must not be negative, got -1", false}),
    [](const ::testing::TestParamInfo<BadField>& param) { return std::string(param.param.name); });

TEST(GuidedRecords, AnIncrementalSequenceCarriesOnlyTheReferenceRecord) {
    // Frames moving 1.5 px each: the reference is re-prepared from every frame with its region
    // carried along, while the solve settings stay the sequence's.
    const int size = 112;
    const auto base = morvex::test::random_dots(size, size, 3);
    GuidedConfig config = config_for(size);
    config.compute_strain = false;
    GuidedSequence sequence(morvex::test::render_dots(size, size, base), config, true);
    GuidedResult last;
    for (int k = 1; k <= 3; ++k)
        last = sequence.add_frame(morvex::test::render_dots(
            size, size, morvex::test::moved_dots(base, 1.5 * k, 0.0, 0.0, 0.0, 0.0)));
    int valid = 0;
    for (std::size_t i = 0; i < last.u.size(); ++i) {
        if (!last.valid[i]) continue;
        ++valid;
        EXPECT_NEAR(last.u[i], 4.5, 0.02) << i;
    }
    EXPECT_GT(valid, static_cast<int>(last.u.size()) / 2);
    EXPECT_EQ(sequence.config().min_zncc, config.min_zncc);
}

}  // namespace

#pragma once
// White-box access to the engine's per-point work and recovery steps, through the detail
// free functions its private members forward to (core/engine/passes.h). Each call passes the
// engine's own cancel flag, so cancelling the engine cancels the step.

#include <optional>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/engine.hpp>

#include "engine/grid.h"
#include "engine/passes.h"

namespace morvex::test {

struct EngineAccess {
    using DICConfig = dic::DICConfig;
    using DICEngine = dic::DICEngine;
    using DICResult = dic::DICResult;
    using PointResult = dic::PointResult;

    static std::vector<dic::Point2D> grid(const DICEngine&, const cv::Mat& reference,
                                          const DICConfig& config) {
        return dic::detail::make_grid(reference, config);
    }
    static PointResult point(const DICEngine&, const cv::Mat& reference, const cv::Mat& deformed,
                             int y, int x, const DICConfig& config) {
        return dic::detail::correlate_point(reference, deformed, y, x, config);
    }
    static PointResult simplex(const DICEngine&, const cv::Mat& reference, const cv::Mat& deformed,
                               int y, int x, const DICConfig& config,
                               std::optional<double> start_u = std::nullopt,
                               std::optional<double> start_v = std::nullopt) {
        return dic::detail::track_point(reference, deformed, y, x, config, start_u, start_v);
    }
    // The run's recovery as run() calls it: the run's copy has the integer search off.
    static void recover(const DICEngine& engine, const cv::Mat& reference, const cv::Mat& deformed,
                        const DICConfig& caller_config, DICResult& result) {
        DICConfig run_config = caller_config;
        run_config.tracking_integer_initialization = false;
        dic::detail::recover_tracking(reference, deformed, caller_config, run_config, result,
                                      engine.cancel_requested);
    }
    static void recover_spatially(const DICEngine& engine, const cv::Mat& reference,
                                  const cv::Mat& deformed, const DICConfig& run_config,
                                  DICResult& result) {
        dic::detail::recover_spatially(reference, deformed, run_config, result,
                                       engine.cancel_requested);
    }
    static void retry_globally(const DICEngine& engine, const cv::Mat& reference,
                               const cv::Mat& deformed, const DICConfig& caller_config,
                               DICResult& result) {
        dic::detail::retry_globally(reference, deformed, caller_config, result,
                                    engine.cancel_requested);
    }
};

}  // namespace morvex::test

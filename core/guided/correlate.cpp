#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include <omp.h>
#include <opencv2/core.hpp>

#include <morvex/guided.hpp>

#include "guided/field/strain_fit.h"
#include "guided/frame/deformed_frame.h"
#include "guided/propagation/frame_run.h"
#include "guided/propagation/propagation.h"
#include "guided/propagation/seeding.h"
#include "guided/reference/reference_data.h"
#include "guided/solve/warp_fields.h"

namespace morvex::dic {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

bool same_reference_fields(const GuidedReferenceSettings& a, const GuidedReferenceSettings& b,
                           std::string& which) {
    auto differ = [&](const char* name) {
        which = name;
        return false;
    };
    if (a.subset_size != b.subset_size) return differ("subset_size");
    if (a.step != b.step) return differ("step");
    if (a.roi_x0 != b.roi_x0 || a.roi_y0 != b.roi_y0 || a.roi_x1 != b.roi_x1 ||
        a.roi_y1 != b.roi_y1)
        return differ("roi_x0, roi_y0, roi_x1, roi_y1");
    if (a.interpolation != b.interpolation) return differ("interpolation");
    if (a.shape != b.shape) return differ("shape");
    if (!(a.prefilter_sigma == b.prefilter_sigma)) return differ("prefilter_sigma");
    if (!(a.reference_noise == b.reference_noise)) return differ("reference_noise");
    if (!(a.max_predicted_sigma == b.max_predicted_sigma)) return differ("max_predicted_sigma");
    if (a.crack_lines.size() != b.crack_lines.size()) return differ("crack_lines");
    for (std::size_t n = 0; n < a.crack_lines.size(); ++n) {
        const auto &p = a.crack_lines[n], &q = b.crack_lines[n];
        if (p.size() != q.size()) return differ("crack_lines");
        for (std::size_t k = 0; k < p.size(); ++k)
            if (!(p[k].x == q[k].x && p[k].y == q[k].y)) return differ("crack_lines");
    }
    if (a.mask.empty() != b.mask.empty()) return differ("mask");
    if (!a.mask.empty()) {
        if (a.mask.size() != b.mask.size() || a.mask.type() != b.mask.type()) return differ("mask");
        if (a.mask.data != b.mask.data && cv::norm(a.mask, b.mask, cv::NORM_INF) != 0.0)
            return differ("mask");
    }
    return true;
}

void check_previous(const GuidedResult& previous, const ReferenceImage::Data& ref) {
    const auto n = static_cast<std::size_t>(ref.points());
    if (previous.rows != ref.grid_rows() || previous.cols != ref.grid_cols())
        throw std::invalid_argument(
            "correlate_guided: previous result has a " + std::to_string(previous.rows) + " x " +
            std::to_string(previous.cols) + " grid, the reference image a " +
            std::to_string(ref.grid_rows()) + " x " + std::to_string(ref.grid_cols()) + " grid");
    for (const std::vector<double>* field : {&previous.u, &previous.v, &previous.du_dx,
                                             &previous.du_dy, &previous.dv_dx, &previous.dv_dy})
        if (field->size() != n)
            throw std::invalid_argument("correlate_guided: previous result holds " +
                                        std::to_string(field->size()) +
                                        " values in a field, expected " + std::to_string(n));
    // Second derivatives are optional (an affine result may start a second-order run).
    if (!previous.du_dxx.empty() && !detail::has_curvature(previous, n))
        throw std::invalid_argument(
            "correlate_guided: previous result holds second derivatives that do not cover its "
            "grid, expected " +
            std::to_string(n) + " values in each of the six fields");
}

}  // namespace

GuidedResult correlate_guided(const ReferenceImage& reference, const cv::Mat& deformed,
                              const GuidedConfig& config, const GuidedResult* previous) {
    // A field out of range is named as such before it is compared; the solve record is
    // checked where it enters below.
    static_cast<const GuidedReferenceSettings&>(config).check();
    std::string field;
    if (!same_reference_fields(config, reference.settings(), field))
        throw std::invalid_argument("correlate_guided: GuidedConfig::" + field +
                                    " differs from the one the ReferenceImage was built with");
    return correlate_guided(reference, deformed, static_cast<const GuidedSolveSettings&>(config),
                            previous);
}

GuidedResult correlate_guided(const ReferenceImage& reference, const cv::Mat& deformed,
                              const GuidedSolveSettings& solve, const GuidedResult* previous) {
    const ReferenceImage::Data& ref = reference.data();
    if (deformed.empty())
        throw std::invalid_argument("correlate_guided: the deformed image is empty");
    if (deformed.dims != 2 || deformed.type() != CV_64FC1)
        throw std::invalid_argument(
            "correlate_guided: the deformed image must be a 2-D CV_64FC1 matrix, got type " +
            std::to_string(deformed.type()));
    if (deformed.rows != ref.image.rows || deformed.cols != ref.image.cols)
        throw std::invalid_argument(
            "correlate_guided: the deformed image is " + std::to_string(deformed.rows) + " x " +
            std::to_string(deformed.cols) + ", the reference " + std::to_string(ref.image.rows) +
            " x " + std::to_string(ref.image.cols));
    solve.check();
    if (previous) check_previous(*previous, ref);
    detail::check_explicit_seeds(ref, solve);
    // The pipeline reads both records; the reference's are the ones it was prepared with.
    GuidedConfig config;
    static_cast<GuidedReferenceSettings&>(config) = ref.settings;
    static_cast<GuidedSolveSettings&>(config) = solve;

    const int threads = config.threads > 0 ? config.threads : omp_get_max_threads();
    const detail::DeformedFrame frame = detail::make_deformed_frame(deformed, ref, threads);

    GuidedResult out;
    out.rows = ref.grid_rows();
    out.cols = ref.grid_cols();
    const auto n = static_cast<std::size_t>(ref.points());
    out.x.resize(n);
    out.y.resize(n);
    for (int r = 0; r < out.rows; ++r)
        for (int c = 0; c < out.cols; ++c) {
            out.x[r * out.cols + c] = ref.grid_x[c];
            out.y[r * out.cols + c] = ref.grid_y[r];
        }
    for (auto* f : {&out.u, &out.v, &out.du_dx, &out.du_dy, &out.dv_dx, &out.dv_dy, &out.exx,
                    &out.eyy, &out.exy, &out.zncc, &out.sigma_u, &out.sigma_v})
        f->assign(n, kNaN);
    detail::allocate_curvature(out, n, ref.params == 12);
    out.valid.assign(n, 0);
    out.status.assign(n, static_cast<std::uint8_t>(GuidedStatus::kNotReached));
    out.iterations.assign(n, 0);

    detail::FrameRun run(ref, frame, config, previous, out);
    detail::propagate(run, threads);
    out.full_searches = run.full_searches();

    // A cancelled run returns at once: on a dense grid the plane fits take seconds, longer
    // than the user is willing to wait after asking to stop.
    const bool cancelled = config.cancel != nullptr && config.cancel->load();
    if (!cancelled) detail::fit_strain(out, config);
    return out;
}

}  // namespace morvex::dic

// ReferenceImage, correlate() and Sequence of morvex._guided. Every correlation runs with the
// interpreter lock released; progress and cancellation go through a Control that the C++
// workers update with atomics, so they never need the lock.

#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include <pybind11/stl.h>

#include "convert.hpp"
#include "convert_guided.hpp"

namespace morvex::python {

namespace {

using Roi = std::tuple<int, int, int, int>;

// A ReferenceImage together with the config it was built from: correlate() must repeat the
// (reference) fields exactly, so it starts from this copy.
struct BoundReference {
    dic::GuidedConfig config;
    std::unique_ptr<dic::ReferenceImage> image;
};

// The settings that may change from frame to frame, in one place for correlate and Sequence.
struct SolverSettings {
    double min_zncc;
    double max_jump;
    int search_range;
    int seed_count;
    int max_iterations;
    double convergence_threshold;
    bool compute_strain;
    int strain_window;
    std::string strain_measure;
    int threads;
};

void apply_reference_settings(dic::GuidedConfig& config, int subset_size, int step,
                              const std::optional<Roi>& roi, const std::optional<py::array>& mask,
                              const std::string& interpolation, double prefilter_sigma,
                              const std::string& shape) {
    config.subset_size = subset_size;
    config.step = step;
    if (roi) {
        std::tie(config.roi_x0, config.roi_y0, config.roi_x1, config.roi_y1) = *roi;
    }
    if (mask) {
        config.mask = mask_from_array(*mask);
    }
    config.interpolation = interpolation_from_name(interpolation);
    config.prefilter_sigma = prefilter_sigma;
    config.shape = shape_from_name(shape);
}

void apply_solver_settings(dic::GuidedConfig& config, const SolverSettings& s) {
    if (s.threads < 0) {
        throw py::value_error("threads must be >= 0 (0 = all cores), got " +
                              std::to_string(s.threads));
    }
    config.min_zncc = s.min_zncc;
    config.max_jump = s.max_jump;
    config.search_range = s.search_range;
    config.seed_count = s.seed_count;
    config.max_iterations = s.max_iterations;
    config.convergence_threshold = s.convergence_threshold;
    config.compute_strain = s.compute_strain;
    config.strain_window = s.strain_window;
    config.strain_measure = strain_measure_from_name(s.strain_measure);
    config.threads = s.threads;
}

void attach_control(dic::GuidedConfig& config, Control* control) {
    if (control == nullptr) {
        return;
    }
    config.cancel = &control->cancel;
    config.progress = [control](int done, int total) {
        control->total.store(total, std::memory_order_relaxed);
        control->done.store(done, std::memory_order_relaxed);
    };
}

const dic::GuidedConfig kDefaults{};

const char* interpolation_name(dic::Interpolation kind) {
    switch (kind) {
        case dic::Interpolation::kCubicBSpline: return "cubic";
        case dic::Interpolation::kKeysFourth: return "keys";
        case dic::Interpolation::kQuinticBSpline: break;
    }
    return "quintic";
}

const char* strain_measure_name(dic::StrainMeasure measure) {
    return measure == dic::StrainMeasure::kEngineering ? "engineering" : "green-lagrange";
}

}  // namespace

void bind_guided(py::module_& m) {
    py::class_<Control>(m, "Control",
                        "Cancel flag and progress counters shared with a running correlation.")
        .def(py::init<>())
        .def("cancel", [](Control& c) { c.cancel.store(true); },
             "Ask the running correlation to stop; unfinished points get status 6 (cancelled).")
        .def_property_readonly("cancelled", [](const Control& c) { return c.cancel.load(); })
        .def_property_readonly("done", [](const Control& c) { return c.done.load(); },
                               "Grid points finished so far.")
        .def_property_readonly("total", [](const Control& c) { return c.total.load(); },
                               "Grid points in the run (0 until the run reports).");

    py::class_<BoundReference>(m, "ReferenceImage",
                               "A reference image prepared once for many deformed frames.")
        .def(py::init([](const ImageArray& reference, int subset_size, int step,
                         std::optional<Roi> roi, std::optional<py::array> mask,
                         const std::string& interpolation, double prefilter_sigma,
                         const std::string& shape) {
                 auto bound = std::make_unique<BoundReference>();
                 apply_reference_settings(bound->config, subset_size, step, roi, mask,
                                          interpolation, prefilter_sigma, shape);
                 const cv::Mat image = image_from_array(reference);
                 py::gil_scoped_release release;
                 bound->image = std::make_unique<dic::ReferenceImage>(image, bound->config);
                 return bound;
             }),
             py::arg("reference"), py::kw_only(),
             py::arg("subset_size") = kDefaults.subset_size, py::arg("step") = kDefaults.step,
             py::arg("roi") = py::none(), py::arg("mask") = py::none(),
             py::arg("interpolation") = "quintic",
             py::arg("prefilter_sigma") = kDefaults.prefilter_sigma, py::arg("shape") = "affine")
        .def_property_readonly("rows", [](const BoundReference& b) { return b.image->rows(); })
        .def_property_readonly("cols", [](const BoundReference& b) { return b.image->cols(); })
        .def_property_readonly("grid_rows",
                               [](const BoundReference& b) { return b.image->grid_rows(); })
        .def_property_readonly("grid_cols",
                               [](const BoundReference& b) { return b.image->grid_cols(); })
        .def_property_readonly("memory_bytes",
                               [](const BoundReference& b) { return b.image->memory_bytes(); });

    m.def(
        "correlate",
        [](const BoundReference& reference, const ImageArray& deformed, Control* control,
           std::optional<py::dict> previous, double min_zncc, double max_jump, int search_range,
           int seed_count, int max_iterations, double convergence_threshold, bool compute_strain,
           int strain_window, const std::string& strain_measure, int threads) {
            dic::GuidedConfig config = reference.config;
            apply_solver_settings(config, {min_zncc, max_jump, search_range, seed_count,
                                           max_iterations, convergence_threshold, compute_strain,
                                           strain_window, strain_measure, threads});
            attach_control(config, control);
            const cv::Mat image = image_from_array(deformed);
            std::optional<dic::GuidedResult> start;
            if (previous) {
                start = guided_from_dict(*previous);
            }
            dic::GuidedResult result;
            {
                py::gil_scoped_release release;
                result = dic::correlate_guided(*reference.image, image, config,
                                               start ? &*start : nullptr);
            }
            return dict_from_guided(result);
        },
        "Measure the displacement field of `deformed` against a prepared reference image.",
        py::arg("reference"), py::arg("deformed"), py::kw_only(),
        py::arg("control") = static_cast<Control*>(nullptr), py::arg("previous") = py::none(),
        py::arg("min_zncc") = kDefaults.min_zncc, py::arg("max_jump") = kDefaults.max_jump,
        py::arg("search_range") = kDefaults.search_range,
        py::arg("seed_count") = kDefaults.seed_count,
        py::arg("max_iterations") = kDefaults.max_iterations,
        py::arg("convergence_threshold") = kDefaults.convergence_threshold,
        py::arg("compute_strain") = kDefaults.compute_strain,
        py::arg("strain_window") = kDefaults.strain_window,
        py::arg("strain_measure") = "green-lagrange", py::arg("threads") = kDefaults.threads);

    py::class_<dic::GuidedSequence>(m, "Sequence",
                                    "Frames against one reference, fixed or incremental.")
        .def(py::init([](const ImageArray& reference, Control* control, bool incremental,
                         int subset_size, int step, std::optional<Roi> roi,
                         std::optional<py::array> mask, const std::string& interpolation,
                         double prefilter_sigma, double min_zncc, double max_jump,
                         int search_range, int seed_count, int max_iterations,
                         double convergence_threshold, bool compute_strain, int strain_window,
                         const std::string& strain_measure, int threads,
                         const std::string& shape) {
                 dic::GuidedConfig config;
                 apply_reference_settings(config, subset_size, step, roi, mask, interpolation,
                                          prefilter_sigma, shape);
                 apply_solver_settings(config, {min_zncc, max_jump, search_range, seed_count,
                                                max_iterations, convergence_threshold,
                                                compute_strain, strain_window, strain_measure,
                                                threads});
                 attach_control(config, control);
                 const cv::Mat image = image_from_array(reference);
                 py::gil_scoped_release release;
                 return std::make_unique<dic::GuidedSequence>(image, std::move(config),
                                                              incremental);
             }),
             // The sequence keeps a pointer to the control's atomics: keep the control alive.
             py::keep_alive<1, 3>(), py::arg("reference"), py::kw_only(),
             py::arg("control"), py::arg("incremental") = false,
             py::arg("subset_size") = kDefaults.subset_size, py::arg("step") = kDefaults.step,
             py::arg("roi") = py::none(), py::arg("mask") = py::none(),
             py::arg("interpolation") = "quintic",
             py::arg("prefilter_sigma") = kDefaults.prefilter_sigma,
             py::arg("min_zncc") = kDefaults.min_zncc, py::arg("max_jump") = kDefaults.max_jump,
             py::arg("search_range") = kDefaults.search_range,
             py::arg("seed_count") = kDefaults.seed_count,
             py::arg("max_iterations") = kDefaults.max_iterations,
             py::arg("convergence_threshold") = kDefaults.convergence_threshold,
             py::arg("compute_strain") = kDefaults.compute_strain,
             py::arg("strain_window") = kDefaults.strain_window,
             py::arg("strain_measure") = "green-lagrange",
             py::arg("threads") = kDefaults.threads, py::arg("shape") = "affine")
        .def(
            "add_frame",
            [](dic::GuidedSequence& sequence, const ImageArray& frame) {
                const cv::Mat image = image_from_array(frame);
                dic::GuidedResult result;
                {
                    py::gil_scoped_release release;
                    result = sequence.add_frame(image);
                }
                return dict_from_guided(result);
            },
            "Correlate the next frame; the field is relative to the first image.",
            py::arg("frame"))
        .def_property_readonly("frame_count", &dic::GuidedSequence::frame_count);

    m.def(
        "grid_axes",
        [](int rows, int cols, int subset_size, int step, std::optional<Roi> roi) {
            dic::GuidedConfig config;
            apply_reference_settings(config, subset_size, step, roi, std::nullopt, "quintic", 0.0,
                                     "affine");
            dic::GuidedGridAxes axes;
            try {
                axes = dic::guided_grid_axes(rows, cols, config);
            } catch (const std::invalid_argument& error) {
                throw py::value_error(error.what());
            }
            return py::make_tuple(py::array_t<int>(static_cast<py::ssize_t>(axes.rows_y.size()),
                                                   axes.rows_y.data()),
                                  py::array_t<int>(static_cast<py::ssize_t>(axes.cols_x.size()),
                                                   axes.cols_x.data()));
        },
        "(grid rows' centre rows, grid columns' centre columns) a ReferenceImage of rows x cols "
        "px lays out; the same rule, without an image.",
        py::arg("rows"), py::arg("cols"), py::kw_only(),
        py::arg("subset_size") = kDefaults.subset_size, py::arg("step") = kDefaults.step,
        py::arg("roi") = py::none());

    // Status codes and their names, in code order: the package builds its enumeration from it.
    m.attr("STATUSES") = py::make_tuple(
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kConverged), "converged"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kOutsideMask), "outside_mask"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kNotConverged), "not_converged"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kLowCorrelation), "low_correlation"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kDisplacementJump),
                       "displacement_jump"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kFlatSubset), "flat_subset"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kCancelled), "cancelled"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kNotReached), "not_reached"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kBadPixels), "bad_pixels"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kLeftView), "left_view"));

    // GuidedConfig's defaults under the keyword names of this module.
    py::dict defaults;
    defaults["subset_size"] = kDefaults.subset_size;
    defaults["step"] = kDefaults.step;
    defaults["interpolation"] = interpolation_name(kDefaults.interpolation);
    defaults["prefilter_sigma"] = kDefaults.prefilter_sigma;
    defaults["min_zncc"] = kDefaults.min_zncc;
    defaults["max_jump"] = kDefaults.max_jump;
    defaults["search_range"] = kDefaults.search_range;
    defaults["seed_count"] = kDefaults.seed_count;
    defaults["max_iterations"] = kDefaults.max_iterations;
    defaults["convergence_threshold"] = kDefaults.convergence_threshold;
    defaults["compute_strain"] = kDefaults.compute_strain;
    defaults["strain_window"] = kDefaults.strain_window;
    defaults["strain_measure"] = strain_measure_name(kDefaults.strain_measure);
    defaults["threads"] = kDefaults.threads;
    m.attr("DEFAULTS") = defaults;
}

}  // namespace morvex::python

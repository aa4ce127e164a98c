// morvex._guided.Sequence: frames against one reference, fixed or incremental; each frame is
// correlated with the interpreter lock released.

#include <memory>
#include <optional>

#include <pybind11/stl.h>

#include "convert.hpp"
#include "guided_keywords.hpp"

namespace morvex::python {

void bind_sequence(py::module_& m) {
    py::class_<dic::GuidedSequence>(m, "Sequence",
                                    "Frames against one reference, fixed or incremental.")
        .def(py::init([](const ImageArray& reference, Control* control, bool incremental,
                         int subset_size, int step, std::optional<Roi> roi,
                         std::optional<MaskArray> mask, const std::string& interpolation,
                         double prefilter_sigma MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_PARAMETER),
                         const std::string& shape, double reference_noise, const SeedList& seeds,
                         double max_predicted_sigma, const CrackLineList& crack_lines) {
                 dic::GuidedConfig config;
                 apply_reference_settings(config, subset_size, step, roi, mask, interpolation,
                                          prefilter_sigma, shape, reference_noise,
                                          max_predicted_sigma);
                 apply_crack_lines(config, crack_lines);
                 apply_solver_settings(config,
                                       SolverSettings{MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_VALUE)});
                 apply_seeds(config, seeds);
                 attach_control(config, control);
                 const cv::Mat image = image_from_array(reference);
                 py::gil_scoped_release release;
                 return std::make_unique<dic::GuidedSequence>(image, std::move(config),
                                                              incremental);
             }),
             // The sequence keeps a pointer to the control's atomics: keep the control alive.
             py::keep_alive<1, 3>(), py::arg("reference"), py::kw_only(), py::arg("control"),
             py::arg("incremental") = false, py::arg("subset_size") = kDefaults.subset_size,
             py::arg("step") = kDefaults.step, py::arg("roi") = py::none(),
             py::arg("mask") = py::none(),
             py::arg("interpolation") = python_value(kDefaults.interpolation),
             py::arg("prefilter_sigma") =
                 kDefaults.prefilter_sigma MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_ARG),
             py::arg("shape") = python_value(kDefaults.shape),
             py::arg("reference_noise") = kDefaults.reference_noise, py::arg("seeds") = py::none(),
             py::arg("max_predicted_sigma") = kDefaults.max_predicted_sigma,
             py::arg("crack_lines") = py::none())
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
            "Correlate the next frame; the field is relative to the first image.", py::arg("frame"))
        .def_property_readonly("frame_count", &dic::GuidedSequence::frame_count);
}

}  // namespace morvex::python

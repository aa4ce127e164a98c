// morvex._guided.ReferenceImage and grid_axes(): the reference prepared once (interpreter lock
// released while it is) and the grid it lays out, which the package never re-derives.

#include <memory>

#include <pybind11/stl.h>

#include "convert.hpp"
#include "guided_keywords.hpp"

namespace morvex::python {

void bind_reference(py::module_& m) {
    py::class_<BoundReference>(m, "ReferenceImage",
                               "A reference image prepared once for many deformed frames.")
        .def(py::init([](const ImageArray& reference, int subset_size, int step,
                         std::optional<Roi> roi, std::optional<MaskArray> mask,
                         const std::string& interpolation, double prefilter_sigma,
                         const std::string& shape, double reference_noise,
                         double max_predicted_sigma, const CrackLineList& crack_lines) {
                 dic::GuidedReferenceSettings settings;
                 apply_reference_settings(settings, subset_size, step, roi, mask, interpolation,
                                          prefilter_sigma, shape, reference_noise,
                                          max_predicted_sigma);
                 apply_crack_lines(settings, crack_lines);
                 const cv::Mat image = image_from_array(reference);
                 auto bound = std::make_unique<BoundReference>();
                 py::gil_scoped_release release;
                 bound->image = std::make_unique<dic::ReferenceImage>(image, settings);
                 return bound;
             }),
             py::arg("reference"), py::kw_only(), py::arg("subset_size") = kDefaults.subset_size,
             py::arg("step") = kDefaults.step, py::arg("roi") = py::none(),
             py::arg("mask") = py::none(),
             py::arg("interpolation") = python_value(kDefaults.interpolation),
             py::arg("prefilter_sigma") = kDefaults.prefilter_sigma,
             py::arg("shape") = python_value(kDefaults.shape),
             py::arg("reference_noise") = kDefaults.reference_noise,
             py::arg("max_predicted_sigma") = kDefaults.max_predicted_sigma,
             py::arg("crack_lines") = py::none())
        .def_property_readonly("rows", [](const BoundReference& b) { return b.image->rows(); })
        .def_property_readonly("cols", [](const BoundReference& b) { return b.image->cols(); })
        .def_property_readonly("grid_rows",
                               [](const BoundReference& b) { return b.image->grid_rows(); })
        .def_property_readonly("grid_cols",
                               [](const BoundReference& b) { return b.image->grid_cols(); })
        .def_property_readonly("memory_bytes",
                               [](const BoundReference& b) { return b.image->memory_bytes(); })
        .def_property_readonly(
            "reference_noise", [](const BoundReference& b) { return b.image->reference_noise(); },
            "Read noise of the reference the uncertainty allows for, grey levels (estimated "
            "from the image unless reference_noise was given).");

    m.def(
        "estimate_read_noise",
        [](const ImageArray& image, std::optional<MaskArray> mask) {
            const cv::Mat grey = image_from_array(image);
            const cv::Mat specimen = mask ? mask_from_array(*mask) : cv::Mat();
            py::gil_scoped_release release;
            return dic::estimate_read_noise(grey, specimen);
        },
        "Read noise of an image, grey levels: the estimate a ReferenceImage makes of its own "
        "(0 when no 5 x 5 window lies on the mask's specimen).",
        py::arg("image"), py::kw_only(), py::arg("mask") = py::none());

    m.def(
        "grid_axes",
        [](int rows, int cols, int subset_size, int step, std::optional<Roi> roi) {
            dic::GuidedReferenceSettings config;
            apply_reference_settings(config, subset_size, step, roi, std::nullopt,
                                     python_value(kDefaults.interpolation), 0.0);
            dic::GuidedGridAxes axes;
            try {
                axes = dic::guided_grid_axes(rows, cols, config);
            } catch (const std::invalid_argument& error) {
                throw py::value_error(error.what());
            }
            return py::make_tuple(
                py::array_t<int>(static_cast<py::ssize_t>(axes.rows_y.size()), axes.rows_y.data()),
                py::array_t<int>(static_cast<py::ssize_t>(axes.cols_x.size()), axes.cols_x.data()));
        },
        "(grid rows' centre rows, grid columns' centre columns) a ReferenceImage of rows x cols "
        "px lays out; the same rule, without an image.",
        py::arg("rows"), py::arg("cols"), py::kw_only(),
        py::arg("subset_size") = kDefaults.subset_size, py::arg("step") = kDefaults.step,
        py::arg("roi") = py::none());
}

}  // namespace morvex::python

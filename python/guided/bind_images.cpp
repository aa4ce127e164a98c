// morvex._guided's image functions: reading a file, making and deforming a speckle pattern, and
// the speckle's recommended subset. The package needs them on every Python it supports, where
// _morvex_dic (a CPython 3.12 module) may be absent; both call the same morvex_core functions.

#include <cstdint>
#include <string>
#include <variant>

#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include "convert.hpp"

namespace morvex::python {

namespace {

// The package passes the file system's own bytes for a name that is not UTF-8.
std::string path_text(const std::variant<std::string, py::bytes>& path) {
    if (const auto* text = std::get_if<std::string>(&path)) {
        return *text;
    }
    return std::get<py::bytes>(path);
}

}  // namespace

// The library's std::runtime_error (a file it cannot decode) arrives as RuntimeError and its
// std::invalid_argument (a size or density out of range) as ValueError, as in _morvex_dic.
void bind_images(py::module_& m) {
    m.def(
        "load_image",
        [](const std::variant<std::string, py::bytes>& path) {
            const std::string name = path_text(path);
            cv::Mat image;
            {
                py::gil_scoped_release release;
                image = dic::load_image_gray(name);
            }
            return array_from_image(image);
        },
        "Grey float64 image (rows, cols) read from a file: 16-bit scaled by 255/65535, colour "
        "as 0.299 R + 0.587 G + 0.114 B. RuntimeError when the file cannot be decoded.",
        py::arg("path"));

    m.def(
        "generate_speckle",
        [](int rows, int cols, int dot_radius, double density, std::uint32_t seed) {
            cv::Mat image;
            {
                py::gil_scoped_release release;
                image = dic::generate_speckle(rows, cols, dot_radius, density, seed);
            }
            return array_from_image(image);
        },
        "Synthetic speckle image (rows, cols), grey levels 0..255; the same seed gives the "
        "same image on every platform.",
        py::arg("rows"), py::arg("cols"), py::arg("dot_radius"), py::arg("density"),
        py::arg("seed"));

    m.def(
        "deform_image",
        [](const ImageArray& image, double u, double v, double du_dx, double du_dy, double dv_dx,
           double dv_dy) {
            const cv::Mat source = image_from_array(image);
            cv::Mat deformed;
            {
                py::gil_scoped_release release;
                deformed = dic::deform_image(source, u, v, du_dx, du_dy, dv_dx, dv_dy);
            }
            return array_from_image(deformed);
        },
        "The image under the affine field u + du_dx x + du_dy y, v + dv_dx x + dv_dy y (px, "
        "about the origin).",
        py::arg("image"), py::arg("u"), py::arg("v"), py::arg("du_dx"), py::arg("du_dy"),
        py::arg("dv_dx"), py::arg("dv_dy"));

    m.def(
        "assess_speckle_quality",
        [](const ImageArray& image,
           int subset_size) -> py::typing::Dict<py::str, py::typing::Union<py::int_, py::float_>> {
            const cv::Mat grey = image_from_array(image);
            dic::SpeckleQuality quality;
            {
                py::gil_scoped_release release;
                quality = dic::assess_speckle_quality(grey, subset_size);
            }
            return py::typing::Dict<py::str, py::typing::Union<py::int_, py::float_>>(
                dict_from_quality(quality));
        },
        "entropy, mean_gradient, sssig, contrast, coverage (float) and recommended_subset (int, "
        "px) of a speckle image, SSSIG over subsets of subset_size px.",
        py::arg("image"), py::arg("subset_size"));
}

}  // namespace morvex::python

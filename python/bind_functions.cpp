#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

#include <morvex/dic.hpp>

#include "convert.hpp"

namespace morvex::python {

namespace {

// The library hands paths to C APIs, which would stop at an embedded NUL and read or write a
// different file than the one named; refuse such a path as Python's open() does.
const std::string& checked_path(const std::string& path) {
    if (path.find('\0') != std::string::npos) {
        throw py::value_error("Path contains an embedded null character");
    }
    return path;
}

}  // namespace

// Unnamed parameters: pybind11 then accepts no keywords, and the generated signatures number
// the arguments. Paths are std::string, which takes str (as UTF-8), bytes and bytearray and
// refuses os.PathLike objects. Library exceptions use pybind11's standard translation:
// std::runtime_error (a failed load, an unwritable export path) -> RuntimeError,
// std::invalid_argument -> ValueError.
void bind_functions(py::module_& m) {
    m.def("load_image", [](const std::string& path) {
        return array_from_image(dic::load_image_gray(checked_path(path)));
    });
    m.def("generate_speckle",
          [](int rows, int cols, int dot_radius, double density, std::uint32_t seed) {
              return array_from_image(dic::generate_speckle(rows, cols, dot_radius, density, seed));
          });
    m.def("translate_image", [](const ImageArray& image, double u, double v) {
        return array_from_image(dic::translate_image(image_from_array(image), u, v));
    });
    m.def("deform_image", [](const ImageArray& image, double u, double v, double du_dx,
                             double du_dy, double dv_dx, double dv_dy) {
        return array_from_image(
            dic::deform_image(image_from_array(image), u, v, du_dx, du_dy, dv_dx, dv_dy));
    });
    m.def("assess_speckle_quality", [](const ImageArray& image, int subset_size) {
        return dict_from_quality(dic::assess_speckle_quality(image_from_array(image), subset_size));
    });
    m.def("export_csv", [](const py::dict& result, const std::string& path, int step) {
        const dic::DICResult record = result_from_dict(result);
        dic::export_csv(record, checked_path(path), step);
    });
    m.def("export_vtk", [](const py::dict& result, const std::string& path, int step) {
        const dic::DICResult record = result_from_dict(result);
        dic::export_vtk(record, checked_path(path), step);
    });
}

}  // namespace morvex::python

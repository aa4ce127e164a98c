#include <pybind11/pybind11.h>

#include <morvex/dic.hpp>

#include "convert.hpp"

namespace morvex::python {

void bind_engine(py::module_& m) {
    using dic::DICEngine;
    py::class_<DICEngine>(m, "DICEngine")
        .def(py::init<>())
        // The interpreter lock stays held for the whole run: the workers never touch Python,
        // and holding it keeps a second Python thread from entering run() on the same engine.
        // A `step` below 1 leaves the library as std::invalid_argument, i.e. ValueError.
        .def("run",
             [](DICEngine& engine, const ImageArray& reference, const ImageArray& deformed,
                const dic::DICConfig& config) {
                 const cv::Mat reference_image = image_from_array(reference);
                 const cv::Mat deformed_image = image_from_array(deformed);
                 return dict_from_result(engine.run(reference_image, deformed_image, config));
             })
        .def("cancel", &DICEngine::cancel);
}

}  // namespace morvex::python

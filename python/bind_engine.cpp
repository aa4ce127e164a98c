#include <pybind11/pybind11.h>

#include <morvex/dic.hpp>

#include "convert.hpp"

namespace morvex::python {

void bind_engine(py::module_& m) {
    using dic::DICEngine;
    py::class_<DICEngine> engine_class(m, "DICEngine");
    engine_class
        .def(py::init<>())
        // The interpreter lock stays held for the whole run: the workers never touch Python,
        // and holding it keeps a second Python thread from entering run() on the same engine.
        // A `step` below 1 leaves the library as std::invalid_argument, i.e. ValueError.
        // The configuration comes as a pointer so that None reaches the body and fails as a
        // cast error (RuntimeError); pybind11 3 would turn a failed reference cast into
        // "incompatible function arguments" instead.
        .def("run",
             [](DICEngine& engine, const ImageArray& reference, const ImageArray& deformed,
                const dic::DICConfig* config) {
                 if (config == nullptr) {
                     throw py::cast_error("DICEngine.run: config must be a DICConfig, not None");
                 }
                 const cv::Mat reference_image = image_from_array(reference);
                 const cv::Mat deformed_image = image_from_array(deformed);
                 return dict_from_result(engine.run(reference_image, deformed_image, *config));
             })
        .def("cancel", &DICEngine::cancel);
    // As for DICConfig: no interop hook beyond the documented methods.
    py::delattr(engine_class, "_pybind11_conduit_v1_");
}

}  // namespace morvex::python

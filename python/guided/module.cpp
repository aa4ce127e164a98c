// Entry point of morvex._guided, the morvex package's binding of the guided correlation family.

#include <pybind11/pybind11.h>

#include <morvex/version.hpp>

namespace morvex::python {
namespace py = pybind11;
void bind_control(py::module_& m);
void bind_reference(py::module_& m);
void bind_correlate(py::module_& m);
void bind_sequence(py::module_& m);
void bind_tables(py::module_& m);
void bind_images(py::module_& m);
void bind_camera(py::module_& m);
}  // namespace morvex::python

PYBIND11_MODULE(_guided, m) {
    m.doc() = "Guided correlation for the morvex package (interpreter lock released)";
    // Control and ReferenceImage first: the signatures of the functions below name them.
    morvex::python::bind_control(m);
    morvex::python::bind_reference(m);
    morvex::python::bind_correlate(m);
    morvex::python::bind_sequence(m);
    morvex::python::bind_tables(m);
    morvex::python::bind_images(m);
    morvex::python::bind_camera(m);
    m.attr("__version__") = morvex::kVersion;
}

// Entry point of morvex._guided, the morvex package's binding of the guided correlation family.

#include <pybind11/pybind11.h>

#include <morvex/version.hpp>

namespace morvex::python {
namespace py = pybind11;
void bind_guided(py::module_& m);
}  // namespace morvex::python

PYBIND11_MODULE(_guided, m) {
    m.doc() = "Guided correlation for the morvex package (interpreter lock released)";
    morvex::python::bind_guided(m);
    m.attr("__version__") = morvex::kVersion;
}

// Entry point of _morvex_dic. PYBIND11_MODULE also performs the import-time check that the
// interpreter is the CPython minor version the module was built for.

#include <pybind11/pybind11.h>

#include <morvex/version.hpp>

namespace morvex::python {

namespace py = pybind11;

void bind_config(py::module_& m);
void bind_engine(py::module_& m);
void bind_functions(py::module_& m);

}  // namespace morvex::python

PYBIND11_MODULE(_morvex_dic, m) {
    m.doc() = "Morvex-3 DIC Kernel \u2014 self-developed 2D-DIC algorithm engine";
    morvex::python::bind_config(m);
    morvex::python::bind_engine(m);
    morvex::python::bind_functions(m);
    m.attr("__version__") = morvex::kVersion;
}

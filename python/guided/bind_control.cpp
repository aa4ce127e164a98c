// morvex._guided.Control: the one object a Python thread shares with a running correlation.
// Its counters are atomics that the C++ workers update without the interpreter lock.

#include "guided_keywords.hpp"

namespace morvex::python {

void bind_control(py::module_& m) {
    py::class_<Control>(m, "Control",
                        "Cancel flag and progress counters shared with a running correlation.")
        .def(py::init<>())
        .def(
            "cancel", [](Control& c) { c.cancel.store(true); },
            "Ask the running correlation to stop; unfinished points get status 6 (cancelled).")
        .def_property_readonly("cancelled", [](const Control& c) { return c.cancel.load(); })
        .def_property_readonly(
            "done", [](const Control& c) { return c.done.load(); }, "Grid points finished so far.")
        .def_property_readonly(
            "total", [](const Control& c) { return c.total.load(); },
            "Grid points in the run (0 until the run reports).");
}

}  // namespace morvex::python

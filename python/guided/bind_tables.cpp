// morvex._guided.STATUSES and DEFAULTS: the C++ lists the package builds its status
// enumeration and its settings' defaults from, so neither is written twice.

#include <pybind11/typing.h>

#include "guided_keywords.hpp"

namespace morvex::python {

void bind_tables(py::module_& m) {
    // Status codes and their names, in code order.
    m.attr_with_type_hint<py::typing::Tuple<py::typing::Tuple<py::int_, py::str>, py::ellipsis>>(
        "STATUSES") = py::make_tuple(
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kConverged), "converged"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kOutsideMask), "outside_mask"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kNotConverged), "not_converged"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kLowCorrelation), "low_correlation"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kDisplacementJump),
                       "displacement_jump"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kFlatSubset), "flat_subset"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kCancelled), "cancelled"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kNotReached), "not_reached"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kBadPixels), "bad_pixels"),
        py::make_tuple(static_cast<int>(dic::GuidedStatus::kLeftView), "left_view"));
    m.attr_with_type_hint<py::typing::Dict<py::str, py::typing::Union<py::bool_, py::int_, py::float_, py::str>>>(
        "DEFAULTS") = default_settings();
}

}  // namespace morvex::python

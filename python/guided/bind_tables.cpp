// morvex._guided.STATUSES, DEFAULTS and LIMITS: the C++ lists the package builds its status
// enumeration, its settings' defaults and their limits from, so none is written twice.

#include <limits>

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
    // The bounds the entry check holds beyond each field's own: the most threads, the
    // prefilter's radius in sigmas (which must fit in half a subset), the share of a subset
    // a grid point needs on the mask's specimen, and the largest value an integer keyword
    // carries (a C int).
    py::dict limits;
    limits["threads"] = dic::kMaxGuidedThreads;
    limits["prefilter_radius_sigmas"] = dic::kPrefilterRadiusSigmas;
    limits["min_specimen_share"] = dic::kMinSpecimenShare;
    limits["int"] = std::numeric_limits<int>::max();
    m.attr_with_type_hint<py::typing::Dict<py::str, py::typing::Union<py::int_, py::float_>>>(
        "LIMITS") = limits;
}

}  // namespace morvex::python

// morvex._guided's tables: STATUSES and STATUS_TABLE, SETTINGS with DEFAULTS and LIMITS, FIELDS,
// and check_settings(). The package builds its status enumeration and legend, its settings and
// flags, and its outputs' columns from these, so none is written twice.

#include <limits>

#include <pybind11/typing.h>

#include "guided_keywords.hpp"

namespace morvex::python {

namespace {

struct StatusRow {
    dic::GuidedStatus status;
    const char* name;
    const char* label;   // words for a legend
    const char* colour;  // #rrggbb, the colour the status field is drawn in
    const char* description;
};

// Every status in code order. The colours are a qualitative palette of ten (matplotlib's
// tab10), one per code, so neighbouring codes never share a hue; the eleventh is a dark indigo
// none of the ten comes near.
constexpr StatusRow kStatusRows[] = {
    {dic::GuidedStatus::kConverged, "converged", "converged", "#1f77b4",
     "valid: solved, ZNCC at least min_zncc, no jump from its guide"},
    {dic::GuidedStatus::kOutsideMask, "outside_mask", "outside mask", "#ff7f0e",
     "its centre, or more than half of its subset, is off the mask's specimen"},
    {dic::GuidedStatus::kNotConverged, "not_converged", "not converged", "#2ca02c",
     "the solver hit max_iterations or left the image"},
    {dic::GuidedStatus::kLowCorrelation, "low_correlation", "low correlation", "#d62728",
     "ZNCC below min_zncc, or a misfit far above its valid neighbours' (a crack, a smudge)"},
    {dic::GuidedStatus::kDisplacementJump, "displacement_jump", "displacement jump", "#9467bd",
     "differs from its guide by more than max_jump px"},
    {dic::GuidedStatus::kFlatSubset, "flat_subset", "flat subset", "#8c564b",
     "its subset cannot measure the motion: no texture, a predicted sigma above "
     "max_predicted_sigma, or an untextured patch within reach"},
    {dic::GuidedStatus::kCancelled, "cancelled", "cancelled", "#e377c2",
     "the run was stopped before the point was finished"},
    {dic::GuidedStatus::kNotReached, "not_reached", "not reached", "#7f7f7f",
     "no seed could start the specimen region it lies in"},
    {dic::GuidedStatus::kBadPixels, "bad_pixels", "bad pixels", "#bcbd22",
     "NaN or infinite grey values under (or within 4 px of) its subset"},
    {dic::GuidedStatus::kLeftView, "left_view", "left the field of view", "#17becf",
     "its subset moved out of the deformed image or onto its non-finite pixels"},
    {dic::GuidedStatus::kCrossesDiscontinuity, "crosses_discontinuity", "crosses a discontinuity",
     "#393b79",
     "its subset straddles a displacement jump (a crack): its two sides fit far better apart "
     "than under one warp"},
};

}  // namespace

void bind_tables(py::module_& m) {
    // Status codes and their names, in code order; STATUS_TABLE adds words, colours, meaning.
    py::list statuses;
    py::list status_table;
    for (const StatusRow& row : kStatusRows) {
        const int code = static_cast<int>(row.status);
        statuses.append(py::make_tuple(code, row.name));
        status_table.append(py::dict(py::arg("code") = code, py::arg("name") = row.name,
                                     py::arg("label") = row.label, py::arg("colour") = row.colour,
                                     py::arg("description") = row.description));
    }
    m.attr_with_type_hint<py::typing::Tuple<py::typing::Tuple<py::int_, py::str>, py::ellipsis>>(
        "STATUSES") = py::tuple(statuses);
    m.attr_with_type_hint<py::typing::Tuple<
        py::typing::Dict<py::str, py::typing::Union<py::int_, py::str>>, py::ellipsis>>(
        "STATUS_TABLE") = py::tuple(status_table);
    m.attr_with_type_hint<py::typing::Tuple<py::typing::Dict<py::str, py::object>, py::ellipsis>>(
        "SETTINGS") = settings_table();
    m.attr_with_type_hint<py::typing::Tuple<
        py::typing::Dict<py::str, py::typing::Union<py::bool_, py::int_, py::str>>, py::ellipsis>>(
        "FIELDS") = fields_table();
    m.def(
        "check_settings", [](const py::KWArgs<py::object>& given) { check_settings(given); },
        "Check keyword settings of ReferenceImage, correlate() and Sequence as the library "
        "does, without an image: ValueError naming the first value out of range or an "
        "unknown keyword, TypeError for a value of the wrong type. Keywords not given take "
        "their defaults.");
    m.attr_with_type_hint<
        py::typing::Dict<py::str, py::typing::Union<py::bool_, py::int_, py::float_, py::str>>>(
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

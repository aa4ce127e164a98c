// morvex._guided.SETTINGS and check_settings(): every keyword of ReferenceImage, correlate()
// and Sequence with its record, kind, default, bounds or choices, unit and help, and the
// library's own check of a set of them without an image. The package builds its settings,
// its command-line flags and the application's choices from this table.

#include <limits>
#include <set>
#include <string>

#include <pybind11/stl.h>

#include "choices.hpp"
#include "convert.hpp"
#include "guided_keywords.hpp"

namespace morvex::python {

namespace {

constexpr int kIntMax = std::numeric_limits<int>::max();

/// One row: the keys every row has, the optional ones (low, high, choices, special) unset.
py::dict row(const char* name, const char* record, const char* kind, py::object value,
             const char* unit, const char* help) {
    py::dict out;
    out["name"] = name;
    out["record"] = record;
    out["kind"] = kind;
    out["default"] = std::move(value);
    out["unit"] = unit;
    out["help"] = help;
    out["low"] = py::none();
    out["high"] = py::none();
    out["low_open"] = false;
    out["odd"] = false;
    out["choices"] = py::tuple();
    out["special"] = py::dict();
    return out;
}

py::dict integer(const char* name, const char* record, int value, int low, const char* unit,
                 const char* help) {
    py::dict out = row(name, record, "int", py::int_(value), unit, help);
    out["low"] = low;
    out["high"] = kIntMax;
    return out;
}

py::dict real(const char* name, const char* record, double value, double low, const char* unit,
              const char* help, bool low_open = false) {
    py::dict out = row(name, record, "real", py::float_(value), unit, help);
    out["low"] = low;
    out["low_open"] = low_open;
    return out;
}

template <typename Enum, std::size_t N>
py::dict choice(const char* name, const char* record, const std::array<Choice<Enum>, N>& choices,
                Enum value, const char* help) {
    py::dict out = row(name, record, "choice", py::str(choice_name(choices, value)), "", help);
    out["choices"] = py::tuple(py::cast(choice_names(choices)));
    return out;
}

py::dict special(py::dict out, py::object value, const char* meaning) {
    const py::dict specials = out["special"];
    specials[std::move(value)] = meaning;
    return out;
}

py::list rows() {
    const dic::GuidedConfig& d = kDefaults;
    py::list table;
    // The reference record: what shapes the prepared reference image.
    py::dict subset = integer("subset_size", "reference", d.subset_size, 5, "px",
                              "Side of the square subset (odd).");
    subset["odd"] = true;
    table.append(subset);
    table.append(integer("step", "reference", d.step, 1, "px", "Grid spacing."));
    table.append(row("roi", "reference", "region", py::none(), "px",
                     "Region of interest (x0, y0, x1, y1), inclusive bounds; none = the whole "
                     "image."));
    table.append(row("mask", "reference", "mask", py::none(), "",
                     "Mask of the reference's size: non-zero pixels are specimen."));
    table.append(choice("interpolation", "reference", kInterpolations, d.interpolation,
                        "Sub-pixel interpolation (quintic or cubic B-spline, Keys)."));
    table.append(real("prefilter_sigma", "reference", d.prefilter_sigma, 0.0, "px",
                      "Gaussian low-pass sigma (0: off; at most (subset - 1) / 8, so that its "
                      "4-sigma radius fits in half the subset)."));
    table.append(choice("shape", "reference", kShapes, d.shape,
                        "Subset shape function (quadratic: finer resolution, about twice the "
                        "noise)."));
    table.append(special(real("reference_noise", "reference", d.reference_noise, 0.0, "grey levels",
                              "Read noise of the reference the uncertainty allows for."),
                         py::float_(-1.0), "estimated from the reference"));
    table.append(special(real("max_predicted_sigma", "reference", d.max_predicted_sigma, 0.0, "px",
                              "Points whose subset cannot measure the motion (a predicted sigma "
                              "above this, or an edge of a dark field or a hole) are refused "
                              "before any solve."),
                         py::float_(0.0), "off"));
    table.append(row("crack_lines", "reference", "polylines", py::none(), "px",
                     "Crack lines, each a polyline of (x, y) vertices inside the image, that "
                     "subsets, seeding, growth and strain windows do not cross; points within "
                     "1 px of a line cross a discontinuity."));
    // The solve record: what each frame's correlation uses.
    py::dict zncc =
        real("min_zncc", "solve", d.min_zncc, -1.0, "", "Smallest ZNCC of a valid point.");
    zncc["high"] = 1.0;
    table.append(zncc);
    table.append(real("max_jump", "solve", d.max_jump, 0.0, "px",
                      "A point differing this much from its neighbour is rejected.", true));
    table.append(special(integer("search_range", "solve", d.search_range, -1, "px",
                                 "Half-width of the seeds' integer search; a bound that covers "
                                 "the motion is much faster."),
                         py::int_(-1), "the whole image"));
    table.append(special(integer("seed_count", "solve", d.seed_count, 0, "",
                                 "Growth blocks, each grown from its own seed."),
                         py::int_(0), "automatic"));
    table.append(integer("max_iterations", "solve", d.max_iterations, 1, "",
                         "Gauss-Newton iteration limit per point."));
    table.append(real("convergence_threshold", "solve", d.convergence_threshold, 0.0, "px",
                      "The solver stops when no subset corner moves more.", true));
    table.append(row("compute_strain", "solve", "bool", py::bool_(d.compute_strain), "",
                     "Derive the strain fields exx, eyy, exy."));
    table.append(integer("strain_window", "solve", d.strain_window, 0, "px",
                         "Half-width of the strain fit."));
    table.append(
        choice("strain_measure", "solve", kStrainMeasures, d.strain_measure, "Strain tensor."));
    table.append(choice("strain_source", "solve", kStrainSources, d.strain_source,
                        "Strain from a plane fit of u, v (displacement) or from the subsets' "
                        "own gradients (subset; a window under half a step leaves them "
                        "unsmoothed)."));
    table.append(choice("feature_seeds", "solve", kFeatureSeedModes, d.feature_seeds,
                        "Seeds from matched image features, for a specimen turned or scaled in "
                        "the image plane (auto: when the translation search finds no seed)."));
    table.append(row("seeds", "solve", "seeds", py::none(), "px",
                     "Explicit seeds (x, y) or (x, y, u, v), inside the image and on the "
                     "mask; (u, v) is the displacement a seed starts from."));
    py::dict threads =
        special(integer("threads", "solve", d.threads, 0, "", "Correlation threads."), py::int_(0),
                "all cores");
    threads["high"] = dic::kMaxGuidedThreads;
    table.append(threads);
    return table;
}

/// The keyword's value from `given`, else its default.
/// @throws pybind11::type_error naming the keyword and the type it needs.
template <typename T>
T value_of(const py::kwargs& given, const char* name, T fallback) {
    if (!given.contains(name) || given[name].is_none()) return fallback;
    try {
        return given[name].cast<T>();
    } catch (const py::cast_error&) {
        throw py::type_error(std::string(name) +
                             " has the wrong type: " + std::string(py::str(py::repr(given[name]))));
    }
}

}  // namespace

py::tuple settings_table() {
    return py::tuple(rows());
}

void check_settings(const py::kwargs& given) {
    std::set<std::string> known;
    std::string listed;
    for (const auto& entry : settings_table()) {
        const std::string name = py::str(entry["name"]);
        known.insert(name);
        listed += (listed.empty() ? "" : ", ") + name;
    }
    for (const auto& item : given) {
        const std::string name = py::str(item.first);
        if (known.count(name) == 0) {
            throw py::value_error("unknown setting '" + name + "'; known settings: " + listed);
        }
    }
    dic::GuidedConfig config;
    const auto roi = value_of<std::optional<Roi>>(given, "roi", std::nullopt);
    const auto mask = value_of<std::optional<py::array>>(given, "mask", std::nullopt);
    apply_reference_settings(
        config, value_of(given, "subset_size", kDefaults.subset_size),
        value_of(given, "step", kDefaults.step), roi, mask,
        value_of(given, "interpolation", python_value(kDefaults.interpolation)),
        value_of(given, "prefilter_sigma", kDefaults.prefilter_sigma),
        value_of(given, "shape", python_value(kDefaults.shape)),
        value_of(given, "reference_noise", kDefaults.reference_noise),
        value_of(given, "max_predicted_sigma", kDefaults.max_predicted_sigma));
    SolverSettings solver;
#define MORVEX_SOLVER_GIVEN(type, name) \
    solver.name = value_of<type>(given, #name, python_value(kDefaults.name));
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_GIVEN)
#undef MORVEX_SOLVER_GIVEN
    apply_solver_settings(config, solver);
    apply_seeds(config, value_of<SeedList>(given, "seeds", std::nullopt));
    apply_crack_lines(config, value_of<CrackLineList>(given, "crack_lines", std::nullopt));
    try {
        config.check();
    } catch (const std::invalid_argument& error) {
        throw py::value_error(error.what());
    }
}

}  // namespace morvex::python

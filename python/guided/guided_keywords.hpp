#pragma once
/// The keyword settings of morvex._guided: the solver keywords that correlate() and Sequence
/// share, listed once, and the reference-image keywords. Used only by the bind_*.cpp files.

#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "convert_guided.hpp"

namespace morvex::python {

using Roi = std::tuple<int, int, int, int>;

/// The defaults every keyword shows to Python: GuidedConfig's own.
inline const dic::GuidedConfig kDefaults{};

// The solver keywords, in the order Python sees them: X(type taken from Python, name), the
// name being both the keyword and the GuidedConfig field. The parameter list, the py::arg
// list, the copy into the config and the DEFAULTS entries are all expanded from this table,
// so a keyword cannot be declared without being applied.
#define MORVEX_SOLVER_KEYWORDS(X)    \
    X(double, min_zncc)              \
    X(double, max_jump)              \
    X(int, search_range)             \
    X(int, seed_count)               \
    X(int, max_iterations)           \
    X(double, convergence_threshold) \
    X(bool, compute_strain)          \
    X(int, strain_window)            \
    X(std::string, strain_measure)   \
    X(std::string, strain_source)    \
    X(std::string, feature_seeds)    \
    X(int, threads)

// ", type name" for each solver keyword: appended to a binding lambda's parameter list.
#define MORVEX_SOLVER_PARAMETER(type, name) , type name
// ", py::arg("name") = default" for each solver keyword: appended to a def()'s extras.
#define MORVEX_SOLVER_ARG(type, name) , py::arg(#name) = python_value(kDefaults.name)
// "name," for each solver keyword: the values, in order, to build a SolverSettings from.
#define MORVEX_SOLVER_VALUE(type, name) name,
#define MORVEX_SOLVER_FIELD(type, name) type name;

/// The settings that may change from frame to frame, as Python passed them.
struct SolverSettings {
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_FIELD)
};

/// A config field as Python sees it: enums by their names, everything else as it is.
template <typename T>
T python_value(T value) {
    return value;
}
std::string python_value(dic::Interpolation kind);
std::string python_value(dic::StrainMeasure measure);
std::string python_value(dic::StrainSource source);
std::string python_value(dic::FeatureSeeds mode);
std::string python_value(dic::SubsetShape shape);

/// Explicit seeds as Python gives them: (x, y) or (x, y, u, v) per seed, image px.
using SeedList = std::optional<std::vector<std::vector<double>>>;

/// The seeds into config.seed_points (rounded to whole pixels, row first) and, when any seed
/// has a start, seed_u and seed_v (NaN for those without).
/// @throws pybind11::value_error for a seed that is not 2 or 4 finite numbers, or a position
/// beyond a C int.
void apply_seeds(dic::GuidedSolveSettings& config, const SeedList& seeds);

/// Crack lines as Python gives them: per line, its (x, y) vertices in reference px.
using CrackLineList = std::optional<std::vector<std::vector<std::vector<double>>>>;

/// The lines into config.crack_lines (the library checks them further).
/// @throws pybind11::value_error for a vertex that is not 2 numbers, naming line and vertex.
void apply_crack_lines(dic::GuidedReferenceSettings& config, const CrackLineList& lines);

/// A prepared ReferenceImage as Python holds it; it keeps its own reference settings.
struct BoundReference {
    std::unique_ptr<dic::ReferenceImage> image;
};

/// The reference-image keywords into `config`.
/// @throws pybind11::value_error for an unknown interpolation or shape name, or a mask that
/// is not 2-D.
void apply_reference_settings(dic::GuidedReferenceSettings& config, int subset_size, int step,
                              const std::optional<Roi>& roi, const std::optional<py::array>& mask,
                              const std::string& interpolation, double prefilter_sigma,
                              const std::string& shape = "affine",
                              double reference_noise = kDefaults.reference_noise,
                              double max_predicted_sigma = kDefaults.max_predicted_sigma);

/// The solver keywords into `config`.
/// @throws pybind11::value_error for threads below 0 or an unknown strain measure or source.
void apply_solver_settings(dic::GuidedSolveSettings& config, const SolverSettings& settings);

/// Points the config's cancel flag and progress callback at `control` (nothing when null).
void attach_control(dic::GuidedSolveSettings& config, Control* control);

/// GuidedConfig's defaults under the keyword names of the module, solver keywords included.
py::dict default_settings();

/// SETTINGS: one dictionary per keyword (name, record "reference" or "solve", kind, default,
/// low, high, low_open, odd, choices, special values and their meaning, unit, help), in the
/// order the records list them.
py::tuple settings_table();

/// The library's check of keyword settings without an image (defaults for those not given).
/// @throws pybind11::value_error for an unknown keyword or a value out of range,
/// pybind11::type_error for a value of the wrong type.
void check_settings(const py::kwargs& given);

}  // namespace morvex::python

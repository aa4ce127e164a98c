#pragma once
/// The names Python gives each enumerated setting, listed once: parsing a keyword, the value
/// Python is shown and the choices of the settings table all read these lists, so a name
/// cannot be accepted in one place and missing from another.

#include <array>
#include <cstddef>
#include <string>
#include <vector>

#include <pybind11/pybind11.h>

#include <morvex/guided.hpp>

namespace morvex::python {

template <typename Enum>
struct Choice {
    const char* name;
    Enum value;
};

// The first entry of each list is what an out-of-range enum value is shown as.
inline constexpr std::array<Choice<dic::Interpolation>, 3> kInterpolations{{
    {"quintic", dic::Interpolation::kQuinticBSpline},
    {"cubic", dic::Interpolation::kCubicBSpline},
    {"keys", dic::Interpolation::kKeysFourth},
}};
inline constexpr std::array<Choice<dic::SubsetShape>, 2> kShapes{{
    {"affine", dic::SubsetShape::kAffine},
    {"quadratic", dic::SubsetShape::kQuadratic},
}};
inline constexpr std::array<Choice<dic::StrainMeasure>, 2> kStrainMeasures{{
    {"green-lagrange", dic::StrainMeasure::kGreenLagrange},
    {"engineering", dic::StrainMeasure::kEngineering},
}};
inline constexpr std::array<Choice<dic::StrainSource>, 2> kStrainSources{{
    {"displacement", dic::StrainSource::kDisplacementFit},
    {"subset", dic::StrainSource::kSubset},
}};
inline constexpr std::array<Choice<dic::FeatureSeeds>, 3> kFeatureSeedModes{{
    {"auto", dic::FeatureSeeds::kAuto},
    {"on", dic::FeatureSeeds::kOn},
    {"off", dic::FeatureSeeds::kOff},
}};

template <typename Enum, std::size_t N>
std::vector<std::string> choice_names(const std::array<Choice<Enum>, N>& choices) {
    std::vector<std::string> names;
    for (const auto& choice : choices) names.emplace_back(choice.name);
    return names;
}

/// The enum value named `name`.
/// @throws pybind11::value_error "<keyword> '<name>' is not one of 'a', 'b'".
template <typename Enum, std::size_t N>
Enum choice_value(const char* keyword, const std::array<Choice<Enum>, N>& choices,
                  const std::string& name) {
    std::string known;
    for (const auto& choice : choices) {
        if (name == choice.name) return choice.value;
        known += (known.empty() ? "'" : ", '") + std::string(choice.name) + "'";
    }
    throw pybind11::value_error(std::string(keyword) + " '" + name + "' is not one of " + known);
}

template <typename Enum, std::size_t N>
std::string choice_name(const std::array<Choice<Enum>, N>& choices, Enum value) {
    for (const auto& choice : choices) {
        if (choice.value == value) return choice.name;
    }
    return choices.front().name;
}

}  // namespace morvex::python

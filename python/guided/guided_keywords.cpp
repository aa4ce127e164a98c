#include "guided_keywords.hpp"

#include "choices.hpp"

#include <cmath>
#include <limits>
#include <sstream>

namespace morvex::python {

namespace {

template <typename Field, typename Value>
void assign(Field& field, const Value& value) {
    field = value;
}

void assign(dic::StrainMeasure& field, const std::string& name) {
    field = strain_measure_from_name(name);
}

void assign(dic::StrainSource& field, const std::string& name) {
    field = strain_source_from_name(name);
}

void assign(dic::FeatureSeeds& field, const std::string& name) {
    field = choice_value("feature_seeds", kFeatureSeedModes, name);
}

std::string shown(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

}  // namespace

std::string python_value(dic::Interpolation kind) {
    return choice_name(kInterpolations, kind);
}

std::string python_value(dic::StrainMeasure measure) {
    return choice_name(kStrainMeasures, measure);
}

std::string python_value(dic::StrainSource source) {
    return choice_name(kStrainSources, source);
}

std::string python_value(dic::FeatureSeeds mode) {
    return choice_name(kFeatureSeedModes, mode);
}

std::string python_value(dic::SubsetShape shape) {
    return choice_name(kShapes, shape);
}

void apply_seeds(dic::GuidedSolveSettings& config, const SeedList& seeds) {
    config.seed_points.clear();
    config.seed_u.clear();
    config.seed_v.clear();
    if (!seeds) {
        return;
    }
    const double nan = std::numeric_limits<double>::quiet_NaN();
    bool any_start = false;
    std::vector<double> us, vs;
    for (std::size_t k = 0; k < seeds->size(); ++k) {
        const std::vector<double>& seed = (*seeds)[k];
        const std::string which = "seed " + std::to_string(k);
        if (seed.size() != 2 && seed.size() != 4) {
            throw py::value_error(which + " must be (x, y) or (x, y, u, v), got " +
                                  std::to_string(seed.size()) + " numbers");
        }
        for (double value : seed) {
            if (!std::isfinite(value)) {
                throw py::value_error(which + " holds " + shown(value) +
                                      "; every number must be finite");
            }
        }
        // Beyond a C int no image holds the position; within it the library names the seed.
        constexpr double kLargest = static_cast<double>(std::numeric_limits<int>::max());
        if (std::fabs(seed[0]) > kLargest || std::fabs(seed[1]) > kLargest) {
            throw py::value_error(which + " (x, y) = (" + shown(seed[0]) + ", " + shown(seed[1]) +
                                  ") lies outside any image");
        }
        config.seed_points.push_back(
            {static_cast<int>(std::lround(seed[1])), static_cast<int>(std::lround(seed[0]))});
        any_start = any_start || seed.size() == 4;
        us.push_back(seed.size() == 4 ? seed[2] : nan);
        vs.push_back(seed.size() == 4 ? seed[3] : nan);
    }
    if (any_start) {
        config.seed_u = std::move(us);
        config.seed_v = std::move(vs);
    }
}

void apply_crack_lines(dic::GuidedReferenceSettings& config, const CrackLineList& lines) {
    config.crack_lines.clear();
    if (!lines) {
        return;
    }
    for (std::size_t n = 0; n < lines->size(); ++n) {
        std::vector<dic::CrackVertex> line;
        for (std::size_t k = 0; k < (*lines)[n].size(); ++k) {
            const std::vector<double>& vertex = (*lines)[n][k];
            if (vertex.size() != 2) {
                throw py::value_error("crack " + std::to_string(n) + " vertex " +
                                      std::to_string(k) + " must be (x, y), got " +
                                      std::to_string(vertex.size()) + " numbers");
            }
            line.push_back({vertex[0], vertex[1]});
        }
        config.crack_lines.push_back(std::move(line));
    }
}

void apply_reference_settings(dic::GuidedReferenceSettings& config, int subset_size, int step,
                              const std::optional<Roi>& roi, const std::optional<py::array>& mask,
                              const std::string& interpolation, double prefilter_sigma,
                              const std::string& shape, double reference_noise,
                              double max_predicted_sigma) {
    config.subset_size = subset_size;
    config.step = step;
    if (roi) {
        std::tie(config.roi_x0, config.roi_y0, config.roi_x1, config.roi_y1) = *roi;
    }
    if (mask) {
        config.mask = mask_from_array(*mask);
    }
    config.interpolation = interpolation_from_name(interpolation);
    config.prefilter_sigma = prefilter_sigma;
    config.shape = shape_from_name(shape);
    config.reference_noise = reference_noise;
    config.max_predicted_sigma = max_predicted_sigma;
}

void apply_solver_settings(dic::GuidedSolveSettings& config, const SolverSettings& settings) {
    if (settings.threads < 0) {
        throw py::value_error("threads must be >= 0 (0 = all cores), got " +
                              std::to_string(settings.threads));
    }
#define MORVEX_SOLVER_ASSIGN(type, name) assign(config.name, settings.name);
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_ASSIGN)
#undef MORVEX_SOLVER_ASSIGN
}

void attach_control(dic::GuidedSolveSettings& config, Control* control) {
    if (control == nullptr) {
        return;
    }
    config.cancel = &control->cancel;
    config.progress = [control](int done, int total) {
        control->total.store(total, std::memory_order_relaxed);
        control->done.store(done, std::memory_order_relaxed);
    };
}

py::dict default_settings() {
    py::dict defaults;
    defaults["subset_size"] = kDefaults.subset_size;
    defaults["step"] = kDefaults.step;
    defaults["interpolation"] = python_value(kDefaults.interpolation);
    defaults["prefilter_sigma"] = kDefaults.prefilter_sigma;
    defaults["reference_noise"] = kDefaults.reference_noise;
    defaults["max_predicted_sigma"] = kDefaults.max_predicted_sigma;
    defaults["shape"] = python_value(kDefaults.shape);
#define MORVEX_SOLVER_DEFAULT(type, name) defaults[#name] = python_value(kDefaults.name);
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_DEFAULT)
#undef MORVEX_SOLVER_DEFAULT
    return defaults;
}

}  // namespace morvex::python

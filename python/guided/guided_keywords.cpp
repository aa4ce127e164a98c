#include "guided_keywords.hpp"

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

}  // namespace

std::string python_value(dic::Interpolation kind) {
    switch (kind) {
        case dic::Interpolation::kCubicBSpline: return "cubic";
        case dic::Interpolation::kKeysFourth: return "keys";
        case dic::Interpolation::kQuinticBSpline: break;
    }
    return "quintic";
}

std::string python_value(dic::StrainMeasure measure) {
    return measure == dic::StrainMeasure::kEngineering ? "engineering" : "green-lagrange";
}

std::string python_value(dic::StrainSource source) {
    return source == dic::StrainSource::kSubset ? "subset" : "displacement";
}

void apply_reference_settings(dic::GuidedConfig& config, int subset_size, int step,
                              const std::optional<Roi>& roi, const std::optional<py::array>& mask,
                              const std::string& interpolation, double prefilter_sigma,
                              const std::string& shape, double reference_noise) {
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
}

void apply_solver_settings(dic::GuidedConfig& config, const SolverSettings& settings) {
    if (settings.threads < 0) {
        throw py::value_error("threads must be >= 0 (0 = all cores), got " +
                              std::to_string(settings.threads));
    }
#define MORVEX_SOLVER_ASSIGN(type, name) assign(config.name, settings.name);
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_ASSIGN)
#undef MORVEX_SOLVER_ASSIGN
}

void attach_control(dic::GuidedConfig& config, Control* control) {
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
#define MORVEX_SOLVER_DEFAULT(type, name) defaults[#name] = python_value(kDefaults.name);
    MORVEX_SOLVER_KEYWORDS(MORVEX_SOLVER_DEFAULT)
#undef MORVEX_SOLVER_DEFAULT
    return defaults;
}

}  // namespace morvex::python

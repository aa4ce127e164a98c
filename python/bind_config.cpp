#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <morvex/dic.hpp>

namespace morvex::python {

namespace py = pybind11;

// Properties in the documented order (the order of the class dictionary); every member but
// denoise_kernel_size. stl.h makes the list getters return a fresh list on every read, so
// editing that list never reaches the record: it has to be assigned back.
void bind_config(py::module_& m) {
    using dic::DICConfig;
    py::class_<DICConfig> config_class(m, "DICConfig");
    config_class.def(py::init<>())
        .def_readwrite("subset_size", &DICConfig::subset_size)
        .def_readwrite("step", &DICConfig::step)
        .def_readwrite("search_range", &DICConfig::search_range)
        .def_readwrite("search_center_u", &DICConfig::search_center_u)
        .def_readwrite("search_center_v", &DICConfig::search_center_v)
        .def_readwrite("residual_search_range", &DICConfig::residual_search_range)
        .def_readwrite("max_iterations", &DICConfig::max_iterations)
        .def_readwrite("convergence_threshold", &DICConfig::convergence_threshold)
        .def_readwrite("znssd_threshold", &DICConfig::znssd_threshold)
        .def_readwrite("use_fft_search", &DICConfig::use_fft_search)
        .def_readwrite("use_bicubic", &DICConfig::use_bicubic)
        .def_readwrite("use_tracking_simplex", &DICConfig::use_tracking_simplex)
        .def_readwrite("tracking_integer_initialization",
                       &DICConfig::tracking_integer_initialization)
        .def_readwrite("tracking_spatial_recovery", &DICConfig::tracking_spatial_recovery)
        .def_readwrite("robust_max_iterations", &DICConfig::robust_max_iterations)
        .def_readwrite("robust_tolerance", &DICConfig::robust_tolerance)
        .def_readwrite("robust_delta_disp", &DICConfig::robust_delta_disp)
        .def_readwrite("robust_delta_theta", &DICConfig::robust_delta_theta)
        .def_readwrite("disp_jump_tolerance", &DICConfig::disp_jump_tolerance)
        .def_readwrite("theta_jump_tolerance", &DICConfig::theta_jump_tolerance)
        .def_readwrite("tracking_min_zncc", &DICConfig::tracking_min_zncc)
        .def_readwrite("seed_u_arr", &DICConfig::seed_u_arr)
        .def_readwrite("seed_v_arr", &DICConfig::seed_v_arr)
        .def_readwrite("strain_window", &DICConfig::strain_window)
        .def_readwrite("compute_strain", &DICConfig::compute_strain)
        .def_readwrite("roi_x0", &DICConfig::roi_x0)
        .def_readwrite("roi_y0", &DICConfig::roi_y0)
        .def_readwrite("roi_x1", &DICConfig::roi_x1)
        .def_readwrite("roi_y1", &DICConfig::roi_y1)
        .def_readwrite("enable_denoise", &DICConfig::enable_denoise)
        // std::string takes a str as UTF-8 or bytes as they are; the getter decodes UTF-8
        // and lets Python's UnicodeDecodeError through for bytes that are not.
        .def_readwrite("denoise_method", &DICConfig::denoise_method)
        .def_readwrite("enable_contrast_enhance", &DICConfig::enable_contrast_enhance);
    // pybind11 gives every class an interop hook for other extension modules; the class offers
    // exactly the documented surface, and this module never needs the hook.
    py::delattr(config_class, "_pybind11_conduit_v1_");
}

}  // namespace morvex::python

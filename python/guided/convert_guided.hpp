#pragma once
/// Conversions of morvex._guided: keyword settings to a GuidedConfig, results to and from
/// dictionaries of 2-D NumPy arrays. All run with the interpreter lock held.

#include <atomic>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <morvex/guided.hpp>

namespace morvex::python {

namespace py = pybind11;

/// Shared between a running correlation (which writes it from worker threads without the
/// interpreter lock) and the Python thread that watches it.
struct Control {
    std::atomic<bool> cancel{false};
    std::atomic<int> done{0};
    std::atomic<int> total{0};
};

/// The dictionary of a result (see dict_from_guided()), under the type that type checkers see:
/// the fields' arrays differ in dtype, rows and cols are ints.
class GuidedDict : public py::dict {
public:
    using py::dict::dict;
};

/// A mask argument: any NumPy array of a real or bool dtype, under the name type checkers see.
class MaskArray : public py::array {
public:
    using py::array::array;
};

/// "quintic", "cubic" or "keys" to the enum.
/// @throws pybind11::value_error naming the text and the accepted ones.
dic::Interpolation interpolation_from_name(const std::string& name);

/// "affine" or "quadratic" to the enum.
/// @throws pybind11::value_error naming the text and the accepted ones.
dic::SubsetShape shape_from_name(const std::string& name);

/// "green-lagrange" or "engineering" to the enum.
/// @throws pybind11::value_error naming the text and the accepted ones.
dic::StrainMeasure strain_measure_from_name(const std::string& name);

/// "displacement" or "subset" to the enum.
/// @throws pybind11::value_error naming the text and the accepted ones.
dic::StrainSource strain_source_from_name(const std::string& name);

/// A CV_8UC1 mask (non-zero = specimen) from a 2-D array of any real or bool dtype.
/// @throws pybind11::value_error unless the array has two dimensions.
cv::Mat mask_from_array(const py::array& mask);

/// The result as a dictionary: rows, cols (int); x, y, u, v, du_dx, du_dy, dv_dx, dv_dy, exx,
/// eyy, exy, zncc, sigma_u, sigma_v (float64), valid (bool), status (uint8), iterations
/// (int32), every array of shape (rows, cols); with second-order subsets also du_dxx, du_dxy,
/// du_dyy, dv_dxx, dv_dxy, dv_dyy (float64).
GuidedDict dict_from_guided(const dic::GuidedResult& result);

/// A dictionary as dict_from_guided() writes it back into a result (used as the start of the
/// next frame); the second derivatives are read when present.
/// @throws pybind11::value_error for a missing key or an array of another size.
dic::GuidedResult guided_from_dict(const py::dict& dict);

}  // namespace morvex::python

namespace pybind11::detail {
template <>
struct handle_type_name<morvex::python::GuidedDict> {
    static constexpr auto name = const_name("dict[str, numpy.typing.NDArray[typing.Any] | int]");
};
template <>
struct handle_type_name<morvex::python::MaskArray> {
    static constexpr auto name = const_name("numpy.typing.NDArray[typing.Any]");
};
}  // namespace pybind11::detail

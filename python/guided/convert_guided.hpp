#pragma once
/// Conversions of morvex._guided: keyword settings to a GuidedConfig, results to and from
/// dictionaries of 2-D NumPy arrays. All run with the interpreter lock held.

#include <atomic>
#include <cstdint>
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

// The grid fields of a GuidedResult, in the order every output lists them:
// X(member, C++ type, dtype Python sees, unit as files write it, role, changes sign when y
// points up, description). Units: "px"; "fraction", a dimensionless ratio shown in % (0.01 is
// 1 %); "1", another dimensionless number; "" for a flag or a count. Roles: "position",
// "measured", "flag". The conversions both ways and morvex._guided.FIELDS expand from this
// table, so a field cannot reach Python without its unit and place.
#define MORVEX_GUIDED_FIELDS(X)                                                               \
    X(x, double, "float64", "px", "position", false,                                          \
      "subset centre column in the reference image")                                          \
    X(y, double, "float64", "px", "position", true,                                           \
      "subset centre row in the reference image (downwards)")                                 \
    X(u, double, "float64", "px", "measured", false,                                          \
      "displacement along x (columns, to the right)")                                         \
    X(v, double, "float64", "px", "measured", true, "displacement along y (rows, downwards)") \
    X(exx, double, "float64", "fraction", "measured", false,                                  \
      "strain tensor xx (a fraction: 0.01 is 1 %)")                                           \
    X(eyy, double, "float64", "fraction", "measured", false,                                  \
      "strain tensor yy (a fraction: 0.01 is 1 %)")                                           \
    X(exy, double, "float64", "fraction", "measured", true,                                   \
      "strain tensor xy, not engineering shear (a fraction: 0.01 is 1 %)")                    \
    X(zncc, double, "float64", "1", "measured", false,                                        \
      "zero-normalised cross-correlation of the final match")                                 \
    X(sigma_u, double, "float64", "px", "measured", false, "one-sigma uncertainty of u")      \
    X(sigma_v, double, "float64", "px", "measured", false, "one-sigma uncertainty of v")      \
    X(du_dx, double, "float64", "fraction", "measured", false,                                \
      "displacement gradient of the subset warp")                                             \
    X(du_dy, double, "float64", "fraction", "measured", true,                                 \
      "displacement gradient of the subset warp")                                             \
    X(dv_dx, double, "float64", "fraction", "measured", true,                                 \
      "displacement gradient of the subset warp")                                             \
    X(dv_dy, double, "float64", "fraction", "measured", false,                                \
      "displacement gradient of the subset warp")                                             \
    X(valid, std::uint8_t, "bool", "", "flag", false, "True where status is 0 (converged)")   \
    X(status, std::uint8_t, "uint8", "", "flag", false,                                       \
      "why the point holds its value; only 0 is valid")                                       \
    X(iterations, int, "int32", "", "flag", false, "Gauss-Newton iterations of the accepted start")

// The second derivatives of a quadratic subset's warp, 1/px, present only for shape
// "quadratic". They stay in the extension's dictionary and out of datasets, stores and
// exports: a second derivative over one subset is the noisiest number the solver makes, it
// shapes the subset's fit rather than describing the specimen (strain comes from the first
// derivatives), and a stored frame starts the next without them, the same way whether a run
// was resumed or not.
#define MORVEX_SECOND_ORDER_FIELDS(X)                                \
    X(du_dxx, double, "float64", "1/px", "second_order", false,      \
      "second derivative of u along x of the quadratic subset warp") \
    X(du_dxy, double, "float64", "1/px", "second_order", true,       \
      "cross second derivative of u of the quadratic subset warp")   \
    X(du_dyy, double, "float64", "1/px", "second_order", false,      \
      "second derivative of u along y of the quadratic subset warp") \
    X(dv_dxx, double, "float64", "1/px", "second_order", true,       \
      "second derivative of v along x of the quadratic subset warp") \
    X(dv_dxy, double, "float64", "1/px", "second_order", false,      \
      "cross second derivative of v of the quadratic subset warp")   \
    X(dv_dyy, double, "float64", "1/px", "second_order", true,       \
      "second derivative of v along y of the quadratic subset warp")

/// The result as a dictionary: rows, cols (int), then every field of MORVEX_GUIDED_FIELDS as
/// an array of shape (rows, cols) and its dtype; with second-order subsets also the
/// MORVEX_SECOND_ORDER_FIELDS.
GuidedDict dict_from_guided(const dic::GuidedResult& result);

/// FIELDS: one dictionary per field of both tables above, in order (name, dtype, unit, role,
/// mirrored, description, order).
py::tuple fields_table();

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

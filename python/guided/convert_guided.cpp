#include "convert_guided.hpp"

#include <cstdint>
#include <cstring>
#include <vector>

namespace morvex::python {

namespace {

template <typename T>
py::array_t<T> grid_array(const std::vector<T>& values, int rows, int cols) {
    py::array_t<T> array({static_cast<py::ssize_t>(rows), static_cast<py::ssize_t>(cols)});
    const std::size_t count = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    if (values.size() != count) {
        throw std::runtime_error("Internal error: a guided result array holds " +
                                 std::to_string(values.size()) + " values for a " +
                                 std::to_string(rows) + " x " + std::to_string(cols) + " grid");
    }
    if (count != 0) {
        std::memcpy(array.mutable_data(), values.data(), count * sizeof(T));
    }
    return array;
}

template <typename T>
std::vector<T> grid_vector(const py::dict& dict, const char* key, std::size_t count) {
    if (!dict.contains(key)) {
        throw py::value_error(std::string("Previous result: missing '") + key + "'");
    }
    const py::array_t<T, py::array::c_style | py::array::forcecast> array(
        py::reinterpret_borrow<py::object>(dict[key]));
    if (static_cast<std::size_t>(array.size()) != count) {
        throw py::value_error(std::string("Previous result: '") + key + "' holds " +
                              std::to_string(array.size()) + " values, not rows * cols = " +
                              std::to_string(count));
    }
    return std::vector<T>(array.data(), array.data() + array.size());
}

}  // namespace

dic::Interpolation interpolation_from_name(const std::string& name) {
    if (name == "quintic") return dic::Interpolation::kQuinticBSpline;
    if (name == "cubic") return dic::Interpolation::kCubicBSpline;
    if (name == "keys") return dic::Interpolation::kKeysFourth;
    throw py::value_error("interpolation '" + name + "' is not one of 'quintic', 'cubic', 'keys'");
}

dic::SubsetShape shape_from_name(const std::string& name) {
    if (name == "affine") return dic::SubsetShape::kAffine;
    if (name == "quadratic") return dic::SubsetShape::kQuadratic;
    throw py::value_error("shape '" + name + "' is not one of 'affine', 'quadratic'");
}

dic::StrainMeasure strain_measure_from_name(const std::string& name) {
    if (name == "green-lagrange") return dic::StrainMeasure::kGreenLagrange;
    if (name == "engineering") return dic::StrainMeasure::kEngineering;
    throw py::value_error("strain_measure '" + name +
                          "' is not one of 'green-lagrange', 'engineering'");
}

dic::StrainSource strain_source_from_name(const std::string& name) {
    if (name == "displacement") return dic::StrainSource::kDisplacementFit;
    if (name == "subset") return dic::StrainSource::kSubset;
    throw py::value_error("strain_source '" + name + "' is not one of 'displacement', 'subset'");
}

cv::Mat mask_from_array(const py::array& mask) {
    // Through float64 so bool, integer and float masks all convert; non-zero is specimen.
    const py::array_t<double, py::array::c_style | py::array::forcecast> values(mask);
    if (values.ndim() != 2) {
        throw py::value_error("mask must be a 2-D array, got " + std::to_string(values.ndim()) +
                              " dimensions");
    }
    cv::Mat out(static_cast<int>(values.shape(0)), static_cast<int>(values.shape(1)), CV_8UC1);
    const double* in = values.data();
    for (int r = 0; r < out.rows; ++r) {
        auto* row = out.ptr<std::uint8_t>(r);
        for (int c = 0; c < out.cols; ++c) {
            row[c] = in[static_cast<std::size_t>(r) * out.cols + c] != 0.0 ? 255 : 0;
        }
    }
    return out;
}

GuidedDict dict_from_guided(const dic::GuidedResult& result) {
    const int rows = result.rows;
    const int cols = result.cols;
    GuidedDict dict;
    dict["rows"] = rows;
    dict["cols"] = cols;
    dict["x"] = grid_array(result.x, rows, cols);
    dict["y"] = grid_array(result.y, rows, cols);
    dict["u"] = grid_array(result.u, rows, cols);
    dict["v"] = grid_array(result.v, rows, cols);
    dict["du_dx"] = grid_array(result.du_dx, rows, cols);
    dict["du_dy"] = grid_array(result.du_dy, rows, cols);
    dict["dv_dx"] = grid_array(result.dv_dx, rows, cols);
    dict["dv_dy"] = grid_array(result.dv_dy, rows, cols);
    dict["exx"] = grid_array(result.exx, rows, cols);
    dict["eyy"] = grid_array(result.eyy, rows, cols);
    dict["exy"] = grid_array(result.exy, rows, cols);
    dict["zncc"] = grid_array(result.zncc, rows, cols);
    dict["sigma_u"] = grid_array(result.sigma_u, rows, cols);
    dict["sigma_v"] = grid_array(result.sigma_v, rows, cols);
    dict["valid"] = grid_array(result.valid, rows, cols).attr("astype")("bool");
    dict["status"] = grid_array(result.status, rows, cols);
    dict["iterations"] = grid_array(result.iterations, rows, cols);
    dict["full_searches"] = result.full_searches;
    dict["seconds_by_status"] = py::array_t<double>(
        static_cast<py::ssize_t>(result.seconds_by_status.size()), result.seconds_by_status.data());
    if (!result.du_dxx.empty()) {
        dict["du_dxx"] = grid_array(result.du_dxx, rows, cols);
        dict["du_dxy"] = grid_array(result.du_dxy, rows, cols);
        dict["du_dyy"] = grid_array(result.du_dyy, rows, cols);
        dict["dv_dxx"] = grid_array(result.dv_dxx, rows, cols);
        dict["dv_dxy"] = grid_array(result.dv_dxy, rows, cols);
        dict["dv_dyy"] = grid_array(result.dv_dyy, rows, cols);
    }
    return dict;
}

dic::GuidedResult guided_from_dict(const py::dict& dict) {
    dic::GuidedResult result;
    if (!dict.contains("rows") || !dict.contains("cols")) {
        throw py::value_error("Previous result: missing 'rows' or 'cols'");
    }
    result.rows = dict["rows"].cast<int>();
    result.cols = dict["cols"].cast<int>();
    if (result.rows < 0 || result.cols < 0) {
        throw py::value_error("Previous result: negative rows or cols");
    }
    const std::size_t n = static_cast<std::size_t>(result.rows) * result.cols;
    result.x = grid_vector<double>(dict, "x", n);
    result.y = grid_vector<double>(dict, "y", n);
    result.u = grid_vector<double>(dict, "u", n);
    result.v = grid_vector<double>(dict, "v", n);
    result.du_dx = grid_vector<double>(dict, "du_dx", n);
    result.du_dy = grid_vector<double>(dict, "du_dy", n);
    result.dv_dx = grid_vector<double>(dict, "dv_dx", n);
    result.dv_dy = grid_vector<double>(dict, "dv_dy", n);
    result.exx = grid_vector<double>(dict, "exx", n);
    result.eyy = grid_vector<double>(dict, "eyy", n);
    result.exy = grid_vector<double>(dict, "exy", n);
    result.zncc = grid_vector<double>(dict, "zncc", n);
    result.sigma_u = grid_vector<double>(dict, "sigma_u", n);
    result.sigma_v = grid_vector<double>(dict, "sigma_v", n);
    result.valid = grid_vector<std::uint8_t>(dict, "valid", n);
    result.status = grid_vector<std::uint8_t>(dict, "status", n);
    result.iterations = grid_vector<int>(dict, "iterations", n);
    if (dict.contains("du_dxx")) {
        result.du_dxx = grid_vector<double>(dict, "du_dxx", n);
        result.du_dxy = grid_vector<double>(dict, "du_dxy", n);
        result.du_dyy = grid_vector<double>(dict, "du_dyy", n);
        result.dv_dxx = grid_vector<double>(dict, "dv_dxx", n);
        result.dv_dxy = grid_vector<double>(dict, "dv_dxy", n);
        result.dv_dyy = grid_vector<double>(dict, "dv_dyy", n);
    }
    return result;
}

}  // namespace morvex::python

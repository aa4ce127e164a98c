#include "convert.hpp"

#include <climits>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace morvex::python {

namespace {

template <typename T>
py::array_t<T> array_from_vector(const std::vector<T>& values) {
    py::array_t<T> array(static_cast<py::ssize_t>(values.size()));
    if (!values.empty()) {
        std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
    }
    return array;
}

// C-contiguous request: NumPy lays out any shape in row-major order, so the copy is one block.
// The converting constructor lets NumPy's own exception through (ensure() would swallow it).
template <typename T>
std::vector<T> vector_from_value(const py::handle& value) {
    const py::array_t<T, py::array::c_style | py::array::forcecast> array(
        py::reinterpret_borrow<py::object>(value));
    return std::vector<T>(array.data(), array.data() + array.size());
}

void require_values(const char* key, std::size_t held, std::int64_t needed) {
    if (static_cast<std::int64_t>(held) < needed) {
        throw py::value_error("Result dictionary: '" + std::string(key) + "' holds " +
                              std::to_string(held) +
                              " values, fewer than rows * cols = " + std::to_string(needed));
    }
}

}  // namespace

cv::Mat image_from_array(const ImageArray& array) {
    if (array.ndim() != 2) {
        throw std::runtime_error("Expected 2D array");
    }
    const py::ssize_t rows = array.shape(0);
    const py::ssize_t cols = array.shape(1);
    // A zero-sized array may still carry a huge extent, e.g. shape (2**31, 0).
    if (rows > INT_MAX || cols > INT_MAX) {
        throw py::value_error("Array of shape (" + std::to_string(rows) + ", " +
                              std::to_string(cols) + ") is too large for an image");
    }
    cv::Mat image(static_cast<int>(rows), static_cast<int>(cols), CV_64FC1);
    if (image.empty()) {
        return image;
    }
    if ((array.flags() & py::array::c_style) != 0) {
        std::memcpy(image.ptr<double>(), array.data(),
                    static_cast<std::size_t>(rows * cols) * sizeof(double));
        return image;
    }
    // The unchecked view applies both byte strides, negative ones included.
    const auto view = array.unchecked<2>();
    for (int r = 0; r < image.rows; ++r) {
        auto* out = image.ptr<double>(r);
        for (int c = 0; c < image.cols; ++c) {
            out[c] = view(r, c);
        }
    }
    return image;
}

py::array_t<double> array_from_image(const cv::Mat& image) {
    if (image.dims > 2 || (!image.empty() && image.type() != CV_64FC1)) {
        throw std::runtime_error(
            "Internal error: the library returned an image that is not "
            "a 2-D single-channel float64 matrix");
    }
    py::array_t<double> array(
        {static_cast<py::ssize_t>(image.rows), static_cast<py::ssize_t>(image.cols)});
    if (image.empty()) {
        return array;
    }
    const auto row_bytes = static_cast<std::size_t>(image.cols) * sizeof(double);
    for (int r = 0; r < image.rows; ++r) {
        std::memcpy(array.mutable_data(r, 0), image.ptr<double>(r), row_bytes);
    }
    return array;
}

py::dict dict_from_result(const dic::DICResult& result) {
    py::dict dict;
    dict["rows"] = result.rows;
    dict["cols"] = result.cols;
    dict["u"] = array_from_vector(result.u);
    dict["v"] = array_from_vector(result.v);
    dict["exx"] = array_from_vector(result.exx);
    dict["eyy"] = array_from_vector(result.eyy);
    dict["exy"] = array_from_vector(result.exy);
    dict["confidence"] = array_from_vector(result.confidence);
    dict["valid"] = array_from_vector(result.valid);
    return dict;
}

py::dict dict_from_quality(const dic::SpeckleQuality& quality) {
    py::dict dict;
    dict["entropy"] = quality.entropy;
    dict["mean_gradient"] = quality.mean_gradient;
    dict["sssig"] = quality.sssig;
    dict["contrast"] = quality.contrast;
    dict["coverage"] = quality.coverage;
    dict["recommended_subset"] = quality.recommended_subset;
    return dict;
}

dic::DICResult result_from_dict(const py::dict& dict) {
    dic::DICResult result;
    result.rows = dict["rows"].cast<int>();
    result.cols = dict["cols"].cast<int>();
    result.u = vector_from_value<double>(dict["u"]);
    result.v = vector_from_value<double>(dict["v"]);
    result.exx = vector_from_value<double>(dict["exx"]);
    result.eyy = vector_from_value<double>(dict["eyy"]);
    result.exy = vector_from_value<double>(dict["exy"]);
    result.confidence = vector_from_value<double>(dict["confidence"]);
    result.valid = vector_from_value<std::uint8_t>(dict["valid"]);

    // The exporters index every array up to rows * cols; refuse short ones here, before any
    // file is touched, rather than let a reader run past the end.
    if (result.rows < 0 || result.cols < 0) {
        throw py::value_error("Result dictionary: rows and cols must not be negative (rows = " +
                              std::to_string(result.rows) +
                              ", cols = " + std::to_string(result.cols) + ")");
    }
    const std::int64_t points = static_cast<std::int64_t>(result.rows) * result.cols;
    require_values("u", result.u.size(), points);
    require_values("v", result.v.size(), points);
    require_values("exx", result.exx.size(), points);
    require_values("eyy", result.eyy.size(), points);
    require_values("exy", result.exy.size(), points);
    require_values("confidence", result.confidence.size(), points);
    return result;
}

}  // namespace morvex::python

#pragma once
/// The five conversions every binding of _morvex_dic goes through. Each one copies: no NumPy
/// array shares memory with a library image or record, and the library never holds a Python
/// object. All of them run on the calling thread with the interpreter lock held.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <opencv2/core/mat.hpp>

#include <morvex/dic.hpp>

namespace morvex::python {

namespace py = pybind11;

/// An image argument: anything NumPy can turn into 64-bit floats (forced casting). Objects
/// NumPy cannot convert fail overload resolution, so the caller sees pybind11's TypeError.
using ImageArray = py::array_t<double, py::array::forcecast>;

/// New grey image (CV_64FC1) holding element [r, c] of `array` at (r, c). Follows the strides,
/// so transposed, sliced and negatively strided views give exactly the values they show.
/// @throws std::runtime_error "Expected 2D array" unless `array` has two dimensions.
/// @throws pybind11::value_error when a dimension exceeds the int range of cv::Mat.
cv::Mat image_from_array(const ImageArray& array);

/// New C-contiguous float64 array of shape (rows, cols) holding a copy of a grey image.
/// @throws std::runtime_error when `image` is not a 2-D CV_64FC1 matrix.
py::array_t<double> array_from_image(const cv::Mat& image);

/// The result dictionary: rows, cols (int), u, v, exx, eyy, exy, confidence (1-D float64),
/// valid (1-D uint8), inserted in this order. `iterations` and `points` stay in C++.
py::dict dict_from_result(const dic::DICResult& result);

/// The quality dictionary: entropy, mean_gradient, sssig, contrast, coverage (float),
/// recommended_subset (int), in this order.
py::dict dict_from_quality(const dic::SpeckleQuality& quality);

/// A result dictionary back into a DICResult, for the exporters. Keys are read in the order
/// rows, cols, u, v, exx, eyy, exy, confidence, valid; every array value is flattened in
/// row-major order whatever its number of dimensions. `iterations` and `points` stay empty.
/// @throws KeyError (pybind11::error_already_set) for a missing key.
/// @throws pybind11::cast_error when rows or cols does not convert to int (a float never does).
/// @throws pybind11::error_already_set carrying NumPy's error for an unconvertible array.
/// @throws pybind11::value_error for negative rows or cols, or when u, v, exx, eyy, exy or
/// confidence holds fewer than rows * cols values (a shorter valid is allowed).
dic::DICResult result_from_dict(const py::dict& dict);

}  // namespace morvex::python

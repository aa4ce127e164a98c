#include "convert_guided.hpp"

#include "choices.hpp"

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
                              std::to_string(array.size()) +
                              " values, not rows * cols = " + std::to_string(count));
    }
    return std::vector<T>(array.data(), array.data() + array.size());
}

}  // namespace

dic::Interpolation interpolation_from_name(const std::string& name) {
    return choice_value("interpolation", kInterpolations, name);
}

dic::SubsetShape shape_from_name(const std::string& name) {
    return choice_value("shape", kShapes, name);
}

dic::StrainMeasure strain_measure_from_name(const std::string& name) {
    return choice_value("strain_measure", kStrainMeasures, name);
}

dic::StrainSource strain_source_from_name(const std::string& name) {
    return choice_value("strain_source", kStrainSources, name);
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
#define MORVEX_FIELD_TO_DICT(name, type, dtype, unit, role, mirrored, description) \
    dict[#name] = grid_array(result.name, rows, cols);
    MORVEX_GUIDED_FIELDS(MORVEX_FIELD_TO_DICT)
    if (!result.du_dxx.empty()) {
        MORVEX_SECOND_ORDER_FIELDS(MORVEX_FIELD_TO_DICT)
    }
#undef MORVEX_FIELD_TO_DICT
    dict["valid"] = dict["valid"].attr("astype")("bool");
    dict["full_searches"] = result.full_searches;
    dict["seconds_by_status"] = py::array_t<double>(
        static_cast<py::ssize_t>(result.seconds_by_status.size()), result.seconds_by_status.data());
    return dict;
}

py::tuple fields_table() {
    py::list fields;
#define MORVEX_FIELD_ROW(name, type, dtype, unit, role, mirrored, description)                   \
    fields.append(py::dict(py::arg("name") = #name, py::arg("dtype") = dtype,                    \
                           py::arg("unit") = unit, py::arg("role") = role,                       \
                           py::arg("mirrored") = mirrored, py::arg("description") = description, \
                           py::arg("order") = py::len(fields)));
    MORVEX_GUIDED_FIELDS(MORVEX_FIELD_ROW)
    MORVEX_SECOND_ORDER_FIELDS(MORVEX_FIELD_ROW)
#undef MORVEX_FIELD_ROW
    return py::tuple(fields);
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
#define MORVEX_FIELD_FROM_DICT(name, type, dtype, unit, role, mirrored, description) \
    result.name = grid_vector<type>(dict, #name, n);
    MORVEX_GUIDED_FIELDS(MORVEX_FIELD_FROM_DICT)
    if (dict.contains("du_dxx")) {
        MORVEX_SECOND_ORDER_FIELDS(MORVEX_FIELD_FROM_DICT)
    }
#undef MORVEX_FIELD_FROM_DICT
    return result;
}

}  // namespace morvex::python

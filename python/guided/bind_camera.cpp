// morvex._guided's camera functions: finding a planar target in an image, calibrating a camera
// from views of it, and OpenCV's own undistortion, plane pose and projection of points, which
// morvex.camera and morvex.metric build on. Points travel as (n, 2) or (n, 3) float64 arrays.

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/typing.h>

#include <morvex/calibration.hpp>

#include "convert.hpp"

namespace morvex::python {

namespace {

using Points = py::array_t<double, py::array::c_style | py::array::forcecast>;

dic::TargetKind target_kind(const std::string& name) {
    if (name == "chessboard") {
        return dic::TargetKind::chessboard;
    }
    if (name == "circles") {
        return dic::TargetKind::circles;
    }
    if (name == "asymmetric_circles") {
        return dic::TargetKind::asymmetric_circles;
    }
    throw std::invalid_argument("target must be chessboard, circles or asymmetric_circles, got " +
                                name);
}

void check_points(const Points& points, py::ssize_t width, const char* what) {
    if (points.ndim() != 2 || points.shape(1) != width) {
        throw std::invalid_argument(std::string(what) + " must be an (n, " + std::to_string(width) +
                                    ") array");
    }
}

std::vector<cv::Point2d> points2d(const Points& points, const char* what) {
    check_points(points, 2, what);
    std::vector<cv::Point2d> out(static_cast<std::size_t>(points.shape(0)));
    const auto view = points.unchecked<2>();
    for (py::ssize_t i = 0; i < points.shape(0); ++i) {
        out[static_cast<std::size_t>(i)] = cv::Point2d(view(i, 0), view(i, 1));
    }
    return out;
}

std::vector<cv::Point2f> points2f(const Points& points, const char* what) {
    std::vector<cv::Point2f> out;
    for (const cv::Point2d& p : points2d(points, what)) {
        out.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y));
    }
    return out;
}

std::vector<cv::Point3d> points3d(const Points& points, const char* what) {
    check_points(points, 3, what);
    std::vector<cv::Point3d> out(static_cast<std::size_t>(points.shape(0)));
    const auto view = points.unchecked<2>();
    for (py::ssize_t i = 0; i < points.shape(0); ++i) {
        out[static_cast<std::size_t>(i)] = cv::Point3d(view(i, 0), view(i, 1), view(i, 2));
    }
    return out;
}

std::vector<cv::Point3f> points3f(const Points& points, const char* what) {
    std::vector<cv::Point3f> out;
    for (const cv::Point3d& p : points3d(points, what)) {
        out.emplace_back(static_cast<float>(p.x), static_cast<float>(p.y), static_cast<float>(p.z));
    }
    return out;
}

template <typename Point>
py::array_t<double> array2(const std::vector<Point>& points) {
    py::array_t<double> out({static_cast<py::ssize_t>(points.size()), py::ssize_t{2}});
    auto view = out.mutable_unchecked<2>();
    for (std::size_t i = 0; i < points.size(); ++i) {
        view(static_cast<py::ssize_t>(i), 0) = static_cast<double>(points[i].x);
        view(static_cast<py::ssize_t>(i), 1) = static_cast<double>(points[i].y);
    }
    return out;
}

template <typename Point>
py::array_t<double> array3(const std::vector<Point>& points) {
    py::array_t<double> out({static_cast<py::ssize_t>(points.size()), py::ssize_t{3}});
    auto view = out.mutable_unchecked<2>();
    for (std::size_t i = 0; i < points.size(); ++i) {
        view(static_cast<py::ssize_t>(i), 0) = static_cast<double>(points[i].x);
        view(static_cast<py::ssize_t>(i), 1) = static_cast<double>(points[i].y);
        view(static_cast<py::ssize_t>(i), 2) = static_cast<double>(points[i].z);
    }
    return out;
}

cv::Matx33d matrix33(const Points& matrix, const char* what) {
    if (matrix.ndim() != 2 || matrix.shape(0) != 3 || matrix.shape(1) != 3) {
        throw std::invalid_argument(std::string(what) + " must be a 3 x 3 matrix");
    }
    const auto view = matrix.unchecked<2>();
    cv::Matx33d out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out(r, c) = view(r, c);
        }
    }
    return out;
}

py::array_t<double> array33(const cv::Matx33d& matrix) {
    py::array_t<double> out({py::ssize_t{3}, py::ssize_t{3}});
    auto view = out.mutable_unchecked<2>();
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            view(r, c) = matrix(r, c);
        }
    }
    return out;
}

py::array_t<double> array_of(const std::vector<double>& values) {
    py::array_t<double> out(static_cast<py::ssize_t>(values.size()));
    auto view = out.mutable_unchecked<1>();
    for (std::size_t i = 0; i < values.size(); ++i) {
        view(static_cast<py::ssize_t>(i)) = values[i];
    }
    return out;
}

cv::Vec3d vector3(const Points& values, const char* what) {
    if (values.ndim() != 1 || values.shape(0) != 3) {
        throw std::invalid_argument(std::string(what) + " must have 3 values");
    }
    return {values.at(0), values.at(1), values.at(2)};
}

std::vector<double> coefficient_list(const Points& values) {
    if (values.ndim() != 1) {
        throw std::invalid_argument("dist_coeffs must be a flat list of coefficients");
    }
    std::vector<double> out(static_cast<std::size_t>(values.shape(0)));
    for (py::ssize_t i = 0; i < values.shape(0); ++i) {
        out[static_cast<std::size_t>(i)] = values.at(i);
    }
    return out;
}

dic::CharucoTarget charuco_target(int columns, int rows, double square, double marker,
                                  const std::string& dictionary) {
    dic::CharucoTarget target;
    target.squares = cv::Size(columns, rows);
    target.square_mm = square;
    target.marker_mm = marker;
    target.dictionary = dictionary;
    return target;
}

}  // namespace

// std::invalid_argument arrives as ValueError and OpenCV's cv::Exception as RuntimeError.
void bind_camera(py::module_& m) {
    m.def(
        "find_target_points",
        [](const ImageArray& image, const std::string& target, int columns,
           int rows) -> py::object {
            const cv::Mat grey = image_from_array(image);
            const dic::TargetKind kind = target_kind(target);
            std::vector<cv::Point2f> points;
            {
                py::gil_scoped_release release;
                points = dic::find_target_points(grey, kind, cv::Size(columns, rows));
            }
            if (points.empty()) {
                return py::none();
            }
            return array2(points);
        },
        "The target's points (n, 2) px found in a grey image, in target_object_points' order; "
        "None when the whole pattern is not found. target: chessboard (inner corners), circles "
        "or asymmetric_circles.",
        py::arg("image"), py::arg("target"), py::arg("columns"), py::arg("rows"));

    m.def(
        "target_object_points",
        [](const std::string& target, int columns, int rows, double spacing) {
            return array3(
                dic::target_object_points(target_kind(target), cv::Size(columns, rows), spacing));
        },
        "The target's points (n, 3) on its own plane (z = 0), mm, spacing apart.",
        py::arg("target"), py::arg("columns"), py::arg("rows"), py::arg("spacing"));

    m.def(
        "calibrate_camera",
        [](const std::vector<Points>& object_points, const std::vector<Points>& image_points,
           const std::array<int, 2>& image_size,
           int flags) -> py::typing::Dict<py::str, py::object> {
            std::vector<std::vector<cv::Point3f>> objects;
            std::vector<std::vector<cv::Point2f>> images;
            for (const Points& view : object_points) {
                objects.push_back(points3f(view, "object_points"));
            }
            for (const Points& view : image_points) {
                images.push_back(points2f(view, "image_points"));
            }
            dic::CameraCalibration result;
            {
                py::gil_scoped_release release;
                result = dic::calibrate_camera(objects, images,
                                               cv::Size(image_size[0], image_size[1]), flags);
            }
            py::list rotations;
            py::list translations;
            for (std::size_t i = 0; i < result.rotations.size(); ++i) {
                const cv::Vec3d& r = result.rotations[i];
                const cv::Vec3d& t = result.translations[i];
                rotations.append(array_of({r[0], r[1], r[2]}));
                translations.append(array_of({t[0], t[1], t[2]}));
            }
            py::dict out;
            out["camera_matrix"] = array33(result.camera_matrix);
            out["dist_coeffs"] = array_of(result.dist_coeffs);
            out["rms"] = result.rms;
            out["view_rms"] = array_of(result.view_rms);
            out["intrinsic_sigma"] = array_of(result.intrinsic_sigma);
            out["rotations"] = rotations;
            out["translations"] = translations;
            return out;
        },
        "cv::calibrateCamera over views of a planar target: camera_matrix, dist_coeffs (k1, k2, "
        "p1, p2, k3, ...), rms and view_rms (px), intrinsic_sigma (one sigma of fx, fy, cx, cy, "
        "then the coefficients), and each view's rotations (Rodrigues) and translations (mm). "
        "image_size is (width, height); flags are OpenCV's CALIB_* flags.",
        py::arg("object_points"), py::arg("image_points"), py::arg("image_size"),
        py::arg("flags") = 0);

    m.def(
        "undistort_points",
        [](const Points& points, const Points& camera_matrix, const Points& dist_coeffs,
           bool to_pixels) {
            const std::vector<cv::Point2d> in = points2d(points, "points");
            const cv::Matx33d camera = matrix33(camera_matrix, "camera_matrix");
            const std::vector<double> dist = coefficient_list(dist_coeffs);
            std::vector<cv::Point2d> out;
            {
                py::gil_scoped_release release;
                out = dic::undistort_points(in, camera, dist, to_pixels);
            }
            return array2(out);
        },
        "cv::undistortPoints iterated to its fixed point: (n, 2) px in, normalised (x/z, y/z) "
        "out, or pixels through the same camera matrix with to_pixels.",
        py::arg("points"), py::arg("camera_matrix"), py::arg("dist_coeffs"),
        py::arg("to_pixels") = false);

    m.def(
        "solve_plane_pose",
        [](const Points& object_points, const Points& image_points, const Points& camera_matrix,
           const Points& dist_coeffs) -> py::typing::Dict<py::str, py::object> {
            const dic::PlanePose pose = dic::solve_plane_pose(
                points3f(object_points, "object_points"), points2f(image_points, "image_points"),
                matrix33(camera_matrix, "camera_matrix"), coefficient_list(dist_coeffs));
            py::dict out;
            out["rotation"] = array33(pose.rotation);
            out["translation"] =
                array_of({pose.translation[0], pose.translation[1], pose.translation[2]});
            out["rms"] = pose.rms;
            return out;
        },
        "cv::solvePnP of a planar target's view: rotation (3 x 3) and translation (mm) taking "
        "target coordinates to the camera's, and the view's reprojection rms (px).",
        py::arg("object_points"), py::arg("image_points"), py::arg("camera_matrix"),
        py::arg("dist_coeffs"));

    m.def(
        "project_points",
        [](const Points& points, const Points& rotation, const Points& translation,
           const Points& camera_matrix, const Points& dist_coeffs) {
            const std::vector<cv::Point3d> in = points3d(points, "points");
            const cv::Matx33d r = matrix33(rotation, "rotation");
            const cv::Vec3d t = vector3(translation, "translation");
            const cv::Matx33d camera = matrix33(camera_matrix, "camera_matrix");
            const std::vector<double> dist = coefficient_list(dist_coeffs);
            std::vector<cv::Point2d> out;
            {
                py::gil_scoped_release release;
                out = dic::project_points(in, r, t, camera, dist);
            }
            return array2(out);
        },
        "cv::projectPoints: points (n, 3) moved by rotation and translation into the camera's "
        "frame, through the lens, to pixels (n, 2).",
        py::arg("points"), py::arg("rotation"), py::arg("translation"), py::arg("camera_matrix"),
        py::arg("dist_coeffs"));
    m.def(
        "find_charuco_corners",
        [](const ImageArray& image, int columns, int rows, double square, double marker,
           const std::string& dictionary) {
            const cv::Mat grey = image_from_array(image);
            const dic::CharucoTarget target =
                charuco_target(columns, rows, square, marker, dictionary);
            dic::CharucoCorners found;
            {
                py::gil_scoped_release release;
                found = dic::find_charuco_corners(grey, target);
            }
            py::array_t<int> ids(static_cast<py::ssize_t>(found.ids.size()));
            auto view = ids.mutable_unchecked<1>();
            for (std::size_t i = 0; i < found.ids.size(); ++i) {
                view(static_cast<py::ssize_t>(i)) = found.ids[i];
            }
            return py::make_tuple(array2(found.points), ids);
        },
        "A ChArUco board's corners found in a grey image: (points (n, 2) px, ids (n,)), each id "
        "a row of charuco_object_points; n is 0 when no marker is found. columns and rows count "
        "squares; square and marker are their sides (mm); dictionary is OpenCV's name.",
        py::arg("image"), py::arg("columns"), py::arg("rows"), py::arg("square"), py::arg("marker"),
        py::arg("dictionary") = "DICT_5X5_100");

    m.def(
        "charuco_object_points",
        [](int columns, int rows, double square, double marker, const std::string& dictionary) {
            return array3(dic::charuco_object_points(
                charuco_target(columns, rows, square, marker, dictionary)));
        },
        "Every corner (n, 3) of a ChArUco board on its own plane (z = 0), mm, in id order.",
        py::arg("columns"), py::arg("rows"), py::arg("square"), py::arg("marker"),
        py::arg("dictionary") = "DICT_5X5_100");

    m.def(
        "draw_charuco_board",
        [](int columns, int rows, double square, double marker, const std::string& dictionary,
           double pixels_per_mm, int margin) {
            const cv::Mat board = dic::draw_charuco_board(
                charuco_target(columns, rows, square, marker, dictionary), pixels_per_mm, margin);
            cv::Mat grey;
            board.convertTo(grey, CV_64F);
            return array_from_image(grey);
        },
        "A ChArUco board as printed, grey levels 0 and 255 (float64), pixels_per_mm px per mm "
        "inside a white margin of margin px: board mm (x, y) at pixel margin + pixels_per_mm * "
        "(x, y), pixel edges at whole numbers.",
        py::arg("columns"), py::arg("rows"), py::arg("square"), py::arg("marker"),
        py::arg("dictionary") = "DICT_5X5_100", py::arg("pixels_per_mm") = 10.0,
        py::arg("margin") = 0);
}

}  // namespace morvex::python

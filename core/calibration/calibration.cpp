#include <morvex/calibration.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/target_image.h"

namespace morvex::dic {

namespace {

void check_pattern(cv::Size pattern) {
    if (pattern.width < 2 || pattern.height < 2) {
        throw std::invalid_argument("target pattern must be at least 2 x 2, got " +
                                    std::to_string(pattern.width) + " x " +
                                    std::to_string(pattern.height));
    }
}

void check_camera(const cv::Matx33d& camera_matrix, const std::vector<double>& dist_coeffs) {
    const double fx = camera_matrix(0, 0);
    const double fy = camera_matrix(1, 1);
    const bool finite = std::isfinite(fx) && std::isfinite(fy) &&
                        std::isfinite(camera_matrix(0, 2)) && std::isfinite(camera_matrix(1, 2));
    if (!finite || fx <= 0.0 || fy <= 0.0 || camera_matrix(2, 2) != 1.0 ||
        camera_matrix(2, 0) != 0.0 || camera_matrix(2, 1) != 0.0) {
        throw std::invalid_argument(
            "camera matrix must be [[fx, s, cx], [0, fy, cy], [0, 0, 1]] with fx, fy > 0");
    }
    const std::size_t n = dist_coeffs.size();
    if (n != 0 && n != 4 && n != 5 && n != 8 && n != 12 && n != 14) {
        throw std::invalid_argument("distortion needs 4, 5, 8, 12 or 14 coefficients, got " +
                                    std::to_string(n));
    }
    for (const double c : dist_coeffs) {
        if (!std::isfinite(c)) {
            throw std::invalid_argument("distortion coefficients must be finite");
        }
    }
}

// OpenCV reads an empty Mat as "no distortion"; an empty vector would not convert cleanly.
cv::Mat coefficients(const std::vector<double>& dist_coeffs) {
    if (dist_coeffs.empty()) {
        return cv::Mat();
    }
    return cv::Mat(dist_coeffs, true).reshape(1, 1);
}

// The refinement's half window: as large as the squares allow (more edge pixels, less
// noise) without reaching the neighbouring corners, which would pull the estimate.
cv::Size refine_window(const std::vector<cv::Point2f>& points, cv::Size pattern) {
    double nearest = 1e9;
    for (int row = 0; row < pattern.height; ++row) {
        for (int col = 0; col < pattern.width; ++col) {
            const std::size_t at = static_cast<std::size_t>(row * pattern.width + col);
            if (col + 1 < pattern.width) {
                nearest = std::min(nearest, cv::norm(points[at + 1] - points[at]));
            }
            if (row + 1 < pattern.height) {
                const std::size_t below = at + static_cast<std::size_t>(pattern.width);
                nearest = std::min(nearest, cv::norm(points[below] - points[at]));
            }
        }
    }
    const int half = std::clamp(static_cast<int>(nearest * 0.4), 2, 11);
    return {half, half};
}

}  // namespace

std::vector<cv::Point2f> find_target_points(const cv::Mat& image, TargetKind kind,
                                            cv::Size pattern) {
    check_pattern(pattern);
    const cv::Mat grey = detail::grey_target(image);
    std::vector<cv::Point2f> points;
    if (kind == TargetKind::chessboard) {
        // The classic detector with a gradient-orthogonality refinement lands within a few
        // hundredths of a pixel on sharp and tilted boards alike; the sector-based one, which
        // refines itself, finds boards it misses (heavy blur, strong distortion) at about a
        // tenth of a pixel, so it comes second.
        const int flags = cv::CALIB_CB_ADAPTIVE_THRESH | cv::CALIB_CB_NORMALIZE_IMAGE;
        if (cv::findChessboardCorners(grey, pattern, points, flags)) {
            cv::cornerSubPix(
                grey, points, refine_window(points, pattern), cv::Size(-1, -1),
                cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-5));
            return points;
        }
        points.clear();
        const int sb_flags =
            cv::CALIB_CB_NORMALIZE_IMAGE | cv::CALIB_CB_EXHAUSTIVE | cv::CALIB_CB_ACCURACY;
        if (cv::findChessboardCornersSB(grey, pattern, points, sb_flags)) {
            return points;
        }
        return {};
    }
    const int grid =
        kind == TargetKind::circles ? cv::CALIB_CB_SYMMETRIC_GRID : cv::CALIB_CB_ASYMMETRIC_GRID;
    if (!cv::findCirclesGrid(grey, pattern, points, grid)) {
        return {};
    }
    return points;
}

std::vector<cv::Point3f> target_object_points(TargetKind kind, cv::Size pattern, double spacing) {
    check_pattern(pattern);
    if (!(spacing > 0.0) || !std::isfinite(spacing)) {
        throw std::invalid_argument("target spacing must be positive and finite");
    }
    std::vector<cv::Point3f> points;
    points.reserve(static_cast<std::size_t>(pattern.width) *
                   static_cast<std::size_t>(pattern.height));
    for (int row = 0; row < pattern.height; ++row) {
        for (int col = 0; col < pattern.width; ++col) {
            // The asymmetric grid's rows are offset by half a pitch, OpenCV's layout.
            const double x = kind == TargetKind::asymmetric_circles
                                 ? (2.0 * col + row % 2) * spacing
                                 : col * spacing;
            points.emplace_back(static_cast<float>(x), static_cast<float>(row * spacing), 0.0f);
        }
    }
    return points;
}

CameraCalibration calibrate_camera(const std::vector<std::vector<cv::Point3f>>& object_points,
                                   const std::vector<std::vector<cv::Point2f>>& image_points,
                                   cv::Size image_size, int flags) {
    if (object_points.size() != image_points.size()) {
        throw std::invalid_argument("calibration needs as many target point sets as views");
    }
    if (object_points.size() < 3) {
        throw std::invalid_argument("calibration needs at least 3 views, got " +
                                    std::to_string(object_points.size()));
    }
    for (std::size_t view = 0; view < object_points.size(); ++view) {
        if (object_points[view].size() != image_points[view].size() ||
            object_points[view].size() < 4) {
            throw std::invalid_argument("view " + std::to_string(view) +
                                        " needs at least 4 points, as many in the image as on "
                                        "the target");
        }
    }
    if (image_size.width <= 0 || image_size.height <= 0) {
        throw std::invalid_argument("image size must be positive");
    }
    cv::Mat camera = cv::Mat::eye(3, 3, CV_64F);
    cv::Mat dist;
    std::vector<cv::Mat> rotations;
    std::vector<cv::Mat> translations;
    cv::Mat sigma_intrinsic;
    cv::Mat sigma_extrinsic;
    cv::Mat view_errors;
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-12);
    CameraCalibration result;
    result.rms = cv::calibrateCamera(object_points, image_points, image_size, camera, dist,
                                     rotations, translations, sigma_intrinsic, sigma_extrinsic,
                                     view_errors, flags, criteria);
    result.camera_matrix = cv::Matx33d(camera);
    dist.reshape(1, 1).copyTo(result.dist_coeffs);
    view_errors.reshape(1, 1).copyTo(result.view_rms);
    sigma_intrinsic.reshape(1, 1).copyTo(result.intrinsic_sigma);
    for (std::size_t view = 0; view < rotations.size(); ++view) {
        result.rotations.emplace_back(rotations[view].reshape(1, 3));
        result.translations.emplace_back(translations[view].reshape(1, 3));
    }
    return result;
}

std::vector<cv::Point2d> undistort_points(const std::vector<cv::Point2d>& points,
                                          const cv::Matx33d& camera_matrix,
                                          const std::vector<double>& dist_coeffs, bool to_pixels) {
    check_camera(camera_matrix, dist_coeffs);
    if (points.empty()) {
        return {};
    }
    std::vector<cv::Point2d> out;
    // The default five iterations leave ~1e-4 px at a wide lens's corners; metric strain needs
    // the fixed point itself.
    const cv::TermCriteria criteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-12);
    const cv::Mat camera(camera_matrix);
    cv::undistortPoints(points, out, camera, coefficients(dist_coeffs), cv::noArray(),
                        to_pixels ? camera : cv::Mat(), criteria);
    return out;
}

PlanePose solve_plane_pose(const std::vector<cv::Point3f>& object_points,
                           const std::vector<cv::Point2f>& image_points,
                           const cv::Matx33d& camera_matrix,
                           const std::vector<double>& dist_coeffs) {
    check_camera(camera_matrix, dist_coeffs);
    if (object_points.size() != image_points.size() || object_points.size() < 4) {
        throw std::invalid_argument(
            "a plane's pose needs at least 4 points, as many in the image as on the target");
    }
    cv::Mat rvec;
    cv::Mat tvec;
    const cv::Mat camera(camera_matrix);
    const cv::Mat dist = coefficients(dist_coeffs);
    // IPPE is exact for a planar target; the iterative refinement then polishes its answer.
    cv::solvePnP(object_points, image_points, camera, dist, rvec, tvec, false, cv::SOLVEPNP_IPPE);
    cv::solvePnPRefineLM(
        object_points, image_points, camera, dist, rvec, tvec,
        cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-12));
    PlanePose pose;
    cv::Mat rotation;
    cv::Rodrigues(rvec, rotation);
    pose.rotation = cv::Matx33d(rotation);
    pose.translation = cv::Vec3d(tvec.reshape(1, 3));
    std::vector<cv::Point2f> projected;
    cv::projectPoints(object_points, rvec, tvec, camera, dist, projected);
    double sum = 0.0;
    for (std::size_t i = 0; i < projected.size(); ++i) {
        const cv::Point2f d = projected[i] - image_points[i];
        sum += static_cast<double>(d.x) * d.x + static_cast<double>(d.y) * d.y;
    }
    pose.rms = std::sqrt(sum / static_cast<double>(projected.size()));
    return pose;
}

std::vector<cv::Point2d> project_points(const std::vector<cv::Point3d>& points,
                                        const cv::Matx33d& rotation, const cv::Vec3d& translation,
                                        const cv::Matx33d& camera_matrix,
                                        const std::vector<double>& dist_coeffs) {
    check_camera(camera_matrix, dist_coeffs);
    if (points.empty()) {
        return {};
    }
    cv::Mat rvec;
    cv::Rodrigues(cv::Mat(rotation), rvec);
    std::vector<cv::Point2d> out;
    cv::projectPoints(points, rvec, cv::Mat(translation), cv::Mat(camera_matrix),
                      coefficients(dist_coeffs), out);
    return out;
}

}  // namespace morvex::dic

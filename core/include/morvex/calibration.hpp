#pragma once
/// Camera calibration from views of a planar target, and the geometry that takes image points
/// to a plane in front of the camera: the target's corners, OpenCV's calibration, its
/// undistortion of points, the pose of a plane from one view and the forward projection. Every
/// function is a thin, checked layer over calib3d so the package never re-implements a model
/// OpenCV already owns; all are safe to call from many threads at once.

#include <cstddef>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>
#include <opencv2/core/matx.hpp>
#include <opencv2/core/types.hpp>

#include <morvex/visibility.hpp>

namespace morvex::dic {

/// The planar targets the calibration recognises. A chessboard's pattern counts its inner
/// corners; a circle grid's its circles (the asymmetric grid's columns as OpenCV counts them).
enum class TargetKind { chessboard, circles, asymmetric_circles };

/// The target's points found in a grey image (CV_64FC1, grey levels 0..255, or CV_8UC1), in
/// the order of target_object_points; empty when the whole pattern is not found.
/// @throws std::invalid_argument for an empty or colour image or a pattern under 2 x 2.
MORVEX_EXPORT std::vector<cv::Point2f> find_target_points(const cv::Mat& image, TargetKind kind,
                                                          cv::Size pattern);

/// The target's points on its own plane (z = 0), in millimetres, `spacing` apart.
/// @throws std::invalid_argument for a pattern under 2 x 2 or a spacing that is not positive.
MORVEX_EXPORT std::vector<cv::Point3f> target_object_points(TargetKind kind, cv::Size pattern,
                                                            double spacing);

/// A ChArUco board: a chessboard of `squares` (columns x rows of squares, not of corners), a
/// marker from OpenCV's predefined `dictionary` (its own names, such as DICT_5X5_100) in each
/// light square, `marker_mm` wide inside a square `square_mm` wide. Its corners are the
/// chessboard's inner ones, numbered row by row from the board's origin.
struct CharucoTarget {
    cv::Size squares;
    double square_mm = 0.0;
    double marker_mm = 0.0;
    std::string dictionary = "DICT_5X5_100";
};

/// The ChArUco corners seen in one image (px) and each one's number (its index into
/// charuco_object_points); a partly hidden board gives the corners two markers vouch for.
struct CharucoCorners {
    std::vector<cv::Point2f> points;
    std::vector<int> ids;
};

/// The board's corners found in a grey image (CV_64FC1, grey levels 0..255, or CV_8UC1) by
/// cv::aruco::detectMarkers, refineDetectedMarkers and interpolateCornersCharuco; empty when
/// no marker is found.
/// @throws std::invalid_argument for an empty or colour image, under 2 x 2 squares, sides that
/// are not positive or a marker not smaller than its square, an unknown dictionary or one with
/// fewer codes than the board has markers.
MORVEX_EXPORT CharucoCorners find_charuco_corners(const cv::Mat& image,
                                                  const CharucoTarget& target);

/// Every corner of the board on its own plane (z = 0), mm, in the order of their ids.
/// @throws std::invalid_argument as find_charuco_corners for the board.
MORVEX_EXPORT std::vector<cv::Point3f> charuco_object_points(const CharucoTarget& target);

/// The board as printed (CV_8UC1, black 0 and white 255) by CharucoBoard::draw, `pixels_per_mm`
/// px per mm with a white margin of `margin_px` all round: board millimetre (x, y) lands at
/// pixel margin_px + pixels_per_mm * (x, y), pixel edges at whole numbers.
/// @throws std::invalid_argument as find_charuco_corners, or for a scale that is not positive,
/// a negative margin or an image over 1e8 pixels.
MORVEX_EXPORT cv::Mat draw_charuco_board(const CharucoTarget& target, double pixels_per_mm,
                                         int margin_px);

/// What calibrate_camera returns: OpenCV's camera matrix and distortion coefficients (k1, k2,
/// p1, p2, k3, ...), the overall reprojection RMS (px), the RMS of each view, the one-sigma
/// uncertainty of fx, fy, cx, cy, k1, k2, p1, p2, k3 and each view's pose.
struct CameraCalibration {
    cv::Matx33d camera_matrix;
    std::vector<double> dist_coeffs;
    double rms = 0.0;
    std::vector<double> view_rms;
    std::vector<double> intrinsic_sigma;
    std::vector<cv::Vec3d> rotations;     ///< Rodrigues vectors, target to camera
    std::vector<cv::Vec3d> translations;  ///< mm
};

/// Calibrates with cv::calibrateCamera; `flags` are its CALIB_* flags.
/// @throws std::invalid_argument for fewer than 3 views, views whose point counts differ from
/// their targets', fewer than 4 points in a view, or an image size that is not positive.
MORVEX_EXPORT CameraCalibration calibrate_camera(
    const std::vector<std::vector<cv::Point3f>>& object_points,
    const std::vector<std::vector<cv::Point2f>>& image_points, cv::Size image_size, int flags);

/// Image points (px) without the lens's distortion, by cv::undistortPoints iterated to 1e-12:
/// normalised coordinates (x/z, y/z) or, with `to_pixels`, back through the camera matrix.
/// @throws std::invalid_argument for a camera matrix that is not a camera's or 4, 5, 8, 12 or
/// 14 coefficients not given (an empty list means none).
MORVEX_EXPORT std::vector<cv::Point2d> undistort_points(const std::vector<cv::Point2d>& points,
                                                        const cv::Matx33d& camera_matrix,
                                                        const std::vector<double>& dist_coeffs,
                                                        bool to_pixels);

/// A plane's pose (target to camera) found by cv::solvePnP from one view of points on it, with
/// the reprojection RMS (px) of that view.
struct PlanePose {
    cv::Matx33d rotation;
    cv::Vec3d translation;
    double rms = 0.0;
};

/// @throws std::invalid_argument for fewer than 4 points or counts that differ.
MORVEX_EXPORT PlanePose solve_plane_pose(const std::vector<cv::Point3f>& object_points,
                                         const std::vector<cv::Point2f>& image_points,
                                         const cv::Matx33d& camera_matrix,
                                         const std::vector<double>& dist_coeffs);

/// Points in the camera's frame (after `rotation` and `translation`) projected through the
/// lens by cv::projectPoints, in pixels.
MORVEX_EXPORT std::vector<cv::Point2d> project_points(const std::vector<cv::Point3d>& points,
                                                      const cv::Matx33d& rotation,
                                                      const cv::Vec3d& translation,
                                                      const cv::Matx33d& camera_matrix,
                                                      const std::vector<double>& dist_coeffs);

}  // namespace morvex::dic

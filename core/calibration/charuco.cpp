#include <morvex/calibration.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <utility>

#include <opencv2/aruco/charuco.hpp>
#include <opencv2/imgproc.hpp>

#include "calibration/target_image.h"

namespace morvex::dic {

namespace {

// OpenCV's predefined dictionaries under their own names, so a board printed from any OpenCV
// tool is named the same way here.
const std::pair<const char*, cv::aruco::PREDEFINED_DICTIONARY_NAME> kDictionaries[] = {
    {"DICT_4X4_50", cv::aruco::DICT_4X4_50},
    {"DICT_4X4_100", cv::aruco::DICT_4X4_100},
    {"DICT_4X4_250", cv::aruco::DICT_4X4_250},
    {"DICT_4X4_1000", cv::aruco::DICT_4X4_1000},
    {"DICT_5X5_50", cv::aruco::DICT_5X5_50},
    {"DICT_5X5_100", cv::aruco::DICT_5X5_100},
    {"DICT_5X5_250", cv::aruco::DICT_5X5_250},
    {"DICT_5X5_1000", cv::aruco::DICT_5X5_1000},
    {"DICT_6X6_50", cv::aruco::DICT_6X6_50},
    {"DICT_6X6_100", cv::aruco::DICT_6X6_100},
    {"DICT_6X6_250", cv::aruco::DICT_6X6_250},
    {"DICT_6X6_1000", cv::aruco::DICT_6X6_1000},
    {"DICT_7X7_50", cv::aruco::DICT_7X7_50},
    {"DICT_7X7_100", cv::aruco::DICT_7X7_100},
    {"DICT_7X7_250", cv::aruco::DICT_7X7_250},
    {"DICT_7X7_1000", cv::aruco::DICT_7X7_1000},
    {"DICT_ARUCO_ORIGINAL", cv::aruco::DICT_ARUCO_ORIGINAL},
    {"DICT_APRILTAG_16h5", cv::aruco::DICT_APRILTAG_16h5},
    {"DICT_APRILTAG_25h9", cv::aruco::DICT_APRILTAG_25h9},
    {"DICT_APRILTAG_36h10", cv::aruco::DICT_APRILTAG_36h10},
    {"DICT_APRILTAG_36h11", cv::aruco::DICT_APRILTAG_36h11},
};

cv::Ptr<cv::aruco::Dictionary> dictionary_of(const std::string& name) {
    for (const auto& [known, id] : kDictionaries) {
        if (name == known) {
            return cv::aruco::getPredefinedDictionary(id);
        }
    }
    throw std::invalid_argument("unknown ArUco dictionary " + name +
                                " (OpenCV's names, such as DICT_5X5_100)");
}

cv::Ptr<cv::aruco::CharucoBoard> board_of(const CharucoTarget& target) {
    const cv::Size squares = target.squares;
    if (squares.width < 2 || squares.height < 2) {
        throw std::invalid_argument("a ChArUco board needs at least 2 x 2 squares, got " +
                                    std::to_string(squares.width) + " x " +
                                    std::to_string(squares.height));
    }
    if (!(target.square_mm > 0.0) || !std::isfinite(target.square_mm)) {
        throw std::invalid_argument("ChArUco square side must be positive and finite");
    }
    if (!(target.marker_mm > 0.0) || !(target.marker_mm < target.square_mm)) {
        throw std::invalid_argument(
            "ChArUco marker side must be positive and smaller than the "
            "square side");
    }
    const cv::Ptr<cv::aruco::Dictionary> dictionary = dictionary_of(target.dictionary);
    // One marker in every other square: the board needs that many distinct codes.
    const int markers = squares.width * squares.height / 2;
    if (markers > dictionary->bytesList.rows) {
        throw std::invalid_argument("a " + std::to_string(squares.width) + " x " +
                                    std::to_string(squares.height) + " ChArUco board needs " +
                                    std::to_string(markers) + " markers but " + target.dictionary +
                                    " has " + std::to_string(dictionary->bytesList.rows));
    }
    return cv::aruco::CharucoBoard::create(squares.width, squares.height,
                                           static_cast<float>(target.square_mm),
                                           static_cast<float>(target.marker_mm), dictionary);
}

constexpr int kFillShift = 4;  // fractional bits of the fill's vertices: 1/16 px

// A marker's outline pushed out by `by` px all round (about its centre; the four corners of a
// square, as detectMarkers gives them), in 1 / 2^kFillShift px.
std::vector<cv::Point> grown(const std::vector<cv::Point2f>& corners, double by) {
    cv::Point2f centre(0.0f, 0.0f);
    for (const cv::Point2f& p : corners) {
        centre += p * 0.25f;
    }
    std::vector<cv::Point> out;
    for (const cv::Point2f& p : corners) {
        const double half_side = cv::norm(p - centre) / std::sqrt(2.0);
        const double factor = 1.0 + by / std::max(half_side, 1.0);
        const cv::Point2f q = centre + (p - centre) * static_cast<float>(factor);
        out.emplace_back(cvRound(q.x * (1 << kFillShift)), cvRound(q.y * (1 << kFillShift)));
    }
    return out;
}

// The corners once more on the chessboard's own edges, with the markers painted over in
// their squares' light grey first: the interpolation's own refinement leaves about half a
// pixel of bias on sharp boards, and a window that reaches a marker's edges is pulled by
// them, while one that stays in the light gap round it is too small to average the noise.
// With the markers gone the board is a chessboard near each corner and takes the
// chessboard's window: four tenths of the nearest corner distance.
void refine_corners(const cv::Mat& grey, const CharucoTarget& target,
                    const std::vector<std::vector<cv::Point2f>>& markers, CharucoCorners& found) {
    if (found.points.empty()) {
        return;
    }
    const int across = target.squares.width - 1;
    double nearest = 1e9;
    for (std::size_t a = 0; a < found.ids.size(); ++a) {
        for (std::size_t b = a + 1; b < found.ids.size(); ++b) {
            const int step = std::abs(found.ids[a] - found.ids[b]);
            const bool beside =
                step == across || (step == 1 && found.ids[a] / across == found.ids[b] / across);
            if (beside) {
                nearest = std::min(nearest, cv::norm(found.points[a] - found.points[b]));
            }
        }
    }
    if (nearest > 1e8) {
        return;  // a lone corner: no scale to size the window by
    }
    cv::Mat plain = grey.clone();
    const double gap_share = (target.square_mm - target.marker_mm) / (2.0 * target.marker_mm);
    for (const std::vector<cv::Point2f>& marker : markers) {
        double side = 0.0;
        for (std::size_t k = 0; k < 4; ++k) {
            side += cv::norm(marker[k] - marker[(k + 1) % 4]) / 4.0;
        }
        const double gap = side * gap_share;  // px from the marker to its square's edges
        // The light grey at 0.7 of the way across the gap, clear of the marker's blurred edge
        // and of the chessboard's; the fill then covers the marker and its edge, half way.
        cv::Mat ring_mask(grey.size(), CV_8U, cv::Scalar(0));
        cv::polylines(ring_mask, grown(marker, gap * 0.7), true, cv::Scalar(255), 1, cv::LINE_8,
                      kFillShift);
        const cv::Scalar light = cv::mean(grey, ring_mask);
        cv::fillConvexPoly(plain, grown(marker, gap * 0.5), light, cv::LINE_AA, kFillShift);
    }
    const int half = std::clamp(static_cast<int>(nearest * 0.4), 2, 11);
    cv::cornerSubPix(plain, found.points, cv::Size(half, half), cv::Size(-1, -1),
                     cv::TermCriteria(cv::TermCriteria::COUNT | cv::TermCriteria::EPS, 100, 1e-5));
}

}  // namespace

CharucoCorners find_charuco_corners(const cv::Mat& image, const CharucoTarget& target) {
    const cv::Ptr<cv::aruco::CharucoBoard> board = board_of(target);
    const cv::Mat grey = detail::grey_target(image);
    std::vector<std::vector<cv::Point2f>> marker_corners;
    std::vector<int> marker_ids;
    std::vector<std::vector<cv::Point2f>> rejected;
    const cv::Ptr<cv::aruco::DetectorParameters> parameters =
        cv::aruco::DetectorParameters::create();
    cv::aruco::detectMarkers(grey, board->dictionary, marker_corners, marker_ids, parameters,
                             rejected);
    CharucoCorners found;
    if (marker_ids.empty()) {
        return found;
    }
    // Markers the first pass missed next to found ones are looked for again where the board's
    // layout puts them: more corners at the edges of a partly hidden or steep view.
    cv::aruco::refineDetectedMarkers(grey, board, marker_corners, marker_ids, rejected);
    // Without a camera, each corner comes from the homography of its neighbouring markers and
    // is then refined on the chessboard's own edges; two markers must agree on it.
    cv::aruco::interpolateCornersCharuco(marker_corners, marker_ids, grey, board, found.points,
                                         found.ids);
    refine_corners(grey, target, marker_corners, found);
    return found;
}

std::vector<cv::Point3f> charuco_object_points(const CharucoTarget& target) {
    return board_of(target)->chessboardCorners;
}

cv::Mat draw_charuco_board(const CharucoTarget& target, double pixels_per_mm, int margin_px) {
    const cv::Ptr<cv::aruco::CharucoBoard> board = board_of(target);
    if (!(pixels_per_mm > 0.0) || !std::isfinite(pixels_per_mm) || margin_px < 0) {
        throw std::invalid_argument(
            "a drawn board needs a positive scale (px per mm) and a "
            "margin of 0 px or more");
    }
    const double side = target.square_mm * pixels_per_mm;
    const cv::Size size(
        static_cast<int>(std::lround(target.squares.width * side)) + 2 * margin_px,
        static_cast<int>(std::lround(target.squares.height * side)) + 2 * margin_px);
    if (static_cast<double>(size.width) * size.height > 1e8) {
        throw std::invalid_argument("a drawn board would exceed 1e8 pixels; lower the scale");
    }
    cv::Mat out;
    board->draw(size, out, margin_px, 1);
    return out;
}

}  // namespace morvex::dic

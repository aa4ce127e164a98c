// Calibration against a camera known exactly: chessboard views rendered in code through a lens
// with about 1 % radial distortion at the sensor's corners, then calibrated; and the ChArUco
// board's drawing, whose corners must come back where its own geometry puts them.

#include <morvex/calibration.hpp>

#include <cmath>
#include <stdexcept>
#include <vector>

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

namespace morvex::dic {
namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const cv::Matx33d kCamera(360.0, 0.0, 161.4, 0.0, 362.0, 118.7, 0.0, 0.0, 1.0);
// r^2 is about 0.31 at the corners, so k1 r^2 is 1 %.
const std::vector<double> kDistortion = {-0.032, 0.0, 0.0, 0.0, 0.0};
const cv::Size kPattern(9, 6);    // inner corners
constexpr double kSquare = 10.0;  // mm

cv::Matx33d rotation(double about_x, double about_y, double about_z) {
    const cv::Matx33d rx(1, 0, 0, 0, std::cos(about_x), -std::sin(about_x), 0, std::sin(about_x),
                         std::cos(about_x));
    const cv::Matx33d ry(std::cos(about_y), 0, std::sin(about_y), 0, 1, 0, -std::sin(about_y), 0,
                         std::cos(about_y));
    const cv::Matx33d rz(std::cos(about_z), -std::sin(about_z), 0, std::sin(about_z),
                         std::cos(about_z), 0, 0, 0, 1);
    return rx * ry * rz;
}

// The chessboard's grey level at plane mm (x, y): inner corners on a kSquare grid from the
// origin, one light square of margin, edges soft ramps a twelfth of a square wide so that the
// supersampled rendering has no staircase for the corner detector to measure.
double chessboard(double x, double y) {
    const double ramp = kSquare / 12.0;
    const auto wave = [&](double t) {
        const double k = std::round(t / kSquare);
        return (std::fmod(std::abs(k), 2.0) == 0.0 ? 1.0 : -1.0) *
               std::tanh((t - k * kSquare) / ramp);
    };
    const auto inside = [&](double t, double low, double high) {
        return 0.25 * (1 + std::tanh((t - low) / ramp)) * (1 - std::tanh((t - high) / ramp));
    };
    const double black = 0.5 * (1.0 - wave(x) * wave(y));
    const double board = inside(x, -kSquare, kPattern.width * kSquare) *
                         inside(y, -kSquare, kPattern.height * kSquare);
    return 220.0 + (30.0 - 220.0) * black * board;
}

// The image of the plane z = 0 at pose (r, t): each sub-pixel sample's ray, found by OpenCV's
// own undistortion, met with the plane; 2 x 2 samples per pixel.
cv::Mat render(const cv::Matx33d& r, const cv::Vec3d& t) {
    std::vector<cv::Point2d> pixels;
    for (int row = 0; row < kHeight; ++row) {
        for (int col = 0; col < kWidth; ++col) {
            for (const double dy : {-0.25, 0.25}) {
                for (const double dx : {-0.25, 0.25}) {
                    pixels.emplace_back(col + dx, row + dy);
                }
            }
        }
    }
    const std::vector<cv::Point2d> rays = undistort_points(pixels, kCamera, kDistortion, false);
    const cv::Vec3d centre = -(r.t() * t);
    cv::Mat image(kHeight, kWidth, CV_64F, cv::Scalar(0.0));
    for (std::size_t i = 0; i < rays.size(); ++i) {
        const cv::Vec3d direction = r.t() * cv::Vec3d(rays[i].x, rays[i].y, 1.0);
        const double reach = -centre[2] / direction[2];
        const double x = centre[0] + reach * direction[0];
        const double y = centre[1] + reach * direction[1];
        image.at<double>(static_cast<int>(i / 4 / kWidth), static_cast<int>(i / 4 % kWidth)) +=
            chessboard(x, y) / 4.0;
    }
    return image;
}

// Views tilted 20-25 degrees in turn about both axes, the board's centre placed round the
// sensor (corners, edges, centre) at about 300 mm.
std::vector<std::pair<cv::Matx33d, cv::Vec3d>> poses() {
    const double spots[][2] = {{0.3, 0.3}, {0.7, 0.3}, {0.3, 0.7}, {0.7, 0.7}, {0.5, 0.5},
                               {0.5, 0.3}, {0.5, 0.7}, {0.3, 0.5}, {0.7, 0.5}, {0.4, 0.6}};
    const cv::Vec3d centre((kPattern.width - 1) * kSquare / 2, (kPattern.height - 1) * kSquare / 2,
                           0.0);
    std::vector<std::pair<cv::Matx33d, cv::Vec3d>> out;
    for (int k = 0; k < 10; ++k) {
        const double tilt = (20.0 + 0.5 * k) * CV_PI / 180.0 * (k % 2 ? 1.0 : -1.0);
        const double other = (k % 3 - 1) * 15.0 * CV_PI / 180.0;
        const double spin = (k % 5 - 2) * 6.0 * CV_PI / 180.0;
        const cv::Matx33d r = k % 4 < 2 ? rotation(tilt, other, spin) : rotation(other, tilt, spin);
        const cv::Vec3d ray =
            kCamera.inv() * cv::Vec3d(spots[k][0] * kWidth, spots[k][1] * kHeight, 1.0);
        out.emplace_back(r, (300.0 + 5.0 * (k % 3)) * ray - r * centre);
    }
    return out;
}

TEST(CalibrateCamera, RecoversTheIntrinsicsOfTheRenderingCamera) {
    std::vector<std::vector<cv::Point3f>> objects;
    std::vector<std::vector<cv::Point2f>> images;
    const std::vector<cv::Point3f> board =
        target_object_points(TargetKind::chessboard, kPattern, kSquare);
    for (const auto& [r, t] : poses()) {
        const std::vector<cv::Point2f> found =
            find_target_points(render(r, t), TargetKind::chessboard, kPattern);
        ASSERT_EQ(found.size(), board.size());
        objects.push_back(board);
        images.push_back(found);
    }
    const CameraCalibration result =
        calibrate_camera(objects, images, cv::Size(kWidth, kHeight), 0);
    // Noise-free views: the detector's own bias (a few hundredths of a pixel) is all that
    // is left, worth well under 0.2 % of the focal length and under half a pixel at the centre.
    EXPECT_NEAR(result.camera_matrix(0, 0), 360.0, 360.0 * 2e-3);
    EXPECT_NEAR(result.camera_matrix(1, 1), 362.0, 362.0 * 2e-3);
    EXPECT_NEAR(result.camera_matrix(0, 2), 161.4, 0.5);
    EXPECT_NEAR(result.camera_matrix(1, 2), 118.7, 0.5);
    EXPECT_NEAR(result.dist_coeffs[0], -0.032, 3e-3);
    EXPECT_LT(result.rms, 0.05);
    EXPECT_EQ(result.view_rms.size(), 10u);
}

TEST(CharucoBoard, DrawnCornersComeBackWhereTheBoardPutsThem) {
    CharucoTarget target;
    target.squares = cv::Size(6, 4);
    target.square_mm = 10.0;
    target.marker_mm = 7.0;
    constexpr double kScale = 8.0;  // px per mm
    constexpr int kMargin = 40;
    const cv::Mat drawn = draw_charuco_board(target, kScale, kMargin);
    ASSERT_EQ(drawn.cols, 6 * 80 + 2 * kMargin);
    ASSERT_EQ(drawn.rows, 4 * 80 + 2 * kMargin);
    const CharucoCorners found = find_charuco_corners(drawn, target);
    const std::vector<cv::Point3f> board = charuco_object_points(target);
    ASSERT_EQ(board.size(), 5u * 3u);
    ASSERT_EQ(found.ids.size(), board.size());
    for (std::size_t i = 0; i < found.ids.size(); ++i) {
        const cv::Point3f corner = board[static_cast<std::size_t>(found.ids[i])];
        // Pixel edges at whole numbers: the corner between pixels is at a half-integer centre.
        EXPECT_NEAR(found.points[i].x, kMargin + kScale * corner.x - 0.5, 0.1);
        EXPECT_NEAR(found.points[i].y, kMargin + kScale * corner.y - 0.5, 0.1);
    }
    EXPECT_TRUE(
        find_charuco_corners(cv::Mat(200, 300, CV_8U, cv::Scalar(128)), target).ids.empty());
}

TEST(TargetGeometry, BadSizesAreRefusedBeforeAnyWork) {
    const cv::Mat grey(100, 100, CV_8U, cv::Scalar(128));
    EXPECT_THROW(find_target_points(grey, TargetKind::chessboard, cv::Size(1, 6)),
                 std::invalid_argument);
    EXPECT_THROW(target_object_points(TargetKind::chessboard, cv::Size(9, 0), 1.0),
                 std::invalid_argument);
    EXPECT_THROW(target_object_points(TargetKind::circles, cv::Size(4, 4), 0.0),
                 std::invalid_argument);
    EXPECT_THROW(find_target_points(cv::Mat(), TargetKind::chessboard, cv::Size(9, 6)),
                 std::invalid_argument);
    const auto charuco = [](int columns, int rows, double square, double marker,
                            const char* dictionary) {
        CharucoTarget target;
        target.squares = cv::Size(columns, rows);
        target.square_mm = square;
        target.marker_mm = marker;
        target.dictionary = dictionary;
        return target;
    };
    const CharucoTarget bad[] = {
        charuco(1, 5, 10.0, 7.0, "DICT_5X5_100"),   // one column of squares
        charuco(5, 5, 0.0, 7.0, "DICT_5X5_100"),    // no square
        charuco(5, 5, 10.0, 10.0, "DICT_5X5_100"),  // marker as wide as its square
        charuco(5, 5, 10.0, 7.0, "DICT_5X5_99"),    // no such dictionary
        charuco(12, 10, 10.0, 7.0, "DICT_4X4_50"),  // 60 markers, 50 codes
    };
    for (const CharucoTarget& target : bad) {
        EXPECT_THROW(charuco_object_points(target), std::invalid_argument);
        EXPECT_THROW(find_charuco_corners(grey, target), std::invalid_argument);
    }
    EXPECT_THROW(draw_charuco_board(charuco(5, 5, 10.0, 7.0, "DICT_5X5_100"), 0.0, 0),
                 std::invalid_argument);
    const std::vector<std::vector<cv::Point3f>> two(
        2, target_object_points(TargetKind::chessboard, kPattern, 1.0));
    const std::vector<std::vector<cv::Point2f>> seen(2, std::vector<cv::Point2f>(54));
    EXPECT_THROW(calibrate_camera(two, seen, cv::Size(kWidth, kHeight), 0), std::invalid_argument);
}

}  // namespace
}  // namespace morvex::dic

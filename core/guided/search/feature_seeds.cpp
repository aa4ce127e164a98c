#include "guided/search/feature_seeds.h"

#include <algorithm>
#include <cmath>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

namespace morvex::dic::detail {

namespace {

// Keypoints kept per image: a few per subset of a megapixel frame, enough for every region
// of a mask to hold a dozen matches.
constexpr int kMaxKeypoints = 5000;
// Lowe's ratio: a match counts only when its Hamming distance is below this share of the
// second best's (distance < kMatchRatio * second). A periodic or repeated texture gives equal
// distances one period apart, so none of its matches count.
constexpr double kMatchRatio = 0.75;
// RANSAC inlier distance, px: ORB places keypoints of coarser pyramid levels within about
// two pixels; the seed's solve refines from there.
constexpr double kInlierDistance = 3.0;
// A region's fit is trusted with at least this many inliers, making up at least
// kMinInlierShare of its matches (inliers >= kMinInliers and inliers >= share * matches):
// a handful of chance agreements on a texture without a unique match cannot plant a region.
constexpr int kMinInliers = 12;
constexpr double kMinInlierShare = 0.25;
// Scales beyond these are not a specimen seen again but a fit gone wrong.
constexpr double kMinScale = 0.25, kMaxScale = 4.0;

// Grey levels stretched to 8 bits over the specimen's range (`mask`, empty = everywhere), so
// a dark background does not squeeze the specimen's contrast.
cv::Mat to_8bit(const cv::Mat& image, const cv::Mat& mask) {
    double lo = 0.0, hi = 0.0;
    cv::minMaxLoc(image, &lo, &hi, nullptr, nullptr, mask);
    const double gain = hi > lo ? 255.0 / (hi - lo) : 0.0;
    cv::Mat out;
    image.convertTo(out, CV_8U, gain, -lo * gain);
    return out;
}

}  // namespace

FeatureMotion estimate_feature_motion(const ReferenceImage::Data& reference,
                                      const cv::Mat& deformed) {
    FeatureMotion m;
    m.estimated = true;
    const int points = reference.points(), cols = reference.grid_cols();
    m.region_of_point.assign(static_cast<std::size_t>(points), -1);
    cv::Mat labels;
    int regions = 1;
    if (reference.specimen.empty()) {
        labels = cv::Mat::zeros(reference.image.size(), CV_32S);
    } else {
        regions = cv::connectedComponents(reference.specimen, labels, 8, CV_32S) - 1;
        labels -= 1;  // background -1, regions from 0
    }
    for (int i = 0; i < points; ++i)
        m.region_of_point[i] =
            labels.at<int>(reference.grid_y[i / cols], reference.grid_x[i % cols]);
    m.motion.assign(static_cast<std::size_t>(std::max(regions, 0)), {});
    m.found.assign(static_cast<std::size_t>(std::max(regions, 0)), 0);
    if (regions <= 0) return m;

    const cv::Ptr<cv::ORB> orb = cv::ORB::create(kMaxKeypoints);
    std::vector<cv::KeyPoint> ref_points, def_points;
    cv::Mat ref_descriptors, def_descriptors;
    orb->detectAndCompute(to_8bit(reference.correlated, reference.specimen), reference.specimen,
                          ref_points, ref_descriptors);
    orb->detectAndCompute(to_8bit(deformed, cv::Mat()), cv::noArray(), def_points, def_descriptors);
    if (ref_points.empty() || def_points.size() < 2) return m;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_HAMMING).knnMatch(ref_descriptors, def_descriptors, knn, 2);

    std::vector<std::vector<cv::Point2f>> from(static_cast<std::size_t>(regions)),
        to(static_cast<std::size_t>(regions));
    for (const auto& pair : knn) {
        if (pair.size() < 2 || !(pair[0].distance < kMatchRatio * pair[1].distance)) continue;
        const cv::Point2f p = ref_points[static_cast<std::size_t>(pair[0].queryIdx)].pt;
        const int r = std::clamp(static_cast<int>(std::lround(p.y)), 0, labels.rows - 1);
        const int c = std::clamp(static_cast<int>(std::lround(p.x)), 0, labels.cols - 1);
        const int region = labels.at<int>(r, c);
        if (region < 0) continue;
        from[region].push_back(p);
        to[region].push_back(def_points[static_cast<std::size_t>(pair[0].trainIdx)].pt);
    }
    for (int region = 0; region < regions; ++region) {
        if (static_cast<int>(from[region].size()) < kMinInliers) continue;
        std::vector<std::uint8_t> inliers;
        const cv::Mat fit = cv::estimateAffinePartial2D(from[region], to[region], inliers,
                                                        cv::RANSAC, kInlierDistance);
        if (fit.empty()) continue;
        int count = 0;
        for (std::uint8_t in : inliers) count += in ? 1 : 0;
        if (count < kMinInliers ||
            count < kMinInlierShare * static_cast<double>(from[region].size()))
            continue;
        std::array<double, 6> a{};
        for (int k = 0; k < 6; ++k) a[k] = fit.at<double>(k / 3, k % 3);
        const double scale = std::hypot(a[0], a[3]);
        if (!(scale >= kMinScale && scale <= kMaxScale)) continue;
        m.motion[region] = a;
        m.found[region] = 1;
    }
    return m;
}

bool feature_warp(const FeatureMotion& motion, const ReferenceImage::Data& reference, int index,
                  Warp& warp) {
    if (!motion.estimated) return false;
    const int region = motion.region_of_point[static_cast<std::size_t>(index)];
    if (region < 0 || !motion.found[static_cast<std::size_t>(region)]) return false;
    const std::array<double, 6>& a = motion.motion[static_cast<std::size_t>(region)];
    const int cols = reference.grid_cols();
    const double x = reference.grid_x[index % cols], y = reference.grid_y[index / cols];
    warp = Warp{};
    warp.u = a[0] * x + a[1] * y + a[2] - x;
    warp.v = a[3] * x + a[4] * y + a[5] - y;
    warp.du_dx = a[0] - 1.0;
    warp.du_dy = a[1];
    warp.dv_dx = a[3];
    warp.dv_dy = a[4] - 1.0;
    return true;
}

}  // namespace morvex::dic::detail

#pragma once
/// The motion of image features between the reference and a deformed frame, per connected
/// region of the mask: where a seed starts when a translation search cannot find one (a
/// specimen rotated or scaled in the image plane).

#include <array>
#include <cstdint>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "guided/reference/reference_data.h"
#include "guided/solve/warp.h"

namespace morvex::dic::detail {

/// A similarity (rotation, uniform scale, translation) per region, fitted to matched features.
struct FeatureMotion {
    bool estimated = false;            ///< the features were looked at for this frame
    std::vector<int> region_of_point;  ///< region of every grid point, -1 off the specimen
    /// Per region: x' = a[0] x + a[1] y + a[2], y' = a[3] x + a[4] y + a[5], image px.
    std::vector<std::array<double, 6>> motion;
    std::vector<std::uint8_t> found;  ///< per region: 1 when its fit was trusted
};

/// ORB keypoints (E. Rublee et al., "ORB: an efficient alternative to SIFT or SURF", ICCV
/// 2011) of the reference's specimen and of the whole `deformed` image (CV_64FC1, finite),
/// matched by Hamming distance with Lowe's ratio test, which drops every keypoint whose
/// best match is not clearly better than its second: a periodic texture offers none. Each
/// connected region of the mask (8-connected; the whole image without a mask) gets its
/// RANSAC similarity when enough matches agree with it. Deterministic; one thread.
FeatureMotion estimate_feature_motion(const ReferenceImage::Data& reference,
                                      const cv::Mat& deformed);

/// The warp `motion` gives grid point `index` (u, v and the four gradients about its centre);
/// false when the point's region has no trusted fit.
bool feature_warp(const FeatureMotion& motion, const ReferenceImage::Data& reference, int index,
                  Warp& warp);

}  // namespace morvex::dic::detail

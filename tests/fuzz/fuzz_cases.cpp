#include "fuzz_cases.h"

#include <algorithm>

#include <morvex/synthesis.hpp>

namespace morvex::fuzz {

void make_image_pair(const ImagePairCase& c, cv::Mat& reference, cv::Mat& deformed) {
    const int side = kMaxImageSide + 1;
    const int ref_rows = c.reference_rows % side;
    const int ref_cols = c.reference_cols % side;
    const int def_rows = c.deformed_rows % side;
    const int def_cols = c.deformed_cols % side;
    // The speckle generator is not under test here: keep its arguments in the range where
    // it paints a usable pattern (its own cost grows with radius and density).
    const int radius = 1 + c.dot_radius % 6;
    const double density = c.density >= 0.0 && c.density <= 1.0 ? c.density : 0.6;

    switch (c.kind % 4) {
        case 0: {
            reference = dic::generate_speckle(ref_rows, ref_cols, radius, density, c.speckle_seed);
            const cv::Mat source =
                dic::generate_speckle(def_rows, def_cols, radius, density, c.speckle_seed);
            deformed = dic::deform_image(source, c.u, c.v, c.du_dx, c.du_dy, c.dv_dx, c.dv_dy);
            break;
        }
        case 1:
            reference = cv::Mat(ref_rows, ref_cols, CV_64FC1, cv::Scalar(c.u));
            deformed = cv::Mat(def_rows, def_cols, CV_64FC1, cv::Scalar(c.v));
            break;
        case 2:
            reference = dic::generate_speckle(ref_rows, ref_cols, radius, density, c.speckle_seed);
            deformed = reference(cv::Rect(0, 0, std::min(ref_cols, def_cols),
                                          std::min(ref_rows, def_rows)))
                           .clone();
            break;
        default:
            reference = dic::generate_speckle(ref_rows, ref_cols, radius, density, c.speckle_seed);
            deformed =
                dic::generate_speckle(def_rows, def_cols, radius, density, c.speckle_seed + 1);
            break;
    }
    for (const PixelOverride& o : c.overrides) {
        cv::Mat& image = (o.image % 2 == 0) ? reference : deformed;
        if (image.empty()) continue;
        const auto n = static_cast<std::uint32_t>(image.total());
        image.ptr<double>()[o.index % n] = o.value;  // generated images are continuous
    }
}

}  // namespace morvex::fuzz

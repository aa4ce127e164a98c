#pragma once
// A speckled plate cut by straight vertical cracks, each piece moved rigidly by its own
// (u, v): what a piece uncovers in the deformed image is a dark gap. Rendered dots, exact at
// any sub-pixel position.

#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "support/speckle_pair.h"

namespace morvex::test {

struct Plate {
    cv::Mat reference, deformed;
};

// Piece k holds the reference columns cuts[k - 1] ... cuts[k] - 1 (the first from column 0,
// the last to the image's edge) and moves by motions[k]; motions has one more entry than cuts.
inline Plate cracked_plate(int rows, int cols, const std::vector<int>& cuts,
                           const std::vector<std::pair<double, double>>& motions,
                           std::uint32_t seed) {
    const std::vector<Dot> dots = random_dots(rows, cols, seed);
    Plate p;
    p.reference = render_dots(rows, cols, dots);
    p.deformed = cv::Mat(rows, cols, CV_64FC1, cv::Scalar(10.0));
    const double inf = std::numeric_limits<double>::infinity();
    for (std::size_t k = 0; k < motions.size(); ++k) {
        std::vector<Dot> moved = dots;
        for (Dot& d : moved) {
            d.x += motions[k].first;
            d.y += motions[k].second;
        }
        const cv::Mat piece = render_dots(rows, cols, moved);
        // Where the piece lies in the deformed image, along x.
        const double left = k == 0 ? -inf : cuts[k - 1] - 0.5 + motions[k].first;
        const double right = k == cuts.size() ? inf : cuts[k] - 0.5 + motions[k].first;
        for (int r = 0; r < rows; ++r)
            for (int c = 0; c < cols; ++c)
                if (c >= left && c < right) p.deformed.at<double>(r, c) = piece.at<double>(r, c);
    }
    return p;
}

}  // namespace morvex::test

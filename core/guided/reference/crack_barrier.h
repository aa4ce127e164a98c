#pragma once
/// Crack lines as barriers: the checks of the lines, the per-point subset masks they cut, and
/// the test whether a step between two grid points crosses one.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include <morvex/guided.hpp>

#include "guided/reference/reference_data.h"

namespace morvex::dic::detail {

/// Throws std::invalid_argument naming the line (by index) and the value: fewer than 2
/// vertices, a non-finite coordinate, or a line that crosses itself.
void check_crack_lines(const std::vector<std::vector<CrackVertex>>& lines);

/// The same for the vertices against an image of `rows` x `cols` pixels: each must lie on it
/// (-0.5 ... cols - 0.5 along x, alike along y).
void check_crack_lines_inside(const std::vector<std::vector<CrackVertex>>& lines, int rows,
                              int cols);

/// Whether the segment (ax, ay)-(bx, by) crosses or touches segment (cx, cy)-(dx, dy).
bool segments_cross(double ax, double ay, double bx, double by, double cx, double cy, double dx,
                    double dy);

/// The lines' segments (x0, y0, x1, y1), reference px.
std::vector<std::array<double, 4>> crack_segments(
    const std::vector<std::vector<CrackVertex>>& lines);

/// Distance from (x, y) to the nearest of `segments`, px (infinity without any).
double crack_distance(const std::vector<std::array<double, 4>>& segments, double x, double y);

/// Whether segment (ax, ay)-(bx, by) crosses or touches one of `segments`.
bool crosses_any(const std::vector<std::array<double, 4>>& segments, double ax, double ay,
                 double bx, double by);

/// Cuts the subsets the crack lines pass through: every point within reach of a line is marked
/// near, a point with pixels across a line gets its own mask (specimen and its centre's side),
/// and the point states follow (kCrossesDiscontinuity within kCrackClearance px of a line or
/// when the subset holds a tip, kOutsideMask below kMinSpecimenShare). Runs after the points
/// are classified; nothing happens without lines.
void cut_subsets(ReferenceImage::Data& d);

/// Whether the straight step between the centres of grid points i and j crosses a crack line.
/// Free for points far from every line.
bool crack_between(const ReferenceImage::Data& d, int i, int j);

/// Whether segment (ax, ay)-(bx, by) crosses a crack line.
bool crosses_crack(const ReferenceImage::Data& d, double ax, double ay, double bx, double by);

/// Row `dy` (-half ... half) of point `index`'s subset mask, from the subset's first column
/// (centre - half): its own cut mask, else the specimen's row. Only for points whose
/// full_subset is 0.
inline const std::uint8_t* subset_mask_row(const ReferenceImage::Data& d, int index, int dy) {
    const int h = d.half;
    if (!d.cut_slot.empty() && d.cut_slot[static_cast<std::size_t>(index)] >= 0) {
        const int side = 2 * h + 1;
        return d.cut_masks.data() +
               (static_cast<std::size_t>(d.cut_slot[static_cast<std::size_t>(index)]) * side +
                static_cast<std::size_t>(dy + h)) *
                   side;
    }
    const int cols = d.grid_cols();
    return d.specimen.ptr<std::uint8_t>(d.grid_y[index / cols] + dy) + (d.grid_x[index % cols] - h);
}

}  // namespace morvex::dic::detail

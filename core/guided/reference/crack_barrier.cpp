#include "guided/reference/crack_barrier.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <sstream>
#include <stdexcept>

namespace morvex::dic::detail {

namespace {

// px: pixels this close to a line are left out of a cut subset as well (the B-spline's reach
// in the deformed image).
constexpr double kCrackMargin = 4.0;

// px: a line's end this close to the image's border is where the crack leaves the image, not
// its tip.
constexpr double kBorderEnd = 1.0;

// The lines' ends inside the image (more than a pixel from its border): their tips.
std::vector<CrackVertex> crack_tips(const std::vector<std::vector<CrackVertex>>& lines, int rows,
                                    int cols) {
    std::vector<CrackVertex> tips;
    const auto inside = [&](const CrackVertex& p) {
        return p.x > -0.5 + kBorderEnd && p.x < cols - 0.5 - kBorderEnd &&
               p.y > -0.5 + kBorderEnd && p.y < rows - 0.5 - kBorderEnd;
    };
    for (const auto& line : lines) {
        if (line.empty()) continue;
        if (inside(line.front())) tips.push_back(line.front());
        if (line.size() > 1 && inside(line.back())) tips.push_back(line.back());
    }
    return tips;
}

std::string num(double value) {
    std::ostringstream out;
    out << value;
    return out.str();
}

std::string vertex_text(const CrackVertex& p) {
    return "(" + num(p.x) + ", " + num(p.y) + ")";
}

double cross(double ax, double ay, double bx, double by) {
    return ax * by - ay * bx;
}

// Point (px, py), known to be on the line through a and b, lies within their box.
bool within(double ax, double ay, double bx, double by, double px, double py) {
    return std::min(ax, bx) <= px && px <= std::max(ax, bx) && std::min(ay, by) <= py &&
           py <= std::max(ay, by);
}

// Squared distance from (px, py) to segment (ax, ay)-(bx, by).
double distance_squared(double px, double py, const std::array<double, 4>& s) {
    const double ex = s[2] - s[0], ey = s[3] - s[1];
    const double length = ex * ex + ey * ey;
    double t = length > 0.0 ? ((px - s[0]) * ex + (py - s[1]) * ey) / length : 0.0;
    t = std::clamp(t, 0.0, 1.0);
    const double dx = s[0] + t * ex - px, dy = s[1] + t * ey - py;
    return dx * dx + dy * dy;
}

}  // namespace

bool segments_cross(double ax, double ay, double bx, double by, double cx, double cy, double dx,
                    double dy) {
    const double d1 = cross(bx - ax, by - ay, cx - ax, cy - ay);
    const double d2 = cross(bx - ax, by - ay, dx - ax, dy - ay);
    const double d3 = cross(dx - cx, dy - cy, ax - cx, ay - cy);
    const double d4 = cross(dx - cx, dy - cy, bx - cx, by - cy);
    if (((d1 > 0.0 && d2 < 0.0) || (d1 < 0.0 && d2 > 0.0)) &&
        ((d3 > 0.0 && d4 < 0.0) || (d3 < 0.0 && d4 > 0.0)))
        return true;
    return (d1 == 0.0 && within(ax, ay, bx, by, cx, cy)) ||
           (d2 == 0.0 && within(ax, ay, bx, by, dx, dy)) ||
           (d3 == 0.0 && within(cx, cy, dx, dy, ax, ay)) ||
           (d4 == 0.0 && within(cx, cy, dx, dy, bx, by));
}

void check_crack_lines(const std::vector<std::vector<CrackVertex>>& lines) {
    for (std::size_t n = 0; n < lines.size(); ++n) {
        const auto& line = lines[n];
        const std::string name = "GuidedConfig::crack_lines: crack " + std::to_string(n);
        if (line.size() < 2)
            throw std::invalid_argument(name + " needs at least 2 vertices, got " +
                                        std::to_string(line.size()));
        for (std::size_t k = 0; k < line.size(); ++k)
            if (!std::isfinite(line[k].x) || !std::isfinite(line[k].y))
                throw std::invalid_argument(
                    name + " has a vertex that is not a finite number: " + "vertex " +
                    std::to_string(k) + " " + vertex_text(line[k]));
        for (std::size_t k = 0; k + 1 < line.size(); ++k)
            if (line[k].x == line[k + 1].x && line[k].y == line[k + 1].y)
                throw std::invalid_argument(name + " repeats vertex " + std::to_string(k) + " " +
                                            vertex_text(line[k]) +
                                            "; consecutive vertices must differ");
        const std::size_t count = line.size() - 1;
        for (std::size_t i = 0; i < count; ++i) {
            const CrackVertex &a = line[i], &b = line[i + 1];
            for (std::size_t j = i + 1; j < count; ++j) {
                const CrackVertex &c = line[j], &d = line[j + 1];
                bool touch = false;
                if (j == i + 1) {
                    // A shared vertex is fine; a fold back along the same line is not.
                    touch = cross(b.x - a.x, b.y - a.y, d.x - c.x, d.y - c.y) == 0.0 &&
                            (b.x - a.x) * (d.x - c.x) + (b.y - a.y) * (d.y - c.y) < 0.0;
                } else {
                    touch = segments_cross(a.x, a.y, b.x, b.y, c.x, c.y, d.x, d.y);
                }
                if (touch)
                    throw std::invalid_argument(name + " is self-intersecting: segment " +
                                                std::to_string(i) + " crosses segment " +
                                                std::to_string(j));
            }
        }
    }
}

void check_crack_lines_inside(const std::vector<std::vector<CrackVertex>>& lines, int rows,
                              int cols) {
    const double x1 = cols - 0.5, y1 = rows - 0.5;
    for (std::size_t n = 0; n < lines.size(); ++n)
        for (std::size_t k = 0; k < lines[n].size(); ++k) {
            const CrackVertex& p = lines[n][k];
            if (!(p.x >= -0.5 && p.x <= x1 && p.y >= -0.5 && p.y <= y1))
                throw std::invalid_argument(
                    "GuidedConfig::crack_lines: crack " + std::to_string(n) +
                    " is outside the image: vertex " + std::to_string(k) + " " + vertex_text(p) +
                    " px is not within x -0.5 ... " + num(x1) + ", y -0.5 ... " + num(y1));
        }
}

std::vector<std::array<double, 4>> crack_segments(
    const std::vector<std::vector<CrackVertex>>& lines) {
    std::vector<std::array<double, 4>> out;
    for (const auto& line : lines)
        for (std::size_t k = 0; k + 1 < line.size(); ++k)
            out.push_back({line[k].x, line[k].y, line[k + 1].x, line[k + 1].y});
    return out;
}

double crack_distance(const std::vector<std::array<double, 4>>& segments, double x, double y) {
    double nearest = std::numeric_limits<double>::infinity();
    for (const auto& s : segments) nearest = std::min(nearest, distance_squared(x, y, s));
    return std::sqrt(nearest);
}

bool crosses_any(const std::vector<std::array<double, 4>>& segments, double ax, double ay,
                 double bx, double by) {
    for (const auto& s : segments)
        if (segments_cross(ax, ay, bx, by, s[0], s[1], s[2], s[3])) return true;
    return false;
}

void cut_subsets(ReferenceImage::Data& d) {
    const auto& lines = d.settings.crack_lines;
    if (lines.empty()) return;
    d.crack_segments = crack_segments(lines);
    const std::vector<CrackVertex> tips = crack_tips(lines, d.image.rows, d.image.cols);
    const int h = d.half, side = 2 * h + 1, n = d.points();
    // A line within the half-diagonal can cut the subset; within a grid step, the step to a
    // neighbour. The pixel centres' half-pixel slack rounds it up.
    const double reach = std::max(h * std::sqrt(2.0), static_cast<double>(d.settings.step)) + 1.0;
    const double clearance2 = kCrackClearance * kCrackClearance;
    d.near_crack.assign(static_cast<std::size_t>(n), 0);
    d.cut_slot.assign(static_cast<std::size_t>(n), -1);
    const double area = static_cast<double>(side) * side;
    std::vector<std::uint8_t> mask(static_cast<std::size_t>(side) * side);
    std::vector<const std::array<double, 4>*> close;
    for (int i = 0; i < n; ++i) {
        const double cx = d.grid_x[i % d.grid_cols()], cy = d.grid_y[i / d.grid_cols()];
        close.clear();
        double nearest = std::numeric_limits<double>::infinity();
        for (const auto& s : d.crack_segments) {
            const double d2 = distance_squared(cx, cy, s);
            nearest = std::min(nearest, d2);
            if (d2 <= reach * reach) close.push_back(&s);
        }
        if (close.empty()) continue;
        d.near_crack[static_cast<std::size_t>(i)] = 1;
        auto& state = d.point_state[static_cast<std::size_t>(i)];
        // Around a tip the lips close as the square root of the distance: no warp follows
        // that field, and cut from the centre, the subset still holds both lips behind the
        // tip (a subset 1.5 px from the tip of a Williams field read 0.068 px off, eight
        // times its sigma).
        const bool holds_tip = std::any_of(tips.begin(), tips.end(), [&](const CrackVertex& t) {
            return std::fabs(t.x - cx) <= h + 0.5 && std::fabs(t.y - cy) <= h + 0.5;
        });
        if (nearest <= clearance2 || holds_tip) {
            if (state == 0) state = static_cast<std::uint8_t>(GuidedStatus::kCrossesDiscontinuity);
            continue;
        }
        if (state != 0) continue;
        const bool masked = !d.specimen.empty();
        int used = 0, across = 0;
        for (int dy = -h; dy <= h; ++dy) {
            const std::uint8_t* on =
                masked
                    ? d.specimen.ptr<std::uint8_t>(static_cast<int>(cy) + dy) + static_cast<int>(cx)
                    : nullptr;
            for (int dx = -h; dx <= h; ++dx) {
                std::uint8_t keep = on ? (on[dx] ? 1 : 0) : 1;
                if (keep) {
                    for (const auto* s : close)
                        if (segments_cross(cx, cy, cx + dx, cy + dy, (*s)[0], (*s)[1], (*s)[2],
                                           (*s)[3])) {
                            keep = 0;
                            ++across;
                            break;
                        }
                }
                used += keep;
                // The interpolant of the deformed image reads kCrackMargin px around a
                // position: a pixel that close to the line samples the far lip or the gap.
                if (keep)
                    for (const auto* s : close)
                        if (distance_squared(cx + dx, cy + dy, *s) < kCrackMargin * kCrackMargin) {
                            keep = 0;
                            ++across;
                            break;
                        }
                mask[static_cast<std::size_t>((dy + h) * side + dx + h)] = keep;
            }
        }
        if (across == 0) continue;
        if (used < kMinSpecimenShare * area) {
            state = static_cast<std::uint8_t>(GuidedStatus::kOutsideMask);
            continue;
        }
        d.cut_slot[static_cast<std::size_t>(i)] =
            static_cast<int>(d.cut_masks.size() / mask.size());
        d.cut_masks.insert(d.cut_masks.end(), mask.begin(), mask.end());
        d.full_subset[static_cast<std::size_t>(i)] = 0;
    }
}

bool crosses_crack(const ReferenceImage::Data& d, double ax, double ay, double bx, double by) {
    return crosses_any(d.crack_segments, ax, ay, bx, by);
}

bool crack_between(const ReferenceImage::Data& d, int i, int j) {
    if (d.near_crack.empty()) return false;
    if (!d.near_crack[static_cast<std::size_t>(i)] && !d.near_crack[static_cast<std::size_t>(j)])
        return false;
    const int cols = d.grid_cols();
    return crosses_crack(d, d.grid_x[i % cols], d.grid_y[i / cols], d.grid_x[j % cols],
                         d.grid_y[j / cols]);
}

}  // namespace morvex::dic::detail

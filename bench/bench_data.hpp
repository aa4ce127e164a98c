#pragma once
/// Benchmark data shared by the engine benchmarks: the image pairs of a bench-data folder
/// (`<root>/clean`, `<root>/noisy`), the true displacement field of each pair, and error
/// statistics of a measured field against it.
///
/// A folder holds `manifest.json`, a reference image and one deformed image per pair. The
/// manifest is a small JSON document; a minimal parser below reads it so the benchmarks need
/// nothing beyond the library's own dependencies.
///
/// Field conventions, checked against fields the engine measured on these images (x is the
/// column and y the row of a reference point, in pixels; u is along x, v along y):
/// - "translate": u, v constant.
/// - "affine": u + du_dx*(x-cx) + du_dy*(y-cy), v + dv_dx*(x-cx) + dv_dy*(y-cy), about
///   (cx, cy) = the image centre (RMS error 0.0023 px; about the origin it would be ~1 px).
/// - "rotate": the point turns by theta about (cx, cy), positive theta turning +x towards +y
///   (clockwise on screen, since y grows downwards): RMS error 0.0009 px, against 9 px for the
///   opposite sign.
/// - "sine_v": v = amplitude * sin(2*pi*x / wavelength), u = 0: a vertical displacement
///   varying along the columns, phase zero at column 0. A least-squares fit of the measured v
///   to sin and cos of 2*pi*x/wavelength gives a cosine term below 5e-4 px; the sine term is
///   the amplitude times sinc(pi*29/wavelength) (0.33 px of 0.5 at wavelength 60), the
///   smoothing of a 29-pixel first-order subset, so short wavelengths show large errors by
///   nature, not by convention.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include <morvex/image.hpp>
#include <morvex/records.hpp>

namespace morvex::bench {

// FNV-1a over the bytes of u, v, valid and iterations: a speed-up must leave it unchanged.
// Works for any result record with those four vectors (DICResult, GuidedResult).
template <typename Result>
std::uint64_t checksum(const Result& r) {
    std::uint64_t h = 1469598103934665603ULL;
    const auto add = [&h](const void* data, std::size_t bytes) {
        const auto* p = static_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < bytes; ++i) h = (h ^ p[i]) * 1099511628211ULL;
    };
    add(r.u.data(), r.u.size() * sizeof(double));
    add(r.v.data(), r.v.size() * sizeof(double));
    add(r.valid.data(), r.valid.size());
    add(r.iterations.data(), r.iterations.size() * sizeof(int));
    return h;
}

// ---------------------------------------------------------------------------------------
// Minimal JSON reader: objects, arrays, strings (simple escapes), numbers, true/false/null.

struct JsonValue {
    enum class Kind { Null, Bool, Number, String, Array, Object };
    Kind kind = Kind::Null;
    bool boolean = false;
    double number = 0.0;
    std::string text;
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> members;

    const JsonValue& at(const std::string& key) const {
        const auto it = members.find(key);
        if (kind != Kind::Object || it == members.end())
            throw std::runtime_error("manifest: missing key \"" + key + "\"");
        return it->second;
    }
    bool has(const std::string& key) const {
        return kind == Kind::Object && members.count(key) != 0;
    }
    double as_number() const {
        if (kind != Kind::Number) throw std::runtime_error("manifest: expected a number");
        return number;
    }
    const std::string& as_string() const {
        if (kind != Kind::String) throw std::runtime_error("manifest: expected a string");
        return text;
    }
};

class JsonParser {
public:
    explicit JsonParser(std::string text) : text_(std::move(text)) {}

    JsonValue parse() {
        JsonValue value = parse_value();
        skip_space();
        if (pos_ != text_.size()) fail("trailing characters");
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) const {
        throw std::runtime_error("manifest: " + what + " at offset " + std::to_string(pos_));
    }
    void skip_space() {
        while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
    }
    char peek() {
        skip_space();
        if (pos_ >= text_.size()) fail("unexpected end");
        return text_[pos_];
    }
    void expect(char c) {
        if (peek() != c) fail(std::string("expected '") + c + "'");
        ++pos_;
    }
    bool consume_word(const char* word) {
        const std::string w(word);
        if (text_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }

    JsonValue parse_value() {
        const char c = peek();
        JsonValue value;
        if (c == '{') {
            value.kind = JsonValue::Kind::Object;
            ++pos_;
            if (peek() == '}') {
                ++pos_;
                return value;
            }
            while (true) {
                const std::string key = parse_string();
                expect(':');
                value.members[key] = parse_value();
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect('}');
                return value;
            }
        }
        if (c == '[') {
            value.kind = JsonValue::Kind::Array;
            ++pos_;
            if (peek() == ']') {
                ++pos_;
                return value;
            }
            while (true) {
                value.items.push_back(parse_value());
                if (peek() == ',') {
                    ++pos_;
                    continue;
                }
                expect(']');
                return value;
            }
        }
        if (c == '"') {
            value.kind = JsonValue::Kind::String;
            value.text = parse_string();
            return value;
        }
        if (consume_word("true")) {
            value.kind = JsonValue::Kind::Bool;
            value.boolean = true;
            return value;
        }
        if (consume_word("false")) {
            value.kind = JsonValue::Kind::Bool;
            return value;
        }
        if (consume_word("null")) return value;
        // Number: let strtod decide how far it reaches.
        const char* begin = text_.c_str() + pos_;
        char* end = nullptr;
        value.number = std::strtod(begin, &end);
        if (end == begin) fail("unexpected character");
        value.kind = JsonValue::Kind::Number;
        pos_ += static_cast<std::size_t>(end - begin);
        return value;
    }

    std::string parse_string() {
        expect('"');
        std::string out;
        while (pos_ < text_.size() && text_[pos_] != '"') {
            char c = text_[pos_++];
            if (c == '\\') {
                if (pos_ >= text_.size()) fail("unterminated escape");
                const char e = text_[pos_++];
                switch (e) {
                    case 'n':
                        c = '\n';
                        break;
                    case 't':
                        c = '\t';
                        break;
                    case 'r':
                        c = '\r';
                        break;
                    case 'b':
                        c = '\b';
                        break;
                    case 'f':
                        c = '\f';
                        break;
                    case 'u':
                        fail("\\u escapes are not supported");
                    default:
                        c = e;  // \" \\ \/
                }
            }
            out += c;
        }
        if (pos_ >= text_.size()) fail("unterminated string");
        ++pos_;
        return out;
    }

    std::string text_;
    std::size_t pos_ = 0;
};

// ---------------------------------------------------------------------------------------
// Displacement fields.

/// The true displacement field of one pair, evaluated at reference points.
struct Field {
    std::string kind;                 ///< "translate", "affine", "rotate" or "sine_v"
    std::map<std::string, double> p;  ///< the numeric parameters of the manifest entry

    double get(const char* key) const {
        const auto it = p.find(key);
        if (it == p.end()) throw std::runtime_error("field '" + kind + "' lacks " + key);
        return it->second;
    }

    /// True (u, v) at the reference point (x = column, y = row).
    void displacement(double x, double y, double& u, double& v) const {
        if (kind == "translate") {
            u = get("u");
            v = get("v");
        } else if (kind == "affine") {
            const double dx = x - get("cx"), dy = y - get("cy");
            u = get("u") + get("du_dx") * dx + get("du_dy") * dy;
            v = get("v") + get("dv_dx") * dx + get("dv_dy") * dy;
        } else if (kind == "rotate") {
            const double t = get("theta");
            const double dx = x - get("cx"), dy = y - get("cy");
            u = (std::cos(t) - 1.0) * dx - std::sin(t) * dy;
            v = std::sin(t) * dx + (std::cos(t) - 1.0) * dy;
        } else if (kind == "sine_v") {
            constexpr double kTwoPi = 6.283185307179586;
            u = 0.0;
            v = get("amplitude") * std::sin(kTwoPi * x / get("wavelength"));
        } else {
            throw std::runtime_error("unknown field kind: " + kind);
        }
    }

    /// True displacement gradients at the reference point (du/dx, du/dy, dv/dx, dv/dy).
    void gradients(double x, double y, double& du_dx, double& du_dy, double& dv_dx,
                   double& dv_dy) const {
        (void)y;
        du_dx = du_dy = dv_dx = dv_dy = 0.0;
        if (kind == "affine") {
            du_dx = get("du_dx");
            du_dy = get("du_dy");
            dv_dx = get("dv_dx");
            dv_dy = get("dv_dy");
        } else if (kind == "rotate") {
            const double t = get("theta");
            du_dx = dv_dy = std::cos(t) - 1.0;
            du_dy = -std::sin(t);
            dv_dx = std::sin(t);
        } else if (kind == "sine_v") {
            constexpr double kTwoPi = 6.283185307179586;
            const double k = kTwoPi / get("wavelength");
            dv_dx = get("amplitude") * k * std::cos(k * x);
        }
    }

    /// Green-Lagrange strain (exx, eyy, tensor exy) of the true field at the reference point.
    void green_lagrange(double x, double y, double& exx, double& eyy, double& exy) const {
        double ux, uy, vx, vy;
        gradients(x, y, ux, uy, vx, vy);
        exx = 0.5 * ((1 + ux) * (1 + ux) + vx * vx - 1.0);
        eyy = 0.5 * ((1 + vy) * (1 + vy) + uy * uy - 1.0);
        exy = 0.5 * ((1 + vy) * vx + (1 + ux) * uy);
    }
};

struct PairSpec {
    std::string name;
    std::string image;  ///< file name inside the folder
    Field field;
};

/// One folder of the bench data (clean or noisy).
struct DataSet {
    std::string folder;     ///< path of the folder
    std::string reference;  ///< file name of the reference image
    double noise = 0.0;
    int size = 0;
    std::vector<PairSpec> pairs;

    const PairSpec& pair(const std::string& name) const {
        for (const auto& p : pairs)
            if (p.name == name) return p;
        throw std::runtime_error("no pair named " + name + " in " + folder);
    }
    cv::Mat load_reference() const { return dic::load_image_gray(folder + "/" + reference); }
    cv::Mat load_deformed(const std::string& name) const {
        return dic::load_image_gray(folder + "/" + pair(name).image);
    }
};

/// Read `<folder>/manifest.json`.
inline DataSet read_data_set(const std::string& folder) {
    std::ifstream in(folder + "/manifest.json");
    if (!in) throw std::runtime_error("cannot open " + folder + "/manifest.json");
    std::stringstream buffer;
    buffer << in.rdbuf();
    const JsonValue root = JsonParser(buffer.str()).parse();

    DataSet set;
    set.folder = folder;
    set.reference = root.at("reference").as_string();
    if (root.has("noise")) set.noise = root.at("noise").as_number();
    if (root.has("size")) set.size = static_cast<int>(root.at("size").as_number());
    for (const JsonValue& entry : root.at("pairs").items) {
        PairSpec pair;
        pair.name = entry.at("name").as_string();
        pair.image = entry.at("image").as_string();
        const JsonValue& field = entry.at("field");
        pair.field.kind = field.at("kind").as_string();
        for (const auto& [key, value] : field.members)
            if (value.kind == JsonValue::Kind::Number) pair.field.p[key] = value.number;
        set.pairs.push_back(std::move(pair));
    }
    return set;
}

// ---------------------------------------------------------------------------------------
// Error statistics over the valid points of a result.

struct ComponentStats {
    double bias = 0.0;  ///< mean error
    double std = 0.0;   ///< population standard deviation of the error
    double rms = 0.0;   ///< root mean square error
};

struct ErrorStats {
    ComponentStats u, v;
    int valid = 0;             ///< valid points
    int total = 0;             ///< grid points
    double valid_share = 0.0;  ///< valid / total (0 for an empty grid)
};

namespace detail_stats {
inline ComponentStats summarise(const std::vector<double>& errors) {
    ComponentStats s;
    if (errors.empty()) return s;
    double sum = 0.0, sum_sq = 0.0;
    for (double e : errors) {
        sum += e;
        sum_sq += e * e;
    }
    const double n = static_cast<double>(errors.size());
    s.bias = sum / n;
    s.rms = std::sqrt(sum_sq / n);
    double var = 0.0;
    for (double e : errors) var += (e - s.bias) * (e - s.bias);
    s.std = std::sqrt(var / n);
    return s;
}
}  // namespace detail_stats

/// The true v of the DIC Challenge sample 14 images, one value per image column, from the
/// sixth column of its truth.csv; empty when the file is missing.
inline std::vector<double> read_sample14_truth(const std::string& dir) {
    std::ifstream in(dir + "truth.csv");
    std::vector<double> truth;
    std::string line;
    while (std::getline(in, line)) {
        std::vector<double> cols;
        std::stringstream ss(line);
        std::string cell;
        while (std::getline(ss, cell, ',')) cols.push_back(std::atof(cell.c_str()));
        if (cols.size() >= 7) truth.push_back(cols[5]);
    }
    return truth;
}

/// How well reported sigmas predict the scatter over repeated noisy measurements of the same
/// points: predicted / measured sigma per point, and the share of errors within one sigma.
struct SigmaCalibration {
    std::vector<double> ratios;
    long inside = 0, total = 0;
    /// Add one component: values[k][i] and sigmas[k][i], point i of realisation k.
    void add(const std::vector<std::vector<double>>& values,
             const std::vector<std::vector<double>>& sigmas) {
        const auto runs = static_cast<double>(values.size());
        for (std::size_t i = 0; i < values[0].size(); ++i) {
            double mean = 0.0, var = 0.0, pred = 0.0;
            for (const auto& v : values) mean += v[i] / runs;
            for (std::size_t k = 0; k < values.size(); ++k) {
                var += (values[k][i] - mean) * (values[k][i] - mean) / (runs - 1.0);
                pred += sigmas[k][i] / runs;
            }
            if (!(var > 0.0) || !std::isfinite(pred)) continue;
            ratios.push_back(pred / std::sqrt(var));
            for (std::size_t k = 0; k < values.size(); ++k) {
                ++total;
                inside += std::abs(values[k][i] - mean) <= sigmas[k][i];
            }
        }
    }
    /// Percent of the errors within one reported sigma.
    double within_percent() const {
        return 100.0 * static_cast<double>(inside) / static_cast<double>(std::max(1L, total));
    }
};

/// Errors of the measured u and v (measured minus true) over the valid points.
inline ErrorStats displacement_errors(const dic::DICResult& result, const Field& field) {
    ErrorStats stats;
    stats.total = static_cast<int>(result.points.size());
    std::vector<double> eu, ev;
    for (std::size_t i = 0; i < result.points.size(); ++i) {
        if (!result.valid[i]) continue;
        double tu, tv;
        field.displacement(result.points[i].x, result.points[i].y, tu, tv);
        eu.push_back(result.u[i] - tu);
        ev.push_back(result.v[i] - tv);
    }
    stats.valid = static_cast<int>(eu.size());
    stats.valid_share = stats.total > 0 ? static_cast<double>(stats.valid) / stats.total : 0.0;
    stats.u = detail_stats::summarise(eu);
    stats.v = detail_stats::summarise(ev);
    return stats;
}

/// Mean and standard deviation of the strain errors (measured minus Green-Lagrange truth)
/// over the points where all three strains are finite.
struct StrainErrorStats {
    ComponentStats exx, eyy, exy;
    int used = 0;
};

inline StrainErrorStats strain_errors(const dic::DICResult& result, const Field& field) {
    std::vector<double> ex, ey, es;
    for (std::size_t i = 0; i < result.points.size() && i < result.exx.size(); ++i) {
        if (!std::isfinite(result.exx[i]) || !std::isfinite(result.eyy[i]) ||
            !std::isfinite(result.exy[i]))
            continue;
        double txx, tyy, txy;
        field.green_lagrange(result.points[i].x, result.points[i].y, txx, tyy, txy);
        ex.push_back(result.exx[i] - txx);
        ey.push_back(result.eyy[i] - tyy);
        es.push_back(result.exy[i] - txy);
    }
    StrainErrorStats s;
    s.used = static_cast<int>(ex.size());
    s.exx = detail_stats::summarise(ex);
    s.eyy = detail_stats::summarise(ey);
    s.exy = detail_stats::summarise(es);
    return s;
}

}  // namespace morvex::bench

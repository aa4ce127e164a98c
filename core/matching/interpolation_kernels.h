#pragma once
/// Inline sampling kernels behind the public interpolators. The criterion, the solvers and
/// the engine call these directly so the innermost loop crosses no library boundary; the
/// public functions in interpolation.cpp forward here, so there is one implementation.
///
/// Every kernel takes a GreyView (built once per call from a CV_64FC1 matrix, not checked
/// here) and a position, row first. Pixel centres sit at integer positions; every tap index
/// is clamped into the image. Positions whose whole neighbourhood lies inside the image take
/// a fast path without clamping; both paths run the same arithmetic, so they agree bit for
/// bit. A NaN or infinite position gives NaN; no position is ever converted to int before
/// it is known to fit.
///
/// The sums run on pairs of doubles in SSE2 registers on x86-64, and runs of fourth-order
/// samples four at a time on CPUs with AVX2 (sample_keys_fourth_run); a portable scalar
/// form performs the very same operations. Every form gives the same bits as long as the
/// compiler fuses no multiply-add into one rounding, which holds for the default x86-64
/// build (a build with -march=native on an FMA CPU needs -ffp-contract=off for that).

#include <cmath>
#include <cstddef>
#include <limits>

#include <opencv2/core/mat.hpp>

#include <morvex/records.hpp>

// Pairs of doubles in SSE2 registers (every x86-64 CPU has them) unless scalar code is asked
// for; both give identical results.
#if defined(__SSE2__) && !defined(MORVEX_SCALAR_KERNELS)
#define MORVEX_KERNELS_SSE2 1
#include <emmintrin.h>
#else
#define MORVEX_KERNELS_SSE2 0
#endif

// A four-samples-at-a-time form of the fourth-order kernel for x86-64 CPUs with AVX2, chosen
// at run time. Compiled for AVX2 without FMA, so every product and sum rounds as in the
// kernel: the results are the same bits on every CPU.
#if MORVEX_KERNELS_SSE2 && defined(__GNUC__) && defined(__x86_64__)
#define MORVEX_KERNELS_AVX2 1
#include <immintrin.h>
#else
#define MORVEX_KERNELS_AVX2 0
#endif

namespace morvex::dic::detail {

/// Raw row pointers of a grey image: read once per call, so the kernels touch no cv::Mat
/// machinery per sample.
struct GreyView {
    const double* data = nullptr;
    std::ptrdiff_t stride = 0;  ///< doubles between the starts of two rows
    int rows = 0;
    int cols = 0;

    GreyView() = default;
    explicit GreyView(const cv::Mat& image)
        : data(reinterpret_cast<const double*>(image.data)),
          stride(image.rows > 0 ? static_cast<std::ptrdiff_t>(image.step[0] / sizeof(double)) : 0),
          rows(image.rows),
          cols(image.cols) {}

    const double* row(int r) const { return data + stride * r; }
    double at(int r, int c) const { return row(r)[c]; }
};

/// True for a non-empty 2-D single-channel 64-bit float matrix (inline: cv::Mat::empty is
/// an out-of-line call, and this runs once per public interpolation).
inline bool is_grey_image(const cv::Mat& image) {
    return image.dims == 2 && image.type() == CV_64FC1 && image.data != nullptr &&
           image.rows > 0 && image.cols > 0;
}

inline int clamp_index(int i, int n) { return i < 0 ? 0 : (i >= n ? n - 1 : i); }

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

/// floor(p) as an int plus the fraction p - floor(p), for the clamped (slow) path. The
/// integer part is limited to a band just outside [0, n) before conversion: every tap of a
/// neighbourhood that far out clamps onto the same edge index anyway, so the samples are
/// unchanged and a huge or non-finite position never overflows the conversion (the
/// fraction, and so the result, is NaN for NaN and infinite positions).
inline int floor_split(double p, int n, double& frac) {
    double base = std::floor(p);
    frac = p - base;
    if (!(base >= -8.0)) base = -8.0;
    if (base > static_cast<double>(n) + 8.0) base = static_cast<double>(n) + 8.0;
    return static_cast<int>(base);
}

// ---------------------------------------------------------------------------------------
// Weights

/// Cubic convolution kernel, a = -0.5 (Keys 1981), piece chosen by |t|.
inline double cubic_weight(double t) {
    const double at = std::fabs(t);
    const double t2 = t * t;
    if (at < 1.0) return 1.5 * at * t2 - 2.5 * t2 + 1.0;
    if (at < 2.0) return -0.5 * at * t2 + 2.5 * t2 - 4.0 * at + 2.0;
    return 0.0;
}

/// Derivative of cubic_weight with respect to t.
inline double cubic_weight_derivative(double t) {
    const double at = std::fabs(t);
    const double t2 = t * t;
    const double sign = t >= 0.0 ? 1.0 : -1.0;
    if (at < 1.0) return sign * (4.5 * t2 - 5.0 * at);
    if (at < 2.0) return sign * (-1.5 * t2 + 5.0 * at - 4.0);
    return 0.0;
}

/// Weights of taps -1 .. +2 around the base index for fraction f in [0, 1).
inline void cubic_weights(double f, double w[4]) {
    w[0] = cubic_weight(f + 1.0);
    w[1] = cubic_weight(f);
    w[2] = cubic_weight(f - 1.0);
    w[3] = cubic_weight(f - 2.0);
}

inline void cubic_derivative_weights(double f, double w[4]) {
    w[0] = cubic_weight_derivative(f + 1.0);
    w[1] = cubic_weight_derivative(f);
    w[2] = cubic_weight_derivative(f - 1.0);
    w[3] = cubic_weight_derivative(f - 2.0);
}

// Fourth-order cubic convolution (Keys 1981, six taps); the distance range of each tap is
// known from its position, so the piece is fixed per tap.
inline double keys_inner(double t) {  // [0, 1]
    const double t2 = t * t;
    return (4.0 / 3.0) * t2 * t - (7.0 / 3.0) * t2 + 1.0;
}
inline double keys_middle(double t) {  // [1, 2]
    const double t2 = t * t;
    return -(7.0 / 12.0) * t2 * t + 3.0 * t2 - (59.0 / 12.0) * t + 2.5;
}
inline double keys_outer(double t) {  // [2, 3]
    const double t2 = t * t;
    return (1.0 / 12.0) * t2 * t - (2.0 / 3.0) * t2 + 1.75 * t - 1.5;
}

/// Weights of taps -2 .. +3 around the base index for fraction f in [0, 1).
inline void keys_fourth_weights(double f, double w[6]) {
    w[0] = keys_outer(f + 2.0);
    w[1] = keys_middle(f + 1.0);
    w[2] = keys_inner(f);
    w[3] = keys_inner(1.0 - f);
    w[4] = keys_middle(2.0 - f);
    w[5] = keys_outer(3.0 - f);
}

// ---------------------------------------------------------------------------------------
// Separable sums over an N x N block of samples (N = 4 or 6), `stride` doubles between
// block rows. The block is summed down each column first (acc[j] = sum over k, top to
// bottom, of wr[k] * sample[k][j]), then across the columns as two interleaved partial
// sums, even columns and odd columns, added at the end. That order maps one to one onto
// pairs of doubles in SSE2 registers; the scalar version below computes the very same
// operations, so every platform gets the same bits. Against a tap-by-tap accumulation the
// regrouping costs a few ulps of the result.

template <int N>
struct ColumnSums {
#if MORVEX_KERNELS_SSE2
    __m128d pair[N / 2];
#else
    double value[N];
#endif
};

template <int N>
inline ColumnSums<N> weighted_columns(const double* p, std::ptrdiff_t stride, const double* wr) {
    ColumnSums<N> acc;
#if MORVEX_KERNELS_SSE2
    __m128d w = _mm_set1_pd(wr[0]);
    for (int j = 0; j < N / 2; ++j) acc.pair[j] = _mm_mul_pd(w, _mm_loadu_pd(p + 2 * j));
    for (int k = 1; k < N; ++k) {
        const double* row = p + k * stride;
        w = _mm_set1_pd(wr[k]);
        for (int j = 0; j < N / 2; ++j)
            acc.pair[j] = _mm_add_pd(acc.pair[j], _mm_mul_pd(w, _mm_loadu_pd(row + 2 * j)));
    }
#else
    for (int j = 0; j < N; ++j) acc.value[j] = wr[0] * p[j];
    for (int k = 1; k < N; ++k) {
        const double* row = p + k * stride;
        for (int j = 0; j < N; ++j) acc.value[j] += wr[k] * row[j];
    }
#endif
    return acc;
}

/// sum over j of wc[j] * acc[j]: even and odd columns summed separately, then added.
template <int N>
inline double weighted_sum(const double* wc, const ColumnSums<N>& acc) {
#if MORVEX_KERNELS_SSE2
    // _mm_set_pd rather than a 16-byte load: the weights were just stored one by one.
    __m128d s = _mm_mul_pd(_mm_set_pd(wc[1], wc[0]), acc.pair[0]);
    for (int j = 1; j < N / 2; ++j)
        s = _mm_add_pd(s, _mm_mul_pd(_mm_set_pd(wc[2 * j + 1], wc[2 * j]), acc.pair[j]));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
#else
    double even = wc[0] * acc.value[0];
    double odd = wc[1] * acc.value[1];
    for (int j = 2; j < N; j += 2) {
        even += wc[j] * acc.value[j];
        odd += wc[j + 1] * acc.value[j + 1];
    }
    return even + odd;
#endif
}

/// Copies the N x N neighbourhood starting at (r0, c0) into `block`, every index clamped.
template <int N>
inline void gather_clamped(const GreyView& image, int r0, int c0, double* block) {
    int cols[N];
    for (int j = 0; j < N; ++j) cols[j] = clamp_index(c0 + j, image.cols);
    for (int k = 0; k < N; ++k) {
        const double* row = image.row(clamp_index(r0 + k, image.rows));
        for (int j = 0; j < N; ++j) block[k * N + j] = row[cols[j]];
    }
}

#if MORVEX_KERNELS_SSE2
// The fourth-order weights of the rows and of the columns side by side: lane 0 from fy,
// lane 1 from fx, each lane the exact arithmetic of keys_fourth_weights.
inline void keys_fourth_weight_pairs(double fy, double fx, __m128d w[6]) {
    const __m128d f = _mm_set_pd(fx, fy);
    const __m128d one = _mm_set1_pd(1.0);
    const __m128d two = _mm_set1_pd(2.0);
    const __m128d three = _mm_set1_pd(3.0);
    auto inner = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_add_pd(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(4.0 / 3.0), t2), t),
                                     _mm_mul_pd(_mm_set1_pd(7.0 / 3.0), t2)),
                          _mm_set1_pd(1.0));
    };
    auto middle = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_add_pd(
            _mm_sub_pd(_mm_add_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(-(7.0 / 12.0)), t2), t),
                                  _mm_mul_pd(_mm_set1_pd(3.0), t2)),
                       _mm_mul_pd(_mm_set1_pd(59.0 / 12.0), t)),
            _mm_set1_pd(2.5));
    };
    auto outer = [](__m128d t) {
        const __m128d t2 = _mm_mul_pd(t, t);
        return _mm_sub_pd(
            _mm_add_pd(_mm_sub_pd(_mm_mul_pd(_mm_mul_pd(_mm_set1_pd(1.0 / 12.0), t2), t),
                                  _mm_mul_pd(_mm_set1_pd(2.0 / 3.0), t2)),
                       _mm_mul_pd(_mm_set1_pd(1.75), t)),
            _mm_set1_pd(1.5));
    };
    w[0] = outer(_mm_add_pd(f, two));
    w[1] = middle(_mm_add_pd(f, one));
    w[2] = inner(f);
    w[3] = inner(_mm_sub_pd(one, f));
    w[4] = middle(_mm_sub_pd(two, f));
    w[5] = outer(_mm_sub_pd(three, f));
}

// weighted_columns<6> and weighted_sum<6> with the weights in lane pairs.
inline double keys_fourth_sum(const double* p, std::ptrdiff_t stride, const __m128d w[6]) {
    __m128d wr = _mm_unpacklo_pd(w[0], w[0]);
    __m128d a0 = _mm_mul_pd(wr, _mm_loadu_pd(p));
    __m128d a1 = _mm_mul_pd(wr, _mm_loadu_pd(p + 2));
    __m128d a2 = _mm_mul_pd(wr, _mm_loadu_pd(p + 4));
    for (int k = 1; k < 6; ++k) {
        p += stride;
        wr = _mm_unpacklo_pd(w[k], w[k]);
        a0 = _mm_add_pd(a0, _mm_mul_pd(wr, _mm_loadu_pd(p)));
        a1 = _mm_add_pd(a1, _mm_mul_pd(wr, _mm_loadu_pd(p + 2)));
        a2 = _mm_add_pd(a2, _mm_mul_pd(wr, _mm_loadu_pd(p + 4)));
    }
    __m128d s = _mm_mul_pd(_mm_unpackhi_pd(w[0], w[1]), a0);
    s = _mm_add_pd(s, _mm_mul_pd(_mm_unpackhi_pd(w[2], w[3]), a1));
    s = _mm_add_pd(s, _mm_mul_pd(_mm_unpackhi_pd(w[4], w[5]), a2));
    return _mm_cvtsd_f64(s) + _mm_cvtsd_f64(_mm_unpackhi_pd(s, s));
}
#endif

// ---------------------------------------------------------------------------------------
// Kernels

inline double sample_bilinear(const GreyView& image, double y, double x) {
    int r0, c0, r1, c1;
    double fy, fx;
    if (y >= 0.0 && y < image.rows - 1.0 && x >= 0.0 && x < image.cols - 1.0) {
        r0 = static_cast<int>(y);  // non-negative: truncation is floor
        c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        r1 = r0 + 1;
        c1 = c0 + 1;
    } else {
        const int rb = floor_split(y, image.rows, fy);
        const int cb = floor_split(x, image.cols, fx);
        r0 = clamp_index(rb, image.rows);
        r1 = clamp_index(rb + 1, image.rows);
        c0 = clamp_index(cb, image.cols);
        c1 = clamp_index(cb + 1, image.cols);
    }
    const double* top = image.row(r0);
    const double* bottom = image.row(r1);
    return (1.0 - fy) * (1.0 - fx) * top[c0] + (1.0 - fy) * fx * top[c1] +
           fy * (1.0 - fx) * bottom[c0] + fy * fx * bottom[c1];
}

/// True when all N x N taps around (y, x) (rows floor(y) - (N/2 - 1) ... floor(y) + N/2,
/// columns likewise) lie inside the image. False for NaN.
template <int N>
inline bool taps_inside(const GreyView& image, double y, double x) {
    constexpr double kBefore = N / 2 - 1;
    constexpr double kAfter = N / 2;
    return y >= kBefore && y < image.rows - kAfter && x >= kBefore && x < image.cols - kAfter;
}

/// True when all 36 taps around (y, x) lie inside the image: sample_keys_fourth's unclamped
/// path.
inline bool keys_fourth_unclamped(const GreyView& image, double y, double x) {
    return taps_inside<6>(image, y, x);
}

/// The N x N neighbourhood of (y, x): a pointer into the image when every tap is inside
/// (fast path), else the clamped taps gathered into `block` (N * N doubles); the fractions
/// go to fy, fx (NaN for a NaN position).
template <int N>
inline const double* neighbourhood(const GreyView& image, double y, double x, double& fy,
                                   double& fx, std::ptrdiff_t& stride, double* block) {
    constexpr int kBefore = N / 2 - 1;
    if (taps_inside<N>(image, y, x)) {
        const int r0 = static_cast<int>(y);
        const int c0 = static_cast<int>(x);
        fy = y - r0;
        fx = x - c0;
        stride = image.stride;
        return image.row(r0 - kBefore) + (c0 - kBefore);
    }
    const int r0 = floor_split(y, image.rows, fy);
    const int c0 = floor_split(x, image.cols, fx);
    gather_clamped<N>(image, r0 - kBefore, c0 - kBefore, block);
    stride = N;
    return block;
}

/// The 6 x 6 neighbourhood of the fourth-order kernel.
inline const double* keys_fourth_neighbourhood(const GreyView& image, double y, double x,
                                               double& fy, double& fx, std::ptrdiff_t& stride,
                                               double* block) {
    return neighbourhood<6>(image, y, x, fy, fx, stride, block);
}

inline double sample_bicubic(const GreyView& image, double y, double x) {
    double fy, fx, block[16];
    std::ptrdiff_t stride;
    const double* p = neighbourhood<4>(image, y, x, fy, fx, stride, block);
    if (std::isnan(fy + fx)) return kNaN;  // the piecewise kernel would answer 0
    double wr[4], wc[4];
    cubic_weights(fy, wr);
    cubic_weights(fx, wc);
    return weighted_sum<4>(wc, weighted_columns<4>(p, stride, wr));
}

inline InterpResult sample_bicubic_grad(const GreyView& image, double y, double x) {
    double fy, fx, block[16];
    std::ptrdiff_t stride;
    const double* p = neighbourhood<4>(image, y, x, fy, fx, stride, block);
    if (std::isnan(fy + fx)) return InterpResult{kNaN, kNaN, kNaN};
    double wr[4], dr[4], wc[4], dc[4];
    cubic_weights(fy, wr);
    cubic_derivative_weights(fy, dr);
    cubic_weights(fx, wc);
    cubic_derivative_weights(fx, dc);
    const ColumnSums<4> acc = weighted_columns<4>(p, stride, wr);
    const ColumnSums<4> dacc = weighted_columns<4>(p, stride, dr);
    InterpResult out;
    out.value = weighted_sum<4>(wc, acc);
    out.dx = weighted_sum<4>(dc, acc);
    out.dy = weighted_sum<4>(wc, dacc);
    return out;
}

/// Fourth-order weights of both axes, in the form the sum takes.
struct KeysFourthWeights {
#if MORVEX_KERNELS_SSE2
    __m128d pair[6];  // lane 0: row weight, lane 1: column weight
    void compute(double fy, double fx) { keys_fourth_weight_pairs(fy, fx, pair); }
    double sum(const double* p, std::ptrdiff_t stride) const { return keys_fourth_sum(p, stride, pair); }
#else
    double rows[6];
    double cols[6];
    void compute(double fy, double fx) {
        keys_fourth_weights(fy, rows);
        keys_fourth_weights(fx, cols);
    }
    double sum(const double* p, std::ptrdiff_t stride) const {
        return weighted_sum<6>(cols, weighted_columns<6>(p, stride, rows));
    }
#endif
};

inline double sample_keys_fourth(const GreyView& image, double y, double x) {
    double fy, fx, block[36];
    std::ptrdiff_t stride;
    const double* p = keys_fourth_neighbourhood(image, y, x, fy, fx, stride, block);
    KeysFourthWeights weights;
    weights.compute(fy, fx);
    return weights.sum(p, stride);
}

/// sample_keys_fourth over a run of samples, keeping the weights of the last fractions: a
/// warp without gradient terms (a solver's integer start) gives every sample of a subset
/// the same fractions, and their weights are then computed once. Same results as
/// sample_keys_fourth. One per loop; not shared between threads.
class KeysFourthSampler {
public:
    KeysFourthSampler() { weights_.compute(fy_, fx_); }

    double operator()(const GreyView& image, double y, double x) {
        double fy, fx, block[36];
        std::ptrdiff_t stride;
        const double* p = keys_fourth_neighbourhood(image, y, x, fy, fx, stride, block);
        // Compared as values: a NaN fraction never matches, so its weights are recomputed.
        if (!(fy == fy_ && fx == fx_)) {
            weights_.compute(fy, fx);
            fy_ = fy;
            fx_ = fx;
        }
        return weights_.sum(p, stride);
    }

private:
    double fy_ = 0.0;
    double fx_ = 0.0;
    KeysFourthWeights weights_;
};

#if MORVEX_KERNELS_AVX2
/// True when the CPU runs the AVX2 form (asked once).
inline bool kernels_have_avx2() {
    static const bool available = __builtin_cpu_supports("avx2");
    return available;
}

#define MORVEX_KERNELS_AVX2_FUNCTION __attribute__((target("avx2"))) inline

// keys_inner, keys_middle, keys_outer on four lanes, operation for operation.
MORVEX_KERNELS_AVX2_FUNCTION __m256d keys_inner_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(4.0 / 3.0), t2), t),
                                       _mm256_mul_pd(_mm256_set1_pd(7.0 / 3.0), t2)),
                         _mm256_set1_pd(1.0));
}

MORVEX_KERNELS_AVX2_FUNCTION __m256d keys_middle_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_add_pd(
        _mm256_sub_pd(_mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(-(7.0 / 12.0)), t2), t),
                                    _mm256_mul_pd(_mm256_set1_pd(3.0), t2)),
                      _mm256_mul_pd(_mm256_set1_pd(59.0 / 12.0), t)),
        _mm256_set1_pd(2.5));
}

MORVEX_KERNELS_AVX2_FUNCTION __m256d keys_outer_quad(__m256d t) {
    const __m256d t2 = _mm256_mul_pd(t, t);
    return _mm256_sub_pd(
        _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(_mm256_mul_pd(_mm256_set1_pd(1.0 / 12.0), t2), t),
                                    _mm256_mul_pd(_mm256_set1_pd(2.0 / 3.0), t2)),
                      _mm256_mul_pd(_mm256_set1_pd(1.75), t)),
        _mm256_set1_pd(1.5));
}

MORVEX_KERNELS_AVX2_FUNCTION void keys_fourth_weights_quad(__m256d f, __m256d w[6]) {
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d two = _mm256_set1_pd(2.0);
    w[0] = keys_outer_quad(_mm256_add_pd(f, two));
    w[1] = keys_middle_quad(_mm256_add_pd(f, one));
    w[2] = keys_inner_quad(f);
    w[3] = keys_inner_quad(_mm256_sub_pd(one, f));
    w[4] = keys_middle_quad(_mm256_sub_pd(two, f));
    w[5] = keys_outer_quad(_mm256_sub_pd(_mm256_set1_pd(3.0), f));
}

/// out[i] = sample_keys_fourth(image, ys[i], xs[i]) for i < count, bit for bit, with every
/// position in the unclamped range (keys_fourth_unclamped). Four samples share one pass of
/// weights: twelve 4-lane polynomials instead of six 2-lane ones per sample. Each block is
/// summed down its columns (0-3 in one register, 4-5 in another), then the even and odd
/// column products are summed and added, exactly as the 2-lane kernel does.
MORVEX_KERNELS_AVX2_FUNCTION void sample_keys_fourth_quad(const GreyView& image,
                                                          const double* ys, const double* xs,
                                                          std::size_t count, double* out) {
    const std::ptrdiff_t stride = image.stride;
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
        const __m256d yp = _mm256_loadu_pd(ys + i);
        const __m256d xp = _mm256_loadu_pd(xs + i);
        // Non-negative positions: truncation is floor, as in the kernel's unclamped path.
        const __m128i r0 = _mm256_cvttpd_epi32(yp);
        const __m128i c0 = _mm256_cvttpd_epi32(xp);
        __m256d wr[6], wc[6];
        keys_fourth_weights_quad(_mm256_sub_pd(yp, _mm256_cvtepi32_pd(r0)), wr);
        keys_fourth_weights_quad(_mm256_sub_pd(xp, _mm256_cvtepi32_pd(c0)), wc);
        alignas(32) double row_weight[6][4];
        for (int k = 0; k < 6; ++k) _mm256_store_pd(row_weight[k], wr[k]);
        alignas(16) int rows[4];
        alignas(16) int cols[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(rows), r0);
        _mm_store_si128(reinterpret_cast<__m128i*>(cols), c0);
        // Column weights per sample: taps 0-3 by a 4 x 4 transpose, taps 4-5 as pairs.
        const __m256d t0 = _mm256_unpacklo_pd(wc[0], wc[1]);
        const __m256d t1 = _mm256_unpackhi_pd(wc[0], wc[1]);
        const __m256d t2 = _mm256_unpacklo_pd(wc[2], wc[3]);
        const __m256d t3 = _mm256_unpackhi_pd(wc[2], wc[3]);
        const __m256d column_weight[4] = {
            _mm256_permute2f128_pd(t0, t2, 0x20), _mm256_permute2f128_pd(t1, t3, 0x20),
            _mm256_permute2f128_pd(t0, t2, 0x31), _mm256_permute2f128_pd(t1, t3, 0x31)};
        const __m256d e0 = _mm256_unpacklo_pd(wc[4], wc[5]);
        const __m256d e1 = _mm256_unpackhi_pd(wc[4], wc[5]);
        const __m128d column_weight_45[4] = {_mm256_castpd256_pd128(e0), _mm256_castpd256_pd128(e1),
                                             _mm256_extractf128_pd(e0, 1), _mm256_extractf128_pd(e1, 1)};
        for (int s = 0; s < 4; ++s) {
            const double* p = image.row(rows[s] - 2) + (cols[s] - 2);
            __m256d w = _mm256_broadcast_sd(&row_weight[0][s]);
            __m256d a03 = _mm256_mul_pd(w, _mm256_loadu_pd(p));
            __m128d a45 = _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4));
            for (int k = 1; k < 6; ++k) {
                p += stride;
                w = _mm256_broadcast_sd(&row_weight[k][s]);
                a03 = _mm256_add_pd(a03, _mm256_mul_pd(w, _mm256_loadu_pd(p)));
                a45 = _mm_add_pd(a45, _mm_mul_pd(_mm256_castpd256_pd128(w), _mm_loadu_pd(p + 4)));
            }
            const __m256d products = _mm256_mul_pd(column_weight[s], a03);
            __m128d pair = _mm_add_pd(_mm256_castpd256_pd128(products), _mm256_extractf128_pd(products, 1));
            pair = _mm_add_pd(pair, _mm_mul_pd(column_weight_45[s], a45));
            out[i + s] = _mm_cvtsd_f64(pair) + _mm_cvtsd_f64(_mm_unpackhi_pd(pair, pair));
        }
    }
    for (; i < count; ++i) out[i] = sample_keys_fourth(image, ys[i], xs[i]);
}

#undef MORVEX_KERNELS_AVX2_FUNCTION
#endif

/// out[i] = sample_keys_fourth(image, ys[i], xs[i]) for i < count: four at a time on AVX2
/// CPUs when `all_unclamped` (every position passed keys_fourth_unclamped), otherwise one
/// at a time reusing the weights of equal fractions. Same bits either way.
inline void sample_keys_fourth_run(const GreyView& image, const double* ys, const double* xs,
                                   std::size_t count, bool all_unclamped, double* out) {
#if MORVEX_KERNELS_AVX2
    if (all_unclamped && kernels_have_avx2()) {
        sample_keys_fourth_quad(image, ys, xs, count, out);
        return;
    }
#else
    (void)all_unclamped;
#endif
    KeysFourthSampler sample;
    for (std::size_t i = 0; i < count; ++i) out[i] = sample(image, ys[i], xs[i]);
}

}  // namespace morvex::dic::detail

#include "quality.h"

#include <lcms2.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <limits>
#include <thread>

namespace {

struct LabTransform {
    cmsHTRANSFORM handle = nullptr;
    LabTransform()
    {
        // Linear-light sRGB: the sRGB primaries and D65 white with a straight tone curve.
        const cmsCIExyY white = {0.3127, 0.3290, 1.0};
        const cmsCIExyYTRIPLE primaries = {{0.64, 0.33, 1.0}, {0.30, 0.60, 1.0}, {0.15, 0.06, 1.0}};
        cmsToneCurve *linear = cmsBuildGamma(nullptr, 1.0);
        cmsToneCurve *curves[3] = {linear, linear, linear};
        cmsHPROFILE rgb = cmsCreateRGBProfile(&white, &primaries, curves);
        cmsHPROFILE lab = cmsCreateLab4Profile(nullptr);
        if (rgb && lab)
            handle = cmsCreateTransform(rgb, TYPE_RGB_FLT, lab, TYPE_Lab_FLT, INTENT_RELATIVE_COLORIMETRIC,
                                        cmsFLAGS_NOCACHE);
        if (rgb)
            cmsCloseProfile(rgb);
        if (lab)
            cmsCloseProfile(lab);
        cmsFreeToneCurve(linear);
    }
    ~LabTransform()
    {
        if (handle)
            cmsDeleteTransform(handle);
    }
    LabTransform(const LabTransform &) = delete;
    LabTransform &operator=(const LabTransform &) = delete;
};

const LabTransform &labTransform()
{
    static const LabTransform transform;
    return transform;
}

bool finite3(const float *v) { return std::isfinite(v[0]) && std::isfinite(v[1]) && std::isfinite(v[2]); }

void spread(const std::vector<float> &lab, double mean[3], double sigma[3])
{
    double sum[3] = {}, sumSq[3] = {};
    size_t n = 0;
    for (size_t i = 0; i + 2 < lab.size(); i += 3) {
        if (!finite3(&lab[i]))
            continue;
        for (int c = 0; c < 3; ++c) {
            sum[c] += lab[i + size_t(c)];
            sumSq[c] += double(lab[i + size_t(c)]) * lab[i + size_t(c)];
        }
        ++n;
    }
    for (int c = 0; c < 3; ++c) {
        mean[c] = n ? sum[c] / double(n) : 0.0;
        sigma[c] = n ? std::sqrt(std::max(0.0, sumSq[c] / double(n) - mean[c] * mean[c])) : 0.0;
    }
}

std::string formatLine(const char *format, ...) __attribute__((format(printf, 1, 2)));
std::string formatLine(const char *format, ...)
{
    char buffer[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

} // namespace

std::vector<float> linearToLab(const float *pixels, size_t count, int channels)
{
    std::vector<float> rgb(count * 3);
    for (size_t i = 0; i < count; ++i)
        for (int c = 0; c < 3; ++c)
            rgb[i * 3 + size_t(c)] = pixels[i * size_t(channels) + size_t(std::min(c, channels - 1))];
    std::vector<float> lab(count * 3);
    const cmsHTRANSFORM transform = labTransform().handle;
    if (!transform)
        return lab;
    // Float transforms are slow enough to be worth every core; the transform keeps no cache.
    const size_t threads = std::max(1u, std::min(8u, std::thread::hardware_concurrency()));
    const size_t chunk = (count + threads - 1) / threads;
    std::vector<std::thread> pool;
    for (size_t start = 0; start < count; start += chunk) {
        const size_t n = std::min(chunk, count - start);
        pool.emplace_back([&, start, n] { cmsDoTransform(transform, &rgb[start * 3], &lab[start * 3], cmsUInt32Number(n)); });
    }
    for (std::thread &t : pool)
        t.join();
    // The transform turns NaN and infinities into ordinary colours; they must stay out of the figures.
    for (size_t i = 0; i < count; ++i)
        if (!finite3(&rgb[i * 3]))
            lab[i * 3] = lab[i * 3 + 1] = lab[i * 3 + 2] = std::numeric_limits<float>::quiet_NaN();
    return lab;
}

LabImage toLab(const Image &image)
{
    LabImage result;
    result.width = image.width;
    result.height = image.height;
    result.lab = linearToLab(image.pixels.data(), size_t(image.width) * size_t(image.height), image.channels);
    return result;
}

double deltaE2000(const float *labA, const float *labB)
{
    const cmsCIELab a = {labA[0], labA[1], labA[2]};
    const cmsCIELab b = {labB[0], labB[1], labB[2]};
    return cmsCIE2000DeltaE(&a, &b, 1.0, 1.0, 1.0);
}

PixelDeltaE comparePixels(const Image &a, const Image &b) { return comparePixels(toLab(a), toLab(b)); }
SpreadDeltaE compareSpreads(const Image &a, const Image &b) { return compareSpreads(toLab(a), toLab(b)); }

PixelDeltaE comparePixels(const LabImage &a, const LabImage &b)
{
    PixelDeltaE result;
    result.width = std::min(a.width, b.width);
    result.height = std::min(a.height, b.height);
    if (result.width <= 0 || result.height <= 0)
        return result;
    const std::vector<float> &labA = a.lab, &labB = b.lab;
    std::vector<double> distances;
    distances.reserve(size_t(result.width) * size_t(result.height));
    for (int row = 0; row < result.height; ++row) {
        // Row `row` from the bottom in both images.
        const size_t rowA = size_t(a.height - 1 - row) * size_t(a.width);
        const size_t rowB = size_t(b.height - 1 - row) * size_t(b.width);
        for (int x = 0; x < result.width; ++x) {
            const float *pa = &labA[(rowA + size_t(x)) * 3];
            const float *pb = &labB[(rowB + size_t(x)) * 3];
            if (finite3(pa) && finite3(pb))
                distances.push_back(deltaE2000(pa, pb));
        }
    }
    result.count = distances.size();
    if (distances.empty())
        return result;
    double sum = 0.0;
    for (double d : distances)
        sum += d;
    result.mean = sum / double(distances.size());
    const size_t k = std::min(distances.size() - 1, size_t(std::ceil(0.95 * double(distances.size()))) - 1);
    std::nth_element(distances.begin(), distances.begin() + long(k), distances.end());
    result.p95 = distances[k];
    return result;
}

SpreadDeltaE compareSpreads(const LabImage &a, const LabImage &b)
{
    double meanA[3], sigmaA[3], meanB[3], sigmaB[3];
    spread(a.lab, meanA, sigmaA);
    spread(b.lab, meanB, sigmaB);
    SpreadDeltaE result;
    const float ma[3] = {float(meanA[0]), float(meanA[1]), float(meanA[2])};
    const float mb[3] = {float(meanB[0]), float(meanB[1]), float(meanB[2])};
    result.meanColorDeltaE = deltaE2000(ma, mb);
    double sq = 0.0;
    for (int c = 0; c < 3; ++c) {
        result.stdDevDifference[c] = std::fabs(sigmaA[c] - sigmaB[c]);
        sq += result.stdDevDifference[c] * result.stdDevDifference[c];
    }
    result.stdDevDistance = std::sqrt(sq);
    return result;
}

MatchQuality measureMatch(bool sameFrame, const Image &source, const Image &reference, const Image &output)
{
    MatchQuality q;
    q.sameFrame = sameFrame;
    const LabImage s = toLab(source), r = toLab(reference), o = toLab(output);
    if (sameFrame) {
        q.pixelsBefore = comparePixels(s, r);
        q.pixelsAfter = comparePixels(o, r);
    } else {
        q.spreadBefore = compareSpreads(s, r);
        q.spreadAfter = compareSpreads(o, r);
    }
    return q;
}

std::vector<std::string> describeQuality(const MatchQuality &q)
{
    std::vector<std::string> lines;
    if (q.sameFrame) {
        lines.push_back(formatLine("Same Frame: CIE dE2000 per pixel over the %dx%d overlap",
                                   q.pixelsBefore.width, q.pixelsBefore.height));
        lines.push_back(formatLine("Source vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsBefore.mean,
                                   q.pixelsBefore.p95));
        lines.push_back(formatLine("Output vs Reference: mean %.2f, 95th percentile %.2f", q.pixelsAfter.mean,
                                   q.pixelsAfter.p95));
    } else {
        lines.push_back("Different Clips: dE2000 of the mean colours, difference of the Lab standard deviations");
        const SpreadDeltaE *s[2] = {&q.spreadBefore, &q.spreadAfter};
        const char *names[2] = {"Source vs Reference", "Output vs Reference"};
        for (int i = 0; i < 2; ++i)
            lines.push_back(formatLine("%s: mean colour %.2f, spread %.2f (L* %.2f, a* %.2f, b* %.2f)", names[i],
                                       s[i]->meanColorDeltaE, s[i]->stdDevDistance, s[i]->stdDevDifference[0],
                                       s[i]->stdDevDifference[1], s[i]->stdDevDifference[2]));
    }
    return lines;
}

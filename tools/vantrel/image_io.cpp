#include "image_io.h"

#include <OpenColorIO/OpenColorIO.h>
#include <OpenImageIO/imageio.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace OCIO = OCIO_NAMESPACE;

namespace {

SampleDepth depthOf(OIIO::TypeDesc type)
{
    switch (type.basetype) {
    case OIIO::TypeDesc::UINT8:
    case OIIO::TypeDesc::INT8:
        return SampleDepth::UInt8;
    case OIIO::TypeDesc::UINT16:
    case OIIO::TypeDesc::INT16:
    case OIIO::TypeDesc::UINT32:
    case OIIO::TypeDesc::INT32:
        return SampleDepth::UInt16;
    case OIIO::TypeDesc::HALF:
        return SampleDepth::Half;
    default:
        return SampleDepth::Float;
    }
}

OIIO::TypeDesc typeOf(SampleDepth depth)
{
    switch (depth) {
    case SampleDepth::UInt8:
        return OIIO::TypeDesc::UINT8;
    case SampleDepth::UInt16:
        return OIIO::TypeDesc::UINT16;
    case SampleDepth::Half:
        return OIIO::TypeDesc::HALF;
    default:
        return OIIO::TypeDesc::FLOAT;
    }
}

// One line per user error: keep the first line of what the library says.
std::string firstLine(std::string text)
{
    const size_t newline = text.find('\n');
    if (newline != std::string::npos)
        text.resize(newline);
    return text;
}

std::string lastOiioError()
{
    std::string text = OIIO::geterror();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    return firstLine(text);
}

bool fileExists(const std::string &path, std::string &error)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        error = "'" + path + "': " + std::strerror(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        error = "'" + path + "' is a directory";
        return false;
    }
    return true;
}

// Reads every channel of the first subimage as float; integer files keep their colour samples
// unassociated from alpha, exactly as stored.
bool readAllChannels(const std::string &path, std::vector<float> &pixels, OIIO::ImageSpec &layout,
                     std::string &format, std::string &error)
{
    if (!fileExists(path, error))
        return false;
    OIIO::ImageSpec config;
    config.attribute("oiio:UnassociatedAlpha", 1);
    auto in = OIIO::ImageInput::open(path, &config);
    if (!in) {
        error = "cannot read '" + path + "': " + lastOiioError();
        return false;
    }
    layout = in->spec();
    format = in->format_name();
    const size_t count = size_t(layout.width) * size_t(layout.height);
    if (layout.width <= 0 || layout.height <= 0 || layout.nchannels <= 0 || layout.depth > 1) {
        error = "'" + path + "' is not a 2D image";
        return false;
    }
    // A row of float RGBA must fit the host's int row stride, and the frame a plain int pixel count.
    if (layout.width > INT_MAX / 16 || layout.height > INT_MAX / layout.width) {
        error = "'" + path + "' is too large (" + std::to_string(layout.width) + "x" + std::to_string(layout.height) + ")";
        return false;
    }
    pixels.assign(count * size_t(layout.nchannels), 0.0f);
    if (!in->read_image(0, 0, 0, layout.nchannels, OIIO::TypeDesc::FLOAT, pixels.data())) {
        error = "cannot read '" + path + "': " + firstLine(in->geterror());
        return false;
    }
    in->close();
    return true;
}

OCIO::ConstCPUProcessorRcPtr srgbProcessor(bool decode)
{
    auto transform = OCIO::ExponentWithLinearTransform::Create();
    const double gamma[4] = {2.4, 2.4, 2.4, 1.0};
    const double offset[4] = {0.055, 0.055, 0.055, 0.0};
    transform->setGamma(gamma);
    transform->setOffset(offset);
    transform->setDirection(decode ? OCIO::TRANSFORM_DIR_FORWARD : OCIO::TRANSFORM_DIR_INVERSE);
    return OCIO::Config::CreateRaw()->getProcessor(transform)->getOptimizedCPUProcessor(
        OCIO::OPTIMIZATION_LOSSLESS);
}

void applySrgb(bool decode, float *pixels, size_t count, int channels)
{
    static const OCIO::ConstCPUProcessorRcPtr decoder = srgbProcessor(true);
    static const OCIO::ConstCPUProcessorRcPtr encoder = srgbProcessor(false);
    if (count == 0 || (channels != 3 && channels != 4))
        return;
    const auto &processor = decode ? decoder : encoder;
    // One row per call keeps the width within the descriptor's long and the work cache-sized.
    const size_t row = 1 << 16;
    for (size_t start = 0; start < count; start += row) {
        const size_t n = std::min(row, count - start);
        OCIO::PackedImageDesc desc(pixels + start * size_t(channels), long(n), 1, channels);
        processor->apply(desc);
    }
}

} // namespace

void srgbToLinear(float *pixels, size_t count, int channels) { applySrgb(true, pixels, count, channels); }
void linearToSrgb(float *pixels, size_t count, int channels) { applySrgb(false, pixels, count, channels); }

bool isIntegerDepth(SampleDepth depth) { return depth == SampleDepth::UInt8 || depth == SampleDepth::UInt16; }

bool readColorImage(const std::string &path, ColorEncoding encoding, Image &out, std::string &error)
{
    std::vector<float> raw;
    OIIO::ImageSpec layout;
    std::string format;
    if (!readAllChannels(path, raw, layout, format, error))
        return false;

    const int n = layout.nchannels;
    int alpha = layout.alpha_channel;
    if (alpha < 0 && (n == 2 || n == 4))
        alpha = n - 1;  // grey+alpha and RGBA files that do not name their alpha channel
    int colour[3];
    int found = 0;
    for (int c = 0; c < n && found < 3; ++c)
        if (c != alpha)
            colour[found++] = c;
    if (found == 0) {
        error = "'" + path + "' has no colour channel";
        return false;
    }
    for (int c = found; c < 3; ++c)
        colour[c] = colour[0];  // grey fills all three

    const size_t count = size_t(layout.width) * size_t(layout.height);
    out.width = layout.width;
    out.height = layout.height;
    out.channels = 4;
    out.format = format;
    out.depth = depthOf(layout.format);
    out.hasAlpha = alpha >= 0;
    out.compression = layout.get_string_attribute("compression");
    out.pixels.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
        const float *s = &raw[i * size_t(n)];
        float *d = &out.pixels[i * 4];
        d[0] = s[colour[0]];
        d[1] = s[colour[1]];
        d[2] = s[colour[2]];
        d[3] = alpha >= 0 ? s[alpha] : 1.0f;
    }
    const bool decode = encoding == ColorEncoding::Srgb ||
                        (encoding == ColorEncoding::Auto && isIntegerDepth(out.depth));
    if (decode)
        srgbToLinear(out.pixels.data(), count, 4);
    return true;
}

bool readMaskImage(const std::string &path, Image &out, std::string &error)
{
    std::vector<float> raw;
    OIIO::ImageSpec layout;
    std::string format;
    if (!readAllChannels(path, raw, layout, format, error))
        return false;
    const int n = layout.nchannels;
    const size_t count = size_t(layout.width) * size_t(layout.height);
    out.width = layout.width;
    out.height = layout.height;
    out.format = format;
    out.depth = depthOf(layout.format);
    out.hasAlpha = layout.alpha_channel >= 0;
    if (n == 1 || n == 3 || n == 4) {
        out.channels = n;
        out.pixels = std::move(raw);
        return true;
    }
    // Grey+alpha and other layouts: the alpha (else the first channel) is the mask.
    const int pick = layout.alpha_channel >= 0 ? layout.alpha_channel : (n == 2 ? 1 : 0);
    out.channels = 1;
    out.pixels.resize(count);
    for (size_t i = 0; i < count; ++i)
        out.pixels[i] = raw[i * size_t(n) + size_t(pick)];
    return true;
}

std::string outputFormatFor(const std::string &path)
{
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        OIIO::geterror();  // clear the pending message
        return "";
    }
    return out->format_name();
}

bool formatStoresDepth(const std::string &format, SampleDepth depth)
{
    if (format == "openexr")
        return depth == SampleDepth::Half || depth == SampleDepth::Float;
    if (format == "png" || format == "dpx" || format == "pnm")
        return depth == SampleDepth::UInt8 || depth == SampleDepth::UInt16;
    if (format == "jpeg" || format == "bmp" || format == "targa" || format == "gif" || format == "webp")
        return depth == SampleDepth::UInt8;
    if (format == "hdr")
        return depth == SampleDepth::Float;
    return depth != SampleDepth::Unknown;
}

SampleDepth outputDepth(const std::string &format, SampleDepth sourceDepth)
{
    if (formatStoresDepth(format, sourceDepth))
        return sourceDepth;
    // Nearest first: float data stays float where it can, integer data stays integer.
    static const SampleDepth fromFloat[] = {SampleDepth::Float, SampleDepth::Half, SampleDepth::UInt16,
                                            SampleDepth::UInt8};
    static const SampleDepth fromHalf[] = {SampleDepth::Half, SampleDepth::Float, SampleDepth::UInt16,
                                           SampleDepth::UInt8};
    static const SampleDepth fromU16[] = {SampleDepth::UInt16, SampleDepth::Half, SampleDepth::Float,
                                          SampleDepth::UInt8};
    static const SampleDepth fromU8[] = {SampleDepth::UInt8, SampleDepth::UInt16, SampleDepth::Half,
                                         SampleDepth::Float};
    const SampleDepth *order = fromU8;
    if (sourceDepth == SampleDepth::Float)
        order = fromFloat;
    else if (sourceDepth == SampleDepth::Half)
        order = fromHalf;
    else if (sourceDepth == SampleDepth::UInt16)
        order = fromU16;
    for (int i = 0; i < 4; ++i)
        if (formatStoresDepth(format, order[i]))
            return order[i];
    return SampleDepth::Float;
}

bool parseDepth(const std::string &text, SampleDepth &out)
{
    if (text == "8")
        out = SampleDepth::UInt8;
    else if (text == "16")
        out = SampleDepth::UInt16;
    else if (text == "half")
        out = SampleDepth::Half;
    else if (text == "float" || text == "32")
        out = SampleDepth::Float;
    else
        return false;
    return true;
}

const char *depthName(SampleDepth depth)
{
    switch (depth) {
    case SampleDepth::UInt8:
        return "8-bit";
    case SampleDepth::UInt16:
        return "16-bit";
    case SampleDepth::Half:
        return "half float";
    case SampleDepth::Float:
        return "float";
    default:
        return "unknown";
    }
}

std::string temporaryPathFor(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    const std::string ext = dot == std::string::npos || dot == 0 ? "" : name.substr(dot);
    return dir + "." + stem + ".vantrel-" + std::to_string(long(getpid())) + ext;
}

bool writeColorImage(const std::string &path, const Image &image, const WriteSettings &settings,
                     std::string &error)
{
    auto out = OIIO::ImageOutput::create(path);
    if (!out) {
        error = "cannot write '" + path + "': " + lastOiioError();
        return false;
    }
    const std::string format = out->format_name();
    const SampleDepth depth =
        settings.depth != SampleDepth::Unknown ? settings.depth : outputDepth(format, image.depth);
    const bool alpha = settings.keepAlpha && image.hasAlpha && image.channels == 4 && out->supports("alpha");
    const int channels = alpha ? 4 : 3;
    const size_t count = size_t(image.width) * size_t(image.height);

    std::vector<float> data(count * size_t(channels));
    for (size_t i = 0; i < count; ++i)
        for (int c = 0; c < channels; ++c)
            data[i * size_t(channels) + size_t(c)] =
                image.pixels[i * size_t(image.channels) + size_t(std::min(c, image.channels - 1))];
    const bool encode = settings.encoding == ColorEncoding::Srgb ||
                        (settings.encoding == ColorEncoding::Auto && isIntegerDepth(depth));
    if (encode)
        linearToSrgb(data.data(), count, channels);

    OIIO::ImageSpec layout(image.width, image.height, channels, typeOf(depth));
    if (alpha && isIntegerDepth(depth))
        layout.attribute("oiio:UnassociatedAlpha", 1);
    if (format == "jpeg")
        layout.attribute("Compression", "jpeg:95");
    // A plate's own compression is what the pipeline chose for it.
    if ((format == "openexr" || format == "tiff") && format == image.format && !image.compression.empty())
        layout.attribute("compression", image.compression);

    const std::string temporary = temporaryPathFor(path);
    bool ok = out->open(temporary, layout) && out->write_image(OIIO::TypeDesc::FLOAT, data.data());
    ok = out->close() && ok;
    if (!ok) {
        error = "cannot write '" + path + "': " + firstLine(out->geterror());
        std::remove(temporary.c_str());
        return false;
    }
    if (std::rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write '" + path + "': " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

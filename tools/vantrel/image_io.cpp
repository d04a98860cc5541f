#include "image_io.h"

#include "interrupt.h"
#include "output_file.h"

#include <OpenImageIO/imageio.h>

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

namespace {

SampleDepth depthOf(OIIO::TypeDesc type) {
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

OIIO::TypeDesc typeOf(SampleDepth depth) {
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
std::string firstLine(std::string text) {
  const size_t newline = text.find('\n');
  if (newline != std::string::npos) text.resize(newline);
  return text;
}

std::string lastOiioError() {
  std::string text = OIIO::geterror();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return firstLine(text);
}

bool fileExists(const std::string& path, std::string& error) {
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

bool sameName(const std::string& a, const char* b) { return strcasecmp(a.c_str(), b) == 0; }

// The attribute that names a file's colour space, and the same as a DPX user data block: its
// 32-byte user identification, then the name.
const char* const kSpaceAttribute = "vantrel:ColorSpace";
const size_t kUserIdBytes = 32;

std::string spaceInUserData(const OIIO::ImageSpec& header) {
  const OIIO::ParamValue* data = header.find_attribute("dpx:UserData");
  if (!data || data->type().basetype != OIIO::TypeDesc::UINT8) return "";
  const char* bytes = static_cast<const char*>(data->data());
  const size_t size = size_t(data->type().basevalues());
  if (size <= kUserIdBytes || std::strncmp(bytes, kSpaceAttribute, kUserIdBytes) != 0) return "";
  return std::string(bytes + kUserIdBytes, strnlen(bytes + kUserIdBytes, size - kUserIdBytes));
}

void takeColourMetadata(const OIIO::ImageSpec& header, Image& out) {
  out.storedSpace = header.get_string_attribute("oiio:ColorSpace");
  out.namedSpace = header.get_string_attribute(kSpaceAttribute);
  if (out.namedSpace.empty()) out.namedSpace = spaceInUserData(header);
  out.transfer = header.get_string_attribute("dpx:Transfer");
  out.chromaticities.reset();
  const OIIO::ParamValue* chromaticities = header.find_attribute("chromaticities");
  if (chromaticities && chromaticities->type() == OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8)) {
    std::array<float, 8> c;
    std::memcpy(c.data(), chromaticities->data(), sizeof c);
    out.chromaticities = c;
  }
}

}  // namespace

struct FileLayout {
  OIIO::ImageSpec header;        // windows, channel names and sample types, metadata, as read
  int colour[3] = {-1, -1, -1};  // the channels named R, G and B, when the file has all three
  int alpha = -1;
  int parts = 1;
  // Every channel as stored, packed per pixel; kept only when there are channels the tool
  // does not work on, so they can be written back untouched.
  std::vector<unsigned char> native;
  std::vector<size_t> offsets;  // of each channel within a stored pixel
  size_t pixelBytes = 0;
  bool hasColour() const { return colour[0] >= 0; }
  bool hasOtherChannels() const { return header.nchannels > (hasColour() ? 3 : 0) + (alpha >= 0 ? 1 : 0); }
};

namespace {

// Reads the first part of a file with every channel as stored. Integer files keep their
// colour samples unassociated from alpha, exactly as stored.
bool readFile(const std::string& path, FileLayout& file, std::string& format, std::string& error) {
  if (!fileExists(path, error)) return false;
  OIIO::ImageSpec config;
  config.attribute("oiio:UnassociatedAlpha", 1);
  auto in = OIIO::ImageInput::open(path, &config);
  if (!in) {
    error = "cannot read '" + path + "': " + lastOiioError();
    return false;
  }
  const OIIO::ImageSpec& header = in->spec();
  format = in->format_name();
  if (header.width <= 0 || header.height <= 0 || header.nchannels <= 0 || header.depth > 1) {
    error = "'" + path + "' is not a 2D image";
    return false;
  }
  // A row of float RGBA must fit the host's int row stride, and the frame a plain int pixel count.
  if (header.width > INT_MAX / 16 || header.height > INT_MAX / header.width) {
    error = "'" + path + "' is too large (" + std::to_string(header.width) + "x" + std::to_string(header.height) + ")";
    return false;
  }
  // Host coordinates are ints: the data window must lie within reach of the display window.
  const long long reach = 1LL << 29;
  const long long full = std::max(header.full_height, 0);
  if (std::llabs((long long)header.x - header.full_x) > reach ||
      std::llabs((long long)header.y - header.full_y) > reach || full > reach) {
    error = "'" + path + "': the data window lies too far from the display window";
    return false;
  }
  file.header = header;
  file.parts = std::max(1, header.get_int_attribute("oiio:subimages", 1));
  file.offsets.clear();
  file.pixelBytes = 0;
  for (int c = 0; c < header.nchannels; ++c) {
    file.offsets.push_back(file.pixelBytes);
    file.pixelBytes += header.channelformat(c).size();
  }
  const size_t count = size_t(header.width) * size_t(header.height);
  file.native.assign(count * file.pixelBytes, 0);
  if (!in->read_image(0, 0, 0, header.nchannels, OIIO::TypeUnknown, file.native.data())) {
    error = "cannot read '" + path + "': " + firstLine(in->geterror());
    return false;
  }
  in->close();

  // R, G and B by name (any order, among other channels); the alpha the reader names, else A.
  const std::vector<std::string>& names = header.channelnames;
  file.alpha = header.alpha_channel;
  static const char* const colourNames[3] = {"R", "G", "B"};
  for (int c = 0; c < header.nchannels && c < int(names.size()); ++c) {
    for (int k = 0; k < 3; ++k)
      if (file.colour[k] < 0 && sameName(names[size_t(c)], colourNames[k])) file.colour[k] = c;
    if (file.alpha < 0 && sameName(names[size_t(c)], "A")) file.alpha = c;
  }
  if (file.colour[0] < 0 || file.colour[1] < 0 || file.colour[2] < 0)
    file.colour[0] = file.colour[1] = file.colour[2] = -1;
  return true;
}

// One stored channel of every pixel into floats `stride` apart.
void channelToFloat(const FileLayout& file, int channel, float* out, int stride) {
  const OIIO::ImageSpec& header = file.header;
  OIIO::convert_image(1, header.width, header.height, 1, file.native.data() + file.offsets[size_t(channel)],
                      header.channelformat(channel), OIIO::stride_t(file.pixelBytes),
                      OIIO::stride_t(file.pixelBytes) * header.width, OIIO::AutoStride, out, OIIO::TypeFloat,
                      OIIO::stride_t(stride) * 4, OIIO::stride_t(stride) * 4 * header.width, OIIO::AutoStride);
}

void takeWindows(const OIIO::ImageSpec& header, Image& out) {
  out.width = header.width;
  out.height = header.height;
  out.x = header.x;
  out.y = header.y;
  out.fullX = header.full_x;
  out.fullY = header.full_y;
  out.fullWidth = header.full_width;
  out.fullHeight = header.full_height;
}

}  // namespace

void placeLike(const Image& from, Image& to) {
  to.width = from.width;
  to.height = from.height;
  to.x = from.x;
  to.y = from.y;
  to.fullX = from.fullX;
  to.fullY = from.fullY;
  to.fullWidth = from.fullWidth;
  to.fullHeight = from.fullHeight;
}

bool isIntegerDepth(SampleDepth depth) { return depth == SampleDepth::UInt8 || depth == SampleDepth::UInt16; }

PixelRect canvasBounds(const Image& image) {
  const int fullHeight = image.fullWidth > 0 ? image.fullHeight : image.height;
  const int fullX = image.fullWidth > 0 ? image.fullX : image.x;
  const int fullY = image.fullWidth > 0 ? image.fullY : image.y;
  PixelRect r;
  r.x1 = image.x - fullX;
  r.x2 = r.x1 + image.width;
  r.y2 = fullY + fullHeight - image.y;
  r.y1 = r.y2 - image.height;
  return r;
}

int extraParts(const Image& image) { return image.layout ? image.layout->parts - 1 : 0; }

bool readColorImage(const std::string& path, Image& out, std::string& error) {
  auto file = std::make_shared<FileLayout>();
  std::string format;
  if (!readFile(path, *file, format, error)) return false;
  const OIIO::ImageSpec& header = file->header;

  // Without channels named R, G and B: the first three that are not alpha, grey filling all three.
  const int n = header.nchannels;
  int alpha = file->alpha;
  int colour[3] = {file->colour[0], file->colour[1], file->colour[2]};
  if (!file->hasColour()) {
    if (alpha < 0 && (n == 2 || n == 4))
      alpha = n - 1;  // grey+alpha and RGBA files that do not name their alpha channel
    int found = 0;
    for (int c = 0; c < n && found < 3; ++c)
      if (c != alpha) colour[found++] = c;
    if (found == 0) {
      error = "'" + path + "' has no colour channel";
      return false;
    }
    for (int c = found; c < 3; ++c) colour[c] = colour[0];
    file->alpha = alpha;
  }

  const size_t count = size_t(header.width) * size_t(header.height);
  takeWindows(header, out);
  out.channels = 4;
  out.format = format;
  out.depth = depthOf(header.channelformat(colour[0]));
  out.hasAlpha = alpha >= 0;
  out.compression = header.get_string_attribute("compression");
  takeColourMetadata(header, out);
  out.pixels.assign(count * 4, 1.0f);
  for (int k = 0; k < 3; ++k) channelToFloat(*file, colour[k], out.pixels.data() + k, 4);
  if (alpha >= 0) channelToFloat(*file, alpha, out.pixels.data() + 3, 4);
  if (!file->hasColour() || !file->hasOtherChannels()) std::vector<unsigned char>().swap(file->native);
  out.layout = file;
  return true;
}

bool readColorHeader(const std::string& path, Image& out, std::string& error) {
  if (!fileExists(path, error)) return false;
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    error = "cannot read '" + path + "': " + lastOiioError();
    return false;
  }
  const OIIO::ImageSpec& header = in->spec();
  out = Image();
  takeWindows(header, out);
  out.format = in->format_name();
  out.depth = depthOf(header.format);
  takeColourMetadata(header, out);
  return true;
}

bool readMaskImage(const std::string& path, Image& out, std::string& error) {
  FileLayout file;
  std::string format;
  if (!readFile(path, file, format, error)) return false;
  const OIIO::ImageSpec& header = file.header;
  const int n = header.nchannels;
  const size_t count = size_t(header.width) * size_t(header.height);
  takeWindows(header, out);
  out.format = format;
  out.depth = depthOf(header.format);
  out.hasAlpha = header.alpha_channel >= 0;
  out.layout = nullptr;
  // 1 channel (alpha or grey), 3 (RGB) or 4 (RGBA) as they are; otherwise the alpha (grey+alpha:
  // the second channel), else the first.
  std::vector<int> picked;
  if (n == 1 || n == 3 || n == 4) {
    for (int c = 0; c < n; ++c) picked.push_back(c);
  } else {
    picked.push_back(header.alpha_channel >= 0 ? header.alpha_channel : (n == 2 ? 1 : 0));
  }
  out.channels = int(picked.size());
  out.pixels.assign(count * picked.size(), 0.0f);
  for (size_t k = 0; k < picked.size(); ++k) channelToFloat(file, picked[k], out.pixels.data() + k, out.channels);
  return true;
}

bool readCanvasBounds(const std::string& path, PixelRect& out, std::string& error) {
  if (!fileExists(path, error)) return false;
  auto in = OIIO::ImageInput::open(path);
  if (!in) {
    error = "cannot read '" + path + "': " + lastOiioError();
    return false;
  }
  Image header;
  takeWindows(in->spec(), header);
  out = canvasBounds(header);
  return true;
}

std::string outputFormatFor(const std::string& path) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    OIIO::geterror();  // clear the pending message
    return "";
  }
  return out->format_name();
}

bool formatStoresDepth(const std::string& format, SampleDepth depth) {
  if (format == "openexr") return depth == SampleDepth::Half || depth == SampleDepth::Float;
  if (format == "png" || format == "dpx" || format == "pnm")
    return depth == SampleDepth::UInt8 || depth == SampleDepth::UInt16;
  if (format == "jpeg" || format == "bmp" || format == "targa" || format == "gif" || format == "webp")
    return depth == SampleDepth::UInt8;
  if (format == "hdr") return depth == SampleDepth::Float;
  return depth != SampleDepth::Unknown;
}

SampleDepth outputDepth(const std::string& format, SampleDepth sourceDepth) {
  if (formatStoresDepth(format, sourceDepth)) return sourceDepth;
  // Nearest first: float data stays float where it can, integer data stays integer.
  static const SampleDepth fromFloat[] = {SampleDepth::Float, SampleDepth::Half, SampleDepth::UInt16,
                                          SampleDepth::UInt8};
  static const SampleDepth fromHalf[] = {SampleDepth::Half, SampleDepth::Float, SampleDepth::UInt16,
                                         SampleDepth::UInt8};
  static const SampleDepth fromU16[] = {SampleDepth::UInt16, SampleDepth::Half, SampleDepth::Float, SampleDepth::UInt8};
  static const SampleDepth fromU8[] = {SampleDepth::UInt8, SampleDepth::UInt16, SampleDepth::Half, SampleDepth::Float};
  const SampleDepth* order = fromU8;
  if (sourceDepth == SampleDepth::Float)
    order = fromFloat;
  else if (sourceDepth == SampleDepth::Half)
    order = fromHalf;
  else if (sourceDepth == SampleDepth::UInt16)
    order = fromU16;
  for (int i = 0; i < 4; ++i)
    if (formatStoresDepth(format, order[i])) return order[i];
  return SampleDepth::Float;
}

bool parseDepth(const std::string& text, SampleDepth& out) {
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

const char* depthName(SampleDepth depth) {
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

namespace {

// One output channel: a colour or alpha sample the tool computed (0..3), or a stored channel of
// the Source's file passed through.
struct ChannelSource {
  int rgba = -1;
  int fileChannel = -1;
};

// Header attributes that describe how the Source was stored rather than what it shows. A colour
// profile and an EXR's primaries describe the Source's colour space: they go when the Output's
// space is another.
void dropStorageAttributes(OIIO::ImageSpec& header, bool sameFormat, bool sameDepth, bool sameSpace) {
  if (!sameSpace) {
    auto& attributes = header.extra_attribs;
    for (size_t i = attributes.size(); i-- > 0;)
      if (attributes[i].name().string().rfind("ICCProfile", 0) == 0) attributes.erase(attributes.begin() + long(i));
    header.erase_attribute("chromaticities");
  }
  // A texture's levels are not written (only the image itself), and hashes and averages of the
  // Source's pixels no longer hold.
  for (const char* name : {"textureformat", "wrapmodes", "fovcot", "uvslopes_scale", "openexr:levelmode",
                           "openexr:roundingmode", "oiio:AverageColor", "oiio:SHA-1", "oiio:ConstantColor"})
    header.erase_attribute(name);
  for (const char* name :
       {"oiio:subimages", "oiio:ColorSpace", "oiio:Gamma", "oiio:UnassociatedAlpha", "oiio:BitsPerSample"}) {
    if (std::string(name) == "oiio:BitsPerSample" && sameFormat && sameDepth) continue;
    header.erase_attribute(name);
  }
  if (!sameFormat) {
    header.erase_attribute("compression");
    header.erase_attribute("CompressionQuality");
    header.tile_width = header.tile_height = 0;
    header.tile_depth = 1;
  }
}

}  // namespace

bool writeColorImage(const std::string& path, const Image& image, const WriteSettings& settings, std::string& error) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    error = "cannot write '" + path + "': " + lastOiioError();
    return false;
  }
  const std::string format = out->format_name();
  const SampleDepth depth = settings.depth != SampleDepth::Unknown ? settings.depth : outputDepth(format, image.depth);
  const OIIO::TypeDesc type = typeOf(depth);
  const bool alpha = settings.keepAlpha && image.hasAlpha && image.channels == 4 && out->supports("alpha");
  const size_t count = size_t(image.width) * size_t(image.height);
  const FileLayout* file = image.layout.get();
  const bool sameFormat = format == image.format;

  // The Source's channels, in its order, when the output can hold them all; else R, G, B (A).
  const bool keepChannels = file && file->hasColour() && (file->alpha < 0 || alpha) &&
                            (!file->hasOtherChannels() || (out->supports("nchannels") && !file->native.empty()));
  std::vector<ChannelSource> sources;
  OIIO::ImageSpec header;
  if (keepChannels) {
    header = file->header;
    for (int c = 0; c < header.nchannels; ++c) {
      ChannelSource source;
      for (int k = 0; k < 3; ++k)
        if (c == file->colour[k]) source.rgba = k;
      if (c == file->alpha) source.rgba = 3;
      if (source.rgba < 0) source.fileChannel = c;
      sources.push_back(source);
    }
    // Other channels keep their sample type where the format stores one per channel.
    const bool perChannel = out->supports("channelformats");
    header.channelformats.clear();
    header.set_format(type);
    if (perChannel && file->hasOtherChannels()) {
      for (int c = 0; c < header.nchannels; ++c) {
        OIIO::TypeDesc stored = file->header.channelformat(c);
        // EXR holds half, float and 32-bit integers; other integers go to float, exactly.
        if (format == "openexr" && stored != OIIO::TypeDesc::HALF && stored != OIIO::TypeDesc::FLOAT &&
            stored != OIIO::TypeDesc::UINT32)
          stored = OIIO::TypeDesc::FLOAT;
        header.channelformats.push_back(sources[size_t(c)].rgba >= 0 ? type : stored);
      }
    }
  } else {
    const int channels = alpha ? 4 : 3;
    if (file) {
      header = file->header;  // windows and metadata still apply
      header.channelformats.clear();
    }
    header.nchannels = channels;
    header.set_format(type);
    header.channelnames.clear();
    header.default_channel_names();
    header.alpha_channel = alpha ? 3 : -1;
    header.z_channel = -1;
    for (int k = 0; k < channels; ++k) sources.push_back({k, -1});
  }
  header.width = image.width;
  header.height = image.height;
  header.x = image.x;
  header.y = image.y;
  header.z = 0;
  header.depth = header.full_depth = 1;
  header.full_x = image.fullWidth > 0 ? image.fullX : image.x;
  header.full_y = image.fullWidth > 0 ? image.fullY : image.y;
  header.full_width = image.fullWidth > 0 ? image.fullWidth : image.width;
  header.full_height = image.fullWidth > 0 ? image.fullHeight : image.height;
  dropStorageAttributes(header, sameFormat, depth == image.depth, settings.sameColourSpace);
  if (!settings.colourSpace.empty()) header.attribute("oiio:ColorSpace", settings.colourSpace);
  // The space's own name, where a reader finds it again; a DPX's user data only when it holds
  // nothing else.
  header.erase_attribute(kSpaceAttribute);
  if (!spaceInUserData(header).empty()) header.erase_attribute("dpx:UserData");
  if (!settings.spaceName.empty()) {
    if (format == "dpx" && !header.find_attribute("dpx:UserData")) {
      std::vector<unsigned char> data(kUserIdBytes, 0);
      std::memcpy(data.data(), kSpaceAttribute, std::strlen(kSpaceAttribute));
      data.insert(data.end(), settings.spaceName.begin(), settings.spaceName.end());
      data.push_back(0);
      header.attribute("dpx:UserData", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(data.size())), data.data());
    } else if (format != "dpx") {
      header.attribute(kSpaceAttribute, settings.spaceName);
    }
  }
  if (format == "openexr" && settings.chromaticities)
    header.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), settings.chromaticities->data());
  if (alpha && isIntegerDepth(depth)) header.attribute("oiio:UnassociatedAlpha", 1);
  if (format == "jpeg") header.attribute("Compression", "jpeg:95");
  // A plate's own compression is what the pipeline chose for it.
  if ((format == "openexr" || format == "tiff") && sameFormat && !image.compression.empty())
    header.attribute("compression", image.compression);
  if (!settings.software.empty()) header.attribute("Software", settings.software);

  // The computed samples, in the order the channels are written.
  std::vector<float> rgba(count * 4);
  for (size_t i = 0; i < count; ++i)
    for (int c = 0; c < 4; ++c)
      rgba[i * 4 + size_t(c)] =
          c == 3 && image.channels < 4
              ? 1.0f
              : image.pixels[i * size_t(image.channels) + size_t(std::min(c, image.channels - 1))];

  // Every channel in its stored type, packed per pixel as the writer takes it.
  std::vector<size_t> offsets;
  size_t pixelBytes = 0;
  for (int c = 0; c < header.nchannels; ++c) {
    offsets.push_back(pixelBytes);
    pixelBytes += header.channelformat(c).size();
  }
  const OIIO::stride_t w = image.width;
  std::vector<unsigned char> stored(count * pixelBytes);
  for (int c = 0; c < header.nchannels; ++c) {
    const ChannelSource& source = sources[size_t(c)];
    unsigned char* to = stored.data() + offsets[size_t(c)];
    const OIIO::TypeDesc toType = header.channelformat(c);
    if (source.rgba >= 0) {
      OIIO::convert_image(1, image.width, image.height, 1, rgba.data() + source.rgba, OIIO::TypeFloat, 16, 16 * w,
                          OIIO::AutoStride, to, toType, OIIO::stride_t(pixelBytes), OIIO::stride_t(pixelBytes) * w,
                          OIIO::AutoStride);
      continue;
    }
    const unsigned char* from = file->native.data() + file->offsets[size_t(source.fileChannel)];
    const OIIO::TypeDesc fromType = file->header.channelformat(source.fileChannel);
    if (fromType == toType) {
      const size_t n = toType.size();
      for (size_t i = 0; i < count; ++i) std::memcpy(to + i * pixelBytes, from + i * file->pixelBytes, n);
    } else {
      OIIO::convert_image(1, image.width, image.height, 1, from, fromType, OIIO::stride_t(file->pixelBytes),
                          OIIO::stride_t(file->pixelBytes) * w, OIIO::AutoStride, to, toType,
                          OIIO::stride_t(pixelBytes), OIIO::stride_t(pixelBytes) * w, OIIO::AutoStride);
    }
  }

  TemporaryFile temporary(temporaryPathFor(outputDestination(path)));
  // One sample type is passed as such (a writer may store another, e.g. TIFF's float for half);
  // per-channel types are passed as the writer stores them, which must then be ours.
  bool ok = out->open(temporary.path(), header);
  if (ok && header.channelformats.empty()) {
    ok = out->write_image(header.format, stored.data());
  } else if (ok && out->spec().channelformats == header.channelformats) {
    ok = out->write_image(OIIO::TypeUnknown, stored.data());
  } else if (ok) {
    out->close();
    error = "cannot write '" + path + "': the " + format + " writer does not keep each channel's sample type";
    return false;
  }
  ok = out->close() && ok;
  if (!ok) {
    error = "cannot write '" + path + "': " + firstLine(out->geterror());
    return false;
  }
  if (!moveIntoPlace(temporary.path(), path, error)) return false;
  temporary.keep();
  return true;
}

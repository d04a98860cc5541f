#include "imaging/image_file.h"
#include "imaging/image_io.h"
#include "imaging/safe_file.h"

#include <algorithm>
#include <cstring>

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

bool isDisplayFormat(const std::string& format, SampleDepth depth) {
  for (const char* display : {"jpeg", "png", "webp", "gif", "bmp", "targa"})
    if (format == display) return true;
  return format == "tiff" && isIntegerDepth(depth);
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

namespace {

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

// The header and channel order of the Output: the Source's channels, in its order, when the
// output can hold them all; else R, G, B (A).
struct OutputLayout {
  OIIO::ImageSpec header;
  std::vector<ChannelSource> sources;  // of each channel written
};

OutputLayout sourceChannels(const FileLayout& file, OIIO::ImageOutput& out, const std::string& format,
                            OIIO::TypeDesc type) {
  OutputLayout layout;
  OIIO::ImageSpec& header = layout.header;
  header = file.header;
  for (int c = 0; c < header.nchannels; ++c) {
    ChannelSource source;
    for (int k = 0; k < 3; ++k)
      if (c == file.colour[k]) source.rgba = k;
    if (c == file.alpha) source.rgba = 3;
    if (source.rgba < 0) source.fileChannel = c;
    layout.sources.push_back(source);
  }
  // Other channels keep their sample type where the format stores one per channel.
  const bool perChannel = out.supports("channelformats");
  header.channelformats.clear();
  header.set_format(type);
  if (perChannel && file.hasOtherChannels()) {
    for (int c = 0; c < header.nchannels; ++c) {
      OIIO::TypeDesc stored = file.header.channelformat(c);
      // EXR holds half, float and 32-bit integers; other integers go to float, exactly.
      if (format == "openexr" && stored != OIIO::TypeDesc::HALF && stored != OIIO::TypeDesc::FLOAT &&
          stored != OIIO::TypeDesc::UINT32)
        stored = OIIO::TypeDesc::FLOAT;
      header.channelformats.push_back(layout.sources[size_t(c)].rgba >= 0 ? type : stored);
    }
  }
  return layout;
}

OutputLayout colourChannels(const FileLayout* file, bool alpha, OIIO::TypeDesc type) {
  OutputLayout layout;
  OIIO::ImageSpec& header = layout.header;
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
  for (int k = 0; k < channels; ++k) layout.sources.push_back({k, -1});
  return layout;
}

void placeHeader(const Image& image, OIIO::ImageSpec& header) {
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
}

// The space's own name, where a reader finds it again; a DPX's user data only when it holds
// nothing else.
void nameSpace(OIIO::ImageSpec& header, const std::string& format, const std::string& spaceName) {
  header.erase_attribute(kSpaceAttribute);
  if (!spaceInUserData(header).empty()) header.erase_attribute("dpx:UserData");
  if (spaceName.empty()) return;
  if (format == "dpx" && !header.find_attribute("dpx:UserData")) {
    std::vector<unsigned char> data(kUserIdBytes, 0);
    std::memcpy(data.data(), kSpaceAttribute, std::strlen(kSpaceAttribute));
    data.insert(data.end(), spaceName.begin(), spaceName.end());
    data.push_back(0);
    header.attribute("dpx:UserData", OIIO::TypeDesc(OIIO::TypeDesc::UINT8, int(data.size())), data.data());
  } else if (format != "dpx") {
    header.attribute(kSpaceAttribute, spaceName);
  }
}

// What the Output's header says beyond its channels and windows.
struct HeaderFacts {
  const std::string& format;
  SampleDepth depth;
  bool alpha;
  bool sameFormat;
};

void describeHeader(OIIO::ImageSpec& header, const Image& image, const WriteSettings& settings,
                    const HeaderFacts& facts) {
  const std::string& format = facts.format;
  dropStorageAttributes(header, facts.sameFormat, facts.depth == image.depth, settings.sameColourSpace);
  if (!settings.colourSpace.empty()) header.attribute("oiio:ColorSpace", settings.colourSpace);
  nameSpace(header, format, settings.spaceName);
  if (format == "openexr" && settings.chromaticities)
    header.attribute("chromaticities", OIIO::TypeDesc(OIIO::TypeDesc::FLOAT, 8), settings.chromaticities->data());
  if (facts.alpha && isIntegerDepth(facts.depth)) header.attribute("oiio:UnassociatedAlpha", 1);
  if (format == "jpeg") header.attribute("Compression", "jpeg:95");
  // A plate's own compression is what the pipeline chose for it.
  if ((format == "openexr" || format == "tiff") && facts.sameFormat && !image.compression.empty())
    header.attribute("compression", image.compression);
  if (!settings.software.empty()) header.attribute("Software", settings.software);
}

// Every channel in its stored type, packed per pixel as the writer takes it.
std::vector<unsigned char> storedSamples(const Image& image, const OutputLayout& layout) {
  const OIIO::ImageSpec& header = layout.header;
  const size_t count = size_t(image.width) * size_t(image.height);
  // The computed samples, in the order the channels are written.
  std::vector<float> rgba(count * 4);
  for (size_t i = 0; i < count; ++i)
    for (int c = 0; c < 4; ++c)
      rgba[i * 4 + size_t(c)] =
          c == 3 && image.channels < 4
              ? 1.0f
              : image.pixels[i * size_t(image.channels) + size_t(std::min(c, image.channels - 1))];

  std::vector<size_t> offsets;
  size_t pixelBytes = 0;
  for (int c = 0; c < header.nchannels; ++c) {
    offsets.push_back(pixelBytes);
    pixelBytes += header.channelformat(c).size();
  }
  const FileLayout* file = image.layout.get();
  const OIIO::stride_t w = image.width;
  std::vector<unsigned char> stored(count * pixelBytes);
  for (int c = 0; c < header.nchannels; ++c) {
    const ChannelSource& source = layout.sources[size_t(c)];
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
  return stored;
}

// One sample type is passed as such (a writer may store another, e.g. TIFF's float for half);
// per-channel types are passed as the writer stores them, which must then be ours.
bool writeSamples(OIIO::ImageOutput& out, const std::string& file, const OIIO::ImageSpec& header,
                  const std::vector<unsigned char>& stored, std::string& error) {
  bool ok = out.open(file, header);
  if (ok && header.channelformats.empty()) {
    ok = out.write_image(header.format, stored.data());
  } else if (ok && out.spec().channelformats == header.channelformats) {
    ok = out.write_image(OIIO::TypeUnknown, stored.data());
  } else if (ok) {
    out.close();
    error = std::string("the ") + out.format_name() + " writer does not keep each channel's sample type";
    return false;
  }
  ok = out.close() && ok;
  if (!ok) error = firstLine(out.geterror());
  return ok;
}

}  // namespace

bool writeColourImage(const std::string& path, const Image& image, const WriteSettings& settings, std::string& error) {
  auto out = OIIO::ImageOutput::create(path);
  if (!out) {
    error = "cannot write '" + path + "': " + lastOiioError();
    return false;
  }
  const std::string format = out->format_name();
  const SampleDepth depth = settings.depth != SampleDepth::Unknown ? settings.depth : outputDepth(format, image.depth);
  const OIIO::TypeDesc type = typeOf(depth);
  const bool alpha = settings.keepAlpha && image.hasAlpha && image.channels == 4 && out->supports("alpha");
  const FileLayout* file = image.layout.get();
  const bool keepChannels = file && file->hasColour() && (file->alpha < 0 || alpha) &&
                            (!file->hasOtherChannels() || (out->supports("nchannels") && !file->native.empty()));
  OutputLayout layout = keepChannels ? sourceChannels(*file, *out, format, type) : colourChannels(file, alpha, type);
  placeHeader(image, layout.header);
  describeHeader(layout.header, image, settings, {format, depth, alpha, format == image.format});
  const std::vector<unsigned char> stored = storedSamples(image, layout);
  return replaceFile(
      path,
      [&](const std::string& temporary, std::string& writeError) {
        if (writeSamples(*out, temporary, layout.header, stored, writeError)) return true;
        writeError = "cannot write '" + path + "': " + writeError;
        return false;
      },
      error);
}

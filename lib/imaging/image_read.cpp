#include "imaging/image_file.h"
#include "imaging/image_io.h"

#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>

const char* const kSpaceAttribute = "vantrel:ColorSpace";

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

std::string spaceInUserData(const OIIO::ImageSpec& header) {
  const OIIO::ParamValue* data = header.find_attribute("dpx:UserData");
  if (!data || data->type().basetype != OIIO::TypeDesc::UINT8) return "";
  const char* bytes = static_cast<const char*>(data->data());
  const size_t size = size_t(data->type().basevalues());
  if (size <= kUserIdBytes || std::strncmp(bytes, kSpaceAttribute, kUserIdBytes) != 0) return "";
  return std::string(bytes + kUserIdBytes, strnlen(bytes + kUserIdBytes, size - kUserIdBytes));
}

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

int extraParts(const Image& image) { return image.layout ? image.layout->parts - 1 : 0; }

bool readColourImage(const std::string& path, Image& out, std::string& error) {
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

bool readColourHeader(const std::string& path, Image& out, std::string& error) {
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

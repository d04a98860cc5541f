// `vantrel match` as a pipeline runs it: windowed multi-channel plates with metadata, targets
// that are not files, a shot stopped by a signal and resumed, quiet runs and the JSON report.
#include "support.h"

#include <OpenImageIO/imagebufalgo.h>
#include <OpenImageIO/imageio.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

struct Plate {
  int width = 64, height = 40, x = 0, y = 0;
  int fullX = 0, fullY = 0, fullWidth = 0, fullHeight = 0;  // 0: the data window
  OIIO::TypeDesc colour = OIIO::TypeDesc::HALF;
  int seed = 0;
};

// R, G, B, A in `colour`, then Z (float) and id (half, any bits) as a renderer writes them, with
// a studio's own attribute, a pixel aspect and a timecode.
void writePlate(const std::string& path, const Plate& p) {
  OIIO::ImageSpec header(p.width, p.height, 6, p.colour);
  header.x = p.x;
  header.y = p.y;
  header.full_x = p.fullWidth ? p.fullX : p.x;
  header.full_y = p.fullWidth ? p.fullY : p.y;
  header.full_width = p.fullWidth ? p.fullWidth : p.width;
  header.full_height = p.fullWidth ? p.fullHeight : p.height;
  header.channelnames = {"R", "G", "B", "A", "Z", "id"};
  header.alpha_channel = 3;
  header.z_channel = 4;
  const bool exr = path.size() > 4 && path.substr(path.size() - 4) == ".exr";
  if (exr)
    header.channelformats = {p.colour, p.colour, p.colour, p.colour, OIIO::TypeDesc::FLOAT, OIIO::TypeDesc::HALF};
  header.attribute("studio:shot", "s010_comp_v003");
  header.attribute("PixelAspectRatio", 2.0f);
  header.attribute("ImageDescription", "plate " + std::to_string(p.seed));
  const unsigned timecode[2] = {0x01000001u, 0u};
  header.attribute("smpte:TimeCode", OIIO::TypeTimeCode, timecode);
  const Image picture = testPicture(p.width, p.height, p.seed);
  std::vector<float> pixels(size_t(p.width) * size_t(p.height) * 6);
  for (size_t i = 0; i < size_t(p.width) * size_t(p.height); ++i) {
    for (int c = 0; c < 4; ++c) pixels[i * 6 + size_t(c)] = picture.pixels[i * 4 + size_t(c)];
    pixels[i * 6 + 4] = 100.0f + float(i) * 0.37f;         // depth
    pixels[i * 6 + 5] = float((i * 2654435761u) % 60000);  // object ids
  }
  auto out = OIIO::ImageOutput::create(path);
  ASSERT_TRUE(out && out->open(path, header) && out->write_image(OIIO::TypeFloat, pixels.data()) && out->close());
}

struct Stored {
  OIIO::ImageSpec header;
  std::vector<unsigned char> bytes;  // every channel as stored
};

Stored readStored(const std::string& path) {
  Stored s;
  auto in = OIIO::ImageInput::open(path);
  EXPECT_TRUE(in) << path;
  if (!in) return s;
  s.header = in->spec();
  s.bytes.resize(s.header.image_bytes(true));
  in->read_image(0, 0, 0, s.header.nchannels, OIIO::TypeUnknown, s.bytes.data());
  return s;
}

// The stored bytes of one channel, pixel after pixel.
std::vector<unsigned char> channelBytes(const Stored& s, int channel) {
  size_t offset = 0, pixel = 0;
  for (int c = 0; c < s.header.nchannels; ++c) {
    if (c < channel) offset += s.header.channelformat(c).size();
    pixel += s.header.channelformat(c).size();
  }
  const size_t size = s.header.channelformat(channel).size();
  std::vector<unsigned char> out;
  for (size_t at = offset; at + size <= s.bytes.size(); at += pixel)
    out.insert(out.end(), s.bytes.begin() + long(at), s.bytes.begin() + long(at + size));
  return out;
}

std::vector<std::string> warnings(const ToolRun& run) {
  std::vector<std::string> found;
  for (const std::string& line : run.errLines())
    if (line.rfind("vantrel: warning: ", 0) == 0) found.push_back(line);
  return found;
}

class Production : public ::testing::Test {
 protected:
  ScratchDir dir;
  ToolRun vantrel(std::vector<std::string> args) { return runMatch(dir, std::move(args)); }
  void writeGrade(const std::string& name, int w = 64, int h = 40) {
    writeRawImage(dir / name, testPicture(w, h, 7), SampleDepth::Float);
  }
};

}  // namespace

TEST_F(Production, WindowsChannelsAndMetadataSurviveExrAndTiffFrameByFrame) {
  // Frame 1: a data window inside the display window; frame 2: a negative origin overscan.
  writePlate(dir / "plate.1.exr", {64, 40, 10, 6, 0, 0, 96, 54, OIIO::TypeDesc::HALF, 1});
  writePlate(dir / "plate.2.exr", {70, 50, -8, -5, 0, 0, 60, 40, OIIO::TypeDesc::HALF, 2});
  writePlate(dir / "plate.tif", {64, 40, 3, 2, 0, 0, 0, 0, OIIO::TypeDesc::UINT16, 3});
  writeGrade("grade.exr");

  ToolRun run = vantrel({"plate.%d.exr", "grade.exr", "-o", "out.%d.exr", "--frames", "1-2"});
  ASSERT_EQ(run.status, 0) << run.err;
  run = vantrel({"plate.tif", "grade.exr", "-o", "out.tif"});
  ASSERT_EQ(run.status, 0) << run.err;

  for (const auto& [in, out] : {std::pair<std::string, std::string>{"plate.1.exr", "out.1.exr"},
                                {"plate.2.exr", "out.2.exr"},
                                {"plate.tif", "out.tif"}}) {
    const Stored source = readStored(dir / in), output = readStored(dir / out);
    const OIIO::ImageSpec &a = source.header, &b = output.header;
    EXPECT_EQ(std::vector<int>({b.x, b.y, b.width, b.height, b.full_x, b.full_y, b.full_width, b.full_height}),
              std::vector<int>({a.x, a.y, a.width, a.height, a.full_x, a.full_y, a.full_width, a.full_height}))
        << out;
    EXPECT_EQ(b.channelnames, a.channelnames) << out;
    EXPECT_EQ(b.get_float_attribute("PixelAspectRatio"), 2.0f) << out;
    EXPECT_EQ(b.get_string_attribute("ImageDescription"), a.get_string_attribute("ImageDescription")) << out;
    EXPECT_EQ(b.get_string_attribute("Software"), "vantrel 1.1.0") << out;
    for (int c = 0; c < a.nchannels; ++c) EXPECT_EQ(b.channelformat(c), a.channelformat(c)) << out << " channel " << c;
    for (int c = 4; c < 6; ++c)
      EXPECT_TRUE(channelBytes(output, c) == channelBytes(source, c)) << out << " channel " << c;
    // The whole data window was rendered and matched: colours changed, alpha kept.
    EXPECT_FALSE(channelBytes(output, 0) == channelBytes(source, 0)) << out;
    EXPECT_TRUE(channelBytes(output, 3) == channelBytes(source, 3)) << out;
  }
  const OIIO::ImageSpec exr = readStored(dir / "out.1.exr").header;
  EXPECT_EQ(exr.get_string_attribute("studio:shot"), "s010_comp_v003");
  const OIIO::ParamValue* timecode = exr.find_attribute("smpte:TimeCode");
  ASSERT_TRUE(timecode);
  EXPECT_EQ(static_cast<const unsigned*>(timecode->data())[0], 0x01000001u);

  // A texture's levels and the hashes of its pixels do not follow: the Output is one image.
  OIIO::ImageBuf plate(dir / "plate.1.exr");
  OIIO::ImageSpec config;
  config.attribute("maketx:hash", 1);
  ASSERT_TRUE(OIIO::ImageBufAlgo::make_texture(OIIO::ImageBufAlgo::MakeTxTexture, plate, dir / "texture.exr", config));
  run = vantrel({"texture.exr", "grade.exr", "-o", "from-texture.exr"});
  ASSERT_EQ(run.status, 0) << run.err;
  auto texture = OIIO::ImageInput::open(dir / "from-texture.exr");
  ASSERT_TRUE(texture);
  EXPECT_FALSE(texture->seek_subimage(0, 1)) << "no second level";
  ASSERT_TRUE(texture->seek_subimage(0, 0));
  EXPECT_EQ(texture->spec().get_string_attribute("oiio:SHA-1"), "");

  // Into a PNG only the colour fits; the Source's window still places it.
  run = vantrel({"plate.1.exr", "grade.exr", "-o", "out.png"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(readStored(dir / "out.png").header.nchannels, 4);
}

TEST_F(Production, TargetsThatAreNotFilesAreRefusedBeforeAnyRenderAndLeftAsTheyWere) {
  writePlate(dir / "plate.exr", {});
  writeGrade("grade.exr");
  ASSERT_EQ(mkfifo((dir / "fifo.exr").c_str(), 0644), 0);
  ASSERT_EQ(mkdir((dir / "folder.png").c_str(), 0755), 0);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string socketPath = dir / "sock.cdl";
  ASSERT_LT(socketPath.size(), sizeof address.sun_path);
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

  struct Case {
    std::vector<std::string> args;
    const char* says;
  };
  const std::vector<Case> cases = {
      {{"-o", "fifo.exr"}, "OUTPUT 'fifo.exr' is a FIFO"},
      {{"-o", "out.exr", "--cube", "/dev/null"}, "--cube '/dev/null' is a device"},
      {{"-o", "out.exr", "--cdl", "sock.cdl"}, "--cdl 'sock.cdl' is a socket"},
      {{"-o", "out.exr", "--sheet", "folder.png"}, "--sheet 'folder.png' is a directory"},
      {{"-o", "out.exr", "--report-json", "fifo.exr"}, "--report-json 'fifo.exr' is a FIFO"},
  };
  const auto before = dir.files();
  for (const Case& c : cases) {
    std::vector<std::string> args = {"plate.exr", "grade.exr"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ToolRun run = vantrel(args);
    EXPECT_EQ(run.status, 1) << c.says;
    ASSERT_EQ(run.errLines().size(), 1u) << run.err;
    EXPECT_NE(run.errLines()[0].find(c.says), std::string::npos) << run.errLines()[0];
    EXPECT_EQ(dir.files(), before) << c.says;
  }
  struct stat st;
  EXPECT_TRUE(stat((dir / "fifo.exr").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
  EXPECT_TRUE(stat((dir / "sock.cdl").c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
  close(sock);

  // A symbolic link to a file is written through, and the plug-in's message names the target
  // even when the export went through a temporary name.
  std::ofstream(dir / "real.exr") << "old";
  ASSERT_EQ(symlink("real.exr", (dir / "link.exr").c_str()), 0);
  const ToolRun run = vantrel({"plate.exr", "grade.exr", "-o", "link.exr", "--cube", "look.lut"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(lstat((dir / "link.exr").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
  EXPECT_EQ(readStored(dir / "real.exr").header.width, 64);
  EXPECT_NE(run.err.find("LUT saved to: look.lut\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.err.find(".vantrel-tmp"), std::string::npos) << run.err;
  for (const std::string& name : dir.files()) EXPECT_EQ(name.find("vantrel-tmp"), std::string::npos) << name;
}

// A farm task killed mid-shot and requeued: the signal leaves finished frames and no temporary
// file, exits 128 + signal, and --skip-existing renders only what is missing.
TEST_F(Production, ASignalStopsTheShotCleanlyAndSkipExistingFinishesIt) {
  const int frames = 12;
  for (int f = 1; f <= frames; ++f)
    writeRawImage(dir / ("plate." + std::to_string(f) + ".exr"), testPicture(480, 360, f), SampleDepth::Float);
  writeGrade("grade.exr");
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(signal));
    const std::string out = "out" + std::to_string(signal);
    ASSERT_EQ(mkdir((dir / out).c_str(), 0755), 0);
    const std::vector<std::string> args = {"match",
                                           "plate.%d.exr",
                                           "grade.exr",
                                           "-o",
                                           out + "/shot.%d.exr",
                                           "--frames",
                                           "1-" + std::to_string(frames),
                                           "--threads",
                                           "1",
                                           "--plugin",
                                           pluginPath(),
                                           "--report-json",
                                           out + "/run.json"};
    ToolProcess process = startTool(toolPath(), args, {}, dir.path);
    // Stop it as soon as its first frame is in place.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (access((dir / (out + "/shot.1.exr")).c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    kill(process.pid, signal);
    ToolRun run = waitTool(process);
    EXPECT_EQ(run.status, 128 + signal) << run.err;
    EXPECT_NE(run.err.find("vantrel: error: interrupted by "), std::string::npos) << run.err;

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir / out))
      names.push_back(entry.path().filename().string());
    int written = 0;
    for (const std::string& name : names) {
      EXPECT_EQ(name.find("vantrel-tmp"), std::string::npos) << name;
      written += name.rfind("shot.", 0) == 0;
    }
    ASSERT_GE(written, 1);
    ASSERT_LT(written, frames) << "the signal came too late to test anything";
    std::ifstream json(dir / (out + "/run.json"));
    const nlohmann::json stopped = nlohmann::json::parse(json);
    EXPECT_EQ(stopped["status"], "interrupted");
    EXPECT_EQ(stopped["exit_status"], 128 + signal);
    int reported = 0;
    for (const auto& frame : stopped["frames"]) reported += frame["written"].get<bool>();
    EXPECT_EQ(reported, written);

    struct stat first;
    ASSERT_EQ(stat((dir / (out + "/shot.1.exr")).c_str(), &first), 0);
    std::vector<std::string> again = args;
    again.push_back("--skip-existing");
    run = runTool(toolPath(), again, {}, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
    std::ifstream json2(dir / (out + "/run.json"));
    const nlohmann::json resumed = nlohmann::json::parse(json2);
    int skipped = 0;
    for (const auto& frame : resumed["frames"]) skipped += frame["skipped"].get<bool>();
    EXPECT_EQ(skipped, written);
    for (int f = 1; f <= frames; ++f)
      EXPECT_EQ(access((dir / (out + "/shot." + std::to_string(f) + ".exr")).c_str(), F_OK), 0) << f;
    struct stat after;
    ASSERT_EQ(stat((dir / (out + "/shot.1.exr")).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, first.st_ino) << "a finished frame is not rendered again";
    EXPECT_EQ(after.st_mtime, first.st_mtime);
  }
}

TEST_F(Production, TheJsonReportHoldsTheFiguresOfReportOverTheMaskedPixels) {
  writeRawImage(dir / "plate.exr", testPicture(64, 40, 1), SampleDepth::Float);
  writeGrade("grade.exr");
  Image mask = testPicture(32, 20);
  mask.channels = 1;
  mask.pixels.assign(32 * 20, 0.0f);
  for (int i = 0; i < 32 * 20; ++i) mask.pixels[size_t(i)] = i % 32 < 12 ? 1.0f : 0.0f;
  writeRawImage(dir / "mask.png", mask, SampleDepth::UInt8);

  const ToolRun plain = vantrel({"plate.exr", "grade.exr", "-o", "plain.exr", "--report"});
  const ToolRun run =
      vantrel({"plate.exr", "grade.exr", "-o", "out.exr", "--mix", "0.75", "--mix-b", "0.5", "--preserve", "brightness",
               "--source-mask", "mask.png", "--report", "--report-json", "report.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(plain.out, run.out) << "the masks change what is measured";
  std::ifstream in(dir / "report.json");
  const nlohmann::json report = nlohmann::json::parse(in);
  EXPECT_EQ(report["status"], "done");
  EXPECT_EQ(report["tool"]["version"], "1.1.0");
  EXPECT_EQ(report["plugin"]["identifier"], "org.vantrel.colormatch");
  EXPECT_EQ(report["settings"]["mode"], "different clips");
  EXPECT_EQ(report["settings"]["preserve"], "brightness");
  EXPECT_DOUBLE_EQ(report["settings"]["mix"].get<double>(), 0.75);
  EXPECT_DOUBLE_EQ(report["settings"]["mix_b"].get<double>(), 0.5);
  ASSERT_EQ(report["frames"].size(), 1u);
  const nlohmann::json& frame = report["frames"][0];
  EXPECT_EQ(report["settings"]["working_space"], "Linear Rec.709 (sRGB)");
  EXPECT_EQ(report["settings"]["colour_config"], "built-in");
  EXPECT_EQ(frame["colour_spaces"]["source"], "Linear Rec.709 (sRGB)");
  EXPECT_EQ(frame["colour_spaces"]["source_from"], "default");
  EXPECT_EQ(frame["colour_spaces"]["output_from"], "source");
  EXPECT_TRUE(frame["quality"]["masked"].get<bool>());
  // A picture this small is measured whole; the sample's limit is stated.
  EXPECT_EQ(frame["quality"]["sample"]["limit"], 65536);
  EXPECT_EQ(frame["quality"]["sample"]["source"], nlohmann::json({{"pixels", 64 * 40}, {"of", 64 * 40}}));
  EXPECT_DOUBLE_EQ(frame["clipped_share"].get<double>(), 0.0);
  EXPECT_GT(frame["timings"]["rebuild"].get<double>(), 0.0);
  // The same figures as the text report, to its two decimals.
  char line[200];
  const nlohmann::json& after = frame["quality"]["after"];
  std::snprintf(line, sizeof line, "Output vs Reference: mean colour %.2f, spread %.2f",
                after["mean_colour"].get<double>(), after["spread"].get<double>());
  EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
}

TEST_F(Production, EachSurpriseGetsOneWarningLineAndQuietShowsOnlyErrors) {
  writeRawImage(dir / "plate.1.exr", testPicture(64, 40, 1), SampleDepth::Float);
  Image hot = testPicture(64, 40, 2);
  for (size_t i = 0; i < 64 * 10 * 4; i += 4) hot.pixels[i] = 4.0f;  // a quarter of the rows: a sky above 1
  writeRawImage(dir / "plate.2.exr", hot, SampleDepth::Float);
  writeGrade("grade.exr", 80, 40);
  Image empty;
  empty.width = 16;
  empty.height = 16;
  empty.channels = 1;
  empty.pixels.assign(256, 0.2f);
  writeRawImage(dir / "empty.png", empty, SampleDepth::UInt8);

  // In a working space that ends at 1 the sky is clipped; by default it is matched in one that
  // holds it, which differs from the first frame's.
  ToolRun run = vantrel({"plate.%d.exr", "grade.exr", "-o", "a.%d.exr", "--frames", "1-2", "--reference-mask",
                         "empty.png", "--working-space", "lin_rec709"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::string> lines = warnings(run);
  ASSERT_EQ(lines.size(), 3u) << run.err;
  EXPECT_EQ(run.err.find_first_of("\r\033"), std::string::npos) << "a log gets no terminal control characters";
  EXPECT_NE(lines[0].find("frame 1: --reference-mask 'empty.png' selects no sample"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("frame 2: --reference-mask 'empty.png' selects no sample"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("frame 2: 25.00% of the Source pixels have R, G or B outside 0..1"), std::string::npos)
      << lines[2];
  run = vantrel({"plate.%d.exr", "grade.exr", "-o", "a.%d.exr", "--frames", "1-2"});
  ASSERT_EQ(run.status, 0) << run.err;
  lines = warnings(run);
  ASSERT_EQ(lines.size(), 1u) << run.err;
  EXPECT_NE(lines[0].find("frame 2: matched in Linear Rec.709 / 4, the frames before it in Linear Rec.709 (sRGB)"),
            std::string::npos)
      << lines[0];
  // Pooled builds hold one space for the shot, the one the anchor frame's Source asks for.
  for (const char* key : {"1", "2"}) {
    run = vantrel({"plate.%d.exr", "grade.exr", "-o", "k.%d.exr", "--frames", "1-2", "--analysis", "key", "--key-frame",
                   key, "--report-json", "k.json"});
    ASSERT_EQ(run.status, 0) << run.err;
    // Learnt at frame 1, frame 2's sky is clipped, and said so.
    EXPECT_EQ(warnings(run).size(), key == std::string("1") ? 1u : 0u) << run.err;
    std::ifstream in(dir / "k.json");
    const nlohmann::json keyed = nlohmann::json::parse(in);
    for (const nlohmann::json& frame : keyed["frames"])
      EXPECT_EQ(frame["working_space"], key == std::string("1") ? "Linear Rec.709 (sRGB)" : "Linear Rec.709 / 4")
          << key;
  }

  run = vantrel({"plate.1.exr", "grade.exr", "-o", "b.exr", "--mode", "same", "--source-mask", "empty.png",
                 "--report-json", "b.json"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::ifstream json(dir / "b.json");
  const nlohmann::json report = nlohmann::json::parse(json);
  EXPECT_EQ(report["warnings"].size(), 1u);
  EXPECT_EQ(report["frames"][0]["warnings"].size(), 1u);
  lines = warnings(run);
  ASSERT_EQ(lines.size(), 2u) << run.err;
  EXPECT_NE(lines[0].find("masks play no part in Same Frame"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("Same Frame with a Source of 64x40 and a Reference of 80x40: only their 64x40 overlap"),
            std::string::npos)
      << lines[1];

  // Quiet: nothing on standard error, the plug-in's own lines included; verbose shows those.
  run = vantrel({"plate.%d.exr", "grade.exr", "-o", "c.%d.exr", "--frames", "1-2", "--cube", "look.cube", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  // A JPEG's colour profile describes its colour space: it follows into a float TIFF in that
  // space, not into one in another space, and nothing is said about it.
  run = vantrel({photoPath("rocket.jpg"), "grade.exr", "-o", "rocket.tif", "--depth", "float", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(readStored(dir / "rocket.tif").header.find_attribute("ICCProfile"));
  run = vantrel({photoPath("rocket.jpg"), "grade.exr", "-o", "linear.tif", "--depth", "float", "--output-space",
                 "lin_rec709", "-q"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_FALSE(readStored(dir / "linear.tif").header.find_attribute("ICCProfile"));
  run = vantrel({"plate.1.exr", "grade.exr", "-o", "d.exr", "--cube", "look.cube", "--verbose"});
  EXPECT_NE(run.err.find("Vantrel: Export successful\n"), std::string::npos) << run.err;
  run = vantrel({"plate.1.exr", "grade.exr", "-o", "e.exr", "--cube", "look.cube"});
  EXPECT_EQ(run.err.find("Vantrel: "), std::string::npos) << run.err;
  run = vantrel({"plate.1.exr", "missing.exr", "-o", "f.exr", "-q"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, "vantrel: error: REFERENCE 'missing.exr' does not exist\n");
}

TEST(Version, NamesTheToolAndThePlugIn) {
  const ToolRun run = runTool(toolPath(), {"--version", "--plugin", pluginPath()});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "vantrel 1.1.0\nplug-in: " + pluginPath() + "\nidentifier: org.vantrel.colormatch\nversion: 1.0\n");
}

// The installed layout: PREFIX/bin/vantrel finds PREFIX/OFX/Plugins by itself.
TEST(Install, TheInstalledToolFindsTheInstalledBundle) {
  ScratchDir prefix;
  const ToolRun install = runTool(
      "/usr/bin/env", {"cmake", "--install", VANTREL_BINARY_DIR, "--prefix", prefix.path, "--component", "vantrel"});
  ASSERT_EQ(install.status, 0) << install.err << install.out;
  const ToolRun run = runTool(prefix / "bin/vantrel", {"--version"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("plug-in: " + prefix.path +
                         "/bin/../OFX/Plugins/Brenvale.ofx.bundle/Contents/Linux-x86-64/Brenvale.ofx"),
            std::string::npos)
      << run.out;
}

#include "commands.h"
#include "frames.h"
#include "plugin_path.h"
#include "plugin_session.h"
#include "progress.h"
#include "quality.h"
#include "sheet.h"

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Timings {
    double decode = 0, rebuild = 0, apply = 0, encode = 0, exports = 0, quality = 0;
};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

std::string directoryOf(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool sameFile(const std::string &a, const std::string &b)
{
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// A host view of a tool image: rows run bottom-up for the host, top-down in memory, so the view
// starts at the last row with a negative stride and no pixel is copied.
std::shared_ptr<ofxhost::Image> hostView(Image &image)
{
    auto view = std::make_shared<ofxhost::Image>();
    const int rowFloats = image.width * image.channels;
    view->data = image.pixels.data() + size_t(image.height - 1) * size_t(rowFloats);
    view->rowBytes = -rowFloats * int(sizeof(float));
    view->bounds = {0, 0, image.width, image.height};
    view->depth = ofxhost::PixelDepth::Float;
    view->components = image.channels == 1   ? ofxhost::Components::Alpha
                       : image.channels == 3 ? ofxhost::Components::RGB
                                             : ofxhost::Components::RGBA;
    return view;
}

struct Input {
    const char *role;  // how errors name it
    std::string path;
    bool mask;
};

// Everything that can be checked before the first render, so a bad command writes nothing.
int validate(const MatchOptions &o, const FrameRange &range, bool sequence)
{
    const std::vector<std::pair<const char *, std::string>> patterned = {
        {"SOURCE", o.source},           {"REFERENCE", o.reference}, {"OUTPUT", o.output},
        {"--source-mask", o.sourceMask}, {"--reference-mask", o.referenceMask}, {"--cube", o.cube},
        {"--cdl", o.cdl},               {"--sheet", o.sheet}};
    for (const auto &[name, path] : patterned)
        if (!sequence && isFramePattern(path))
            return reportError(kExitUsage, std::string(name) + " '" + path +
                                               "' is a frame pattern: give the frames with --frames A-B");
    if (sequence && !isFramePattern(o.output))
        return reportError(kExitUsage, "--frames: OUTPUT '" + o.output +
                                           "' must be a frame pattern such as out.%04d.exr or out.####.exr");

    const std::string format = outputFormatFor(expandFrame(o.output, range.first));
    if (format.empty())
        return reportError(kExitUsage, "OUTPUT '" + o.output + "': no image writer for this file type");
    if (o.depth != SampleDepth::Unknown && !formatStoresDepth(format, o.depth))
        return reportError(kExitUsage, std::string("--depth: ") + format + " files cannot hold " +
                                           depthName(o.depth) + " samples");
    if (!o.sheet.empty() && outputFormatFor(expandFrame(o.sheet, range.first)).empty())
        return reportError(kExitUsage, "--sheet '" + o.sheet + "': no image writer for this file type");
    for (const auto &[name, path] : {std::pair<const char *, std::string>{"--cube", o.cube}, {"--cdl", o.cdl}})
        if (!path.empty() && (path.back() == '/' || path.back() == '\\'))
            return reportError(kExitUsage, std::string(name) + " '" + path + "': give a file name, not a directory");

    std::vector<Input> inputs = {{"SOURCE", o.source, false}, {"REFERENCE", o.reference, false}};
    if (!o.sourceMask.empty())
        inputs.push_back({"--source-mask", o.sourceMask, true});
    if (!o.referenceMask.empty())
        inputs.push_back({"--reference-mask", o.referenceMask, true});
    const std::vector<std::pair<const char *, std::string>> outputs = {
        {"OUTPUT", o.output}, {"--cube", o.cube}, {"--cdl", o.cdl}, {"--sheet", o.sheet}};

    std::set<std::string> checkedDirectories;
    for (int frame = range.first; frame <= range.last; ++frame) {
        for (const Input &in : inputs) {
            if (frame != range.first && !isFramePattern(in.path))
                continue;
            const std::string path = expandFrame(in.path, frame);
            struct stat st;
            if (stat(path.c_str(), &st) != 0)
                return reportError(kExitFailure, std::string(in.role) + " '" + path + "' does not exist");
            if (!S_ISREG(st.st_mode))
                return reportError(kExitFailure, std::string(in.role) + " '" + path + "' is not a file");
        }
        for (const auto &[name, pattern] : outputs) {
            if (pattern.empty() || (frame != range.first && !isFramePattern(pattern)))
                continue;
            const std::string path = expandFrame(pattern, frame);
            const std::string dir = directoryOf(path);
            if (checkedDirectories.insert(dir).second) {
                struct stat st;
                if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                    return reportError(kExitFailure,
                                       std::string(name) + " '" + path + "': directory '" + dir + "' does not exist");
                if (access(dir.c_str(), W_OK) != 0)
                    return reportError(kExitFailure,
                                       std::string(name) + " '" + path + "': directory '" + dir + "' is not writable");
            }
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                return reportError(kExitFailure, std::string(name) + " '" + path + "' is a directory");
            for (const Input &in : inputs)
                if (sameFile(path, expandFrame(in.path, frame)))
                    return reportError(kExitUsage, std::string(name) + " '" + path + "' would overwrite " + in.role);
        }
    }
    return kExitOK;
}

// The plug-in replaces its files atomically itself, so a target with the extension the plug-in
// keeps is handed over as it stands (and the plug-in's message names it). Any other name is
// exported under a temporary one with that extension and moved into place.
bool exportWith(PluginSession &session, const char *button, const std::string &extension,
                const std::string &target, double time, std::string &error)
{
    const bool direct = endsWith(target, extension);
    std::string written = target;
    if (!direct) {
        written = temporaryPathFor(target);
        if (!endsWith(written, extension))
            written += extension;
        std::remove(written.c_str());
    }
    ofxhost::ParamValue path;
    path.str = written;
    if (!editParam(session, "exportPath", path, time, error) || !pressButton(session, button, time, error)) {
        if (!direct)
            std::remove(written.c_str());
        error = "export to '" + target + "' failed: " + error;
        return false;
    }
    struct stat st;
    if (stat(written.c_str(), &st) != 0) {
        error = "export to '" + target + "' failed: the plug-in wrote no file";
        return false;
    }
    if (!direct && std::rename(written.c_str(), target.c_str()) != 0) {
        std::remove(written.c_str());
        error = "export to '" + target + "' failed: cannot rename the plug-in's file into place";
        return false;
    }
    return true;
}

// Only what differs from the instance's current values is edited, as a user would.
bool applySettings(PluginSession &session, const MatchOptions &o, std::string &error)
{
    auto edit = [&](const char *name, const ofxhost::ParamValue &value) {
        const auto current = session.host->paramValue(session.instance, name);
        return (current && *current == value) || editParam(session, name, value, 0.0, error);
    };
    const std::pair<const char *, std::optional<double>> mixes[] = {
        {"strength", o.mix}, {"strengthR", o.mixR}, {"strengthG", o.mixG}, {"strengthB", o.mixB}};
    for (const auto &[name, value] : mixes) {
        if (!value)
            continue;
        ofxhost::ParamValue v;
        v.doubles = {*value};
        if (!edit(name, v))
            return false;
    }
    ofxhost::ParamValue mode;
    mode.ints = {o.mode == "same" ? 1 : 0};
    ofxhost::ParamValue preserve;
    preserve.ints = {o.preserve == "brightness" ? 1 : o.preserve == "colors" ? 2 : 0};
    return edit("matchMode", mode) && edit("preserveMode", preserve);
}

void printTimings(const Timings &t, double total, int frames)
{
    const double other = std::max(0.0, total - t.decode - t.rebuild - t.apply - t.encode - t.exports - t.quality);
    auto share = [total](double v) { return total > 0 ? 100.0 * v / total : 0.0; };
    std::fprintf(stderr,
                 "vantrel: timings for %d frame%s in %.3f s (%.2f fps): decode %.3f s (%.1f%%), rebuild %.3f s "
                 "(%.1f%%), apply %.3f s (%.1f%%), encode %.3f s (%.1f%%), exports %.3f s (%.1f%%), quality "
                 "%.3f s (%.1f%%), other %.3f s (%.1f%%)\n",
                 frames, frames == 1 ? "" : "s", total, total > 0 ? frames / total : 0.0, t.decode, share(t.decode),
                 t.rebuild, share(t.rebuild), t.apply, share(t.apply), t.encode, share(t.encode), t.exports,
                 share(t.exports), t.quality, share(t.quality), other, share(other));
}

} // namespace

int reportError(int status, const std::string &message)
{
    std::fprintf(stderr, "vantrel: error: %s\n", message.c_str());
    return status;
}

int runMatch(const MatchOptions &o)
{
    const bool sequence = !o.frames.empty();
    FrameRange range;
    std::string error;
    if (sequence && !parseFrameRange(o.frames, range, error))
        return reportError(kExitUsage, error);
    if (const int status = validate(o, range, sequence))
        return status;

    std::string pluginPath;
    if (!findPlugin(o.plugin, std::getenv("OFX_PLUGIN_PATH"), executableDirectory(), pluginPath, error))
        return reportError(kExitFailure, error);

    PluginSession session;
    struct Closer {
        PluginSession &s;
        ~Closer() { closeSession(s); }
    } closer{session};
    if (!openSession(session, pluginPath, true, error) || !applySettings(session, o, error))
        return reportError(kExitFailure, error);

    const int threads = o.threads > 0 ? o.threads : int(std::max(1u, std::thread::hardware_concurrency()));
    const bool sameFrame = o.mode == "same";
    WriteSettings writeSettings;
    writeSettings.depth = o.depth;
    writeSettings.encoding = o.colorspace;

    Timings timings;
    const auto started = std::chrono::steady_clock::now();
    Progress progress = startProgress(range.count(), stderr);
    Image source, reference, sourceMask, referenceMask;

    // A still input is read once; Source is served at each frame's own time, the other inputs at
    // every time when they are stills (a held Reference) and at their frame's time otherwise.
    auto load = [&](const std::string &pattern, int frame, bool mask, const char *clip, Image &image) -> bool {
        if (pattern.empty())
            return true;
        const bool read = frame == range.first || isFramePattern(pattern);
        if (read) {
            const auto start = std::chrono::steady_clock::now();
            const std::string path = expandFrame(pattern, frame);
            const bool ok =
                mask ? readMaskImage(path, image, error) : readColorImage(path, o.colorspace, image, error);
            timings.decode += secondsSince(start);
            if (!ok)
                return false;
        }
        const bool perFrame = isFramePattern(pattern) || std::string(clip) == "Source";
        if (read || perFrame) {
            session.host->detachImages(session.instance, clip);
            if (perFrame)
                session.host->attachImage(session.instance, clip, hostView(image), sequence ? double(frame) : 0.0);
            else
                session.host->attachImage(session.instance, clip, hostView(image));
        }
        return true;
    };

    for (int frame = range.first; frame <= range.last; ++frame) {
        const double time = sequence ? double(frame) : 0.0;
        if (!load(o.source, frame, false, "Source", source) || !load(o.reference, frame, false, "Reference", reference) ||
            !load(o.sourceMask, frame, true, "SourceMask", sourceMask) ||
            !load(o.referenceMask, frame, true, "ReferenceMask", referenceMask))
            return reportError(kExitFailure, error);

        Image output;
        output.width = source.width;
        output.height = source.height;
        output.channels = 4;
        output.depth = source.depth;
        output.hasAlpha = source.hasAlpha;
        output.format = source.format;
        output.compression = source.compression;
        output.pixels.assign(size_t(output.width) * size_t(output.height) * 4, 0.0f);
        session.host->detachImages(session.instance, "Output");
        session.host->attachImage(session.instance, "Output", hostView(output), time);

        RenderTimes renderTimes;
        const bool rendered =
            renderFrame(session, time, output.width, output.height, threads, o.tileSize, renderTimes, error);
        timings.rebuild += renderTimes.rebuild;
        timings.apply += renderTimes.apply;
        if (!rendered)
            return reportError(kExitFailure, "frame " + std::to_string(frame) + ": " + error);

        auto start = std::chrono::steady_clock::now();
        const std::string outputPath = expandFrame(o.output, frame);
        if (!writeColorImage(outputPath, output, writeSettings, error))
            return reportError(kExitFailure, error);
        timings.encode += secondsSince(start);
        if (!sequence)
            std::fprintf(stderr, "vantrel: wrote %s\n", outputPath.c_str());

        const bool lastFrame = frame == range.last;
        start = std::chrono::steady_clock::now();
        const std::pair<const char *, std::string> exports[] = {{"exportButton", o.cube}, {"exportCDLButton", o.cdl}};
        for (const auto &[button, pattern] : exports) {
            if (pattern.empty() || !(lastFrame || isFramePattern(pattern)))
                continue;
            const std::string target = expandFrame(pattern, frame);
            const bool cube = std::string(button) == "exportButton";
            if (!exportWith(session, button, cube ? ".cube" : ".cdl", target, time, error))
                return reportError(kExitFailure, "frame " + std::to_string(frame) + ": " + error);
            if (!sequence)
                std::fprintf(stderr, "vantrel: wrote %s\n", target.c_str());
        }
        timings.exports += secondsSince(start);

        start = std::chrono::steady_clock::now();
        const bool sheetNow = !o.sheet.empty() && (lastFrame || isFramePattern(o.sheet));
        if (o.report || sheetNow) {
            const MatchQuality quality = measureMatch(sameFrame, source, reference, output);
            const std::vector<std::string> lines = describeQuality(quality);
            if (o.report) {
                for (const std::string &line : lines) {
                    if (sequence)
                        std::printf("frame %d: %s\n", frame, line.c_str());
                    else
                        std::printf("%s\n", line.c_str());
                }
                std::fflush(stdout);
            }
            if (sheetNow) {
                const std::string sheetPath = expandFrame(o.sheet, frame);
                if (!writeSheet(sheetPath, source, reference, output, lines, error))
                    return reportError(kExitFailure, error);
                if (!sequence)
                    std::fprintf(stderr, "vantrel: wrote %s\n", sheetPath.c_str());
            }
        }
        timings.quality += secondsSince(start);

        if (sequence)
            reportFrame(progress, frame);
    }
    if (sequence)
        finishProgress(progress);
    if (o.timings)
        printTimings(timings, secondsSince(started), range.count());
    return kExitOK;
}

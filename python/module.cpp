// The Python module `vantrel`: NumPy pictures matched by the Brenvale.ofx plug-in, loaded and
// driven through the host library as any OpenFX host drives it. Arguments are checked here (the
// settings in keywords.h) and turned into the plug-in's parameters; session.h does the rest without
// Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "keywords.h"
#include "session.h"
#include "session/settings.h"

namespace py = pybind11;
using pyvantrel::AnalysisKeywords;
using pyvantrel::integerOf;
using pyvantrel::MatchKeywords;
using pyvantrel::Pixels;
using pyvantrel::Setting;
using pyvantrel::ShotRange;

namespace {

// vantrel.PluginWarning, set when the module is made.
PyObject* gPluginWarning = nullptr;

// What the plug-in said during a call, told to Python: its warnings (and errors, unless the call
// raised them) as vantrel.PluginWarning, the rest to the "vantrel" logger: its diagnostic lines at
// INFO, those that report a failure the call did not raise and no warning said at WARNING.
void tell(pyvantrel::Session& session, bool raised) {
  const pyvantrel::News news = session.takeNews();
  if (news.messages.empty() && news.lines.empty()) return;
  const py::object logger = py::module_::import("logging").attr("getLogger")("vantrel");
  std::set<std::string> warned;
  for (const ofxhost::Message& message : news.messages) {
    if (message.type == kOfxMessageWarning || (message.type == kOfxMessageError && !raised)) {
      warned.insert(message.text);
      if (PyErr_WarnEx(gPluginWarning, message.text.c_str(), 1) < 0) throw py::error_already_set();
    } else {
      logger.attr("info")("%s", message.text);
    }
  }
  for (const std::string& line : news.lines) {
    const bool failure = !raised && isFailureDiagnostic(line) && !warned.count(line);
    logger.attr(failure ? "warning" : "info")("%s", line);
  }
}

// Runs `call` on the session, then tells what the plug-in said, raised or not.
template <typename Call>
auto telling(pyvantrel::Session& session, Call call) {
  try {
    auto result = call();
    tell(session, false);
    return result;
  } catch (...) {
    try {
      tell(session, true);
    } catch (const py::error_already_set&) {
      // The call's own exception is the one to raise.
    }
    throw;
  }
}

// ---- Pictures

// A picture checked and made C-contiguous (copied only when it is not); `keep` holds the array
// the pixels belong to.
Pixels pixelsOf(const py::object& object, const char* name, bool mask, py::array& keep) {
  if (!py::isinstance<py::array>(object))
    throw py::type_error(std::string(name) + " must be a numpy.ndarray of float32, not " +
                         py::str(py::type::of(object).attr("__name__")).cast<std::string>());
  const py::array array = object;
  if (!array.dtype().is(py::dtype::of<float>()))
    throw py::type_error(std::string(name) + " has dtype " + py::str(array.dtype()).cast<std::string>() +
                         ": give float32 (for example " + name + ".astype(numpy.float32))");
  const auto* shape = array.shape();
  const bool colourShape = array.ndim() == 3 && (shape[2] == 3 || shape[2] == 4);
  const bool maskShape = array.ndim() == 2 || (array.ndim() == 3 && (shape[2] == 1 || shape[2] == 3 || shape[2] == 4));
  if (mask ? !maskShape : !colourShape)
    throw py::value_error(
        std::string(name) + " must have shape " +
        (mask ? "(height, width) or (height, width, 1, 3 or 4)" : "(height, width, 3 or 4)") + ", not " +
        py::str(py::tuple(py::cast(std::vector<py::ssize_t>(shape, shape + array.ndim())))).cast<std::string>());
  const py::ssize_t channels = array.ndim() == 2 ? 1 : shape[2];
  if (shape[0] < 1 || shape[1] < 1) throw py::value_error(std::string(name) + " is empty");
  if (shape[0] > INT_MAX || shape[1] * channels * py::ssize_t(sizeof(float)) > INT_MAX)
    throw py::value_error(std::string(name) + " is too large for an OpenFX image");
  keep = py::array_t<float, py::array::c_style>::ensure(array);
  if (!keep) throw py::error_already_set();
  return {static_cast<const float*>(keep.data()), int(shape[1]), int(shape[0]), int(channels)};
}

struct Inputs {
  py::array keep[4];
  Pixels source, reference, sourceMask, referenceMask;
  bool hasSourceMask = false, hasReferenceMask = false;
};

Inputs inputsOf(const py::object& source, const py::object& reference, const py::object& sourceMask,
                const py::object& referenceMask) {
  Inputs in;
  in.source = pixelsOf(source, "source", false, in.keep[0]);
  in.reference = pixelsOf(reference, "reference", false, in.keep[1]);
  if ((in.hasSourceMask = !sourceMask.is_none())) in.sourceMask = pixelsOf(sourceMask, "source_mask", true, in.keep[2]);
  if ((in.hasReferenceMask = !referenceMask.is_none()))
    in.referenceMask = pixelsOf(referenceMask, "reference_mask", true, in.keep[3]);
  return in;
}

py::array_t<float> render(pyvantrel::Session& session, const Inputs& in, const std::vector<Setting>& settings,
                          double time) {
  if (!std::isfinite(time)) throw py::value_error("time must be a finite number");
  py::array_t<float> output(
      {py::ssize_t(in.source.height), py::ssize_t(in.source.width), py::ssize_t(in.source.channels)});
  float* out = output.mutable_data();
  return telling(session, [&] {
    {
      py::gil_scoped_release release;
      const pyvantrel::Pictures pictures{in.source, in.reference, in.hasSourceMask ? &in.sourceMask : nullptr,
                                         in.hasReferenceMask ? &in.referenceMask : nullptr};
      session.render(settings, pictures, time, out);
    }
    return output;
  });
}

int threadsOf(const std::optional<int>& threads) {
  if (threads && *threads < 1) throw py::value_error("threads must be 1 or more (None: one per processor)");
  return threads.value_or(0);
}

std::string pathOf(const std::filesystem::path& path) {
  if (path.empty()) throw py::value_error("give the path of the file to save");
  return path.string();
}

// The pictures of one input over a shot: `count` frames, or one picture for all of them.
std::vector<Pixels> framesOf(const py::object& object, const char* name, bool mask, size_t count,
                             std::vector<py::array>& keep) {
  std::vector<Pixels> pictures;
  if (object.is_none()) return pictures;
  if (py::isinstance<py::array>(object)) {
    keep.emplace_back();
    pictures.push_back(pixelsOf(object, name, mask, keep.back()));
    return pictures;
  }
  if (!py::isinstance<py::sequence>(object) || py::isinstance<py::str>(object))
    throw py::type_error(std::string(name) + " must be a list of float32 arrays, one per frame" +
                         (count ? " (or one array for every frame)" : "") + ", not " +
                         py::str(py::type::of(object).attr("__name__")).cast<std::string>());
  const py::sequence frames = object;
  if (count == 0 && py::len(frames) == 0) throw py::value_error(std::string(name) + " holds no frame");
  if (count != 0 && py::len(frames) != count)
    throw py::value_error(std::string(name) + " holds " + std::to_string(py::len(frames)) + " frames, sources " +
                          std::to_string(count));
  for (size_t i = 0; i < py::len(frames); ++i) {
    const std::string frameName = std::string(name) + "[" + std::to_string(i) + "]";
    keep.emplace_back();
    pictures.push_back(pixelsOf(frames[i], frameName.c_str(), mask, keep.back()));
    if (pictures.back().channels != pictures.front().channels)
      throw py::value_error(frameName + " has " + std::to_string(pictures.back().channels) + " channels and " + name +
                            "[0] " + std::to_string(pictures.front().channels) +
                            ": the frames of an input share one layout");
  }
  return pictures;
}

// A Session as Python holds it: closed explicitly, by `with`, or when collected. Each call holds
// the session for its length (get()), so a close() from another thread waits for a render in
// progress and the session outlives it. It keeps the arrays of the shot's frames while the
// plug-in may read them.
class PySession {
 public:
  PySession(const std::optional<std::filesystem::path>& plugin, std::optional<int> threads) {
    const std::string found = pyvantrel::findPlugin(plugin ? plugin->string() : "");
    const int count = threadsOf(threads);
    {
      py::gil_scoped_release release;
      session_ = std::make_shared<pyvantrel::Session>(found, count);
    }
    tell(*session_, false);
  }
  std::shared_ptr<pyvantrel::Session> get() const {
    if (!session_) throw pyvantrel::PluginFailure("the session is closed");
    return session_;
  }
  void close() {
    const std::shared_ptr<pyvantrel::Session> session = std::move(session_);
    if (!session) return;
    {
      py::gil_scoped_release release;
      session->close();
    }
    frames_.clear();
    tell(*session, false);
  }

  void setFrames(const py::object& sources, const py::object& references, const py::object& sourceMask,
                 const py::object& referenceMask, const py::object& first) {
    get();
    pyvantrel::Shot shot;
    std::vector<py::array> keep;
    shot.pictures[0] = framesOf(sources, "sources", false, 0, keep);
    if (shot.pictures[0].size() == 1 && py::isinstance<py::array>(sources))
      throw py::type_error("sources must be a list of float32 arrays, one per frame, not one array");
    const size_t count = shot.pictures[0].size();
    shot.pictures[1] = framesOf(references, "references", false, count, keep);
    if (shot.pictures[1].empty()) throw py::type_error("references must be given: a list of arrays or one array");
    shot.pictures[2] = framesOf(sourceMask, "source_mask", true, count, keep);
    shot.pictures[3] = framesOf(referenceMask, "reference_mask", true, count, keep);
    shot.first = integerOf(first, "first", 0, INT_MAX - (long long)count);
    shot.last = shot.first + int(count) - 1;
    {
      const std::shared_ptr<pyvantrel::Session> session = get();
      py::gil_scoped_release release;
      session->setShot(shot);
    }
    frames_ = std::move(keep);  // the old frames go once the plug-in no longer reads them
    shot_ = {shot.first, shot.last};
    for (int i = 0; i < 4; ++i) {
      channels_[i] = shot.pictures[i].empty() ? 0 : shot.pictures[i].front().channels;
      pictures_[i] = shot.pictures[i];
    }
  }

  const ShotRange& shot() const { return shot_; }
  // The shot's picture of input `input` at frame `time`; null without one.
  const Pixels* frame(int input, double time) const {
    const std::vector<Pixels>& pictures = pictures_[input];
    if (pictures.empty() || !(time >= shot_.first && time <= shot_.last) || time != std::floor(time)) return nullptr;
    return pictures.size() == 1 ? &pictures.front() : &pictures[size_t(time - shot_.first)];
  }
  int channels(int input) const { return channels_[input]; }

 private:
  std::shared_ptr<pyvantrel::Session> session_;
  std::vector<py::array> frames_;
  ShotRange shot_;
  int channels_[4] = {};
  std::vector<Pixels> pictures_[4];
};

// A session's pictures at `time`: the arrays given, else the shot's frame at that time. A
// picture given for a frame of the shot has the layout of the shot's frames of its input.
Inputs sessionInputs(const PySession& s, const py::object& source, const py::object& reference,
                     const py::object& sourceMask, const py::object& referenceMask, double time) {
  const py::object* given[4] = {&source, &reference, &sourceMask, &referenceMask};
  const char* names[4] = {"source", "reference", "source_mask", "reference_mask"};
  Inputs in;
  Pixels* pixels[4] = {&in.source, &in.reference, &in.sourceMask, &in.referenceMask};
  bool* has[4] = {nullptr, nullptr, &in.hasSourceMask, &in.hasReferenceMask};
  for (int i = 0; i < 4; ++i) {
    if (!given[i]->is_none()) {
      *pixels[i] = pixelsOf(*given[i], names[i], i >= 2, in.keep[i]);
      if (s.channels(i) && pixels[i]->channels != s.channels(i))
        throw py::value_error(std::string(names[i]) + " has " + std::to_string(pixels[i]->channels) +
                              " channels and the shot's frames " + std::to_string(s.channels(i)) +
                              ": give it in the layout of set_frames()");
    } else if (i < 2) {
      const Pixels* frame = s.frame(i, time);
      if (!frame)
        throw py::value_error(std::string("give ") + names[i] +
                              (s.shot().given() ? ": time " + py::repr(py::float_(time)).cast<std::string>() +
                                                      " is no frame of the shot set_frames() gave"
                                                : " (or the shot's frames with set_frames())"));
      *pixels[i] = *frame;
    }
    if (has[i]) *has[i] = !given[i]->is_none();
  }
  return in;
}

const char* const kModuleDoc = R"(Colour matching of NumPy pictures with the Brenvale.ofx OpenFX plug-in.

The plug-in itself renders: the module loads it through its exported entry points, as any OpenFX
host does, and hands it the arrays as they are (no colour conversion; give it values in the
colour space you want matched, as `vantrel match --working-space` does for files). Pictures are
float32 arrays of shape (height, width, 3 or 4), rows from the top; masks (height, width) or
(height, width, 1, 3 or 4).

    import numpy, vantrel
    out = vantrel.match(source, reference, mode="same", mix=0.8)

    with vantrel.Session() as session:          # one plug-in instance for a shot
        for frame, (src, ref) in enumerate(shot):
            out = session.match(src, ref, time=frame)
        session.save_cube("look.cube")

The plug-in is found as `vantrel` finds it: plugin=PATH, else OFX_PLUGIN_PATH, else the bundle
installed with the module, else /usr/OFX/Plugins.

The module is quiet: what the plug-in warns of (frames it could not have, a match without data)
comes as a vantrel.PluginWarning through the `warnings` module, and its diagnostic lines
("Vantrel: ...", which it writes on standard error in other hosts) go to the `logging` logger
"vantrel", at INFO, or at WARNING for a failure that raised nothing. To see them all:

    import logging; logging.basicConfig(level=logging.INFO))";

const char* const kSessionMatchDoc = R"(Renders one frame at `time` (the frame number of a shot); returns the Output.

source, reference, mode, preserve, mix, mix_rgb, fit, plate_encoding, dc_learner, source_mask, reference_mask: as in
    vantrel.match(). After set_frames(), source and reference may be left out: the shot's
    pictures at `time` are used. Pictures given serve `time`; the shot serves the other frames.
analysis: which frames the match is learnt from, as the plug-in's "Analysis" choice:
    "current" (the frame rendered, the default), "key" (one frame, held for the shot), "range"
    (frames pooled into one match for the shot) or "window" (the frames around each frame,
    pooled). All but "current" need the shot's frames: call set_frames() first.
key_frame: with analysis="key", the frame (default: the shot's first; a frame outside the shot
    is taken as its nearest end).
frame_range: with analysis="range", (first, last) pooled (default: the whole shot).
window_radius: with analysis="window", frames on each side, 1 to 500 (default 5).
frame_step: with "range" or "window", pool every Nth frame, 1 to 1000 (default 1).

Raises TypeError or ValueError for arguments the plug-in cannot take (a keyword that does not go
with the analysis chosen, pooled analysis without the shot's frames), vantrel.Error when the
plug-in fails. The GIL is released while the plug-in renders.)";

const char* const kSetFramesDoc = R"(Gives the session a shot's frames, which the plug-in reads as a host serves them.

sources: a list of float32 arrays (height, width, 3 or 4), frames first, first + 1, ...
references: a list of as many arrays, or one array: a still Reference for every frame.
source_mask, reference_mask: None, one array for every frame, or a list of as many arrays.
first: the number of the first frame (0 or more; default 0).

Every input's frames share one number of channels. The session keeps the arrays (do not change
them in place while it holds them) and tells the plug-in its inputs changed; a new call replaces
the shot. The shot is what match()'s analysis other than "current" learns from, as a host's clips
give an effect the frames it asks for.)";

const char* const kMatchDoc = R"(Match `source` to `reference`; returns the Output as a new array of the source's shape.

source, reference: float32 arrays (height, width, 3 or 4); their sizes may differ.
mode: "different" (Different Clips: separate footage) or "same" (Same Frame: two grades of one
    picture, pixels paired by position from the lower-left corner).
preserve: "nothing", "brightness" or "colors": what of the source's own look to keep.
mix: how much of the match to apply, 0 to 1; mix_rgb: three more mixes, one per channel.
fit: how Same Frame learns, the plug-in's "Same Frame Fit": "lattice" (the default here, as in
    the vantrel tool: the whole table fitted to the pixel pairs, which reproduces a grade) or
    "cells" (the plug-in's own default: smoothed cell means). Different Clips ignores it.
plate_encoding: what the arrays' values are, the plug-in's "Plate Encoding": "As Delivered"
    (the default: values matched as they are, clamped to 0..1), "Scene Linear" (linear light,
    highlights above 1 kept), "ACEScct", "ARRI LogC3", "Sony S-Log3", "RED Log3G10",
    "Panasonic V-Log" or "Canon C-Log3" (a camera's log encoding, matched in linear light and
    encoded back), or "From Host" (here As Delivered: this host names no colour space).
dc_learner: how Different Clips learns, the plug-in's "Different Clips Learner": "content" (the
    default here, as in the vantrel tool: where the reference shows part of the scene the source
    shows, the pictures are placed on each other and the match is fitted to the shared pixels;
    pictures that share nothing are matched by the statistics) or "statistics" (the plug-in's
    own default). Same Frame ignores it.
source_mask, reference_mask: float32 arrays that weight which pixels the Different Clips
    statistics measure (alpha of RGBA, red of RGB, the only channel otherwise); None for none.
plugin: the plug-in (.ofx file or .ofx.bundle folder) instead of the one found.
threads: tiles rendered at once (None: one per processor).

A match of single pictures learns from them alone (the plug-in's Analysis "Current Frame"); to
learn from a key frame or from several frames of a shot, use a Session with set_frames().

Raises TypeError or ValueError for arguments the plug-in cannot take, PluginNotFoundError when
no plug-in is found, and vantrel.Error when the plug-in fails. The GIL is released while the
plug-in renders.)";

// find_plugin() and match(): one picture matched by a plug-in loaded for the call.
void bindFunctions(py::module_& m) {
  m.def(
      "find_plugin",
      [](const std::optional<std::filesystem::path>& plugin) {
        return pyvantrel::findPlugin(plugin ? plugin->string() : "");
      },
      py::arg("plugin") = py::none(),
      "The path of the plug-in binary the module would load (see the module's help for the search).");

  m.def(
      "match",
      [](const py::object& source, const py::object& reference, const std::string& mode, const std::string& preserve,
         double mix, const py::object& mixRgb, const std::string& fit, const std::string& plateEncoding,
         const std::string& dcLearner, const py::object& sourceMask, const py::object& referenceMask,
         const std::optional<std::filesystem::path>& plugin, std::optional<int> threads) {
        const Inputs in = inputsOf(source, reference, sourceMask, referenceMask);
        const std::vector<Setting> settings =
            MatchKeywords{mode, preserve, mix, mixRgb, fit, plateEncoding, dcLearner}.settings();
        PySession session(plugin, threads);
        py::array_t<float> out = render(*session.get(), in, settings, 0.0);
        session.close();
        return out;
      },
      py::arg("source"), py::arg("reference"), py::kw_only(), py::arg(kMatchMode.keyword) = fallbackChoice(kMatchMode),
      py::arg(kPreserve.keyword) = fallbackChoice(kPreserve), py::arg(kMix.keyword) = kMix.fallback,
      py::arg("mix_rgb") = py::make_tuple(kMixRed.fallback, kMixGreen.fallback, kMixBlue.fallback),
      py::arg(kSameFrameFit.keyword) = fallbackChoice(kSameFrameFit),
      py::arg(kPlateEncoding.keyword) = fallbackChoice(kPlateEncoding),
      py::arg(kDcLearner.keyword) = fallbackChoice(kDcLearner), py::arg("source_mask") = py::none(),
      py::arg("reference_mask") = py::none(), py::arg("plugin") = py::none(), py::arg("threads") = py::none(),
      kMatchDoc);
}

// A session's match() and the shot's frames it learns from.
void bindSessionMatch(py::class_<PySession>& session) {
  session
      .def(
          "match",
          [](PySession& s, const py::object& source, const py::object& reference, double time, const std::string& mode,
             const std::string& preserve, double mix, const py::object& mixRgb, const std::string& fit,
             const std::string& plateEncoding, const std::string& dcLearner, const py::object& sourceMask,
             const py::object& referenceMask, const std::string& analysis, const py::object& keyFrame,
             const py::object& frameRange, const py::object& windowRadius, const py::object& frameStep) {
            std::vector<Setting> settings =
                MatchKeywords{mode, preserve, mix, mixRgb, fit, plateEncoding, dcLearner}.settings();
            const std::vector<Setting> frames =
                AnalysisKeywords{analysis, keyFrame, frameRange, windowRadius, frameStep}.settings(s.shot());
            settings.insert(settings.end(), frames.begin(), frames.end());
            return render(*s.get(), sessionInputs(s, source, reference, sourceMask, referenceMask, time), settings,
                          time);
          },
          py::arg("source") = py::none(), py::arg("reference") = py::none(), py::kw_only(), py::arg("time") = 0.0,
          py::arg(kMatchMode.keyword) = fallbackChoice(kMatchMode),
          py::arg(kPreserve.keyword) = fallbackChoice(kPreserve), py::arg(kMix.keyword) = kMix.fallback,
          py::arg("mix_rgb") = py::make_tuple(kMixRed.fallback, kMixGreen.fallback, kMixBlue.fallback),
          py::arg(kSameFrameFit.keyword) = fallbackChoice(kSameFrameFit),
          py::arg(kPlateEncoding.keyword) = fallbackChoice(kPlateEncoding),
          py::arg(kDcLearner.keyword) = fallbackChoice(kDcLearner), py::arg("source_mask") = py::none(),
          py::arg("reference_mask") = py::none(), py::arg(kAnalysis.keyword) = fallbackChoice(kAnalysis),
          py::arg(kKeyFrame.keyword) = py::none(), py::arg(kFrameRange.keyword) = py::none(),
          py::arg(kWindowRadius.keyword) = py::none(), py::arg(kFrameStep.keyword) = py::none(), kSessionMatchDoc)
      .def("set_frames", &PySession::setFrames, py::arg("sources"), py::arg("references"), py::kw_only(),
           py::arg("source_mask") = py::none(), py::arg("reference_mask") = py::none(), py::arg("first") = 0,
           kSetFramesDoc)
      .def_property_readonly(
          "frames",
          [](const PySession& s) -> py::object {
            if (!s.shot().given()) return py::none();
            return py::make_tuple(s.shot().first, s.shot().last);
          },
          "The first and last frame given by set_frames(), or None.");
}

// One of the plug-in's export buttons pressed with "Save To" at `path`.
std::string save(PySession& s, const char* button, const std::filesystem::path& path) {
  const std::string target = pathOf(path);
  const std::shared_ptr<pyvantrel::Session> session = s.get();
  return telling(*session, [&] {
    py::gil_scoped_release release;
    return session->exportFile(button, target);
  });
}

// The LUT of a session's last render, and the plug-in's exports of it.
void bindSessionLut(py::class_<PySession>& session) {
  session
      .def(
          "lut",
          [](PySession& s) {
            int size = 0;
            const std::shared_ptr<pyvantrel::Session> held = s.get();
            const std::vector<float> lattice = telling(*held, [&] {
              py::gil_scoped_release release;
              return held->lut(size);
            });
            py::array_t<float> out({py::ssize_t(size), py::ssize_t(size), py::ssize_t(size), py::ssize_t(3)});
            std::copy(lattice.begin(), lattice.end(), out.mutable_data());
            return out;
          },
          R"(The LUT of the last render as a (65, 65, 65, 3) float32 array: lut[r, g, b] is the output for the
input (r, g, b) / 64. It is what the plug-in's own .cube export holds: the mixes of the last render
baked in, six decimals. Raises vantrel.Error before the first render.)")
      .def(
          "save_cube", [](PySession& s, const std::filesystem::path& path) { return save(s, "exportButton", path); },
          py::arg("path"),
          "Saves the LUT through the plug-in's \"Save as .cube LUT\" button (mixes baked in); returns the path "
          "written (the plug-in adds .cube when missing).")
      .def(
          "save_cdl", [](PySession& s, const std::filesystem::path& path) { return save(s, "exportCDLButton", path); },
          py::arg("path"),
          "Saves the plug-in's slope, offset and saturation fit of the LUT through its \"Save as .cdl\" button; "
          "returns the path written (the plug-in adds .cdl when missing).");
}

void bindSession(py::module_& m) {
  py::class_<PySession> session(m, "Session", R"(One instance of the plug-in, kept across frames as a host keeps it.

Its LUT cache works as in a host: a frame whose pictures and mode are those of the last render
is not rebuilt (changing a mix never rebuilds); a new time, new pixels in an input, or another
mode or preserve choice rebuilds. Use it in a `with` block, or call close().)");
  session
      .def(py::init<const std::optional<std::filesystem::path>&, std::optional<int>>(), py::arg("plugin") = py::none(),
           py::kw_only(), py::arg("threads") = py::none(),
           "Loads the plug-in (plugin=PATH, else the one found) and creates an instance; threads: tiles rendered "
           "at once (None: one per processor).")
      .def_property_readonly(
          "plugin_path", [](const PySession& s) { return s.get()->pluginPath(); }, "The plug-in binary loaded.")
      .def_property_readonly(
          "plugin_identifier", [](const PySession& s) { return s.get()->identifier(); },
          "The effect's identifier, e.g. org.vantrel.colormatch.")
      .def_property_readonly(
          "plugin_version", [](const PySession& s) { return s.get()->version(); },
          "The plug-in's version, major.minor.");
  bindSessionMatch(session);
  bindSessionLut(session);
  session.def("close", &PySession::close, "Destroys the instance; the session cannot be used afterwards.")
      .def(
          "__enter__", [](PySession& s) -> PySession& { return s; }, py::return_value_policy::reference)
      .def("__exit__", [](PySession& s, const py::args&) { s.close(); });
}

}  // namespace

PYBIND11_MODULE(vantrel, m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = VANTREL_VERSION;
  const auto& error = py::register_exception<pyvantrel::PluginFailure>(m, "Error", PyExc_RuntimeError);
  error.attr("__doc__") = "The plug-in failed to load, refused an action or reported an error.";
  const auto& notFound = py::register_exception<pyvantrel::PluginNotFound>(m, "PluginNotFoundError", error.ptr());
  notFound.attr("__doc__") = "No Brenvale.ofx plug-in at the path given, or none where the module looks for one.";
  gPluginWarning = PyErr_NewExceptionWithDoc(
      "vantrel.PluginWarning", "What the plug-in warns of: frames it could not have, a match without data, ...",
      PyExc_UserWarning, nullptr);
  if (!gPluginWarning) throw py::error_already_set();
  m.attr("PluginWarning") = py::handle(gPluginWarning);

  bindFunctions(m);
  bindSession(m);
}

// The Python module `vantrel`: NumPy pictures matched by the Brenvale.ofx plug-in, loaded and
// driven through the host library as any OpenFX host drives it. Arguments are checked here and
// turned into the plug-in's parameters; session.h does the rest without Python.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session.h"

namespace py = pybind11;
using pyvantrel::Pixels;
using pyvantrel::Setting;

namespace {

// ---- Keywords and the plug-in parameters they set. A parameter the plug-in gains becomes a
// keyword by a row here, an argument in the bindings below and a line in the docstrings.

struct Choice {
  const char* keyword;
  const char* param;
  std::vector<std::string> names;  // in the plug-in's option order
};

const Choice kMode{"mode", "matchMode", {"different", "same"}};
const Choice kPreserve{"preserve", "preserveMode", {"nothing", "brightness", "colors"}};

Setting choose(const Choice& choice, const std::string& name) {
  for (size_t i = 0; i < choice.names.size(); ++i) {
    if (choice.names[i] != name) continue;
    Setting setting{choice.param, {}};
    setting.value.ints = {int(i)};
    return setting;
  }
  std::string names;
  for (size_t i = 0; i < choice.names.size(); ++i)
    names += (i == 0 ? "'" : i + 1 == choice.names.size() ? " or '" : ", '") + choice.names[i] + "'";
  throw py::value_error(std::string(choice.keyword) + " must be " + names + ", not '" + name + "'");
}

Setting mixSetting(const char* keyword, const char* param, double value) {
  if (!std::isfinite(value) || value < 0.0 || value > 1.0)
    throw py::value_error(std::string(keyword) + " must be a number from 0 to 1, not " +
                          py::str(py::float_(value)).cast<std::string>());
  Setting setting{param, {}};
  setting.value.doubles = {value};
  return setting;
}

// The settings of one match, every parameter named so that a call depends on its own arguments.
struct MatchKeywords {
  std::string mode = "different";
  std::string preserve = "nothing";
  double mix = 1.0;
  py::object mixRgb;
  std::vector<Setting> settings() const {
    std::vector<Setting> out = {choose(kMode, mode), choose(kPreserve, preserve), mixSetting("mix", "strength", mix)};
    if (!py::isinstance<py::sequence>(mixRgb) || py::isinstance<py::str>(mixRgb) || py::len(mixRgb) != 3)
      throw py::type_error("mix_rgb must be a sequence of three numbers (red, green, blue), not " +
                           py::repr(mixRgb).cast<std::string>());
    const char* params[3] = {"strengthR", "strengthG", "strengthB"};
    const py::sequence values = mixRgb;
    for (size_t c = 0; c < 3; ++c) {
      if (!py::isinstance<py::int_>(values[c]) && !py::isinstance<py::float_>(values[c]))
        throw py::type_error("mix_rgb must hold three numbers, not " + py::repr(mixRgb).cast<std::string>());
      out.push_back(mixSetting("mix_rgb", params[c], values[c].cast<double>()));
    }
    return out;
  }
};

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
  {
    py::gil_scoped_release release;
    session.render(settings, in.source, in.reference, in.hasSourceMask ? &in.sourceMask : nullptr,
                   in.hasReferenceMask ? &in.referenceMask : nullptr, time, out);
  }
  return output;
}

int threadsOf(const std::optional<int>& threads) {
  if (threads && *threads < 1) throw py::value_error("threads must be 1 or more (None: one per processor)");
  return threads.value_or(0);
}

std::string pathOf(const std::filesystem::path& path) {
  if (path.empty()) throw py::value_error("give the path of the file to save");
  return path.string();
}

// A Session as Python holds it: closed explicitly, by `with`, or when collected.
class PySession {
 public:
  PySession(const std::optional<std::filesystem::path>& plugin, std::optional<int> threads) {
    const std::string found = pyvantrel::findPlugin(plugin ? plugin->string() : "");
    const int count = threadsOf(threads);
    py::gil_scoped_release release;
    session_ = std::make_unique<pyvantrel::Session>(found, count);
  }
  pyvantrel::Session& get() const {
    if (!session_) throw pyvantrel::PluginFailure("the session is closed");
    return *session_;
  }
  void close() {
    py::gil_scoped_release release;
    session_.reset();
  }

 private:
  std::unique_ptr<pyvantrel::Session> session_;
};

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
installed with the module, else /usr/OFX/Plugins. It prints its own diagnostic lines
("Vantrel: ...") on standard error, as in any host.)";

const char* const kMatchDoc = R"(Match `source` to `reference`; returns the Output as a new array of the source's shape.

source, reference: float32 arrays (height, width, 3 or 4); their sizes may differ.
mode: "different" (Different Clips: separate footage) or "same" (Same Frame: two grades of one
    picture, pixels paired by position from the lower-left corner).
preserve: "nothing", "brightness" or "colors": what of the source's own look to keep.
mix: how much of the match to apply, 0 to 1; mix_rgb: three more mixes, one per channel.
source_mask, reference_mask: float32 arrays that weight which pixels the Different Clips
    statistics measure (alpha of RGBA, red of RGB, the only channel otherwise); None for none.
plugin: the plug-in (.ofx file or .ofx.bundle folder) instead of the one found.
threads: tiles rendered at once (None: one per processor).

Raises TypeError or ValueError for arguments the plug-in cannot take, PluginNotFoundError when
no plug-in is found, and vantrel.Error when the plug-in fails. The GIL is released while the
plug-in renders.)";

}  // namespace

PYBIND11_MODULE(vantrel, m) {
  m.doc() = kModuleDoc;
  m.attr("__version__") = VANTREL_VERSION;
  const auto& error = py::register_exception<pyvantrel::PluginFailure>(m, "Error", PyExc_RuntimeError);
  error.attr("__doc__") = "The plug-in failed to load, refused an action or reported an error.";
  const auto& notFound = py::register_exception<pyvantrel::PluginNotFound>(m, "PluginNotFoundError", error.ptr());
  notFound.attr("__doc__") = "No Brenvale.ofx plug-in at the path given, or none where the module looks for one.";

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
         double mix, const py::object& mixRgb, const py::object& sourceMask, const py::object& referenceMask,
         const std::optional<std::filesystem::path>& plugin, std::optional<int> threads) {
        const Inputs in = inputsOf(source, reference, sourceMask, referenceMask);
        const std::vector<Setting> settings = MatchKeywords{mode, preserve, mix, mixRgb}.settings();
        PySession session(plugin, threads);
        py::array_t<float> out = render(session.get(), in, settings, 0.0);
        session.close();
        return out;
      },
      py::arg("source"), py::arg("reference"), py::kw_only(), py::arg("mode") = "different",
      py::arg("preserve") = "nothing", py::arg("mix") = 1.0, py::arg("mix_rgb") = py::make_tuple(1.0, 1.0, 1.0),
      py::arg("source_mask") = py::none(), py::arg("reference_mask") = py::none(), py::arg("plugin") = py::none(),
      py::arg("threads") = py::none(), kMatchDoc);

  py::class_<PySession>(m, "Session", R"(One instance of the plug-in, kept across frames as a host keeps it.

Its LUT cache works as in a host: a frame whose pictures and mode are those of the last render
is not rebuilt (changing a mix never rebuilds); a new time, new pixels in an input, or another
mode or preserve choice rebuilds. Use it in a `with` block, or call close().)")
      .def(py::init<const std::optional<std::filesystem::path>&, std::optional<int>>(), py::arg("plugin") = py::none(),
           py::kw_only(), py::arg("threads") = py::none(),
           "Loads the plug-in (plugin=PATH, else the one found) and creates an instance; threads: tiles rendered "
           "at once (None: one per processor).")
      .def_property_readonly(
          "plugin_path", [](const PySession& s) { return s.get().pluginPath(); }, "The plug-in binary loaded.")
      .def_property_readonly(
          "plugin_identifier", [](const PySession& s) { return s.get().identifier(); },
          "The effect's identifier, e.g. org.vantrel.colormatch.")
      .def_property_readonly(
          "plugin_version", [](const PySession& s) { return s.get().version(); }, "The plug-in's version, major.minor.")
      .def(
          "match",
          [](PySession& s, const py::object& source, const py::object& reference, double time, const std::string& mode,
             const std::string& preserve, double mix, const py::object& mixRgb, const py::object& sourceMask,
             const py::object& referenceMask) {
            const Inputs in = inputsOf(source, reference, sourceMask, referenceMask);
            return render(s.get(), in, MatchKeywords{mode, preserve, mix, mixRgb}.settings(), time);
          },
          py::arg("source"), py::arg("reference"), py::kw_only(), py::arg("time") = 0.0, py::arg("mode") = "different",
          py::arg("preserve") = "nothing", py::arg("mix") = 1.0, py::arg("mix_rgb") = py::make_tuple(1.0, 1.0, 1.0),
          py::arg("source_mask") = py::none(), py::arg("reference_mask") = py::none(),
          "Renders one frame at `time` (the frame number of a shot); the other arguments are those of "
          "vantrel.match(). Returns the Output.")
      .def(
          "lut",
          [](PySession& s) {
            int size = 0;
            std::vector<float> lattice;
            {
              py::gil_scoped_release release;
              lattice = s.get().lut(size);
            }
            py::array_t<float> out({py::ssize_t(size), py::ssize_t(size), py::ssize_t(size), py::ssize_t(3)});
            std::copy(lattice.begin(), lattice.end(), out.mutable_data());
            return out;
          },
          R"(The LUT of the last render as a (65, 65, 65, 3) float32 array: lut[r, g, b] is the output for the
input (r, g, b) / 64. It is what the plug-in's own .cube export holds: the mixes of the last render
baked in, six decimals. Raises vantrel.Error before the first render.)")
      .def(
          "save_cube",
          [](PySession& s, const std::filesystem::path& path) {
            const std::string target = pathOf(path);
            py::gil_scoped_release release;
            return s.get().exportFile("exportButton", target);
          },
          py::arg("path"),
          "Saves the LUT through the plug-in's \"Save as .cube LUT\" button (mixes baked in); returns the path "
          "written (the plug-in adds .cube when missing).")
      .def(
          "save_cdl",
          [](PySession& s, const std::filesystem::path& path) {
            const std::string target = pathOf(path);
            py::gil_scoped_release release;
            return s.get().exportFile("exportCDLButton", target);
          },
          py::arg("path"),
          "Saves the plug-in's slope, offset and saturation fit of the LUT through its \"Save as .cdl\" button; "
          "returns the path written (the plug-in adds .cdl when missing).")
      .def("close", &PySession::close, "Destroys the instance; the session cannot be used afterwards.")
      .def(
          "__enter__", [](PySession& s) -> PySession& { return s; }, py::return_value_policy::reference)
      .def("__exit__", [](PySession& s, const py::args&) { s.close(); });
}

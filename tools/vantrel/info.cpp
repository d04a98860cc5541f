// `vantrel info` and `vantrel --version`: the effect as a host sees it, and where it was found.
#include "commands.h"
#include "console.h"

#include "session/plugin_path.h"
#include "session/plugin_session.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace {

std::string joined(const ofxhost::Property& p) {
  std::ostringstream out;
  const int n = p.dimension();
  for (int i = 0; i < n; ++i) {
    if (i) out << ", ";
    switch (p.type) {
      case ofxhost::PropType::String:
        out << p.strings[size_t(i)];
        break;
      case ofxhost::PropType::Double:
        out << p.doubles[size_t(i)];
        break;
      case ofxhost::PropType::Int:
        out << p.ints[size_t(i)];
        break;
      case ofxhost::PropType::Pointer:
        out << p.pointers[size_t(i)];
        break;
    }
  }
  return out.str();
}

std::string value(const ofxhost::PropertySet& set, const char* name) {
  const auto p = set.get(name);
  return p ? joined(*p) : "";
}

// Prints "  label: value" when the property was set.
void line(const ofxhost::PropertySet& set, const char* name, const char* label, const char* indent = "  ") {
  const std::string v = value(set, name);
  if (!v.empty()) std::printf("%s%s: %s\n", indent, label, v.c_str());
}

void printContext(const ofxhost::Effect& context) {
  std::printf("\nContext %s\n", context.context.c_str());
  std::printf("  Clips:\n");
  for (const auto& clip : context.clips) {
    const ofxhost::PropertySet& p = *clip->props;
    std::string flags;
    if (p.getInt(kOfxImageClipPropOptional).value_or(0)) flags += ", optional";
    if (p.getInt(kOfxImageClipPropIsMask).value_or(0)) flags += ", mask";
    std::string label = value(p, kOfxPropLabel);
    if (label == clip->name) label.clear();
    std::printf("    %s%s%s: %s%s\n", clip->name.c_str(), label.empty() ? "" : " \"",
                label.empty() ? "" : (label + "\"").c_str(), value(p, kOfxImageEffectPropSupportedComponents).c_str(),
                flags.c_str());
  }
  std::printf("  Parameters:\n");
  for (const auto& param : context.params.params) {
    const ofxhost::PropertySet& p = *param->props;
    std::printf("    %s (%s) \"%s\"\n", param->name.c_str(), param->type.c_str(), value(p, kOfxPropLabel).c_str());
    line(p, kOfxParamPropHint, "hint", "      ");
    if (const auto options = p.get(kOfxParamPropChoiceOption)) {
      std::string text;
      for (int i = 0; i < options->dimension(); ++i)
        text += (i ? ", " : "") + std::to_string(i) + " \"" + options->strings[size_t(i)] + "\"";
      std::printf("      options: %s\n", text.c_str());
    }
    const auto def = p.get(kOfxParamPropDefault);
    if (def)
      std::printf("      default: %s\n",
                  def->type == ofxhost::PropType::String ? ("\"" + joined(*def) + "\"").c_str() : joined(*def).c_str());
    const std::string min = value(p, kOfxParamPropMin), max = value(p, kOfxParamPropMax);
    if (!min.empty() || !max.empty()) std::printf("      range: %s to %s\n", min.c_str(), max.c_str());
    const std::string dmin = value(p, kOfxParamPropDisplayMin), dmax = value(p, kOfxParamPropDisplayMax);
    if (!dmin.empty() || !dmax.empty()) std::printf("      display range: %s to %s\n", dmin.c_str(), dmax.c_str());
    line(p, kOfxParamPropIncrement, "increment", "      ");
    line(p, kOfxParamPropDigits, "digits", "      ");
    line(p, kOfxParamPropStringMode, "string mode", "      ");
  }
}

}  // namespace

const char* toolVersion() { return VANTREL_VERSION; }

Status locatePlugin(const std::string& option, std::string& path) {
  // An installed vantrel looks beside its own folder; a built one in and above it.
  std::error_code ec;
  const std::string executableDir = std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
  std::string error;
  if (!findPlugin(option, std::getenv("OFX_PLUGIN_PATH"), executableDir, path, error)) return fail(kExitFailure, error);
  return {};
}

int runVersion(const std::string& plugin) {
  std::printf("vantrel %s\n", toolVersion());
  std::fflush(stdout);
  std::string path;
  if (Status status = locatePlugin(plugin, path); status.failed()) return reportError(status);
  // Only the module's plug-in record is read: no action is sent.
  ofxhost::Host host;
  if (!host.open(path)) return reportError(fail(kExitFailure, "cannot load plug-in '" + path + "': " + host.error()));
  const OfxPlugin* record = host.plugin();
  std::printf("plug-in: %s\nidentifier: %s\nversion: %u.%u\n", path.c_str(),
              record->pluginIdentifier ? record->pluginIdentifier : "", record->pluginVersionMajor,
              record->pluginVersionMinor);
  return kExitOK;
}

int runInfo(const std::string& plugin) {
  std::string path;
  if (Status status = locatePlugin(plugin, path); status.failed()) return reportError(status);
  PluginSession session;
  struct Closer {
    PluginSession& s;
    ~Closer() { closeSession(s); }
  } closer{session};
  std::string error;
  const MessageSink print = [](const ofxhost::Message& message) { printPluginMessage(message); };
  if (!openSession(session, path, false, print, error)) return reportError(fail(kExitFailure, error));

  const OfxPlugin* record = session.host->plugin();
  std::printf("Plug-in: %s\n", path.c_str());
  std::printf("Identifier: %s, version %u.%u (%s %d)\n", record->pluginIdentifier, record->pluginVersionMajor,
              record->pluginVersionMinor, record->pluginApi, record->apiVersion);
  const ofxhost::PropertySet& effect = *session.host->descriptor().props;
  std::printf("Effect:\n");
  line(effect, kOfxPropLabel, "label");
  line(effect, kOfxImageEffectPluginPropGrouping, "grouping");
  line(effect, kOfxImageEffectPropSupportedContexts, "contexts");
  line(effect, kOfxImageEffectPropSupportedPixelDepths, "pixel depths");
  line(effect, kOfxImageEffectPropSupportsTiles, "tiles");
  line(effect, kOfxImageEffectPropSupportsMultiResolution, "multi-resolution");
  line(effect, kOfxImageEffectPropTemporalClipAccess, "temporal clip access");
  line(effect, kOfxImageEffectPluginRenderThreadSafety, "render thread safety");

  const auto contexts = effect.get(kOfxImageEffectPropSupportedContexts);
  if (!contexts || contexts->strings.empty())
    return reportError(fail(kExitFailure, "plug-in '" + path + "' declares no context"));
  for (const std::string& context : contexts->strings) {
    const OfxStatus status = session.host->describeInContext(context);
    if (status != kOfxStatOK && status != kOfxStatReplyDefault)
      return reportError(fail(kExitFailure, "plug-in '" + path + "' failed to describe the " + context + " context (" +
                                                ofxhost::statusName(status) + ")"));
    if (const ofxhost::Effect* described = session.host->contextDescriptor(context)) printContext(*described);
  }
  return kExitOK;
}

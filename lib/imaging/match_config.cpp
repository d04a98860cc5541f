#include "imaging/colour.h"
#include "imaging/safe_file.h"
#include "support/paths.h"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

// The folder, with its links resolved when it exists.
std::string canonicalFolder(const std::string& path) {
  std::error_code ec;
  const fs::path resolved = fs::canonical(path, ec);
  return (ec ? fs::absolute(path, ec) : resolved).string();
}

OCIO::ConstTransformRcPtr inverted(const OCIO::ConstTransformRcPtr& transform) {
  OCIO::TransformRcPtr copy = transform->createEditableCopy();
  copy->setDirection(OCIO::GetInverseTransformDirection(copy->getDirection()));
  return copy;
}

// Relative search paths were relative to the original config's folder; the written one may live
// elsewhere. The config's own folder comes first (a config naming a file must have a search path).
void keepSearchPaths(const OCIO::Config& base, OCIO::Config& config) {
  std::vector<std::string> searchPaths = {"."};
  const std::string originalDir = base.getWorkingDir() ? base.getWorkingDir() : "";
  for (int i = 0; i < base.getNumSearchPaths(); ++i) {
    const std::string p = base.getSearchPath(i);
    searchPaths.push_back(p.empty() || p[0] == '/' || originalDir.empty() ? p : originalDir + "/" + p);
  }
  config.clearSearchPaths();
  for (const std::string& p : searchPaths) config.addSearchPath(p.c_str());
}

// From the reference into the Source's own values, then the match as the tool runs it: into the
// working space, the .cube (named as `cubeName`), out into the Output's space.
OCIO::GroupTransformRcPtr matchTransform(const OCIO::ColorSpace& sourceSpace, const MatchLook& look,
                                         const std::string& cubeName) {
  auto match = OCIO::GroupTransform::Create();
  if (OCIO::ConstTransformRcPtr from = sourceSpace.getTransform(OCIO::COLORSPACE_DIR_FROM_REFERENCE))
    match->appendTransform(from->createEditableCopy());
  else if (OCIO::ConstTransformRcPtr to = sourceSpace.getTransform(OCIO::COLORSPACE_DIR_TO_REFERENCE))
    match->appendTransform(inverted(to)->createEditableCopy());
  auto intoWorking = OCIO::ColorSpaceTransform::Create();
  intoWorking->setSrc(look.source.c_str());
  intoWorking->setDst(look.working.c_str());
  auto lut = OCIO::FileTransform::Create();
  lut->setSrc(cubeName.c_str());
  lut->setInterpolation(OCIO::INTERP_LINEAR);
  auto back = OCIO::ColorSpaceTransform::Create();
  back->setSrc(look.working.c_str());
  back->setDst(look.output.c_str());
  match->appendTransform(intoWorking);
  match->appendTransform(lut);
  match->appendTransform(back);
  return match;
}

}  // namespace

bool writeMatchConfig(const std::string& path, const ColourConfig& base, const MatchLook& look, std::string& error) {
  try {
    OCIO::ConfigRcPtr config = base.config->createEditableCopy();
    config->upgradeToLatestVersion();
    keepSearchPaths(*base.config, *config);
    // The .cube by its name beside the config, else by its absolute path.
    const std::string configDir = canonicalFolder(folderOf(path));
    const std::string cubeDir = canonicalFolder(folderOf(look.cube));
    const std::string cubeFile = fs::path(look.cube).filename().string();
    std::error_code ec;
    const std::string cubeName = cubeDir == configDir ? cubeFile : fs::absolute(cubeDir + "/" + cubeFile, ec).string();

    OCIO::ConstColorSpaceRcPtr sourceSpace = base.config->getColorSpace(look.source.c_str());
    if (!sourceSpace) {
      error = "the config has no colour space '" + look.source + "'";
      return false;
    }
    if (config->getColorSpace(kMatchSpace)) config->removeColorSpace(kMatchSpace);
    auto matched = OCIO::ColorSpace::Create(sourceSpace->getReferenceSpaceType());
    matched->setName(kMatchSpace);
    matched->setFamily("Vantrel");
    OCIO::ConstColorSpaceRcPtr outputSpace = base.config->getColorSpace(look.output.c_str());
    matched->setEncoding(outputSpace ? outputSpace->getEncoding() : sourceSpace->getEncoding());
    matched->setDescription(
        ("'" + look.source + "' matched in '" + look.working + "' by " + cubeFile + ", in '" + look.output + "'")
            .c_str());
    matched->setTransform(matchTransform(*sourceSpace, look, cubeName), OCIO::COLORSPACE_DIR_FROM_REFERENCE);
    config->addColorSpace(matched);
    config->validate();

    std::ostringstream text;
    config->serialize(text);
    return replaceFile(
        path,
        [&](const std::string& temporary, std::string& writeError) {
          std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
          out << text.str();
          out.close();
          if (!out) {
            writeError = "cannot write '" + path + "'";
            return false;
          }
          // What another application will do with it: read it and build the conversion.
          OCIO::ConstConfigRcPtr check = OCIO::Config::CreateFromFile(temporary.c_str());
          check->getProcessor(look.source.c_str(), kMatchSpace)->getDefaultCPUProcessor();
          return true;
        },
        error);
  } catch (const OCIO::Exception& e) {
    error = "cannot write '" + path + "': " + e.what();
    return false;
  }
}

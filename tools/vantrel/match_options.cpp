// The options of `vantrel match` and its help. The settings the plug-in takes (their options,
// choices and ranges) come from the settings table of lib/session.
#include "match_options.h"

#include "session/settings.h"

#include <cstdio>

namespace {

const char* const kMatchFooter = R"(Colour spaces:
  SOURCE and REFERENCE are converted into the working space, which is what the plug-in sees
  and what the .cube maps; the Output is converted back into its own space (below). A file's
  space is --source-space or --reference-space, else what its metadata names, else sRGB -
  Texture for integer files (8/16-bit PNG, JPEG, TIFF, DPX) and Linear Rec.709 (sRGB) for
  float files (EXR, float TIFF). Masks are data and are never converted.
  Working space by default (chosen by measurement, see docs/colour.md), per frame from its
  Source: for a Source within 1 in linear light, in Same Frame mode
  Gamma 2.4 Rec.709 - Headroom (gamma 2.4 code values scaled by 59/64: linear 0..1.22), in
  Different Clips mode Linear Rec.709 (sRGB); for a Source with more than 0.1% of its pixels
  above 1 (a scene-linear plate with highlights), the narrowest of the mode's spaces for
  highlights whose top (2, 4, 8, 16, 32 or 64) holds all but 0.1% of them: Linear Rec.709 / 2
  .. / 64 (lin_rec709_2 .. lin_rec709_64) for Different Clips, Gamma 2.4 Rec.709 - Headroom
  2 .. 8 and Log Rec.709 - Headroom 16 .. 64 (rec709_headroom_2 .., log_rec709_16 ..) for
  Same Frame. --report and --report-json say which and why. The match clips what lies
  outside 0..1 in the working space. Different Clips reads its input as linear light: a
  working space that is not gets a warning.
  The spaces come from --config FILE, else $OCIO, else the built-in set: Linear Rec.709 (sRGB)
  (lin_rec709), sRGB - Texture (srgb), Gamma 2.4 Rec.709 (rec709), Gamma 2.4 Rec.709 -
  Headroom (rec709_headroom), ACEScg (acescg), ACEScct (acescct), ACES2065-1 (aces), the
  spaces for highlights above, and the cameras' log spaces: ARRI LogC3 (EI800) - AWG (logc3),
  Sony S-Log3 - S-Gamut3 (slog3), Sony S-Log3 - S-Gamut3.Cine (slog3_cine), RED Log3G10 -
  REDWideGamutRGB (log3g10), Canon C-Log2 - Cinema Gamut (clog2), Canon C-Log3 - Cinema
  Gamut (clog3), Panasonic V-Log - V-Gamut (vlog); names, aliases and roles are taken in any
  case. A file whose metadata says it is logarithmic (a DPX's transfer characteristic, a
  Cineon file) without naming a space gets a warning: give --source-space. So does an EXR that
  names no space and whose values look like log codes: its darkest 1% of samples at 0.06 or
  above, its brightest 1% at 0.8 or below, at least 0.1 apart, at most 0.1% above 1.
  OUTPUT is written in --output-space, else the Source's space, except that an EXR is written
  in the config's scene_linear space unless the Source's space is linear light already, and a
  picture for display (JPEG, PNG, WebP, GIF, BMP, Targa, 8- or 16-bit TIFF) of a Source in
  linear light is written in sRGB (srgb). The Output names its space (EXR and PNG attributes, a
  DPX's free user data), so that matching it again needs no option.
  --ocio-config-out FILE writes a config in which converting from the Source's space to
  "Vantrel Match" applies the whole match (into the working space, the .cube, out into the
  Output's space), so that any OpenColorIO application reproduces the Output.
  --colorspace was removed: use the options above (--source-space srgb --working-space srgb
  matches sRGB code values as they stand).

Broken frames:
  The share of Source and Reference pixels with a NaN or infinite R, G or B gets a warning and
  goes into the JSON report; a Source or Reference without a single finite colour fails its
  frame (exit status 1, nothing written for it).

Files:
  OUTPUT keeps the Source's data and display windows, pixel aspect, metadata and other channels
  (passed through untouched) where its format stores them. Outputs go only to regular files or
  new paths: a directory, FIFO, socket or device is refused before anything is rendered.

Depth:
  OUTPUT keeps the Source's sample depth when its format stores it, else the nearest one it
  does (EXR: half or float; PNG: 8 or 16; JPEG: 8). --depth chooses it.

Same Frame learner (--fit):
  lattice, the tool's default, fits the whole table to the pixel pairs: the grade comes back at
  full strength, and its .cube carries to other pictures graded alike. cells is the plug-in's
  own default ("Smoothed Cells": each cell averages the pixels nearest to it, then the table is
  smoothed), which recovers about a third of a grade. The JSON report names the learner.

Different Clips learner (--dc-learner):
  content, the tool's default (chosen by measurement, see docs/colour.md): where the Reference
  shows part of the scene the Source shows (two cameras on one scene), the Reference's picture
  is found in the Source's (scale and shift; not rotation) and the match is fitted to the colours
  of the shared pixels, which leaves about a quarter of the error "statistics" leaves on such
  pictures. A frame whose pictures cannot be placed on each other with confidence (nothing
  shared, too little detail, more than one place) is matched by the statistics, and the plug-in
  says why once. statistics is the plug-in's own default ("Statistics": the Source's colour
  spread moved onto the Reference's). The JSON report names the learner.

Frames:
  With --frames A-B, SOURCE, REFERENCE, OUTPUT, the masks, --cube, --cdl and --sheet may hold a
  frame number placeholder (name.%04d.exr or name.####.exr). OUTPUT must. Each frame is rendered
  at its own time. A REFERENCE or mask without a placeholder is held for every frame; --cube,
  --cdl and --sheet without one are written once, after the last frame.

Analysis (which frames the match is learnt from; the plug-in's "Analysis" choice):
  current (the default, as the plug-in's): each frame from its own images. key: one frame,
  --key-frame N (default: the first frame of the SOURCE sequence on disk), for the whole shot.
  range: the frames of --analysis-frames A-B (default: every frame of the SOURCE sequence on
  disk) pooled into one match for the whole shot. window: at each frame, the frames within
  --window-radius N of it (default 5) pooled. --frame-step N pools every Nth frame of a range
  or window. The frames the plug-in asks for are read from the sequences (SOURCE, REFERENCE and
  masks with a placeholder; a still is the same at every frame), each file once while
  --frame-cache allows. A frame missing from any sequence is left out, with a warning for each
  frame whose match misses it; when none of a match's frames is on disk (or --analysis-frames
  lies outside the shot), the run fails before anything is written. A --key-frame outside the
  shot is taken at its nearest end, with a warning naming it. The shot's frames are those on
  disk, not --frames, so a shot split into jobs gives every frame as one run would; the files
  outside --frames that join it are named once (a warning when some lie apart from the rest,
  as a stray file does). --report and --report-json name the frames each match was learnt
  from; the JSON report has every warning, the plug-in's messages among them, with its frame.

Retries:
  Outputs appear only when complete (written under .vantrel-tmp-PID.NAME beside them). SIGINT,
  SIGTERM and SIGHUP stop the run between tiles, remove every temporary file and keep the
  finished frames; --skip-existing then renders only the frames whose outputs are missing.

Plug-in:
  --plugin PATH (a .ofx file or .ofx.bundle directory), else the first Brenvale.ofx.bundle on
  OFX_PLUGIN_PATH, else OFX/Plugins/Brenvale.ofx.bundle beside the program's directory (an
  installed vantrel), else bundle/Brenvale.ofx.bundle in the program's directory or a
  directory above it, else /usr/OFX/Plugins.

Exit status: 0 done; 1 a file, the plug-in or a render failed, or a match would have no frame
to learn from (worth a retry once fixed); 2 the command line is wrong (not worth one); 128 + the signal number when a signal stopped it (130: Ctrl-C).)";

// A number option of the table: CLI11's range check lets NaN through, so these get their own.
CLI::Validator numberIn(const ParamWord& word) {
  char range[64];
  std::snprintf(range, sizeof range, "%g..%g", word.low, word.high);
  return CLI::Validator(
      [&word](std::string& text) -> std::string {
        ofxhost::ParamValue value;
        std::string error;
        return parseParamText(word, text, value, error) ? "" : error;
      },
      range);
}

CLI::Validator integerIn(const ParamWord& word) { return CLI::Range(int(word.low), int(word.high)); }

// The plug-in's settings, from the table: choices and ranges.
void addSettings(CLI::App* match, MatchOptions& o) {
  match->add_option(kMatchMode.option, o.mode, "different: separate footage; same: two grades of one picture")
      ->check(CLI::IsMember(kMatchMode.choices))
      ->capture_default_str();
  match->add_option(kPreserve.option, o.preserve, "Keep the Source's own brightness or colours")
      ->check(CLI::IsMember(kPreserve.choices))
      ->capture_default_str();
  match
      ->add_option(kSameFrameFit.option, o.fit,
                   "Same Frame's learner: lattice (default) fits the whole table to the pixels, cells is "
                   "the plug-in's default")
      ->check(CLI::IsMember(kSameFrameFit.choices));
  match
      ->add_option(kDcLearner.option, o.dcLearner,
                   "Different Clips' learner: content (default) fits the match to the pixels the pictures share, "
                   "statistics is the plug-in's default")
      ->check(CLI::IsMember(kDcLearner.choices));
  match->add_option(kMix.option, o.mix, "How much of the match to apply (default 1)")->check(numberIn(kMix));
  match->add_option(kMixRed.option, o.mixR, "Red channel mix (default 1)")->check(numberIn(kMixRed));
  match->add_option(kMixGreen.option, o.mixG, "Green channel mix (default 1)")->check(numberIn(kMixGreen));
  match->add_option(kMixBlue.option, o.mixB, "Blue channel mix (default 1)")->check(numberIn(kMixBlue));
}

// The masks, the exports, the sheet and the reports.
void addFileOptions(CLI::App* match, MatchOptions& o) {
  match->add_option("--source-mask", o.sourceMask, "Mask of the Source pixels that count (Different Clips)");
  match->add_option("--reference-mask", o.referenceMask, "Mask of the Reference pixels that count (Different Clips)");
  match->add_option("--cube", o.cube, "Save the plug-in's .cube LUT export (mixes baked in) to FILE");
  match->add_option("--cdl", o.cdl, "Save the plug-in's .cdl export to FILE");
  match->add_option("--sheet", o.sheet, "Write a comparison sheet (Source, Reference, Output, quality) to FILE.png");
  match->add_flag("--report", o.report,
                  "Print the match quality (CIE Delta E 2000) before and after, over the "
                  "pixels the masks select (a fixed sample of up to 65536 per picture)");
  match->add_option("--report-json", o.reportJson,
                    "Write the figures of --report per frame, the settings, "
                    "warnings and timings to FILE as JSON");
}

// Sequences, the analysis over frames, and how frames are rendered.
void addFrameOptions(CLI::App* match, MatchOptions& o) {
  match->add_option("--frames", o.frames, "Frame range A-B for frame patterns");
  match
      ->add_option(kAnalysis.option, o.analysis,
                   "Frames the match is learnt from: current (each frame), key (one frame), range (a range "
                   "pooled), window (the frames around each frame pooled)")
      ->check(CLI::IsMember(kAnalysis.choices))
      ->capture_default_str();
  match->add_option(kKeyFrame.option, o.keyFrame, "With --analysis key: the frame (default: the Source's first)")
      ->check(CLI::NonNegativeNumber);
  match->add_option(kFrameRange.option, o.analysisFrames,
                    "With --analysis range: the frames A-B pooled (default: the Source's every frame)");
  match->add_option(kWindowRadius.option, o.windowRadius, "With --analysis window: frames on each side (default 5)")
      ->check(integerIn(kWindowRadius));
  match->add_option(kFrameStep.option, o.frameStep, "With range or window analysis: pool every Nth frame (default 1)")
      ->check(integerIn(kFrameStep));
  match
      ->add_option("--frame-cache", o.frameCacheMB,
                   "Megabytes of decoded frames kept for the analysis (default: half of the machine's memory)")
      ->check(CLI::PositiveNumber);
  match->add_flag("--skip-existing", o.skipExisting, "Render only the frames whose outputs are missing (a retry)");
  match->add_option("--threads", o.threads, "Tiles rendered concurrently (default: every core)")
      ->check(CLI::Range(1, 1024));
  match->add_option("--tile-size", o.tileSize, "Tile edge in pixels")
      ->check(CLI::Range(16, 16384))
      ->capture_default_str();
}

// Colour spaces, the config written, and the Output's depth.
void addColourOptions(CLI::App* match, MatchOptions& o, std::string& depth) {
  match->add_option("--config", o.config,
                    "OpenColorIO config to take the colour spaces from (default: $OCIO, "
                    "else the built-in set)");
  match->add_option("--source-space", o.sourceSpace,
                    "Colour space of SOURCE (default: its metadata, else sRGB "
                    "for integer and Linear Rec.709 for float files)");
  match->add_option("--reference-space", o.referenceSpace,
                    "Colour space of REFERENCE (default: chosen as for "
                    "SOURCE, from its own file)");
  match->add_option("--working-space", o.workingSpace,
                    "Colour space the match is made in and the .cube maps "
                    "(default: rec709_headroom for same, lin_rec709 for "
                    "different; for a Source above 1, a space that holds its highlights)");
  match->add_option("--output-space", o.outputSpace,
                    "Colour space of OUTPUT (default: the Source's; an EXR: scene_linear unless the Source's is "
                    "linear; a JPEG, PNG or integer TIFF of a linear Source: srgb)");
  match->add_option("--ocio-config-out", o.ocioConfigOut,
                    "Write an OpenColorIO config whose \"Vantrel Match\" "
                    "space applies the match to the Source's space (its "
                    ".cube: --cube, else FILE's name with .cube)");
  match->add_option("--depth", depth, "Output sample depth: 8, 16, half or float")
      ->check(CLI::IsMember({"8", "16", "half", "float"}));
}

}  // namespace

CLI::App* addMatchCommand(CLI::App& app, MatchOptions& o, std::string& depth, std::string& plugin) {
  // Defaults from the table, shown by --help.
  o.mode = fallbackChoice(kMatchMode);
  o.preserve = fallbackChoice(kPreserve);
  o.analysis = fallbackChoice(kAnalysis);
  CLI::App* match = app.add_subcommand("match", "Match SOURCE to REFERENCE and write OUTPUT");
  match->footer(kMatchFooter);
  match->add_option("SOURCE", o.source, "Source image or frame pattern")->required();
  match->add_option("REFERENCE", o.reference, "Reference image or frame pattern")->required();
  match->add_option("-o,--output", o.output, "Output image or frame pattern")->required();
  addSettings(match, o);
  addFileOptions(match, o);
  addFrameOptions(match, o);
  addColourOptions(match, o, depth);
  match->add_flag("--timings", o.timings, "Print where the time went: decode, rebuild, apply, encode");
  match
      ->add_option("--param", o.params,
                   "Set any plug-in parameter, NAME=VALUE, by its name (vantrel info lists them): a choice by its "
                   "label or index, numbers, whole numbers, 0/1 for a boolean, text; repeatable; a setting with an "
                   "option of its own sets that option, and a later --param wins")
      ->type_name("NAME=VALUE")
      ->expected(1)
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  match->add_option("--plugin", plugin, "Plug-in to load: a .ofx file or a .ofx.bundle directory");
  return match;
}

bool foldParams(MatchOptions& o, std::string& error) {
  for (const std::string& item : o.params) {
    const size_t equals = item.find('=');
    if (equals == std::string::npos || equals == 0) {
      error = "--param '" + item + "' is not NAME=VALUE";
      return false;
    }
    const std::string name = item.substr(0, equals), text = item.substr(equals + 1);
    const ParamWord* word = findParamWord(name);
    if (!word || !word->option) {
      o.pluginParams.emplace_back(word ? word->param : name, text);
      continue;
    }
    ofxhost::ParamValue value;
    if (!parseParamText(*word, text, value, error)) {
      error = "--param " + name + ": " + error;
      return false;
    }
    const auto word_of = [&](const ParamWord& w) { return w.choices[size_t(value.ints[0])]; };
    if (word == &kMatchMode) o.mode = word_of(kMatchMode);
    if (word == &kPreserve) o.preserve = word_of(kPreserve);
    if (word == &kAnalysis) o.analysis = word_of(kAnalysis);
    if (word == &kSameFrameFit) o.fit = word_of(kSameFrameFit);
    if (word == &kMix) o.mix = value.doubles[0];
    if (word == &kMixRed) o.mixR = value.doubles[0];
    if (word == &kMixGreen) o.mixG = value.doubles[0];
    if (word == &kMixBlue) o.mixB = value.doubles[0];
    if (word == &kKeyFrame) o.keyFrame = value.ints[0];
    if (word == &kWindowRadius) o.windowRadius = value.ints[0];
    if (word == &kFrameStep) o.frameStep = value.ints[0];
    if (word == &kFrameRange) o.analysisFrames = std::to_string(value.ints[0]) + "-" + std::to_string(value.ints[1]);
  }
  return true;
}

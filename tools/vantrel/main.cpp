// vantrel: runs the colour-matching plug-in on image files and sequences, as an OpenFX host.
#include "commands.h"
#include "console.h"
#include "interrupt.h"
#include "match_options.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>

namespace {

// What CLI11 would say too little about: an option that once existed, and a command word it
// does not know (it would only say that a command is missing). 0 when neither.
int refuseOldWords(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--colorspace" || std::string(argv[i]).rfind("--colorspace=", 0) == 0) {
      std::fprintf(stderr,
                   "vantrel: error: --colorspace was removed: give --source-space, --reference-space, "
                   "--working-space and --output-space (see vantrel match --help)\n");
      return kExitUsage;
    }
  if (argc > 1 && argv[1][0] != '-' && std::string(argv[1]) != "info" && std::string(argv[1]) != "match") {
    std::fprintf(stderr, "vantrel: error: unknown command '%s' (the commands are info and match)\n", argv[1]);
    return kExitUsage;
  }
  return kExitOK;
}

int run(int argc, char** argv) {
  CLI::App app{"vantrel: matches the colours of image files and sequences with the Brenvale.ofx plug-in"};
  app.require_subcommand(0, 1);
  app.footer(
      "Files are converted into a working space for the match and back (OpenColorIO): integer files\n"
      "are taken as sRGB and float files as linear Rec.709 unless their metadata or --source-space\n"
      "says otherwise. --colorspace was removed. See vantrel match --help.");
  std::string plugin;
  bool version = false, quiet = false, verbose = false;
  app.add_flag("--version", version, "Print the tool's version and the plug-in's file, identifier and version");
  app.add_option("--plugin", plugin, "With --version: the plug-in to load (a .ofx file or .ofx.bundle directory)");
  auto addVerbosity = [&](CLI::App* command) {
    CLI::Option* q = command->add_flag("-q,--quiet", quiet,
                                       "Print nothing but errors (and what --report and "
                                       "--timings ask for)");
    command->add_flag("-v,--verbose", verbose, "Also show the plug-in's own diagnostic lines")->excludes(q);
  };

  CLI::App* info = app.add_subcommand("info", "Show the effect as a host sees it: contexts, clips, parameters");
  info->add_option("--plugin", plugin, "Plug-in to load: a .ofx file or a .ofx.bundle directory");
  addVerbosity(info);

  MatchOptions o;
  std::string depth;
  CLI::App* match = addMatchCommand(app, o, depth, plugin);
  addVerbosity(match);

  if (const int status = refuseOldWords(argc, argv)) return status;
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "vantrel: error: %s (see vantrel --help)\n", e.what());
    return kExitUsage;
  }

  if (!info->parsed() && !match->parsed()) {
    if (version) return runVersion(plugin);
    std::fprintf(stderr, "vantrel: error: A subcommand is required: info or match (see vantrel --help)\n");
    return kExitUsage;
  }
  startConsole(quiet ? Verbosity::Quiet : verbose ? Verbosity::Verbose : Verbosity::Normal);
  struct Stop {
    ~Stop() { stopConsole(); }
  } stop;
  if (info->parsed()) return runInfo(plugin);
  o.plugin = plugin;
  if (!depth.empty()) parseDepth(depth, o.depth);
  return runMatch(o);
}

}  // namespace

int main(int argc, char** argv) {
  // Under a file size limit (a farm's quota) a write must fail and be reported, not end the
  // process by signal and leave a temporary file behind.
  std::signal(SIGXFSZ, SIG_IGN);
  // A reader of --report that goes away (`| head`) must not end the run mid-write either.
  std::signal(SIGPIPE, SIG_IGN);
  installInterruptHandlers();
  int status;
  try {
    status = run(argc, argv);
  } catch (const std::bad_alloc&) {
    status = reportError(fail(kExitFailure, "out of memory"));
  } catch (const std::exception& e) {
    status = reportError(fail(kExitFailure, e.what()));
  }
  stopConsole();
  return status;
}

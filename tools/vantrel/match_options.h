// `vantrel match`'s command line: its options, with the settings the plug-in takes made from the
// settings table of lib/session, and its help.
#pragma once

#include "commands.h"

#include <CLI/CLI.hpp>

#include <string>

// The match subcommand of `app`, filling `o`, `depth` (--depth as given) and `plugin` (--plugin,
// which the other commands share) when it is parsed.
CLI::App* addMatchCommand(CLI::App& app, MatchOptions& o, std::string& depth, std::string& plugin);

// Reads the --param settings: one of a setting with an option of its own sets that option, as if
// it had been given (so that the run is planned for it); any other is kept for the instance. False
// with `error` for text that is not NAME=VALUE or a value the setting does not take.
bool foldParams(MatchOptions& o, std::string& error);

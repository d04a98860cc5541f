// `vantrel match`'s command line: its options, with the settings the plug-in takes made from the
// settings table of lib/session, and its help.
#pragma once

#include "commands.h"

#include <CLI/CLI.hpp>

#include <string>

// The match subcommand of `app`, filling `o`, `depth` (--depth as given) and `plugin` (--plugin,
// which the other commands share) when it is parsed.
CLI::App* addMatchCommand(CLI::App& app, MatchOptions& o, std::string& depth, std::string& plugin);

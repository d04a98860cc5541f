// What the tool prints on standard error, and what it lets through of the plug-in's own
// diagnostic lines ("Vantrel: ..."), which the plug-in writes straight to file descriptor 2,
// possibly from several render threads.
#pragma once

#include "host/ofx_host.h"
#include "session/plugin_session.h"

#include <string>
#include <utility>
#include <vector>

enum class Verbosity {
  Quiet,    // errors only
  Normal,   // the tool's notes and warnings, and the plug-in's lines that report a failure
  Verbose,  // everything the plug-in prints too
};

// Routes descriptor 2 through a filter thread (Quiet and Normal) and remembers whether it was a
// terminal. Call once, before the plug-in is loaded.
void startConsole(Verbosity verbosity);
// Lets the filter pass what it still holds and puts descriptor 2 back. Safe to call twice.
void stopConsole();

Verbosity verbosity();
// Whether standard error was a terminal before the filter took it.
bool errorIsTerminal();

// What starts each of the tool's lines: on a terminal, a return and erase-line, so a line never
// lands after a progress bar drawn on the same row; elsewhere nothing.
const char* lineStart();

// "vantrel: warning: TEXT" and "vantrel: TEXT", both left out by Quiet; "vantrel: error: TEXT",
// always.
void printWarning(const std::string& text);
void printNote(const std::string& text);
void printError(const std::string& text);

// Paths the plug-in names that stand for others (a temporary file for its target): its messages
// are shown with the second.
using PathAliases = std::vector<std::pair<std::string, std::string>>;
// "plug-in TYPE: TEXT" on one line, with the paths the aliases stand for.
std::string pluginMessageText(const ofxhost::Message& message, const PathAliases& aliases = {});
// "vantrel: plug-in TYPE: TEXT", as a message arrives (only errors when quiet).
void printPluginMessage(const ofxhost::Message& message, const PathAliases& aliases = {});

#include "console.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <thread>

namespace {

// Lines that are not the tool's: the plug-in's diagnostics, and the image library's debugging
// notes (about metadata a format cannot store), which only --verbose shows.
const char* const kHeldPrefixes[] = {"Vantrel: ", "OIIO DEBUG: "};

// 1: `line` starts with a held prefix; 0: it may still become one; -1: it cannot.
int heldLine(const std::string& line) {
  bool maybe = false;
  for (const std::string prefix : kHeldPrefixes) {
    const size_t common = std::min(line.size(), prefix.size());
    if (line.compare(0, common, prefix, 0, common) == 0) {
      if (line.size() >= prefix.size()) return 1;
      maybe = true;
    }
  }
  return maybe ? 0 : -1;
}

Verbosity gVerbosity = Verbosity::Normal;
bool gTerminal = false;
int gSavedError = -1;  // the real standard error while the filter runs
std::thread gFilter;

void writeAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += size_t(n);
  }
}

// Passes the tool's own output at once, partial lines included (the progress bar redraws one
// line), and holds a line that starts like someone else's until it is complete.
void filterLoop(int in, int out, Verbosity verbosity) {
  std::string line;      // the start of the current line, while undecided or held
  bool passing = false;  // the current line is the tool's and goes straight out
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    std::string pass;
    for (ssize_t i = 0; i < n; ++i) {
      const char c = buffer[i];
      if (passing) {
        pass += c;
        passing = c != '\n';
        continue;
      }
      line += c;
      const int held = heldLine(line);
      if (held < 0) {
        pass += line;
        passing = c != '\n';
        line.clear();
      } else if (c == '\n') {
        // A whole held line: only the plug-in's reports of a failure pass, and not when quiet.
        if (verbosity == Verbosity::Normal && line.compare(0, 9, kDiagnosticPrefix) == 0 && isFailureDiagnostic(line))
          pass += line;
        line.clear();
      }
    }
    writeAll(out, pass);
  }
  if (!line.empty() && verbosity != Verbosity::Quiet) writeAll(out, line);
}

}  // namespace

void startConsole(Verbosity verbosity) {
  gVerbosity = verbosity;
  gTerminal = isatty(2) != 0;
  if (verbosity == Verbosity::Verbose || gSavedError >= 0) return;  // verbose: everything as written
  int ends[2];
  if (pipe(ends) != 0) return;
  const int saved = dup(2);
  if (saved < 0 || dup2(ends[1], 2) < 0) {
    close(ends[0]);
    close(ends[1]);
    if (saved >= 0) close(saved);
    return;
  }
  close(ends[1]);
  gSavedError = saved;
  const int in = ends[0];
  gFilter = std::thread([in, saved, verbosity] {
    filterLoop(in, saved, verbosity);
    close(in);
  });
}

void stopConsole() {
  if (gSavedError < 0) return;
  std::fflush(stderr);
  // Descriptor 2 was the pipe's last write end: putting it back lets the filter see the end.
  dup2(gSavedError, 2);
  if (gFilter.joinable()) gFilter.join();
  close(gSavedError);
  gSavedError = -1;
}

Verbosity verbosity() { return gVerbosity; }
const char* lineStart() { return gTerminal ? "\r\033[K" : ""; }
bool errorIsTerminal() { return gTerminal; }

void printWarning(const std::string& text) {
  if (gVerbosity != Verbosity::Quiet) std::fprintf(stderr, "%svantrel: warning: %s\n", lineStart(), text.c_str());
}

void printNote(const std::string& text) {
  if (gVerbosity != Verbosity::Quiet) std::fprintf(stderr, "%svantrel: %s\n", lineStart(), text.c_str());
}

void printError(const std::string& text) { std::fprintf(stderr, "%svantrel: error: %s\n", lineStart(), text.c_str()); }

std::string pluginMessageText(const ofxhost::Message& message, const PathAliases& aliases) {
  std::string text = message.text;
  std::replace(text.begin(), text.end(), '\n', ' ');
  for (const auto& [from, to] : aliases)
    for (size_t at = text.find(from); !from.empty() && at != std::string::npos; at = text.find(from, at + to.size()))
      text.replace(at, from.size(), to);
  return "plug-in " + message.type + ": " + text;
}

void printPluginMessage(const ofxhost::Message& message, const PathAliases& aliases) {
  if (gVerbosity == Verbosity::Quiet && message.type != kOfxMessageError) return;
  std::fprintf(stderr, "%svantrel: %s\n", lineStart(), pluginMessageText(message, aliases).c_str());
  std::fflush(stderr);
}

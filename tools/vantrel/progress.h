// Progress of a sequence on standard error: a bar redrawn in place on a terminal, plain lines otherwise.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>

struct Progress {
  FILE* stream = stderr;
  bool terminal = false;
  int total = 0;
  int done = 0;
  std::chrono::steady_clock::time_point start;
};

// `terminal`: draw a bar redrawn in place; else one plain line per frame.
Progress startProgress(int totalFrames, FILE* stream, bool terminal);
void reportFrame(Progress& progress, int frame);
// Ends the bar's line and prints the summary.
void finishProgress(Progress& progress);

// "1:05" style, for the time remaining.
std::string formatDuration(double seconds);
// The line for the current state, without its leading carriage return or trailing newline.
std::string progressLine(const Progress& progress, int frame, double elapsedSeconds);

#include "plugin/messages.h"

#include <cstdio>

#include "plugin/plugin.h"

void logLine(const char* line) {
  fputs(line, stderr);
  fflush(stderr);
}

void notifyUser(OfxImageEffectHandle effect, const char* type, const char* text) {
  // The text goes through "%s" so that a '%' in a path is shown rather than interpreted.
  if (gMessageSuite && gMessageSuite->message) gMessageSuite->message(effect, type, nullptr, "%s", text);
}

void warnUser(OfxImageEffectHandle effect, const char* text) {
  char line[600];
  std::snprintf(line, sizeof line, "Vantrel: %s\n", text);
  logLine(line);
  notifyUser(effect, kOfxMessageWarning, text);
}

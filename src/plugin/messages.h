// How the actions report: diagnostic lines on standard error, and messages the user sees
// through the host's message suite.
#pragma once

#include "ofx/ofx_api.h"

// Writes one line (the text carries its own line feed).
void logLine(const char* line);

// Sends text of the given type ("OfxMessageError", "OfxMessageMessage") to the user, shown as it
// stands. Nothing is sent when the host has no message suite.
void notifyUser(OfxImageEffectHandle effect, const char* type, const char* text);

// Writes "Vantrel: TEXT" on standard error and sends TEXT to the user as a warning.
void warnUser(OfxImageEffectHandle effect, const char* text);

// Stopping a run on SIGINT, SIGTERM or SIGHUP without leaving partial files behind.
//
// The first signal only asks the run to stop: the render loop looks at stopRequest() between
// tiles and steps, so every temporary file is removed by the code that made it and the plug-in
// finishes any export it is writing. A second signal ends the process at once, after removing the
// temporary files still registered (imaging/safe_file.h). Either way the exit status is
// 128 + signal.
#pragma once

#include <atomic>

void installInterruptHandlers();
// The signal that asked the run to stop, or 0: the flag the libraries' long loops look at.
const std::atomic<int>& stopRequest();
int interruptSignal();
const char* signalName(int signal);

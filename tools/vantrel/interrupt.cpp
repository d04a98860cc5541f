#include "interrupt.h"

#include "imaging/safe_file.h"

#include <unistd.h>

#include <csignal>
#include <cstring>

namespace {

std::atomic<int> gSignal{0};

void onSignal(int signal) {
  int expected = 0;
  if (gSignal.compare_exchange_strong(expected, signal)) return;
  removeTemporaryFiles();
  _exit(128 + signal);
}

}  // namespace

void installInterruptHandlers() {
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

const std::atomic<int>& stopRequest() { return gSignal; }

int interruptSignal() { return gSignal.load(); }

const char* signalName(int signal) {
  switch (signal) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

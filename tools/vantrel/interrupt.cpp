#include "interrupt.h"

#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace {

std::atomic<int> gSignal{0};

// The signal handler can only walk fixed storage: a few slots of plain characters.
constexpr int kSlots = 32;
constexpr size_t kPathBytes = 4096;
struct Slot {
  std::atomic<bool> used{false};
  char path[kPathBytes];
};
Slot gSlots[kSlots];
std::atomic<bool> gClaimed[kSlots];

void onSignal(int signal) {
  int expected = 0;
  if (gSignal.compare_exchange_strong(expected, signal)) return;
  for (Slot& slot : gSlots)
    if (slot.used.load()) unlink(slot.path);
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

TemporaryFile::TemporaryFile(std::string path) : path_(std::move(path)) {
  if (path_.size() >= kPathBytes) return;
  for (int i = 0; i < kSlots; ++i) {
    bool free = false;
    if (gClaimed[i].compare_exchange_strong(free, true)) {
      std::memcpy(gSlots[i].path, path_.c_str(), path_.size() + 1);
      gSlots[i].used.store(true);
      slot_ = i;
      return;
    }
  }
}

void TemporaryFile::keep() {
  kept_ = true;
  if (slot_ >= 0) {
    gSlots[slot_].used.store(false);
    gClaimed[slot_].store(false);
    slot_ = -1;
  }
}

TemporaryFile::~TemporaryFile() {
  if (!kept_) std::remove(path_.c_str());
  keep();
}

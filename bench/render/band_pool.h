// Renders a frame as horizontal bands on several threads at once, the way a host renders tiles.
// The calling thread takes the first band; the others go to workers that live as long as the
// pool and spin between frames, so no thread is started or woken inside a timed loop (on a busy
// machine a freshly started thread can wait milliseconds for a core).
#pragma once

#include <immintrin.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

class BandPool {
 public:
  // fn(y1, y2) renders rows y1 .. y2 - 1.
  BandPool(int threads, int height, std::function<void(int, int)> fn)
      : threads_(threads), height_(height), fn_(std::move(fn)) {
    for (int t = 1; t < threads_; ++t) workers_.emplace_back([this, t] { work(t); });
  }
  ~BandPool() {
    stop_ = true;
    round_.fetch_add(1);
    for (std::thread& w : workers_) w.join();
  }
  BandPool(const BandPool&) = delete;
  BandPool& operator=(const BandPool&) = delete;

  // One frame: returns when every band is done.
  void run() {
    pending_.store(threads_ - 1);
    round_.fetch_add(1);
    band(0);
    while (pending_.load() != 0) _mm_pause();
  }

 private:
  void band(int t) { fn_(height_ * t / threads_, height_ * (t + 1) / threads_); }

  void work(int t) {
    for (int seen = 0;;) {
      int round;
      while ((round = round_.load()) == seen) _mm_pause();
      seen = round;
      if (stop_) return;
      band(t);
      pending_.fetch_sub(1);
    }
  }

  const int threads_;
  const int height_;
  const std::function<void(int, int)> fn_;
  std::vector<std::thread> workers_;
  std::atomic<int> round_{0};
  std::atomic<int> pending_{0};
  std::atomic<bool> stop_{false};
};

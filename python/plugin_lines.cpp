#include "plugin_lines.h"

#include "session/plugin_session.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace pyvantrel {

namespace {

// Written after descriptor 2 is back, so that the reader has handled everything before it. It
// starts with a byte that text does not hold.
const std::string kEnd = std::string(1, '\0') + "vantrel-capture-end\n";
const std::string kPrefix = kDiagnosticPrefix;

// One pipe and the thread that reads it until every write end is closed (a child process may
// keep one after the capture ends: what it writes still goes on).
struct Reader {
  int in = -1;   // the pipe's read end
  int out = -1;  // the real standard error
  std::mutex lock;
  std::condition_variable changed;
  bool ended = false;  // the end mark was read
};

std::mutex gLock;
int gUsers = 0;
int gSaved = -1;     // the real standard error, put back by the last capture
int gWriteEnd = -1;  // the module's own write end, for the end mark
std::shared_ptr<Reader> gReader;
std::vector<std::string> gLines;

void writeAll(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += size_t(n);
  }
}

// Text goes on at once, partial lines included, except a line that starts like the plug-in's:
// held until it is whole, then kept.
class Filter {
 public:
  explicit Filter(int out) : out_(out) {}
  void take(char c) {
    if (passing_) {
      pass_ += c;
      passing_ = c != '\n';
      return;
    }
    line_ += c;
    const size_t common = std::min(line_.size(), kPrefix.size());
    if (line_.compare(0, common, kPrefix, 0, common) != 0) {
      pass_ += line_;
      passing_ = c != '\n';
      line_.clear();
    } else if (c == '\n') {
      std::lock_guard<std::mutex> hold(gLock);
      gLines.push_back(line_.substr(kPrefix.size(), line_.size() - kPrefix.size() - 1));
      line_.clear();
    }
  }
  void flush() {
    writeAll(out_, pass_);
    pass_.clear();
  }
  void finish() {
    pass_ += line_;
    line_.clear();
    flush();
  }

 private:
  int out_;
  std::string line_, pass_;
  bool passing_ = false;
};

void readLoop(const std::shared_ptr<Reader>& reader) {
  Filter filter(reader->out);
  std::string mark;  // bytes that may be the start of the end mark
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(reader->in, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t i = 0; i < n; ++i) {
      if (mark.empty() && buffer[i] != kEnd[0]) {
        filter.take(buffer[i]);
        continue;
      }
      mark += buffer[i];
      if (mark == kEnd) {
        mark.clear();
        filter.flush();
        std::lock_guard<std::mutex> hold(reader->lock);
        reader->ended = true;
        reader->changed.notify_all();
      } else if (kEnd.compare(0, mark.size(), mark) != 0) {
        for (char c : mark) filter.take(c);
        mark.clear();
      }
    }
    filter.flush();
  }
  filter.finish();
  close(reader->in);
  close(reader->out);
  std::lock_guard<std::mutex> hold(reader->lock);
  reader->ended = true;
  reader->changed.notify_all();
}

// Called with gLock held, for the first capture.
void start() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return;
  auto reader = std::make_shared<Reader>();
  reader->in = ends[0];
  reader->out = fcntl(2, F_DUPFD_CLOEXEC, 3);
  const int saved = fcntl(2, F_DUPFD_CLOEXEC, 3);
  std::fflush(stderr);
  if (reader->out < 0 || saved < 0 || dup2(ends[1], 2) < 0) {
    for (int fd : {ends[0], ends[1], reader->out, saved})
      if (fd >= 0) close(fd);
    return;
  }
  try {
    std::thread(readLoop, reader).detach();
  } catch (const std::system_error&) {
    dup2(saved, 2);
    for (int fd : {ends[0], ends[1], reader->out, saved}) close(fd);
    return;
  }
  gSaved = saved;
  gWriteEnd = ends[1];
  gReader = std::move(reader);
}

}  // namespace

LineCapture::LineCapture() {
  std::lock_guard<std::mutex> hold(gLock);
  if (gUsers++ == 0) start();
}

LineCapture::~LineCapture() {
  std::vector<std::string> lines = finish();
  std::lock_guard<std::mutex> hold(gLock);
  gLines.insert(gLines.begin(), lines.begin(), lines.end());
}

std::vector<std::string> LineCapture::finish() {
  if (finished_) return {};
  finished_ = true;
  std::shared_ptr<Reader> reader;
  {
    std::lock_guard<std::mutex> hold(gLock);
    if (--gUsers == 0 && gReader) {
      std::fflush(stderr);
      dup2(gSaved, 2);
      close(gSaved);
      writeAll(gWriteEnd, kEnd);
      close(gWriteEnd);
      gSaved = gWriteEnd = -1;
      reader = std::move(gReader);
    }
  }
  if (reader) {
    std::unique_lock<std::mutex> hold(reader->lock);
    reader->changed.wait(hold, [&] { return reader->ended; });
  }
  std::vector<std::string> lines;
  std::lock_guard<std::mutex> hold(gLock);
  lines.swap(gLines);
  return lines;
}

}  // namespace pyvantrel

// The Slurm commands of docs/farm.md, run as printed on a private one-node cluster
// (scripts/slurm-cluster): a 24-frame shot of 1920x1080 EXRs split into a job array with a
// dependent exports job, a task cancelled mid-shot and the array submitted again, and the exit
// statuses the scheduler records (0, 1, 2 and 128 + SIGTERM).
#include "support.h"

#include <gtest/gtest.h>

#include <OpenImageIO/imageio.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr int kFirst = 1001, kLast = 1024, kChunk = 4, kTasks = 6;
// Far above what the shot needs even on a loaded machine, well below CTest's limit.
constexpr auto kJobTimeout = std::chrono::seconds(240);

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string frameName(int frame) { return "shot." + std::to_string(frame) + ".exr"; }

// Plates as a facility would hand them over: half float, PIZ compressed.
bool writePlate(const std::string& path, const Image& image) {
  auto out = OIIO::ImageOutput::create(path);
  OIIO::ImageSpec header(image.width, image.height, 4, OIIO::TypeDesc::HALF);
  header.attribute("compression", "piz");
  return out && out->open(path, header) && out->write_image(OIIO::TypeDesc::FLOAT, image.pixels.data()) && out->close();
}

struct Task {
  int index = -1;  // array task index, -1 for a job that is not an array
  std::string state, exitCode, start, end;
};

// "JobState=COMPLETED ExitCode=0:0 ..." of each task of a job, by array index.
std::map<int, Task> parseJob(const std::string& scontrolOutput) {
  std::map<int, Task> tasks;
  std::istringstream lines(scontrolOutput);
  for (std::string line; std::getline(lines, line);) {
    Task task;
    std::istringstream words(line);
    for (std::string word; words >> word;) {
      const size_t eq = word.find('=');
      const std::string key = word.substr(0, eq), value = eq == std::string::npos ? "" : word.substr(eq + 1);
      if (key == "ArrayTaskId")
        task.index = std::atoi(value.c_str());
      else if (key == "JobState")
        task.state = value;
      else if (key == "ExitCode")
        task.exitCode = value;
      else if (key == "StartTime")
        task.start = value;
      else if (key == "EndTime")
        task.end = value;
    }
    if (!task.state.empty()) tasks[task.index] = task;
  }
  return tasks;
}

std::string describe(const std::map<int, Task>& tasks) {
  std::string text;
  for (const auto& [index, task] : tasks)
    text += std::to_string(index) + ": " + task.state + " " + task.exitCode + "\n";
  return text;
}

// The one task of a job that is not an array.
Task single(const std::map<int, Task>& tasks) { return tasks.size() == 1 ? tasks.begin()->second : Task{}; }

struct Submission {
  std::string frames, exports;  // job ids
};

timespec modified(const std::string& path) {
  struct stat st {};
  stat(path.c_str(), &st);
  return st.st_mtim;
}

class SlurmFarm : public ::testing::Test {
 protected:
  static inline std::unique_ptr<ScratchDir> root;
  static inline std::string conf, skipReason, setupError;

  static void SetUpTestSuite() {
    if (geteuid() != 0) {
      skipReason = "the Slurm farm test needs root to run its private cluster's daemons: skipped";
      std::fprintf(stderr, "%s\n", skipReason.c_str());
      return;
    }
    root = std::make_unique<ScratchDir>();
    // The watchdog stops the daemons when this process ends, even if it is killed.
    const ToolRun started = runTool("/bin/bash", {VANTREL_SOURCE_DIR "/scripts/slurm-cluster", "start",
                                                  *root / "cluster", "--watch", std::to_string(getpid())});
    if (started.status != 0) {
      setupError = "the private cluster did not start: " + started.err;
      return;
    }
    conf = *root / "cluster/slurm.conf";

    fs::create_directories(*root / "plates");
    fs::create_directories(*root / "grade");
    fs::create_directories(*root / "whole");
    bool written = writePlate(*root / "grade/reference.exr", testPicture(1920, 1080, 40));
    for (int frame = kFirst; frame <= kLast; ++frame)
      written = written && writePlate(*root / ("plates/" + frameName(frame)), testPicture(1920, 1080, frame));
    if (!written) {
      setupError = "cannot write the shot's plates";
      return;
    }
    // The shot rendered by one process, which every split must reproduce.
    const ToolRun whole = runTool(toolPath(),
                                  {"match", "plates/shot.%04d.exr", "grade/reference.exr", "-o", "whole/shot.%04d.exr",
                                   "--frames", std::to_string(kFirst) + "-" + std::to_string(kLast)},
                                  {}, root->path);
    if (whole.status != 0) setupError = "the single-process render failed: " + whole.err;
  }

  static void TearDownTestSuite() {
    if (root) runTool("/bin/bash", {VANTREL_SOURCE_DIR "/scripts/slurm-cluster", "stop", *root / "cluster"});
    root.reset();
  }

  void SetUp() override {
    if (!skipReason.empty()) GTEST_SKIP() << skipReason;
    ASSERT_TRUE(setupError.empty()) << setupError;
  }

  // A shot folder holding the plates (all, or the first `frames`, less `missing`), the grade
  // and the documented batch scripts.
  std::string newShot(const std::string& name, int frames = kLast - kFirst + 1, int missing = 0) {
    const std::string shot = *root / name;
    fs::create_directories(shot + "/plates");
    for (int frame = kFirst; frame < kFirst + frames; ++frame)
      if (frame != missing)
        fs::create_symlink(*root / ("plates/" + frameName(frame)), shot + "/plates/" + frameName(frame));
    fs::create_directory_symlink(*root / "grade", shot + "/grade");
    const std::string doc = VANTREL_SOURCE_DIR "/docs/farm.md";
    std::ofstream(shot + "/match-frames.sbatch") << documentedExample(doc, "<!-- example: slurm-frames -->");
    std::ofstream(shot + "/match-exports.sbatch") << documentedExample(doc, "<!-- example: slurm-exports -->");
    return shot;
  }

  // A shell command run in `dir` against the private cluster, with the built vantrel on PATH.
  static ToolRun shell(const std::string& command, const std::string& dir) {
    const std::string path =
        fs::path(toolPath()).parent_path().string() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    return runTool("/bin/bash", {"-e", "-c", command}, {"SLURM_CONF=" + conf, "PATH=" + path}, dir);
  }

  // The documented submission commands, as printed.
  static Submission submit(const std::string& shot) {
    const std::string commands =
        documentedExample(VANTREL_SOURCE_DIR "/docs/farm.md", "<!-- example: slurm-submit -->");
    EXPECT_NE(commands.find("FIRST_FRAME=" + std::to_string(kFirst) + " LAST_FRAME=" + std::to_string(kLast) +
                            " CHUNK=" + std::to_string(kChunk)),
              std::string::npos)
        << "the test's shot no longer matches the documented one:\n"
        << commands;
    const ToolRun run = shell(commands, shot);
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    Submission ids;
    char frames[32] = "", exports[32] = "";
    if (std::sscanf(run.out.c_str(), "frames: job %31[0-9], exports: job %31[0-9]", frames, exports) == 2) {
      ids.frames = frames;
      ids.exports = exports;
    }
    EXPECT_FALSE(ids.exports.empty()) << run.out;
    return ids;
  }

  static std::map<int, Task> job(const std::string& id) {
    return parseJob(shell("scontrol -o show job " + id, "/").out);
  }

  // Until the cluster has nothing queued or running.
  static void waitForIdle() {
    const auto deadline = std::chrono::steady_clock::now() + kJobTimeout;
    for (;;) {
      const ToolRun queue = shell("squeue -h", "/");
      ASSERT_EQ(queue.status, 0) << queue.err;
      if (queue.out.empty()) return;
      ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "jobs still queued or running:\n" << queue.out;
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
  }

  // The shot's output folder holds exactly the given frames, each identical to the
  // single-process render.
  static void expectFrames(const std::string& shot, const std::vector<int>& frames) {
    std::vector<std::string> expected, found;
    for (int frame : frames) expected.push_back(frameName(frame));
    for (const auto& entry : fs::directory_iterator(shot + "/matched"))
      found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    ASSERT_EQ(found, expected) << "in " << shot << "/matched";
    for (int frame : frames) {
      const Image split = readRawImage(shot + "/matched/" + frameName(frame));
      const Image whole = readRawImage(*root / ("whole/" + frameName(frame)));
      ASSERT_EQ(split.pixels.size(), whole.pixels.size()) << frame;
      EXPECT_EQ(std::memcmp(split.pixels.data(), whole.pixels.data(), split.pixels.size() * sizeof(float)), 0)
          << "frame " << frame << " differs from the single-process render";
    }
  }
};

std::vector<int> allFrames() {
  std::vector<int> frames;
  for (int frame = kFirst; frame <= kLast; ++frame) frames.push_back(frame);
  return frames;
}

TEST_F(SlurmFarm, TheDocumentedArrayRendersTheShotAsOneProcessDoesThenExports) {
  const std::string shot = newShot("array");
  const Submission ids = submit(shot);
  waitForIdle();

  const auto tasks = job(ids.frames);
  ASSERT_EQ(tasks.size(), size_t(kTasks)) << describe(tasks);
  const Task exports = single(job(ids.exports));
  for (const auto& [index, task] : tasks) {
    EXPECT_EQ(task.state + " " + task.exitCode, "COMPLETED 0:0") << "task " << index;
    EXPECT_LE(task.end, exports.start) << "the exports started before task " << index << " ended";
  }
  EXPECT_EQ(exports.state + " " + exports.exitCode, "COMPLETED 0:0");
  expectFrames(shot, allFrames());
  for (const char* look : {"look.cube", "look.cdl", "sheet.png"})
    EXPECT_GT(fs::file_size(shot + "/looks/" + look), 0u) << look;

  // Each task's log: one plain line per frame of its own chunk, in order.
  for (int index = 0; index < kTasks; ++index) {
    const std::string log = slurp(shot + "/logs/match-frames." + ids.frames + "_" + std::to_string(index) + ".log");
    EXPECT_EQ(log.find_first_of("\r\033"), std::string::npos) << log;
    std::istringstream lines(log);
    std::vector<int> done;
    for (std::string line; std::getline(lines, line);) {
      int frame = 0;
      if (std::sscanf(line.c_str(), "vantrel: frame %d done", &frame) == 1) done.push_back(frame);
    }
    const int first = kFirst + index * kChunk;
    EXPECT_EQ(done, std::vector<int>({first, first + 1, first + 2, first + 3})) << log;
  }
}

TEST_F(SlurmFarm, ACancelledTaskIsFinishedByTheResubmittedArrayWithoutRenderingFramesAgain) {
  const std::string shot = newShot("retry");
  const Submission first = submit(shot);

  // Cancel task 2 once it has finished a frame, so it stops in the middle of its chunk.
  const std::string victim = first.frames + "_2";
  const std::string log = shot + "/logs/match-frames." + victim + ".log";
  const auto deadline = std::chrono::steady_clock::now() + kJobTimeout;
  while (slurp(log).find(" done (") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "task 2 never finished a frame";
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const ToolRun cancelled = shell("scancel " + victim, "/");
  ASSERT_EQ(cancelled.status, 0) << cancelled.err;
  waitForIdle();

  const auto tasks = job(first.frames);
  ASSERT_EQ(tasks.size(), size_t(kTasks)) << describe(tasks);
  // vantrel's own exit status after SIGTERM, 128 + 15, is what the scheduler records.
  EXPECT_EQ(tasks.at(2).state + " " + tasks.at(2).exitCode, "CANCELLED 143:0") << describe(tasks);
  EXPECT_EQ(slurp(log).find_first_of("\r\033"), std::string::npos);
  EXPECT_EQ(single(job(first.exports)).state, "CANCELLED") << "the exports ran although a task did not";

  // Only whole frames are left, and at least one of task 2's is missing.
  std::vector<int> finished;
  std::map<int, timespec> times;
  for (int frame = kFirst; frame <= kLast; ++frame) {
    const std::string path = shot + "/matched/" + frameName(frame);
    if (fs::exists(path)) {
      finished.push_back(frame);
      times[frame] = modified(path);
    }
  }
  ASSERT_LT(finished.size(), size_t(kLast - kFirst + 1)) << "task 2 finished before it was cancelled";
  expectFrames(shot, finished);

  // The same commands again: the missing frames are rendered, the others left as they were.
  const Submission second = submit(shot);
  waitForIdle();
  for (const auto& [index, task] : job(second.frames))
    EXPECT_EQ(task.state + " " + task.exitCode, "COMPLETED 0:0") << "task " << index;
  EXPECT_EQ(single(job(second.exports)).state, "COMPLETED");
  expectFrames(shot, allFrames());
  for (const auto& [frame, time] : times) {
    const timespec now = modified(shot + "/matched/" + frameName(frame));
    EXPECT_TRUE(now.tv_sec == time.tv_sec && now.tv_nsec == time.tv_nsec) << "frame " << frame << " was rendered again";
  }
}

// 1 (a file failed: resubmit once mended) and 2 (the command line is wrong: do not) reach the
// scheduler as the task's exit code, and a failed task holds back the exports.
TEST_F(SlurmFarm, TheSchedulerRecordsWhyATaskFailed) {
  const std::string missing = newShot("missing", kLast - kFirst + 1, 1010);
  const Submission ids = submit(missing);
  // An array larger than the shot: its extra task gets a reversed frame range.
  const std::string oversized = newShot("oversized", kChunk);
  const ToolRun run = shell(
      "export FIRST_FRAME=1001 LAST_FRAME=1004 CHUNK=4\n"
      "mkdir -p logs matched\n"
      "sbatch --parsable --array=0-1 match-frames.sbatch",
      oversized);
  ASSERT_EQ(run.status, 0) << run.err;
  waitForIdle();

  const auto tasks = job(ids.frames);
  for (const auto& [index, task] : tasks)
    EXPECT_EQ(task.state + " " + task.exitCode, index == 2 ? "FAILED 1:0" : "COMPLETED 0:0") << "task " << index;
  EXPECT_NE(slurp(missing + "/logs/match-frames." + ids.frames + "_2.log")
                .find("vantrel: error: SOURCE 'plates/shot.1010.exr' does not exist"),
            std::string::npos);
  EXPECT_EQ(single(job(ids.exports)).state, "CANCELLED");

  const auto extra = job(run.out.substr(0, run.out.find_first_not_of("0123456789")));
  ASSERT_EQ(extra.size(), 2u) << describe(extra);
  EXPECT_EQ(extra.at(0).state + " " + extra.at(0).exitCode, "COMPLETED 0:0");
  EXPECT_EQ(extra.at(1).state + " " + extra.at(1).exitCode, "FAILED 2:0");
}

}  // namespace

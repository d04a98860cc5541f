// Exports that cannot be written, and a host whose memory runs out at creation: the instance
// stays usable, earlier files stay whole, and the user hears what happened.
#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <filesystem>
#include <iterator>
#include <string>

#include "reliability_support.h"

using namespace reliability;

namespace {

const std::string kMixLine = "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\n";

ofxhost::TestingOptions capturing() {
  ofxhost::TestingOptions options;
  options.captureStderr = true;
  return options;
}

// Unwritable folders and file size limits are POSIX matters, checked in child processes; the
// Windows build checks its own refusals in export_module_tests.
#ifndef _WIN32
// Collects what went wrong in a child process, for the parent to report.
struct ChildChecks {
  std::string failures;
  void expect(bool ok, const std::string& what) {
    if (!ok) failures += what + "\n";
  }
};

// Runs fn in a child process (limits, signal dispositions and identity changes stay there) and
// returns its failures, or why it did not finish.
template <class F>
std::string inChild(F fn) {
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return "no pipe";
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) return "no fork";
  if (child == 0) {
    close(pipeEnds[0]);
    ChildChecks checks;
    fn(checks);
    const std::string& text = checks.failures;
    const bool written = write(pipeEnds[1], text.data(), text.size()) == ssize_t(text.size());
    _exit(written ? 0 : 1);
  }
  close(pipeEnds[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = read(pipeEnds[0], buffer, sizeof buffer)) > 0;) report.append(buffer, size_t(n));
  close(pipeEnds[0]);
  int status = 0;
  waitpid(child, &status, 0);
  if (WIFSIGNALED(status)) report += "ended by signal " + std::to_string(WTERMSIG(status)) + "\n";
  return report;
}

// Checks one failed press: the status, the lines, one error message for the user, the path kept.
void expectFailedExport(ChildChecks& checks, Scene& scene, const char* button, const std::string& path) {
  const bool cube = std::string(button) == "exportButton";
  scene.setExportPath(path);
  scene.session.host().clearMessages();
  checks.expect(scene.press(button) == kOfxStatReplyDefault, std::string(button) + ": status");
  const std::string said = scene.session.host().lastStderr();
  checks.expect(said == (cube ? kMixLine + "Vantrel: Export FAILED\n" : "Vantrel: CDL Export FAILED\n"),
                std::string(button) + ": stderr was " + said);
  const auto messages = scene.session.host().messages();
  checks.expect(messages.size() == 1 && messages[0].type == kOfxMessageError &&
                    messages[0].text == (cube ? "Failed to save .cube file" : "Failed to save .cdl file"),
                std::string(button) + ": message");
  checks.expect(scene.exportPath() == path, std::string(button) + ": exportPath changed");
  checks.expect(scene.session.record().lut.valid, std::string(button) + ": LUT lost");
}

// After failures, a new frame still renders and both exports write whole files.
void expectUsable(ChildChecks& checks, Scene& scene, const ScratchDir& writable) {
  checks.expect(scene.session.render(2.0) == kOfxStatOK, "render after the failures");
  scene.setExportPath(writable.file("after.cube"));
  checks.expect(scene.press("exportButton") == kOfxStatReplyDefault, "cube export after the failures");
  checks.expect(scene.press("exportCDLButton") == kOfxStatReplyDefault, "cdl export after the failures");
  checks.expect(completeCube(readFile(writable.file("after.cube"))), "cube after the failures is whole");
  checks.expect(completeCDL(readFile(writable.file("after.cdl"))), "cdl after the failures is whole");
}

// A directory the host process may not write to. Root ignores permissions, so as root the
// child takes an unprivileged identity first.
TEST(ExportFailure, ReadOnlyDirectoryKeepsItsFiles) {
  ScratchDir top;
  const std::string locked = top.file("locked");
  ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
  writeFile(locked + "/look.cube", "old cube");
  writeFile(locked + "/look.cdl", "old cdl");
  ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
  ScratchDir writable;
  ASSERT_EQ(chmod(top.path().c_str(), 0755), 0);
  ASSERT_EQ(chmod(writable.path().c_str(), 0777), 0);

  Scene scene(capturing());
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const std::string report = inChild([&](ChildChecks& checks) {
    if (geteuid() == 0) checks.expect(setgid(65534) == 0 && setuid(65534) == 0, "dropping root");
    for (const char* button : {"exportButton", "exportCDLButton"}) {
      expectFailedExport(checks, scene, button, locked + "/look.cube");
      expectFailedExport(checks, scene, button, locked + "/");
    }
    expectUsable(checks, scene, writable);
  });
  EXPECT_EQ(report, "");
  EXPECT_EQ(readFile(locked + "/look.cube"), "old cube");
  EXPECT_EQ(readFile(locked + "/look.cdl"), "old cdl");
  chmod(locked.c_str(), 0755);
  // No temporary file was left behind.
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(locked), std::filesystem::directory_iterator()), 2);
}

// Under a file size limit the writes fail; with SIGXFSZ ignored the host survives, and raising
// the limit again makes both exports work.
TEST(ExportFailure, FileSizeLimitKeepsTheOldFiles) {
  ScratchDir dir, writable;
  const std::string cube = dir.file("look.cube"), cdl = dir.file("look.cdl");
  writeFile(cube, "old cube");
  writeFile(cdl, "old cdl");
  Scene scene(capturing());
  ASSERT_EQ(scene.session.render(), kOfxStatOK);
  const std::string report = inChild([&](ChildChecks& checks) {
    signal(SIGXFSZ, SIG_IGN);
    // A megabyte stops the .cube partway and leaves room for the whole .cdl; 200 bytes stop both.
    struct rlimit lowered = {rlim_t(1) << 20, RLIM_INFINITY};
    checks.expect(setrlimit(RLIMIT_FSIZE, &lowered) == 0, "lowering the limit");
    expectFailedExport(checks, scene, "exportButton", cube);
    lowered.rlim_cur = 200;
    checks.expect(setrlimit(RLIMIT_FSIZE, &lowered) == 0, "lowering the limit");
    expectFailedExport(checks, scene, "exportButton", cube);
    expectFailedExport(checks, scene, "exportCDLButton", cube);
    struct rlimit raised = {RLIM_INFINITY, RLIM_INFINITY};
    checks.expect(setrlimit(RLIMIT_FSIZE, &raised) == 0, "raising the limit");
    expectUsable(checks, scene, writable);
  });
  EXPECT_EQ(report, "");
  EXPECT_EQ(readFile(cube), "old cube");
  EXPECT_EQ(readFile(cdl), "old cdl");
  EXPECT_EQ(dir.entries().size(), 2u);
}

#endif

// A create refused for want of host memory leaves nothing behind, and the same instance can be
// created again and then renders and exports.
TEST(HostMemory, FailedCreateCanBeRetried) {
  ScratchDir dir;
  rendertest::Session session(capturing());  // created normally; use a second instance below
  ofxhost::TestHost& host = session.host();
  ofxhost::Effect* instance = host.newInstance(kOfxImageEffectContextGeneral);
  const int blocks = host.liveAllocations();
  host.failNextAllocs(1);
  EXPECT_EQ(host.createInstance(instance), kOfxStatErrMemory);
  EXPECT_EQ(host.lastStderr(), "Vantrel: CREATE INSTANCE\n");
  EXPECT_EQ(host.liveAllocations(), blocks);
  EXPECT_EQ(host.render(instance, 1.0, OfxRectI{0, 0, 4, 4}), kOfxStatErrBadHandle);
  EXPECT_EQ(host.instanceChanged(instance, kOfxTypeParameter, "exportButton"), kOfxStatErrBadHandle);

  ASSERT_EQ(host.createInstance(instance), kOfxStatOK);
  auto output = ofxhost::makeBlankImage(OfxRectI{0, 0, coffee().width, coffee().height});
  host.attachImage(instance, "Source", ofxhost::makeImage(coffee().rgba, output->bounds));
  host.attachImage(instance, "Reference",
                   ofxhost::makeImage(chelsea().rgba, OfxRectI{0, 0, chelsea().width, chelsea().height}));
  host.attachImage(instance, "Output", output);
  EXPECT_EQ(host.render(instance, 1.0, output->bounds), kOfxStatOK);
  EXPECT_EQ(host.lastStderr(), "");
  host.setParamString(instance, "exportPath", dir.file("look"));
  EXPECT_EQ(host.instanceChanged(instance, kOfxTypeParameter, "exportButton"), kOfxStatReplyDefault);
  EXPECT_EQ(host.instanceChanged(instance, kOfxTypeParameter, "exportCDLButton"), kOfxStatReplyDefault);
  EXPECT_TRUE(completeCube(readFile(dir.file("look.cube"))));
  EXPECT_TRUE(completeCDL(readFile(dir.file("look.cdl"))));
  EXPECT_EQ(host.destroyInstance(instance), kOfxStatOK);
  EXPECT_EQ(host.liveAllocations(), blocks);
}

}  // namespace

// What differs on Windows: UTF-8 paths written through wide file names, both separators, paths
// past the old 260-character limit, read-only targets, and the default folder.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "export_test_util.h"
#include "module_fixture.h"
#include "test_system.h"

namespace {

using WindowsExport = ModuleTest;

std::wstring wide(const std::string& utf8) {
  std::wstring out(utf8.size() + 1, L'\0');
  out.resize(size_t(MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), int(out.size()))) - 1);
  return out;
}

std::string readWide(const std::string& utf8) {
  std::string text;
  if (FILE* f = _wfopen(wide(utf8).c_str(), L"rb")) {
    char buffer[65536];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, f)) > 0;) text.append(buffer, n);
    fclose(f);
  }
  return text;
}

TEST_F(WindowsExport, Utf8PathsBothSeparatorsAndLongPaths) {
  ScratchDir dir;
  installIdentity();
  const std::string folder = dir.path() + "\\Farbe \xc3\xbc \xe6\x97\xa5\xe6\x9c\xac";  // "Farbe ü 日本"
  ASSERT_TRUE(CreateDirectoryW(wide(folder).c_str(), nullptr));
  std::string longFolder = dir.path();
  while (longFolder.size() < 400) {
    longFolder += "\\" + std::string(60, 'd');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + wide(longFolder)).c_str(), nullptr) ||
                GetLastError() == ERROR_ALREADY_EXISTS);
  }
  for (const std::string& value : {folder + "/look", folder + "\\", longFolder + "/look"}) {
    host_.setParamString(instance_, "exportPath", value);
    host_.clearMessages();
    EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault) << value;
    EXPECT_EQ(host_.lastStderr(),
              "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\nVantrel: Export successful\n");
    const std::string written = exportPath();
    EXPECT_EQ(host_.messages().back().text, "LUT saved to:\n" + written);
    EXPECT_EQ(written.rfind(value, 0), 0u) << written;
    EXPECT_EQ(readWide(written).rfind("TITLE \"Vantrel LUT\"\n", 0), 0u) << written;
    // The .cdl lands beside it, under the same name.
    EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
    EXPECT_EQ(readWide(written.substr(0, written.size() - 5) + ".cdl").rfind("<?xml", 0), 0u);
  }
  // A second export replaces the file whole, and no temporary stays behind.
  host_.setParamString(instance_, "exportPath", folder + "/look.cube");
  setMixes(0.0, 1.0, 1.0, 1.0);
  EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault);
  EXPECT_NE(readWide(folder + "/look.cube").find("LUT_3D_SIZE 65\n\n0.000000 0.000000 0.000000\n0.015625"),
            std::string::npos);
  int entries = 0;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((wide(folder) + L"\\*").c_str(), &found);
  ASSERT_NE(search, INVALID_HANDLE_VALUE);
  do {
    entries += wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0;
  } while (FindNextFileW(search, &found));
  FindClose(search);
  EXPECT_EQ(entries, 4);  // look.cube, look.cdl and a timestamped pair
}

// A file the user made read-only is kept, and the user is told; devices are never written.
TEST_F(WindowsExport, ReadOnlyTargetsAndDevicesAreRefused) {
  ScratchDir dir;
  installIdentity();
  const std::string path = dir.file("keep.cube");
  writeFile(path, "good");
  ASSERT_TRUE(SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_READONLY));
  for (const std::string& value : {path, std::string("NUL"), std::string("\\\\.\\NUL"), dir.file("CON")}) {
    host_.setParamString(instance_, "exportPath", value);
    host_.clearMessages();
    EXPECT_EQ(change("exportButton"), kOfxStatReplyDefault) << value;
    EXPECT_EQ(host_.lastStderr(),
              "Vantrel: Exporting cached LUT with Mix=1.000, R=1.000, G=1.000, B=1.000\nVantrel: Export FAILED\n")
        << value;
    ASSERT_EQ(host_.messages().size(), 1u);
    EXPECT_EQ(host_.messages()[0].text, "Failed to save .cube file");
    EXPECT_EQ(exportPath(), value);
  }
  EXPECT_EQ(readFile(path), "good");
  EXPECT_EQ(dir.entries(), std::vector<std::string>{"keep.cube"});
  SetFileAttributesW(wide(path).c_str(), FILE_ATTRIBUTE_NORMAL);
}

// Without %USERPROFILE% a default name goes to the system's temporary folder.
TEST_F(WindowsExport, DefaultFolderFallsBackToTheTemporaryFolder) {
  installIdentity();
  const char* saved = getenv("USERPROFILE");
  const std::string restore = saved ? saved : "";
  testsys::setEnv("USERPROFILE", nullptr);
  EXPECT_EQ(change("exportCDLButton"), kOfxStatReplyDefault);
  testsys::setEnv("USERPROFILE", saved ? restore.c_str() : nullptr);
  const std::string said = host_.messages().back().text;
  wchar_t temp[MAX_PATH + 1];
  ASSERT_GT(GetTempPathW(MAX_PATH + 1, temp), 0u);
  char folder[4 * MAX_PATH];
  WideCharToMultiByte(CP_UTF8, 0, temp, -1, folder, sizeof folder, nullptr, nullptr);
  ASSERT_EQ(said.rfind("CDL saved to:\n" + std::string(folder) + "Vantrel_", 0), 0u) << said;
  const std::string written = said.substr(said.find('\n') + 1);
  EXPECT_EQ(written.substr(written.size() - 4), ".cdl");
  EXPECT_EQ(readWide(written).rfind("<?xml", 0), 0u);
  DeleteFileW(wide(written).c_str());
}

}  // namespace

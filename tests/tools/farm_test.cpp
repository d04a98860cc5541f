// The GNU parallel example of docs/farm.md, run as written on a short sequence.
#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

TEST(Farm, TheDocumentedParallelSplitGivesTheFramesOfOneWholeRun)
{
    const std::string example =
        documentedExample(std::string(VANTREL_SOURCE_DIR) + "/docs/farm.md", "<!-- example: parallel -->");
    ASSERT_NE(example.find("parallel"), std::string::npos);

    ScratchDir dir;
    for (const char *sub : {"plates", "grade", "matched", "whole"})
        fs::create_directory(dir / sub);
    for (int frame = 1001; frame <= 1012; ++frame)
        writeRawImage(dir / ("plates/shot." + std::to_string(frame) + ".exr"), testPicture(48, 32, frame % 5),
                      SampleDepth::Float);
    writeRawImage(dir / "grade/reference.exr", testPicture(40, 40, 7), SampleDepth::Float);
    std::ofstream(dir / "example.sh") << example;

    const std::string toolDir = fs::path(toolPath()).parent_path().string();
    const std::string path = "PATH=" + toolDir + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin");
    ToolRun run = runTool("/bin/bash", {"-e", "example.sh"}, {path}, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;

    run = runTool(toolPath(),
                  {"match", "plates/shot.%04d.exr", "grade/reference.exr", "-o", "whole/shot.%04d.exr", "--frames",
                   "1001-1012"},
                  {}, dir.path);
    ASSERT_EQ(run.status, 0) << run.err;
    for (int frame = 1001; frame <= 1012; ++frame) {
        const std::string name = "shot." + std::to_string(frame) + ".exr";
        const Image split = readRawImage(dir / ("matched/" + name)), whole = readRawImage(dir / ("whole/" + name));
        ASSERT_GT(split.width, 0) << name;
        EXPECT_EQ(split.pixels, whole.pixels) << name;
    }
}

// Runs the dump program in its own process and checks its H.264 and JPEG output with ffprobe: the
// live capture's pictures encoded at the channels' sizes, the H.264 stream in its GOP pattern.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/master_link/shell.h"

namespace {

using varnelle::testing::Shell;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

class VencStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        int st;
        Shell("command -v ffprobe >/dev/null 2>&1", &st);
        if (st != 0) GTEST_SKIP() << "ffprobe is not installed";
        char dir[] = "/tmp/venc-stream-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
    }
    void TearDown() override {
        if (!m_dir.empty()) (void)std::system(("rm -rf " + m_dir).c_str());
    }
    std::string m_dir;
};

TEST_F(VencStreamTest, H264DecodesWithTheGopPatternAndSize) {
    const int frames = 23, gop = 10;
    const std::string h264 = m_dir + "/chn2.h264", jpg = m_dir + "/chn40.jpg";
    int st;
    Shell(std::string(VENC_STREAM_DUMP) + " " + h264 + " " + std::to_string(frames) + " " + std::to_string(gop) +
            " 352 288 " + jpg,
        &st);
    ASSERT_EQ(st, 0);

    // Every frame decodes without a complaint.
    std::string errors = Shell("ffmpeg -v error -i " + h264 + " -f null - 2>&1", &st);
    EXPECT_EQ(st, 0);
    EXPECT_EQ(errors, "");

    std::string size = Shell("ffprobe -v error -select_streams v:0 -show_entries stream=width,height -of csv=p=0 " + h264, &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(Lines(size), std::vector<std::string>{"352,288"});

    std::vector<std::string> types = Lines(
        Shell("ffprobe -v error -select_streams v:0 -show_entries frame=pict_type,key_frame -of csv=p=0 " + h264, &st));
    ASSERT_EQ(st, 0);
    ASSERT_EQ(types.size(), static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        EXPECT_EQ(types[i], i % gop == 0 ? "1,I" : "0,P") << "frame " << i;
    }

    std::string pic = Shell("ffprobe -v error -show_entries stream=codec_name,width,height -of csv=p=0 " + jpg, &st);
    ASSERT_EQ(st, 0);
    EXPECT_EQ(Lines(pic), std::vector<std::string>{"mjpeg,176,144"}) << "scaled for the JPEG channel";
}

}  // namespace

#include "base/file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

class FileTest : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/varnelle-file-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        m_dir = tmpl;
    }
    void TearDown() override { std::system(("rm -rf " + m_dir).c_str()); }

    std::string Path(const char* name) const { return m_dir + "/" + name; }
    void WriteFile(const char* name, const std::string& data) const {
        FILE* f = std::fopen(Path(name).c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fwrite(data.data(), 1, data.size(), f);
        std::fclose(f);
    }
    std::string ReadFile(const char* name) const {
        std::string out;
        FILE* f = std::fopen(Path(name).c_str(), "rb");
        if (f == nullptr) return "<missing>";
        char buf[256];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
        std::fclose(f);
        return out;
    }
    static int OpenDescriptors() {
        int n = 0;
        DIR* d = opendir("/proc/self/fd");
        while (readdir(d) != nullptr) ++n;
        closedir(d);
        return n;
    }

    std::string m_dir;
};

TEST_F(FileTest, OpenFlagsCreateTruncateAndAppend) {
    struct Case {
        const char* start;  // null: no file beforehand
        uint32_t flags;
        bool opens;
        const char* after;  // contents after writing "XY" (reading modes write nothing)
    } cases[] = {
        {nullptr, CFile::modeWrite, false, "<missing>"},
        {nullptr, CFile::modeReadWrite, false, "<missing>"},
        {nullptr, CFile::modeWrite | CFile::modeCreate, true, "XY"},
        {"abcd", CFile::modeWrite | CFile::modeCreate, true, "XY"},
        {"abcd", CFile::modeWrite | CFile::modeCreate | CFile::modeNoTruncate, true, "abcdXY"},
        {nullptr, CFile::modeWrite | CFile::modeCreate | CFile::modeNoTruncate, true, "XY"},
        {"abcd", CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate, true, "abcdXY"},
        {"abcd", CFile::modeReadWrite, true, "XYcd"},
        {"abcd", CFile::modeWrite, true, "XYcd"},
        {"abcd", CFile::modeRead | CFile::modeCreate, true, "abcd"},
        {"abcd", 3, false, "abcd"},
    };
    int i = 0;
    for (const Case& c : cases) {
        std::string name = "open" + std::to_string(i++);
        if (c.start != nullptr) WriteFile(name.c_str(), c.start);
        CFile f;
        EXPECT_EQ(f.Open(Path(name.c_str()).c_str(), c.flags), c.opens) << name;
        EXPECT_EQ(f.IsOpen(), c.opens);
        if (c.opens && (c.flags & 15) != CFile::modeRead) {
            EXPECT_EQ(f.Write("XY", 2), 2u);
        }
        f.Close();
        EXPECT_EQ(ReadFile(name.c_str()), c.after) << name;
    }
}

TEST_F(FileTest, LengthSeekAndPosition) {
    WriteFile("empty", "");
    WriteFile("ten", "0123456789");
    CFile f;
    ASSERT_TRUE(f.Open(Path("ten").c_str()));
    char buf[4];
    EXPECT_EQ(f.Read(buf, 3), 3u);
    EXPECT_EQ(f.GetLength(), 10u);
    EXPECT_EQ(f.GetPosition(), 3u);  // length leaves the position alone
    EXPECT_EQ(f.Seek(0, 2), 10u);
    EXPECT_EQ(f.Seek(-4, 1), 6u);
    EXPECT_EQ(f.Seek(2, 0), 2u);
    EXPECT_EQ(f.Seek(-20, 0), 0u);  // failed seek
    // A reused object reports the new file's length, not the old one.
    ASSERT_TRUE(f.Open(Path("empty").c_str()));
    EXPECT_EQ(f.GetLength(), 0u);
    EXPECT_EQ(f.GetPosition(), 0u);
    f.Close();
    EXPECT_EQ(f.Read(buf, 1), 0u);
    EXPECT_EQ(f.Write(buf, 1), 0u);
    EXPECT_EQ(f.Seek(0, 2), 0u);
    EXPECT_EQ(f.Gets(buf, sizeof buf), nullptr);
}

// Lengths and positions are 32-bit: a file beyond 4 GiB - 1 gives no length (0), and Load refuses it
// instead of returning its length modulo 4 GiB. The files are sparse, so they cost no disk.
TEST_F(FileTest, LengthBeyondThirtyTwoBitsIsRefused) {
    const struct Case {
        const char* name;
        uint64_t size;
        uint32_t length;  // what GetLength and Seek(0, 2) give
    } cases[] = {
        {"max", 0xFFFFFFFFull, 0xFFFFFFFFu},
        {"four-gib", 0x100000000ull, 0},
        {"four-gib-and-five", 0x100000005ull, 0},
    };
    for (const Case& c : cases) {
        const std::string path = Path(c.name);
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(c.size)), 0);
        ::close(fd);
        CFile f;
        ASSERT_TRUE(f.Open(path.c_str())) << c.name;
        EXPECT_EQ(f.GetLength(), c.length) << c.name;
        EXPECT_EQ(f.GetPosition(), 0u) << c.name;
        EXPECT_EQ(f.Seek(0, 2), c.length) << c.name;
        f.Close();
        if (c.length == 0) {
            CFile loader;
            EXPECT_EQ(loader.Load(path.c_str()), nullptr) << c.name;
            EXPECT_EQ(loader.GetLength(), 0u) << c.name;
        }
        ::unlink(path.c_str());
    }
}

TEST_F(FileTest, GetsAndPutsLines) {
    CFile f;
    ASSERT_TRUE(f.Open(Path("lines").c_str(), CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_GE(f.Puts("first\nsecond\n"), 0);
    f.Flush();
    f.Seek(0, 0);
    char line[16];
    ASSERT_NE(f.Gets(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "first\n");
    ASSERT_NE(f.Gets(line, sizeof line), nullptr);
    EXPECT_STREQ(line, "second\n");
    EXPECT_EQ(f.Gets(line, sizeof line), nullptr);
}

TEST_F(FileTest, PathsTooLongForTheRecordAreRefused) {
    std::string longPath = m_dir + "/" + std::string(CFile::kMaxPath, 'a');
    CFile f;
    EXPECT_FALSE(f.Open(longPath.c_str(), CFile::modeWrite | CFile::modeCreate));
    EXPECT_FALSE(f.IsOpen());
}

TEST_F(FileTest, LoadReadsWholeFileOrGivesNull) {
    WriteFile("data", "payload");
    WriteFile("empty", "");
    CFile f;
    unsigned char* buf = f.Load(Path("data").c_str());
    ASSERT_NE(buf, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), 7), "payload");
    EXPECT_EQ(f.GetLength(), 7u);
    EXPECT_FALSE(f.IsOpen());
    f.UnLoad();
    EXPECT_EQ(f.Load(Path("empty").c_str()), nullptr);
    EXPECT_EQ(f.Load(Path("missing").c_str()), nullptr);
}

TEST_F(FileTest, OpeningAndSearchingLeakNoDescriptors) {
    WriteFile("a", "1");
    int before = OpenDescriptors();
    {
        CFile f;
        ASSERT_TRUE(f.Open(Path("a").c_str()));
        ASSERT_TRUE(f.Open(Path("a").c_str()));  // reopening closes the first
        CFileFind find;
        ASSERT_TRUE(find.FindFile((m_dir + "/*").c_str()));
        ASSERT_TRUE(find.FindFile((m_dir + "/*").c_str()));  // a new search ends the old one
    }                                                        // destructors close the file and the search
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(FileTest, FindListsEntriesWithAttributes) {
    WriteFile("plain", "12345");
    WriteFile("locked", "1");
    chmod(Path("locked").c_str(), 0444);
    ASSERT_TRUE(CFile::MakeDir(Path("sub").c_str()));
    ASSERT_EQ(symlink("/nonexistent/target", Path("dangling").c_str()), 0);

    CFileFind find;
    ASSERT_TRUE(find.FindFile((m_dir + "/*").c_str()));
    std::set<std::string> names;
    do {
        std::string name = find.GetFileName();
        names.insert(name);
        EXPECT_EQ(find.GetFilePath(), m_dir + "/" + name);
        if (name == "plain") {
            EXPECT_EQ(find.GetLength(), 5);
            EXPECT_TRUE(find.IsNormal());
        } else if (name == "locked") {
            EXPECT_TRUE(find.IsReadOnly());
            EXPECT_FALSE(find.IsDirectory());
        } else if (name == "sub" || name == "." || name == "..") {
            EXPECT_TRUE(find.IsDirectory()) << name;
        } else if (name == "dangling") {
            // Cannot be examined: listed with nothing known about it.
            EXPECT_EQ(find.GetLength(), 0);
            EXPECT_TRUE(find.IsNormal());
        }
    } while (find.FindNextFile());
    EXPECT_FALSE(find.FindNextFile());
    find.Close();
    EXPECT_FALSE(find.FindNextFile());
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "plain", "locked", "sub", "dangling"}));
    EXPECT_FALSE(find.FindFile((m_dir + "/missing/*").c_str()));
    EXPECT_FALSE(find.FindFile(nullptr));
}

TEST_F(FileTest, PathOperations) {
    WriteFile("old", "x");
    EXPECT_TRUE(CFile::Access(Path("old").c_str(), 0));
    EXPECT_TRUE(CFile::Rename(Path("old").c_str(), Path("new").c_str()));
    EXPECT_FALSE(CFile::Access(Path("old").c_str(), 0));
    EXPECT_TRUE(CFile::Remove(Path("new").c_str()));
    EXPECT_FALSE(CFile::Remove(Path("new").c_str()));
    EXPECT_TRUE(CFile::MakeDir(Path("d").c_str()));
    EXPECT_FALSE(CFile::MakeDir(Path("d").c_str()));
    EXPECT_TRUE(CFile::RemoveDir(Path("d").c_str()));
    EXPECT_FALSE(CFile::Access(nullptr, 0));
    uint64_t avail = 0, total = 0, free = 0;
    ASSERT_TRUE(CFile::StatFS(m_dir.c_str(), &avail, &total, &free));
    EXPECT_GT(total, 0u);
    EXPECT_LE(avail, free);
    EXPECT_LE(free, total);
    EXPECT_FALSE(CFile::StatFS(Path("missing").c_str(), &avail, &total, &free));
}

// Chip paths ("/data/...") reach the same files through every operation of the local table when
// $VARNELLE_ROOT names a root; the names the caller sees stay chip paths.
TEST_F(FileTest, ChipPathsSitUnderTheRootForEveryOperation) {
    namespace fs = std::filesystem;
    struct RootGuard {
        explicit RootGuard(const std::string& root) { setenv("VARNELLE_ROOT", root.c_str(), 1); }
        ~RootGuard() { unsetenv("VARNELLE_ROOT"); }
    } root(m_dir);
    fs::create_directories(m_dir + "/data/Fonts");
    WriteFile("data/Fonts/Font.bin", "0123456789");

    EXPECT_TRUE(CFile::Access("/data/Fonts/Font.bin", 0));
    EXPECT_FALSE(CFile::Access("/data/Fonts/Missing.bin", 0));
    CFile f;
    ASSERT_TRUE(f.Open("/data/Fonts/Font.bin"));
    EXPECT_STREQ(f.GetFileName(), "/data/Fonts/Font.bin");
    EXPECT_EQ(f.GetLength(), 10u);
    f.Close();
    unsigned char* loaded = f.Load("/data/Fonts/Font.bin");
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(loaded), 10), "0123456789");

    ASSERT_TRUE(f.Open("/data/new.txt", CFile::modeWrite | CFile::modeCreate));
    EXPECT_EQ(f.Write("abc", 3), 3u);
    f.Close();
    EXPECT_EQ(ReadFile("data/new.txt"), "abc");
    EXPECT_TRUE(CFile::Rename("/data/new.txt", "/data/renamed.txt"));
    EXPECT_EQ(ReadFile("data/renamed.txt"), "abc");
    EXPECT_TRUE(CFile::MakeDir("/data/sub"));
    EXPECT_TRUE(fs::is_directory(m_dir + "/data/sub"));

    CFileFind find;
    std::set<std::string> names;
    bool fontIsTen = false, subIsDir = false;
    for (bool more = find.FindFile("/data/*"); more; more = find.FindNextFile()) {
        names.insert(find.GetFileName());
        if (find.GetFileName() == "renamed.txt") {
            EXPECT_EQ(find.GetFilePath(), "/data/renamed.txt");
        }
        if (find.GetFileName() == "sub") subIsDir = find.IsDirectory();
    }
    find.Close();
    for (bool more = find.FindFile("/data/Fonts/*"); more; more = find.FindNextFile()) {
        if (find.GetFileName() == "Font.bin") fontIsTen = find.GetLength() == 10;
    }
    find.Close();
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "Fonts", "renamed.txt", "sub"}));
    EXPECT_TRUE(subIsDir);
    EXPECT_TRUE(fontIsTen);

    EXPECT_TRUE(CFile::RemoveDir("/data/sub"));
    EXPECT_TRUE(CFile::Remove("/data/renamed.txt"));
    EXPECT_FALSE(fs::exists(m_dir + "/data/renamed.txt"));
    uint64_t avail = 0, total = 0, free = 0;
    EXPECT_TRUE(CFile::StatFS("/data", &avail, &total, &free));
    EXPECT_EQ(LocalFilePath("/data/Fonts/Font.bin"), m_dir + "/data/Fonts/Font.bin");
    EXPECT_EQ(LocalFilePath("relative/x"), "relative/x");
}

// A file system that reads only half of what is asked, and counts its opens.
int g_shortOpens = 0;
const FileSystemOps* g_local = nullptr;
void* ShortOpen(const char* path, const char* mode) {
    ++g_shortOpens;
    return g_local->open(path + 6, mode);  // strip "/short"
}
size_t ShortRead(void* b, size_t s, size_t c, void* h) {
    return g_local->read(b, s, c / 2, h);
}
int ShortAccess(const char* path, int mode) {
    return g_local->access(path + 6, mode);
}

TEST_F(FileTest, RegisteredPrefixRoutesToItsTableAndShortLoadGivesNull) {
    WriteFile("data", "0123456789");
    g_local = CFile::GetFileSystem(m_dir.c_str());
    FileSystemOps ops = *g_local;
    ops.open = ShortOpen;
    ops.read = ShortRead;
    ops.access = ShortAccess;
    ASSERT_TRUE(CFile::RegisterFileSystem("/short", &ops));
    EXPECT_NE(CFile::GetFileSystem("/short/x"), g_local);
    EXPECT_EQ(CFile::GetFileSystem("/other"), g_local);
    std::string routed = "/short" + Path("data");
    EXPECT_TRUE(CFile::Access(routed.c_str(), 0));
    CFile f;
    EXPECT_EQ(f.Load(routed.c_str()), nullptr);  // 5 of 10 bytes read
    EXPECT_EQ(g_shortOpens, 1);
    EXPECT_EQ(f.Load(Path("data").c_str()) != nullptr, true);
    ASSERT_TRUE(CFile::RegisterFileSystem("/short", nullptr));
    EXPECT_EQ(CFile::GetFileSystem("/short/x"), g_local);
    EXPECT_FALSE(CFile::RegisterFileSystem("/short", nullptr));
    EXPECT_FALSE(CFile::RegisterFileSystem(std::string(CFile::kMaxPrefix + 1, 'p').c_str(), &ops));
}

TEST_F(FileTest, RegistryHoldsThirtyOnePrefixes) {
    FileSystemOps ops = *CFile::GetFileSystem("/");
    for (int i = 1; i < CFile::kMaxFileSystems; ++i) {
        ASSERT_TRUE(CFile::RegisterFileSystem(("/p" + std::to_string(i)).c_str(), &ops)) << i;
    }
    EXPECT_FALSE(CFile::RegisterFileSystem("/one-too-many", &ops));
    for (int i = 1; i < CFile::kMaxFileSystems; ++i) {
        ASSERT_TRUE(CFile::RegisterFileSystem(("/p" + std::to_string(i)).c_str(), nullptr));
    }
}

TEST(CFileDeathTest, LoadingTwiceStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CFile f;
    char path[] = "/tmp/varnelle-load-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "abc", 3), 3);
    close(fd);
    ASSERT_NE(f.Load(path), nullptr);
    EXPECT_DEATH(f.Load(path), "!m_pBuffer");
    unlink(path);
}

}  // namespace

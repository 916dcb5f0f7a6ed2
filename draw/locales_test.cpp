#include "draw/locales.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/font/font_test_util.h"

namespace {

using varnelle::font_test::TempDir;

const std::string kMark = "\xEF\xBB\xBF";

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A strings directory of its own, made the process-wide one for the test's life.
class LocalesTest : public testing::Test {
protected:
    void SetUp() override { CLocales::SetStringsDir(m_dir.Path()); }
    void TearDown() override { CLocales::SetStringsDir(""); }

    void Write(const std::string& name, const std::string& bytes) { WriteFile(m_dir.File(name), bytes); }

    // A CLocales whose glyph preloads are recorded, one list per load.
    std::unique_ptr<CLocales> Make() {
        return std::make_unique<CLocales>(
            [this](const std::vector<uint16_t>& codes) { m_preloads.push_back(codes); });
    }

    TempDir m_dir;
    std::vector<std::vector<uint16_t>> m_preloads;
};

struct Lookup {
    const char* key;
    const char* want;
    bool reported;  // "Not Found" printed
};

TEST_F(LocalesTest, LooksUpKeysAndFallsBackForMissingOnes) {
    Write("English", kMark +
                         "menu.ok=OK\n"
                         "menu.cancel=Cancel\r\n"
                         "a=b=c\n"
                         "no equals sign\n"
                         "menu.ok=Second\n"
                         "empty=\r\n"
                         "=nokey\n"
                         "cr.inside=x\ry\n"
                         "tail=not stored");
    auto locales = Make();
    locales->setLanguage("English");
    EXPECT_EQ(locales->GetLanguage(), "English");
    const Lookup cases[] = {
        {"menu.ok", "OK", false},    {"menu.cancel", "Cancel", false},
        {"a", "b=c", false},         {"empty", "", false},
        {"", "nokey", false},        {"cr.inside", "x\ry", false},
        {"menu.exit", "exit", true}, {"title", "title", true},
        {"tail", "tail", true},      {"no equals sign", "no equals sign", true},
        {"a.b.c", "b.c", true},      {"menu.", "", true},
    };
    for (const Lookup& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_STREQ(locales->getString(c.key), c.want) << c.key;
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.reported ? "Not Found string '" + std::string(c.key) + "' !!!\n" : "") << c.key;
    }
}

TEST_F(LocalesTest, LocalizeTextLooksUpOnlyAmpersandTexts) {
    Write("Deutsch", kMark + "menu.ok=Gut\n");
    CLocales::instance()->setLanguage("Deutsch");
    EXPECT_STREQ(LocalizeText("&menu.ok"), "Gut");
    const char* plain = "menu.ok";
    EXPECT_EQ(LocalizeText(plain), plain);
    EXPECT_EQ(LocalizeText(nullptr), nullptr);
    testing::internal::CaptureStdout();
    EXPECT_STREQ(LocalizeText("&menu.gone"), "gone");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Not Found string 'menu.gone' !!!\n");
}

TEST_F(LocalesTest, SameLanguageIsNotReloadedAnotherIs) {
    Write("English", kMark + "k=first\n");
    Write("French", kMark + "k=premier\n");
    auto locales = Make();
    locales->setLanguage("English");
    Write("English", kMark + "k=second\n");
    locales->setLanguage("English");
    EXPECT_STREQ(locales->getString("k"), "first");
    EXPECT_EQ(m_preloads.size(), 1u);
    locales->setLanguage("French");
    EXPECT_STREQ(locales->getString("k"), "premier");
    locales->setLanguage("English");
    EXPECT_STREQ(locales->getString("k"), "second");
    EXPECT_EQ(m_preloads.size(), 3u);
}

TEST_F(LocalesTest, PreloadsEachNonAsciiCodeOnceInAscendingOrder) {
    Write("Mixed", kMark + "a=caf\xC3\xA9\nb=\xD0\xB6\xC3\xA9\n\xD0\xB6=x\n");
    auto locales = Make();
    locales->setLanguage("Mixed");
    ASSERT_EQ(m_preloads.size(), 1u);
    EXPECT_EQ(m_preloads[0], (std::vector<uint16_t>{0xE9, 0x436, 0xFEFF}));
    EXPECT_STREQ(locales->getString("\xD0\xB6"), "x");
}

struct BadFile {
    const char* name;
    std::string bytes;
    bool exists;
    const char* message;  // the line printed, without the path
};

// Files that cannot be strings files leave no strings, also where a good language was loaded before.
TEST_F(LocalesTest, UnusableFilesLeaveNoStrings) {
    const BadFile cases[] = {
        {"Missing", "", false, "Load Strings File"},
        {"Empty", "", true, "Load Strings File"},
        {"OneByte", "\xEF", true, "CLocales::setLanguage Strings File Format Error!\n"},
        {"TwoBytes", "\xEF\xBB", true, "CLocales::setLanguage Strings File Format Error!\n"},
        {"NoMark", "k=v\nmore=lines\n", true, "CLocales::setLanguage Strings File Format Error!\n"},
        {"WrongMark", "\xEF\xBB\xBEk=v\n", true, "CLocales::setLanguage Strings File Format Error!\n"},
    };
    Write("Good", kMark + "k=v\n");
    auto locales = Make();
    for (const BadFile& c : cases) {
        if (c.exists) Write(c.name, c.bytes);
        locales->setLanguage("Good");
        ASSERT_STREQ(locales->getString("k"), "v");
        testing::internal::CaptureStdout();
        locales->setLanguage(c.name);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.name << ": " << out;
        EXPECT_EQ(locales->GetLanguage(), c.name);
        testing::internal::CaptureStdout();
        EXPECT_STREQ(locales->getString("k"), "k") << c.name;
        testing::internal::GetCapturedStdout();
    }
    testing::internal::CaptureStdout();
    locales->setLanguage("Missing");
    locales->setLanguage("Missing");  // the current name: not tried again
    locales->setLanguage("Good");
    locales->setLanguage("Missing");
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string line =
        "CLocales::setLanguage Load Strings File '" + m_dir.File("Missing") + "' Failed!\n";
    EXPECT_EQ(out, line + line);
}

TEST_F(LocalesTest, MarkAloneIsAnEmptyLanguage) {
    Write("Bare", kMark);
    auto locales = Make();
    testing::internal::CaptureStdout();
    locales->setLanguage("Bare");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(m_preloads.size(), 1u);
    EXPECT_EQ(m_preloads[0], (std::vector<uint16_t>{0xFEFF}));
}

// The file has no terminator: the walk and the parse stop at its end, and a zero or a broken character
// inside it is reported while the lines before it still count.
TEST_F(LocalesTest, BrokenOrCutTextIsReportedAndStopsTheWalk) {
    struct Case {
        const char* name;
        std::string bytes;
        std::vector<uint16_t> preloaded;
        std::vector<std::pair<const char*, const char*>> found;  // a missing key gives itself back
        bool reported;
    };
    const Case cases[] = {
        {"EndsInsideTwoByte",
         kMark + "a=\xC3\xA9\nb=x\xC3",
         {0xE9, 0xFEFF},
         {{"a", "\xC3\xA9"}, {"b", "b"}},
         true},
        {"EndsInsideThreeByte", kMark + "a=1\nb=\xE4\xB8", {0xFEFF}, {{"a", "1"}}, true},
        {"EndsInsideAfterLf", kMark + "a=1\n\xE4", {0xFEFF}, {{"a", "1"}}, true},
        {"NulInside",
         kMark + std::string("a=1\n\0b=\xC3\xA9\n", 10),
         {0xFEFF},
         {{"a", "1"}, {"b", "b"}},
         true},
        {"StrayContinuation",
         kMark + "a=\x80\nb=\xD0\xB6\n",
         {0xFEFF},
         {{"a", "\x80"}, {"b", "\xD0\xB6"}},
         true},
        {"FourByte", kMark + "a=\xF0\x9F\x98\x80\nb=2\n", {0xFEFF}, {{"b", "2"}}, true},
        {"EndsAtValue", kMark + "a=\xD0\xB6", {0x436, 0xFEFF}, {{"a", "a"}}, false},
        {"EndsAtLf", kMark + "a=\xD0\xB6\n", {0x436, 0xFEFF}, {{"a", "\xD0\xB6"}}, false},
    };
    auto locales = Make();
    for (const Case& c : cases) {
        Write(c.name, c.bytes);
        m_preloads.clear();
        testing::internal::CaptureStdout();
        locales->setLanguage(c.name);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out, c.reported ? "CLocales::setLanguage Parse Strings File Failed!\n" : "") << c.name;
        ASSERT_EQ(m_preloads.size(), 1u) << c.name;
        EXPECT_EQ(m_preloads[0], c.preloaded) << c.name;
        for (const auto& [key, value] : c.found) EXPECT_STREQ(locales->getString(key), value) << c.name;
    }
}

// The path with its terminator must fit in 260 bytes; a longer one is refused even when the file
// exists, never cut short to another file.
TEST_F(LocalesTest, PathOf260BytesOrMoreIsNotLoaded) {
    const size_t dirLength = m_dir.Path().size() + 1;
    ASSERT_LT(dirLength, 200u);
    const std::string fits(CLocales::kMaxPath - 1 - dirLength, 'f');
    const std::string tooLong(CLocales::kMaxPath - dirLength, 'f');
    ASSERT_EQ(m_dir.File(fits).size(), 259u);
    Write(fits, kMark + "k=fits\n");
    Write(tooLong, kMark + "k=too long\n");
    auto locales = Make();
    locales->setLanguage(fits);
    EXPECT_STREQ(locales->getString("k"), "fits");
    testing::internal::CaptureStdout();
    locales->setLanguage(tooLong);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "CLocales::setLanguage Load Strings File '" + m_dir.File(tooLong) + "' Failed!\n");
    testing::internal::CaptureStdout();
    EXPECT_STREQ(locales->getString("k"), "k");
    testing::internal::GetCapturedStdout();
}

TEST_F(LocalesTest, LanguagesAreTheDirectorysFiles) {
    Write("English", kMark);
    Write("Arabic", kMark);
    std::filesystem::create_directory(m_dir.File("Sub"));
    auto locales = Make();
    std::vector<std::string> names = locales->GetLanguages();
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Arabic", "English"}));
}

// A listing of the root answered by a table of its own, so that listing "/" shows on any machine.
std::atomic<int> g_rootListings{0};
FindHandle RootFindFirst(const char*, FindEntry* entry) {
    ++g_rootListings;
    std::snprintf(entry->name, sizeof entry->name, "%s", "RootFile");
    entry->attrib = FindEntry::kNormal;
    return 1;
}
int RootFindNext(FindHandle, FindEntry*) {
    return -1;
}
int RootFindClose(FindHandle) {
    return 0;
}

// An unset directory lists nothing (not the root); a missing one lists nothing either.
TEST_F(LocalesTest, UnsetOrMissingDirectoryListsNothing) {
    FileSystemOps root{};
    root.findFirst = RootFindFirst;
    root.findNext = RootFindNext;
    root.findClose = RootFindClose;
    ASSERT_TRUE(CFile::RegisterFileSystem("/*", &root));
    {
        CFileFind probe;  // the table answers a root listing
        ASSERT_TRUE(probe.FindFile("/*"));
        EXPECT_EQ(probe.GetFileName(), "RootFile");
    }
    g_rootListings = 0;
    for (const std::string& dir : {std::string(), m_dir.File("absent")}) {
        CLocales::SetStringsDir(dir);
        auto locales = Make();
        EXPECT_TRUE(locales->GetLanguages().empty()) << dir;
    }
    EXPECT_EQ(g_rootListings.load(), 0);
    CFile::RegisterFileSystem("/*", nullptr);
}

}  // namespace

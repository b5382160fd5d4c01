#include "updater/filelog.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

class FileLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        WCHAR temp[MAX_PATH];
        ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
        folder_ = std::wstring(temp) + L"filelog_test." + std::to_wstring(GetCurrentProcessId());
        ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), NULL));
        path_ = folder_ + L"\\updater.log";
        older_ = path_ + L".1";
    }
    void TearDown() override {
        DeleteFileW(path_.c_str());
        DeleteFileW(older_.c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    bool Append(const std::string& text, int64_t bound = kLogFileBound) {
        return AppendLogFileLine(path_.c_str(), bound, text.data(), static_cast<int>(text.size()));
    }
    static std::string Read(const std::wstring& path) {
        std::string text;
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            return text;
        }
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(file, buffer, sizeof(buffer), &got, NULL) && got > 0) {
            text.append(buffer, got);
        }
        CloseHandle(file);
        return text;
    }
    // The texts of a file's lines, each checked for its time and line end.
    static std::string Texts(const std::wstring& path) {
        static const std::regex kLine("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ ([^\r\n]*)\r\n");
        std::string all = Read(path), texts;
        auto end = std::sregex_iterator();
        size_t covered = 0;
        for (auto it = std::sregex_iterator(all.begin(), all.end(), kLine); it != end; ++it) {
            EXPECT_EQ(static_cast<size_t>(it->position()), covered) << "not a whole line";
            covered = it->position() + it->length();
            texts += (*it)[1].str() + "|";
        }
        EXPECT_EQ(covered, all.size()) << "the file ends inside a line";
        return texts;
    }

    std::wstring folder_, path_, older_;
};

TEST_F(FileLogTest, AppendsTimedLinesAndCreatesTheFile) {
    EXPECT_TRUE(Append("**W: first"));
    EXPECT_TRUE(Append("**W: second"));
    EXPECT_EQ(Texts(path_), "**W: first|**W: second|");
}

TEST_F(FileLogTest, MovesToTheOlderCopyAtTheBoundAndReplacesIt) {
    // Each line is 21 + 8 + 2 = 31 bytes; three fit in 100.
    const int64_t bound = 100;
    for (int i = 1; i <= 7; ++i) {
        EXPECT_TRUE(Append("line " + std::to_string(i) + "..", bound));
        EXPECT_LE(Read(path_).size(), static_cast<size_t>(bound));
    }
    EXPECT_EQ(Texts(older_), "line 4..|line 5..|line 6..|");
    EXPECT_EQ(Texts(path_), "line 7..|");
    // A line longer than the bound is cut to it, alone in its file.
    EXPECT_TRUE(Append(std::string(200, 'x'), bound));
    EXPECT_EQ(Read(path_).size(), static_cast<size_t>(bound));
    EXPECT_EQ(Texts(older_), "line 7..|");
}

TEST_F(FileLogTest, AMissingFolderIsNeverCreated) {
    std::wstring missing = folder_ + L"\\absent\\updater.log";
    EXPECT_FALSE(AppendLogFileLine(missing.c_str(), kLogFileBound, "x", 1));
    EXPECT_EQ(GetFileAttributesW((folder_ + L"\\absent").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FileLogTest, AFileHeldByAnotherProgramLosesTheLineNotItsContents) {
    ASSERT_TRUE(Append("kept"));
    HANDLE held = CreateFileW(path_.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Append("lost"));
    CloseHandle(held);
    EXPECT_TRUE(Append("after"));
    EXPECT_EQ(Texts(path_), "kept|after|");
}

TEST_F(FileLogTest, AnOlderCopyThatCannotBeReplacedKeepsTheBound) {
    const int64_t bound = 64;
    ASSERT_TRUE(Append("one.....", bound));
    ASSERT_TRUE(Append("two.....", bound));
    ASSERT_TRUE(Append("three...", bound));  // moves one and two to the copy
    HANDLE held = CreateFileW(older_.c_str(), GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Append("four....", bound));
    EXPECT_FALSE(Append("five....", bound));
    CloseHandle(held);
    EXPECT_EQ(Texts(path_), "three...|four....|");
    EXPECT_EQ(Texts(older_), "one.....|two.....|");
}

TEST_F(FileLogTest, ALinkPlantedInTheFolderIsNotWrittenThrough) {
    std::wstring other = folder_ + L"\\other.txt";
    HANDLE file = CreateFileW(other.c_str(), GENERIC_WRITE, 0, NULL, CREATE_NEW, 0, NULL);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    ASSERT_TRUE(CreateHardLinkW(path_.c_str(), other.c_str(), NULL));
    EXPECT_FALSE(Append("into another file"));
    EXPECT_EQ(Read(other), "");
    DeleteFileW(other.c_str());
}

}  // namespace

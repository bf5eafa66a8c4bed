#include "common/FileReader.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A folder of its own for every test, removed afterwards.
class FileReaderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() / (std::string("file-reader-") + info->name());
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(m_dir / "locked.bin", fs::perms::owner_all, ec);
        fs::remove_all(m_dir, ec);
    }

    static void WriteFile(const fs::path& path, const std::vector<std::uint8_t>& bytes)
    {
        std::ofstream out(path, std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        ASSERT_TRUE(out.good()) << path.string();
    }

    // The path as UTF-8 text, the form every caller has.
    static std::string Utf8(const fs::path& path)
    {
        const std::u8string text = path.u8string();
        return std::string(text.begin(), text.end());
    }

    static std::vector<std::uint8_t> Pattern(std::size_t length)
    {
        std::vector<std::uint8_t> bytes(length);
        for (std::size_t i = 0; i < length; ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
        return bytes;
    }

    fs::path m_dir;
};

TEST_F(FileReaderTest, ReadsTheHeadOfAFileAndSaysWhetherMoreFollows)
{
    std::vector<std::uint8_t> bytes = Pattern(150000);
    bytes[5] = 0x00;  // NUL, ^Z and CR LF are data like any other byte
    bytes[6] = 0x1A;
    bytes[7] = 0x0D;
    bytes[8] = 0x0A;
    const fs::path path = m_dir / "image.bin";
    WriteFile(path, bytes);

    FileHead whole = ReadFileHead(Utf8(path), 1000000);
    ASSERT_TRUE(whole.Ok()) << whole.error;
    EXPECT_EQ(whole.bytes, bytes);
    EXPECT_FALSE(whole.longer);
    EXPECT_EQ(whole.length, bytes.size());

    // Cut inside the second chunk of the read.
    FileHead head = ReadFileHead(Utf8(path), 66000);
    ASSERT_TRUE(head.Ok()) << head.error;
    EXPECT_EQ(head.bytes, std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 66000));
    EXPECT_TRUE(head.longer);
    EXPECT_EQ(head.length, bytes.size());

    // A limit equal to the length: nothing beyond it.
    FileHead exact = ReadFileHead(Utf8(path), bytes.size());
    ASSERT_TRUE(exact.Ok());
    EXPECT_EQ(exact.bytes.size(), bytes.size());
    EXPECT_FALSE(exact.longer);

    const fs::path empty = m_dir / "empty.bin";
    WriteFile(empty, {});
    FileHead none = ReadFileHead(Utf8(empty), 100);
    ASSERT_TRUE(none.Ok());
    EXPECT_TRUE(none.bytes.empty());
    EXPECT_FALSE(none.longer);
    EXPECT_EQ(none.length, 0u);
}

TEST_F(FileReaderTest, NamesWhyAFileCannotBeRead)
{
    FileHead missing = ReadFileHead(Utf8(m_dir / "missing.bin"), 100);
    EXPECT_EQ(missing.result, FILE_NOT_FOUND);
    EXPECT_FALSE(missing.error.empty());
    EXPECT_TRUE(missing.bytes.empty());

    EXPECT_EQ(ReadFileHead(Utf8(m_dir / "no-folder" / "image.bin"), 100).result, FILE_NOT_FOUND);
    EXPECT_EQ(ReadFileHead("", 100).result, FILE_NOT_FOUND);

    FileHead folder = ReadFileHead(Utf8(m_dir), 100);
    EXPECT_EQ(folder.result, FILE_IS_DIRECTORY);
    EXPECT_FALSE(folder.error.empty());
    EXPECT_STREQ(FileReadResultName(folder.result), "is a directory");
}

TEST_F(FileReaderTest, AFileThatMayNotBeReadIsAccessDenied)
{
    const fs::path locked = m_dir / "locked.bin";
    WriteFile(locked, {1, 2, 3});
    fs::permissions(locked, fs::perms::none);
    {
        std::ifstream probe(locked, std::ios::binary);
        if (probe.is_open())
            GTEST_SKIP() << "this user reads files whatever their permissions (root)";
    }
    FileHead head = ReadFileHead(Utf8(locked), 100);
    EXPECT_EQ(head.result, FILE_ACCESS_DENIED);
    EXPECT_FALSE(head.error.empty());
}

// On Windows this opens through the wide-character interface: the folder's name has
// no spelling in a Western code page.
TEST_F(FileReaderTest, OpensAPathWithCharactersOutsideTheCodePage)
{
    const std::string folderName = "固件 更新";
    const std::string fileName = "程序.bin";
    const fs::path folder = m_dir / PathFromUtf8(folderName);
    fs::create_directories(folder);
    const std::vector<std::uint8_t> bytes = Pattern(300);
    WriteFile(folder / PathFromUtf8(fileName), bytes);

    const std::string path = Utf8(m_dir) + "/" + folderName + "/" + fileName;
    FileHead head = ReadFileHead(path, 14336);
    ASSERT_TRUE(head.Ok()) << head.error << " " << path;
    EXPECT_EQ(head.bytes, bytes);

    FileHead missing = ReadFileHead(Utf8(m_dir) + "/" + folderName + "/无.bin", 100);
    EXPECT_EQ(missing.result, FILE_NOT_FOUND);
}

}  // namespace

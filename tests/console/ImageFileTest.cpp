#include "console/ImageFile.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

class ImageFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dir = std::filesystem::temp_directory_path() /
                ("console-image-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(m_dir);
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    std::string Write(const char* name, const std::vector<std::uint8_t>& bytes)
    {
        std::string path = (m_dir / name).string();
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                    static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::filesystem::path m_dir;
};

TEST_F(ImageFileTest, ReadsRawBytesUpToTheLimit)
{
    std::vector<std::uint8_t> bytes(70000);
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<std::uint8_t>(i * 7);
    bytes[5] = 0x00; // zeros and 0x1A are data like any other byte
    bytes[6] = 0x1A;
    std::string path = Write("image.bin", bytes);

    std::vector<std::uint8_t> read;
    std::string error;
    ASSERT_TRUE(ReadImageFile(path, 1000000, read, error)) << error;
    EXPECT_EQ(bytes, read);

    ASSERT_TRUE(ReadImageFile(path, 66000, read, error)) << error; // cut across a chunk
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 66000), read);

    ASSERT_TRUE(ReadImageFile(Write("empty.bin", {}), 100, read, error));
    EXPECT_TRUE(read.empty());
}

TEST_F(ImageFileTest, NamesTheReasonOfAFailure)
{
    std::vector<std::uint8_t> read{1, 2, 3};
    std::string error;
    EXPECT_FALSE(ReadImageFile((m_dir / "missing.bin").string(), 100, read, error));
    EXPECT_EQ("No such file or directory", error);
    EXPECT_TRUE(read.empty());

    EXPECT_FALSE(ReadImageFile(m_dir.string(), 100, read, error));
    EXPECT_EQ("is a directory", error);
}

} // namespace

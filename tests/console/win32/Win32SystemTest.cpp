// What the Windows console tools ask of the system (console/System.h): the record
// file that stations and other programs append to at once, a UTF-8 path, the console
// tests when the output is redirected, the system's words for an error, and whether a
// COM port's device is there. Runs under Wine (tests/wine/run.sh maps COM1..COM8).
#include "console/System.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A folder of its own under the temporary folder, with a name outside any code page
// but UTF-8's (Chinese and Greek), removed at the end.
class TempFolder {
public:
    TempFolder()
    {
        m_path = fs::temp_directory_path() / fs::u8path("suite-控制台-λ-" + std::to_string(GetCurrentProcessId()));
        fs::create_directories(m_path);
    }
    ~TempFolder()
    {
        std::error_code ignored;
        fs::remove_all(m_path, ignored);
    }
    std::string Utf8(const std::string& name) const
    {
        const std::u8string text = (m_path / fs::u8path(name)).u8string();
        return std::string(text.begin(), text.end());
    }
    fs::path Path(const std::string& name) const { return m_path / fs::u8path(name); }

private:
    fs::path m_path;
};

TEST(Win32ConsoleSystem, LinesAppendedThroughSeveralHandlesAtOnceStayWholeInAUtf8NamedFile)
{
    TempFolder folder;
    const std::string path = folder.Utf8("记录.jsonl");
    constexpr int WRITERS = 4, LINES = 40;
    std::vector<std::thread> writers;
    std::vector<std::string> errors(WRITERS);
    for (int w = 0; w < WRITERS; ++w)
        writers.emplace_back([&, w] {
            // Each writer has a handle of its own, as another program would.
            AppendFile file;
            if (!file.Open(path, errors[w]))
                return;
            const std::string body(500 + 97 * w, static_cast<char>('a' + w));
            for (int i = 0; i < LINES; ++i)
                if (!file.Append(std::to_string(w) + ":" + std::to_string(i) + ":" + body + "\n", errors[w]))
                    return;
        });
    for (std::thread& writer : writers)
        writer.join();
    for (const std::string& error : errors)
        EXPECT_EQ(error, "");

    std::ifstream in(folder.Path("记录.jsonl"), std::ios::binary);
    ASSERT_TRUE(in.is_open()) << "the file is not under its UTF-8 name";
    std::map<int, int> next;
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        std::istringstream fields(line);
        int w = -1, i = -1;
        char colon1 = 0, colon2 = 0;
        fields >> w >> colon1 >> i >> colon2;
        ASSERT_TRUE(w >= 0 && w < WRITERS && colon1 == ':' && colon2 == ':') << "a broken line: " << line.substr(0, 40);
        EXPECT_EQ(i, next[w]++) << "writer " << w << "'s lines out of order";
        const std::string body = line.substr(line.find(':', line.find(':') + 1) + 1);
        EXPECT_EQ(body, std::string(500 + 97 * w, static_cast<char>('a' + w))) << "a line mixed with another";
    }
    EXPECT_EQ(count, WRITERS * LINES);
}

TEST(Win32ConsoleSystem, AFileThatCannotBeCreatedIsNamedInTheSystemsWords)
{
    TempFolder folder;
    AppendFile file;
    std::string error;
    EXPECT_FALSE(file.Open(folder.Utf8("没有/x.jsonl"), error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_NE(error.back(), '\r');
}

TEST(Win32ConsoleSystem, RedirectedOutputGetsPlainLinesAndTheDefaultWidth)
{
    TempFolder folder;
    std::FILE* file = _wfopen(folder.Path("out.txt").wstring().c_str(), L"w");
    ASSERT_NE(file, nullptr);
    EXPECT_FALSE(TerminalTakesBar(file));
    EXPECT_EQ(TerminalWidth(file), 80);
    std::fclose(file);
}

TEST(Win32ConsoleSystem, ErrorsInTheSystemsWordsWithoutLineEnds)
{
    for (DWORD code : {DWORD(ERROR_FILE_NOT_FOUND), DWORD(ERROR_ACCESS_DENIED), DWORD(ERROR_SHARING_VIOLATION)}) {
        const std::string text = SystemErrorText(code);
        EXPECT_FALSE(text.empty()) << code;
        EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << code;
    }
}

TEST(Win32ConsoleSystem, AComPortNoDeviceStandsBehindIsAbsentAndAMappedOneIsPresent)
{
    std::uint64_t identity = 1;
    EXPECT_FALSE(PortDevicePresent("COM77", &identity));
    EXPECT_EQ(identity, 0u);
    // Names that are no COM port are not the system's to look up.
    EXPECT_TRUE(PortDevicePresent("not-a-port", nullptr));
    if (!std::getenv("SUITE_WINE_PORT_DIR"))
        GTEST_SKIP() << "COM1 is mapped only under tests/wine/run.sh";
    EXPECT_TRUE(PortDevicePresent("COM1", &identity));
    EXPECT_TRUE(PortDevicePresent("\\\\.\\COM1", nullptr));
}

}  // namespace

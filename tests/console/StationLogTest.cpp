// The shared screen of several stations and the board records.
#include "console/BoardLog.h"
#include "console/StationScreen.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

class Streams {
public:
    Streams()
    {
        m_out = open_memstream(&m_outText, &m_outSize);
        m_err = open_memstream(&m_errText, &m_errSize);
    }
    ~Streams()
    {
        std::fclose(m_out);
        std::fclose(m_err);
        std::free(m_outText);
        std::free(m_errText);
    }
    std::FILE* Out() { return m_out; }
    std::FILE* Err() { return m_err; }
    std::string OutText()
    {
        std::fflush(m_out);
        return std::string(m_outText, m_outSize);
    }
    std::string ErrText()
    {
        std::fflush(m_err);
        return std::string(m_errText, m_errSize);
    }

private:
    std::FILE* m_out;
    std::FILE* m_err;
    char* m_outText = nullptr;
    char* m_errText = nullptr;
    std::size_t m_outSize = 0;
    std::size_t m_errSize = 0;
};

std::size_t Count(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++n;
    return n;
}

}  // namespace

// Off a terminal every line carries its station's label and nothing is redrawn.
TEST(StationScreen, PlainLinesArePrefixedWithTheStation)
{
    Streams s;
    StationScreen screen(s.Out(), s.Err(), false, 80);
    const int a = screen.Add("/dev/ttyUSB0");
    const int b = screen.Add("usb-path:1-1.4");
    screen.Line(a, "Port opened");
    screen.Bar(b, "writing [==>  ]", true);  // no bars off a terminal
    screen.Line(b, "quarrow: no progress for 10 s");
    EXPECT_TRUE(screen.Out("{\"event\":\"summary\"}"));
    screen.Finish();
    EXPECT_EQ("/dev/ttyUSB0: Port opened\nusb-path:1-1.4: quarrow: no progress for 10 s\n", s.ErrText());
    EXPECT_EQ("{\"event\":\"summary\"}\n", s.OutText());
}

// On a terminal the stations' progress lines stay together at the bottom: a line of
// any station goes above them, and each redraw moves up over exactly the lines drawn.
TEST(StationScreen, LiveLinesStayBelowEverythingElse)
{
    Streams s;
    StationScreen screen(s.Out(), s.Err(), true, 40);
    const int a = screen.Add("sim-1");
    const int b = screen.Add("sim-2");
    screen.Bar(a, "writing 10%", true);
    screen.Bar(b, "writing 20%", true);
    screen.Line(a, "rejected frame 3");
    const std::string err = s.ErrText();
    // First draw: two lines; every later draw first goes up over the two.
    EXPECT_EQ(0u, err.find("\033[Ksim-1  writing 10%\n\033[Ksim-2  \n")) << err;
    EXPECT_EQ(2u, Count(err, "\033[2A\r\033[J")) << err;
    const std::size_t line = err.rfind("sim-1: rejected frame 3\n");
    ASSERT_NE(std::string::npos, line) << err;
    EXPECT_NE(std::string::npos, err.find("\033[Ksim-1  writing 10%\n\033[Ksim-2  writing 20%\n", line)) << err;
    // A line longer than the terminal is cut one column short of it.
    screen.Bar(a, std::string(100, '='), true);
    const std::string after = s.ErrText().substr(err.size());
    EXPECT_NE(std::string::npos, after.find("\033[Ksim-1  " + std::string(32, '=') + "\n")) << after;
    EXPECT_EQ(std::string::npos, after.find(std::string(33, '='))) << after;
    // A board that ends keeps its line, with how it ended in front.
    screen.Bar(b, "writing 55%", true);
    screen.EndBar(b, "stall");
    EXPECT_NE(std::string::npos, s.ErrText().rfind("\033[Ksim-2  [stall] writing 55%\n")) << s.ErrText();
}

TEST(BoardLog, RecordIsOneJsonLineWithEveryField)
{
    BoardRecord r;
    r.startUtc = "2026-12-09T12:00:00.000Z";
    r.endUtc = "2026-12-09T12:00:03.500Z";
    r.tool = "quarrow";
    r.version = "1.0.0";
    r.host = "line-3";
    r.port = "usb:A50285BI";
    r.adapter = {"/dev/ttyUSB0", "0403", "6001", "FTDI", "FT232R \"USB\" UART", "A50285BI", "1-1.4"};
    r.imageFile = "fw.bin";
    r.imageSize = 4224;
    r.imageSha256 = std::string(64, 'a');
    r.result = "stall";
    r.error = "quarrow: no progress for 10 s";
    r.seconds = 3.5;
    r.units = 1;
    r.unitName = "pages";
    r.bytes = 2112;
    r.rejections = 2;
    r.board = 7;
    r.attempt = 2;
    r.attempts = 3;
    const std::string line = FormatBoardRecord(r);
    EXPECT_EQ(std::string::npos, line.find('\n'));
    for (const char* part :
         {"\"start\":\"2026-12-09T12:00:00.000Z\"", "\"tool\":\"quarrow\"", "\"host\":\"line-3\"",
          "\"port\":\"usb:A50285BI\"", "\"vendor_id\":\"0403\"", "\"serial\":\"A50285BI\"", "\"usb_path\":\"1-1.4\"",
          "\"product\":\"FT232R \\\"USB\\\" UART\"", "\"image\":{\"file\":\"fw.bin\",\"size\":4224,\"sha256\":\"aaaa",
          "\"board\":7,\"try\":2,\"tries\":3", "\"result\":\"stall\"", "\"error\":\"quarrow: no progress for 10 s\"",
          "\"seconds\":3.500", "\"units\":1,\"unit\":\"pages\",\"bytes\":2112", "\"rejections\":2,\"data_errors\":0"})
        EXPECT_NE(std::string::npos, line.find(part)) << part << "\n" << line;

    BoardRecord erase;  // no image, no adapter, no error
    erase.result = "success";
    const std::string plain = FormatBoardRecord(erase);
    EXPECT_NE(std::string::npos, plain.find("\"image\":null"));
    EXPECT_NE(std::string::npos, plain.find("\"error\":null"));
    EXPECT_NE(std::string::npos, plain.find("\"vendor_id\":null"));
}

// Threads of one process and several processes appending to one file: every line
// arrives whole, none mixed with another.
TEST(BoardLog, AppendsOfManyWritersNeverMix)
{
    const std::string path = ::testing::TempDir() + "board_log_" + std::to_string(::getpid()) + ".jsonl";
    std::remove(path.c_str());
    constexpr int PROCESSES = 3, THREADS = 4, LINES = 50;
    auto writeLines = [&path](int writer) {
        BoardLog log;
        std::string error;
        ASSERT_TRUE(log.Open(path, error)) << error;
        std::vector<std::thread> threads;
        for (int t = 0; t < THREADS; ++t)
            threads.emplace_back([&log, writer, t] {
                for (int i = 0; i < LINES; ++i) {
                    std::string e;
                    const std::string line = "{\"w\":" + std::to_string(writer) + ",\"t\":" + std::to_string(t) +
                                             ",\"pad\":\"" + std::string(3000 + i * 7, 'x') + "\"}";
                    EXPECT_TRUE(log.Append(line, e)) << e;
                }
            });
        for (auto& thread : threads)
            thread.join();
    };
    std::vector<pid_t> children;
    for (int p = 1; p < PROCESSES; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            writeLines(p);
            ::_exit(::testing::Test::HasFailure() ? 1 : 0);
        }
        children.push_back(pid);
    }
    writeLines(0);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::ifstream in(path);
    std::string line;
    int lines = 0;
    while (std::getline(in, line)) {
        ++lines;
        ASSERT_EQ(0u, line.find("{\"w\":")) << "line " << lines;
        const std::size_t pad = line.find(",\"pad\":\"");
        ASSERT_NE(std::string::npos, pad);
        EXPECT_EQ(line.size(), line.find_first_not_of('x', pad + 8) + 2) << "line " << lines;
        EXPECT_EQ("\"}", line.substr(line.size() - 2));
    }
    EXPECT_EQ(PROCESSES * THREADS * LINES, lines);
    std::remove(path.c_str());
}

#include "console/Reporter.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

// Captures what a reporter writes to its two streams.
class Capture {
public:
    Capture()
    {
        m_out = open_memstream(&m_outText, &m_outSize);
        m_err = open_memstream(&m_errText, &m_errSize);
    }
    ~Capture()
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

ProgressSample Sample(const char* phase, long done, long total)
{
    ProgressSample s;
    s.phase = phase;
    s.done = done;
    s.total = total;
    s.unitName = "blocks";
    s.unitBytes = 128;
    return s;
}

std::size_t Count(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

TEST(Reporter, PlainOutputKeepsTheSuccessTextAloneOnStandardOutput)
{
    Capture cap;
    ConsoleReporter reporter(cap.Out(), cap.Err(), false, 80);
    reporter.Status("Open serial success!");
    reporter.Status("Open serial success!");  // unchanged: not repeated
    for (long done = 0; done <= 112; ++done)
        reporter.Progress(Sample("sending", done, 112), done * 0.15);
    EXPECT_TRUE(reporter.Output("Update Complete!"));
    reporter.Failure("Please open update file first!");
    reporter.Finish();

    EXPECT_EQ("Update Complete!\n", cap.OutText());
    std::string err = cap.ErrText();
    EXPECT_EQ(1u, Count(err, "Open serial success!\n"));
    EXPECT_EQ(11u, Count(err, "sending: "));
    EXPECT_NE(std::string::npos, err.find("sending: 100% (112/112 blocks, 0.9 kB/s, done)\n"));
    EXPECT_NE(std::string::npos, err.find("Please open update file first!\n"));
    EXPECT_EQ(std::string::npos, err.find('\r'));  // no terminal control in plain output
}

TEST(Reporter, BarIsRedrawnInPlaceAndClearedAroundWholeLines)
{
    Capture cap;
    ConsoleReporter reporter(cap.Out(), cap.Err(), true, 60);
    reporter.Progress(Sample("erasing", 0, 17), 0.0);
    // Readings closer than the redraw interval do not redraw the bar.
    for (long done = 1; done < 17; ++done)
        reporter.Progress(Sample("erasing", done, 17), 0.001 * done);
    reporter.Progress(Sample("erasing", 17, 17), 0.02);  // the end of a phase always shows
    reporter.Progress(Sample("writing", 0, 4), 0.03);
    reporter.Status("Updata will take several minute!Please wait!");
    reporter.Output("Updata success!");
    reporter.Finish();

    std::string err = cap.ErrText();
    // Drawn empty at 0 %, then not again until the phase ends at 100 %.
    EXPECT_EQ(2u, Count(err, "erasing [")) << err;
    EXPECT_EQ(1u, Count(err, "erasing [>")) << err;
    EXPECT_EQ(1u, Count(err, "100% 17/17")) << err;
    // The finished erase bar stays on its own line when the write phase begins.
    EXPECT_NE(std::string::npos, err.find("done\n\r\033[Kwriting [")) << err;
    // A status line is written over a cleared bar, and the bar comes back after it.
    EXPECT_NE(std::string::npos, err.find("\r\033[KUpdata will take several minute!Please wait!\n\r\033[Kwriting"))
        << err;
    EXPECT_EQ('\n', err.back());
    EXPECT_EQ("Updata success!\n", cap.OutText());
    for (std::size_t at = err.find("\r\033[K"); at != std::string::npos; at = err.find("\r\033[K", at + 1)) {
        std::size_t end = err.find_first_of("\r\n", at + 4);
        std::string line = err.substr(at + 4, end == std::string::npos ? std::string::npos : end - at - 4);
        EXPECT_LT(line.size(), 60u) << line;
    }
}

TEST(Reporter, AFailureLeavesTheBarShowingHowFarTheRunGot)
{
    Capture cap;
    ConsoleReporter reporter(cap.Out(), cap.Err(), true, 80);
    reporter.Progress(Sample("sending", 5, 24), 0.0);
    reporter.Failure("solvane: /dev/ttyUSB0: Input/output error");
    reporter.Finish();
    const std::string err = cap.ErrText();
    // The bar, ended by a line end, then the failure; the bar is never cleared.
    const std::size_t bar = err.rfind("\r\033[Ksending [");
    ASSERT_NE(std::string::npos, bar) << err;
    EXPECT_NE(std::string::npos, err.find(" 5/24 blocks", bar)) << err;
    const std::size_t failure = err.find("\nsolvane: /dev/ttyUSB0: Input/output error\n", bar);
    EXPECT_NE(std::string::npos, failure) << err;
    EXPECT_EQ(1u, Count(err, "\033[K")) << err;
    EXPECT_EQ("solvane: /dev/ttyUSB0: Input/output error", reporter.LastFailure());
}

TEST(Reporter, JsonProgressGoesToStandardOutputAsObjects)
{
    Capture cap;
    ConsoleReporter reporter(cap.Out(), cap.Err(), true, 80);
    reporter.SetJson("\"tool\":\"tirell\",\"port\":\"/dev/pts/3\"");
    reporter.Status("Open serial success!");
    for (long done = 0; done <= 4; ++done)
        reporter.Progress(Sample("sending", done, 4), done * 0.5);
    reporter.Finish();
    EXPECT_EQ(5u, Count(cap.OutText(), "{\"event\":\"progress\",\"tool\":\"tirell\",\"port\":\"/dev/pts/3\","));
    EXPECT_NE(std::string::npos, cap.OutText().find("\"phase\":\"sending\",\"done\":4,\"total\":4,\"unit\":\"blocks\","
                                                    "\"percent\":100,\"seconds\":2.000}\n"));
    // Status lines stay on standard error, and so does the bar, for the person
    // watching the terminal.
    EXPECT_EQ(0u, cap.ErrText().rfind("Open serial success!\n", 0)) << cap.ErrText();
    EXPECT_NE(std::string::npos, cap.ErrText().find("\r\033[Ksending [")) << cap.ErrText();
    EXPECT_EQ(std::string::npos, cap.OutText().find("\033[")) << cap.OutText();
}

TEST(Reporter, AFailedWriteToStandardOutputIsRemembered)
{
    std::FILE* full = std::fopen("/dev/full", "w");
    if (!full)
        GTEST_SKIP() << "no /dev/full on this system";
    Capture cap;
    ConsoleReporter reporter(full, cap.Err(), false, 80);
    EXPECT_FALSE(reporter.Output("Finish"));
    EXPECT_TRUE(reporter.OutputFailed());
    EXPECT_EQ(ENOSPC, reporter.OutputError());
    std::fclose(full);
}

}  // namespace

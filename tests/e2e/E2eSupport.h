// The end-to-end tests' fixture: device-sim on a pseudo-terminal behind a link, a
// console program against it, and what both reported.
#pragma once

#include "Process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace e2e {

struct Outcome {
    ProcessResult tool;
    ProcessResult sim;
    std::map<std::string, std::string> report;  // device-sim's "key: value" lines
    std::vector<std::uint8_t> flash;
    std::string frameLog;
    double toolSeconds = 0;  // how long the tool ran
};

inline std::vector<std::uint8_t> Pattern(std::size_t size, unsigned salt)
{
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 2463534242u + salt;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

inline bool HasLine(const std::string& text, const std::string& line)
{
    std::istringstream in(text);
    std::string l;
    while (std::getline(in, l))
        if (l == line)
            return true;
    return false;
}

inline bool Contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string base = ::testing::TempDir() + "e2e_XXXXXX";
        ASSERT_NE(mkdtemp(base.data()), nullptr);
        m_dir = base;
    }

    void TearDown() override
    {
        const std::string command = "rm -rf '" + m_dir + "'";
        if (std::system(command.c_str()) != 0)
            std::fprintf(stderr, "could not remove %s\n", m_dir.c_str());
    }

    std::string Path(const std::string& name) const { return m_dir + "/" + name; }

    std::string WriteFile(const std::string& name, const std::vector<std::uint8_t>& bytes)
    {
        const std::string path = Path(name);
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        return path;
    }

    std::string WriteImage(const std::vector<std::uint8_t>& bytes) { return WriteFile("image.bin", bytes); }

    // Starts device-sim with `argv` and waits until its link is in place.
    void WaitForLink(Process& sim, const std::string& link)
    {
        EXPECT_TRUE(sim.Started());
        for (int i = 0; i < 500 && sim.OutputSoFar().find("line: ") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        struct stat st {};
        EXPECT_EQ(lstat(link.c_str(), &st), 0) << "device-sim did not come up";
    }

    static std::map<std::string, std::string> ParseReport(const std::string& text)
    {
        std::map<std::string, std::string> report;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line)) {
            const std::size_t colon = line.find(": ");
            if (colon != std::string::npos && line.rfind("error: ", 0) != 0)
                report[line.substr(0, colon)] = line.substr(colon + 2);
        }
        return report;
    }

    // Runs device-sim (loader, extra arguments) and the tool against it. An empty image
    // path runs the tool without one (Dunmere). `toolArgs` come before the image.
    Outcome Run(const std::string& loader, const std::string& tool, const std::vector<std::string>& simArgs,
                const std::string& image = "", int toolTimeoutSeconds = 1,
                const std::vector<std::string>& toolArgs = {}, bool simExpects = true)
    {
        Outcome outcome;
        const std::string link = Path("line");
        std::vector<std::string> simArgv = {DEVICE_SIM,         "--loader",   loader,    "--baud",          "0",
                                            "--link",           link,         "--flash", Path("flash.bin"), "--log",
                                            Path("frames.log"), "--max-time", "60"};
        if (loader == "solvane" || loader == "tirell")
            simArgv.insert(simArgv.end(), {"--announce", "100"});
        if (loader != "erase" && !image.empty() && simExpects)
            simArgv.insert(simArgv.end(), {"--expect", image});
        simArgv.insert(simArgv.end(), simArgs.begin(), simArgs.end());

        Process sim(simArgv, Path("sim"));
        WaitForLink(sim, link);

        std::vector<std::string> toolArgv = {tool, "--port", link, "--timeout", std::to_string(toolTimeoutSeconds)};
        toolArgv.insert(toolArgv.end(), toolArgs.begin(), toolArgs.end());
        if (!image.empty())
            toolArgv.push_back(image);
        const auto start = std::chrono::steady_clock::now();
        Process toolProcess(toolArgv, Path("tool"));
        EXPECT_TRUE(toolProcess.Started());
        outcome.tool = toolProcess.Wait(30000);
        outcome.toolSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

        // The device ends when the tool closes the line; one that never saw the tool
        // is asked to stop.
        outcome.sim = sim.Wait(3000, /*terminateFirst=*/true);
        outcome.report = ParseReport(outcome.sim.out);
        const std::string flash = ReadText(Path("flash.bin"));
        outcome.flash.assign(flash.begin(), flash.end());
        outcome.frameLog = ReadText(Path("frames.log"));
        return outcome;
    }

    // Runs a tool with no device behind it (refusals before the port is opened,
    // port messages).
    ProcessResult RunAlone(const std::vector<std::string>& argv)
    {
        Process tool(argv, Path("alone"));
        ProcessResult r = tool.Wait(10000);
        EXPECT_FALSE(r.killed);
        EXPECT_FALSE(r.signalled);
        return r;
    }

    static void ExpectSuccess(const Outcome& o, const std::string& successText)
    {
        EXPECT_FALSE(o.tool.killed) << "the tool hung";
        EXPECT_FALSE(o.tool.signalled) << "the tool crashed";
        EXPECT_EQ(o.tool.exitStatus, 0) << o.tool.err;
        EXPECT_TRUE(HasLine(o.tool.out, successText)) << o.tool.out;
        EXPECT_EQ(o.sim.exitStatus, 0) << o.sim.out << o.sim.err;
        EXPECT_EQ(o.report.count("all checked") ? o.report.at("all checked") : "", "yes");
    }

    // A defined failure: non-zero exit with a message, no success text, no hang or crash;
    // the device found nothing wrong in what the tool did send.
    static void ExpectFailure(const Outcome& o, const std::string& successText)
    {
        EXPECT_FALSE(o.tool.killed) << "the tool hung";
        EXPECT_FALSE(o.tool.signalled) << "the tool crashed";
        EXPECT_GT(o.tool.exitStatus, 0);
        EXPECT_FALSE(o.tool.err.empty());
        EXPECT_FALSE(HasLine(o.tool.out, successText)) << o.tool.out;
        EXPECT_EQ(o.report.count("errors") ? o.report.at("errors") : "", "0") << o.sim.out;
    }

    std::string m_dir;
};

}  // namespace e2e

// Stations: several ports in one run, one board after another, the record of every
// board, and runs ended by a signal, each tool against device-sim on pseudo-terminals.
#include "E2eSupport.h"
#include "JsonLines.h"

#include "common/Sha256.h"

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <set>
#include <termios.h>
#if defined(__APPLE__)
#include <util.h>
#else
#include <pty.h>
#endif

using namespace e2e;

namespace {

class Stations : public EndToEnd {
protected:
    // Starts device-sim for the whole-flash loader on link `name`, expecting `image`
    // and writing its flash, as long as the image, to `name`.flash.
    std::unique_ptr<Process> StartQuarrowSim(const std::string& name, const std::string& image, std::size_t size,
                                             const std::vector<std::string>& extra = {})
    {
        std::vector<std::string> argv = {DEVICE_SIM,
                                         "--loader",
                                         "quarrow",
                                         "--baud",
                                         "0",
                                         "--link",
                                         Path(name),
                                         "--expect",
                                         image,
                                         "--flash",
                                         Path(name + ".flash"),
                                         "--flash-length",
                                         std::to_string(size),
                                         "--max-time",
                                         "60"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto sim = std::make_unique<Process>(argv, Path(name + ".sim"));
        WaitForLink(*sim, Path(name));
        return sim;
    }

    static std::size_t CountLines(const std::string& text, const std::string& part)
    {
        std::size_t n = 0;
        for (const std::string& line : Lines(text))
            n += line.find(part) != std::string::npos ? 1 : 0;
        return n;
    }

    static std::vector<std::string> Lines(const std::string& text)
    {
        std::vector<std::string> lines;
        std::istringstream in(text);
        std::string line;
        while (std::getline(in, line))
            lines.push_back(line);
        return lines;
    }
};

// Four stations at once, the third of whose devices falls silent half-way: the other
// three write their images whole, the third ends on the stall limit, and the exit
// status, the results and the summary all say so.
TEST_F(Stations, FourQuarrowStationsOneFallsSilent)
{
    const std::vector<std::uint8_t> bytes = Pattern(5000, 41);  // 3 pages: 17 + 48 frames
    const std::string image = WriteImage(bytes);
    std::vector<std::unique_ptr<Process>> sims;
    for (int k = 1; k <= 4; ++k)
        sims.push_back(
            StartQuarrowSim("line" + std::to_string(k), image, bytes.size(),
                            k == 3 ? std::vector<std::string>{"--silent-after", "40"} : std::vector<std::string>{}));
    Process tool({QUARROW, "--port", Path("line1"), "--port", Path("line2"), "--port", Path("line3"), "--port",
                  Path("line4"), "--stall", "2", "--timeout", "5", "--json", image},
                 Path("tool"));
    const ProcessResult r = tool.Wait(30000);
    ASSERT_FALSE(r.killed) << r.err;
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    for (auto& sim : sims)
        sim->Wait(5000, /*terminateFirst=*/true);

    std::map<std::string, std::map<std::string, std::string>> results;
    std::map<std::string, std::string> summary;
    for (const auto& object : JsonLines(r.out)) {
        if (object.at("event") == "result")
            results[object.at("port")] = object;
        else if (object.at("event") == "summary")
            summary = object;
    }
    ASSERT_EQ(results.size(), 4u) << r.out;
    for (int k = 1; k <= 4; ++k) {
        const std::string port = Path("line" + std::to_string(k));
        SCOPED_TRACE(port);
        const auto& result = results[port];
        if (k == 3) {
            EXPECT_EQ(result.at("status"), "failure");
            EXPECT_EQ(result.at("result"), "stall");
            EXPECT_TRUE(Contains(result.at("error"), "no progress for 2 s (--stall)")) << result.at("error");
            continue;
        }
        EXPECT_EQ(result.at("status"), "success");
        EXPECT_EQ(result.at("pages"), "3");
        const std::string flash = ReadText(port + ".flash");
        EXPECT_TRUE(flash == std::string(bytes.begin(), bytes.end())) << "the device's flash differs from the image";
    }
    EXPECT_EQ(summary.at("boards"), "4");
    EXPECT_EQ(summary.at("succeeded"), "3");
    EXPECT_EQ(summary.at("failed"), "1");
    EXPECT_EQ(summary.at("exit"), "1");
    EXPECT_EQ(summary.at("stations[2].result"), "stall");
    // Every line of the stations' on standard error names its station (a debug build's
    // engine traces lines of its own there too).
    for (const std::string& line : Lines(r.err))
        for (const char* unnamed : {"quarrow", "writing", "erasing", "Open serial", "Updata"})
            EXPECT_NE(line.rfind(unnamed, 0), 0u) << line;
    EXPECT_TRUE(Contains(r.err, Path("line3") + ": quarrow: no progress for 2 s")) << r.err;
}

// Without --json the stations' lines carry their port and the run ends on a table of
// the stations: the one whose port does not exist fails alone.
TEST_F(Stations, TheSummaryTableNamesEachStationsResult)
{
    const std::vector<std::uint8_t> bytes = Pattern(3000, 42);
    const std::string image = WriteImage(bytes);
    auto sim = StartQuarrowSim("line1", image, bytes.size());
    std::ofstream(Path("ports.txt")) << "# the jig\n" << Path("line1") << "\n\n  " << Path("missing") << "  \n";
    Process tool({QUARROW, "--ports", Path("ports.txt"), "--timeout", "5", image}, Path("tool"));
    const ProcessResult r = tool.Wait(30000);
    sim->Wait(5000, true);
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    const std::vector<std::string> out = Lines(r.out);
    ASSERT_GE(out.size(), 4u) << r.out;
    EXPECT_EQ(out[0].rfind("station", 0), 0u) << r.out;
    EXPECT_EQ(out[1].rfind(Path("line1"), 0), 0u);
    EXPECT_TRUE(Contains(out[1], "success")) << out[1];
    EXPECT_EQ(out[2].rfind(Path("missing"), 0), 0u);
    EXPECT_TRUE(Contains(out[2], "failure")) << out[2];
    EXPECT_TRUE(Contains(r.out, "quarrow: 2 boards: 1 done, 1 failed")) << r.out;
    EXPECT_TRUE(Contains(r.err, Path("line1") + ": Updata success!")) << r.err;
    EXPECT_TRUE(Contains(r.err, Path("missing") + ": quarrow: ")) << r.err;
}

// Ctrl-C in the middle of a write ends it cleanly: one line says where it stopped and
// that the device holds part of the image, the JSON result says "interrupted", and the
// exit status is 130.
TEST_F(Stations, AnInterruptedRunSaysWhereItStopped)
{
    const std::vector<std::uint8_t> bytes = Pattern(16 * 2112, 43);
    const std::string image = WriteImage(bytes);
    auto sim = StartQuarrowSim("line", image, bytes.size(), {"--baud", "115200"});
    Process tool({QUARROW, "--port", Path("line"), "--json", image}, Path("tool"));
    for (int i = 0; i < 300 && !Contains(tool.OutputSoFar(), "\"phase\":\"writing\""); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    tool.Signal(SIGINT);
    const ProcessResult r = tool.Wait(10000);
    sim->Wait(5000, true);
    EXPECT_FALSE(r.killed);
    EXPECT_EQ(r.exitStatus, 130) << r.err;
    EXPECT_TRUE(Contains(r.err, "quarrow: interrupted at page ")) << r.err;
    EXPECT_TRUE(Contains(r.err, "; the device holds a partial image")) << r.err;
    const auto objects = JsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back().at("event"), "result");
    EXPECT_EQ(objects.back().at("status"), "interrupted");
    EXPECT_EQ(objects.back().at("exit"), "130");
}

// --simulate with several stations: each gets its own device in the process, on
// its own port number, and each device confirms its whole job; no pseudo-terminal.
TEST_F(Stations, SimulatedStationsEachHaveTheirOwnDevice)
{
    Process tool({DUNMERE, "--simulate", "--stations", "3", "--json", "--timeout", "10"}, Path("tool"));
    const ProcessResult r = tool.Wait(60000);
    ASSERT_FALSE(r.killed) << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    std::map<std::string, std::map<std::string, std::string>> results;
    for (const auto& object : JsonLines(r.out)) {
        if (object.at("event") == "result")
            results[object.at("port")] = object;
    }
    ASSERT_EQ(results.size(), 3u) << r.out;
    std::set<std::string> devices;
    for (int k = 1; k <= 3; ++k) {
        const std::string station = "sim-" + std::to_string(k);
        SCOPED_TRACE(station);
        EXPECT_EQ(results[station].at("status"), "success");
        EXPECT_EQ(results[station].at("frames"), "1008");
        const std::size_t at = r.err.find(station + ": Simulated device on COM");
        ASSERT_NE(at, std::string::npos) << r.err;
        const std::string line = r.err.substr(at, r.err.find('\n', at) - at);
        EXPECT_TRUE(Contains(line, "(in this process)")) << line;
        devices.insert(line);
    }
    EXPECT_EQ(devices.size(), 3u) << "stations share a device";
    EXPECT_FALSE(Contains(r.err, "/dev/pts/")) << r.err;
    std::size_t confirmed = 0;
    for (std::size_t at = r.err.find("Simulated device: 1008 frames received, 0 errors"); at != std::string::npos;
         at = r.err.find("Simulated device: 1008 frames received, 0 errors", at + 1))
        ++confirmed;
    EXPECT_EQ(confirmed, 3u) << r.err;
}

// A record is whole or absent: killed in the middle of its second board, the process
// leaves the first board's line complete and no part of the second.
TEST_F(Stations, TheLogSurvivesAKill)
{
    const std::string log = Path("boards.jsonl");
    Process tool({QUARROW, "--simulate", "--count", "3", "--log", log}, Path("tool"));
    for (int i = 0; i < 1500 && ReadText(log).empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_FALSE(ReadText(log).empty()) << "the first board's record never came";
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));  // the second board is on its way
    tool.Signal(SIGKILL);
    tool.Wait(5000);
    const std::string text = ReadText(log);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n') << text;
    const auto records = JsonLines(text);
    ASSERT_EQ(records.size(), 1u) << text;
    EXPECT_EQ(records[0].at("board"), "1");
    EXPECT_EQ(records[0].at("result"), "success");
    EXPECT_EQ(records[0].at("tool"), "quarrow");
    EXPECT_EQ(records[0].at("image.size"), "33792");
    EXPECT_EQ(records[0].at("image.sha256").size(), 64u);
    EXPECT_EQ(records[0].at("bytes"), "33792");
}

// --repeat with --count against a device whose loader restarts after every board (a
// jig whose boards are changed behind one adapter): the loader's start reply is the
// sign of the next board, and each board is recorded with the image's digest.
TEST_F(Stations, RepeatedBoardsAreRecordedWithTheImagesDigest)
{
    const std::vector<std::uint8_t> bytes = Pattern(2000, 44);
    const std::string image = WriteImage(bytes);
    const std::string log = Path("boards.jsonl");
    Process sim({DEVICE_SIM, "--loader", "solvane", "--baud", "0", "--link", Path("line"), "--expect", image,
                 "--announce", "100", "--boards", "3", "--max-time", "30"},
                Path("sim"));
    WaitForLink(sim, Path("line"));
    Process tool({SOLVANE, "--port", Path("line"), "--repeat", "--count", "3", "--log", log, image}, Path("tool"));
    const ProcessResult r = tool.Wait(30000);
    const ProcessResult s = sim.Wait(5000, true);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(s.exitStatus, 0) << s.out;
    EXPECT_EQ(CountLines(s.out, "all checked: yes"), 3u) << s.out;
    const auto records = JsonLines(ReadText(log));
    ASSERT_EQ(records.size(), 3u);
    for (std::size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(records[k].at("board"), std::to_string(k + 1));
        EXPECT_EQ(records[k].at("result"), "success");
        EXPECT_EQ(records[k].at("image.file"), image);
        EXPECT_EQ(records[k].at("image.size"), "2000");
        EXPECT_EQ(records[k].at("image.sha256"), Sha256Hex(bytes.data(), bytes.size()));
        EXPECT_EQ(records[k].at("units"), "16");
        EXPECT_EQ(records[k].at("bytes"), "2048");
    }
    EXPECT_TRUE(Contains(r.out, "solvane: 3 boards: 3 done, 0 failed")) << r.out;
    EXPECT_EQ(CountLines(r.out, "Update Complete!"), 3u) << r.out;
}

// --retries: a board whose run failed is run again from its start, and each try is in
// the record; the board counts once, as failed when every try failed.
TEST_F(Stations, AFailedBoardIsTriedAgainAndEveryTryIsRecorded)
{
    const std::vector<std::uint8_t> bytes = Pattern(3000, 46);
    const std::string image = WriteImage(bytes);
    const std::string log = Path("boards.jsonl");
    auto sim = StartQuarrowSim("line", image, bytes.size(), {"--silent-after", "30", "--boards", "2"});
    Process tool({QUARROW, "--port", Path("line"), "--stall", "1", "--retries", "1", "--log", log, "--json", image},
                 Path("tool"));
    const ProcessResult r = tool.Wait(30000);
    sim->Wait(5000, true);
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    const auto records = JsonLines(ReadText(log));
    ASSERT_EQ(records.size(), 2u) << ReadText(log);
    for (std::size_t k = 0; k < records.size(); ++k) {
        EXPECT_EQ(records[k].at("board"), "1");
        EXPECT_EQ(records[k].at("try"), std::to_string(k + 1));
        EXPECT_EQ(records[k].at("tries"), "2");
        EXPECT_EQ(records[k].at("result"), "stall");
    }
    EXPECT_TRUE(Contains(r.err, "quarrow: running the board again from its start (try 2 of 2)")) << r.err;
    // The second try began again with the erase: its first frame went to the device.
    EXPECT_TRUE(Contains(r.err, "quarrow: board 1, try 2 of 2")) << r.err;
    const auto objects = JsonLines(r.out);
    ASSERT_FALSE(objects.empty());
    EXPECT_EQ(objects.back().at("event"), "result");
    EXPECT_EQ(objects.back().at("try"), "2");
}

// A board that goes away in the middle of its run (its adapter pulled) is recorded as
// failed, and the port coming back is the next board: the station does not wait for it
// to go away once more.
TEST_F(Stations, ABoardPulledInTheMiddleFailsAndTheNextOneFollows)
{
    const std::vector<std::uint8_t> bytes = Pattern(4000, 47);
    const std::string image = WriteImage(bytes);
    auto sim =
        StartQuarrowSim("line", image, bytes.size(), {"--vanish-after", "20", "--boards", "2", "--leave", "300"});
    Process tool(
        {QUARROW, "--port", Path("line"), "--count", "2", "--stall", "2", "--log", Path("boards.jsonl"), image},
        Path("tool"));
    const ProcessResult r = tool.Wait(20000);
    sim->Wait(5000, true);
    ASSERT_FALSE(r.killed) << r.err;
    EXPECT_EQ(r.exitStatus, 1) << r.err;
    const auto records = JsonLines(ReadText(Path("boards.jsonl")));
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.at("result"), "failure");
        EXPECT_TRUE(Contains(record.at("error"), "device unplugged?")) << record.at("error");
    }
    EXPECT_TRUE(Contains(r.err, "quarrow: waiting for " + Path("line") + " to come back")) << r.err;
    EXPECT_TRUE(Contains(r.out, "quarrow: 2 boards: 0 done, 2 failed")) << r.out;
}

// An adapter on the board itself: the board leaves (its port goes away) and the next
// one comes (the port is back, here with a new pseudo-terminal behind the same node).
// The station finds it again by its place on the USB tree and writes it too.
TEST_F(Stations, ABoardThatLeavesAndComesBackIsFoundAgainByItsUsbPath)
{
    namespace fs = std::filesystem;
    const fs::path root = Path("root");
    const fs::path usb = root / "sys/devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1.4";
    const fs::path tty = usb / "1-1.4:1.0/ttyUSB0";
    fs::create_directories(tty);
    fs::create_directories(root / "sys/class/tty/ttyUSB0");
    fs::create_directories(root / "sys/bus/usb-serial/drivers/ftdi_sio");
    fs::create_directories(root / "dev");
    fs::create_directory_symlink(fs::relative(tty, root / "sys/class/tty/ttyUSB0"),
                                 root / "sys/class/tty/ttyUSB0/device");
    fs::create_directory_symlink(fs::relative(root / "sys/bus/usb-serial/drivers/ftdi_sio", tty), tty / "driver");
    std::ofstream(usb / "idVendor") << "0403\n";
    std::ofstream(usb / "idProduct") << "6001\n";
    std::ofstream(usb / "serial") << "A50285BI\n";
    const std::string node = (root / "dev/ttyUSB0").string();

    const std::vector<std::uint8_t> bytes = Pattern(4000, 45);
    const std::string image = WriteImage(bytes);
    auto board = [&](const std::string& flash) {
        auto sim = std::make_unique<Process>(std::vector<std::string>{DEVICE_SIM, "--loader", "quarrow", "--baud", "0",
                                                                      "--link", node, "--expect", image, "--flash",
                                                                      Path(flash), "--flash-length",
                                                                      std::to_string(bytes.size()), "--max-time", "30"},
                                             Path(flash + ".sim"));
        WaitForLink(*sim, node);
        return sim;
    };
    auto first = board("first.flash");
    ::setenv("SUITE_SYSTEM_ROOT", root.c_str(), 1);
    Process tool(
        {QUARROW, "--port", "usb-path:1-1.4", "--count", "2", "--timeout", "5", "--log", Path("boards.jsonl"), image},
        Path("tool"));
    ::unsetenv("SUITE_SYSTEM_ROOT");
    // The first board is written, then taken away: its device ends with the run.
    const ProcessResult firstSim = first->Wait(20000);
    EXPECT_EQ(firstSim.exitStatus, 0) << firstSim.out << firstSim.err;
    for (int i = 0; i < 500 && !Contains(ReadText(Path("tool.err")), "waiting for the next board"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto second = board("second.flash");
    const ProcessResult r = tool.Wait(30000);
    second->Wait(5000, true);
    ASSERT_FALSE(r.killed) << r.err;
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(Contains(r.err, "usb-path:1-1.4 is " + node)) << r.err;
    const std::string want(bytes.begin(), bytes.end());
    EXPECT_TRUE(ReadText(Path("first.flash")) == want);
    EXPECT_TRUE(ReadText(Path("second.flash")) == want);
    const auto records = JsonLines(ReadText(Path("boards.jsonl")));
    ASSERT_EQ(records.size(), 2u);
    for (const auto& record : records) {
        EXPECT_EQ(record.at("result"), "success");
        EXPECT_EQ(record.at("port"), "usb-path:1-1.4");
        EXPECT_EQ(record.at("adapter.usb_path"), "1-1.4");
        EXPECT_EQ(record.at("adapter.serial"), "A50285BI");
        EXPECT_EQ(record.at("adapter.device"), node);
    }
    EXPECT_TRUE(Contains(r.out, "quarrow: 2 boards: 2 done, 0 failed")) << r.out;
}

// A tool pointed at a terminal someone uses (echo and line editing on) leaves it as it
// found it: after the run, here one that gives up waiting for a device, the terminal's
// settings are the ones it had.
TEST_F(Stations, ATerminalIsLeftAsTheToolFoundIt)
{
    int master = -1, slave = -1;
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    termios before{};
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    before.c_lflag |= ECHO | ICANON | ISIG | IEXTEN;
    before.c_iflag |= ICRNL;
    before.c_oflag |= OPOST | ONLCR;
    cfsetispeed(&before, B9600);
    cfsetospeed(&before, B9600);
    ASSERT_EQ(tcsetattr(slave, TCSANOW, &before), 0);
    ASSERT_EQ(tcgetattr(slave, &before), 0);
    close(slave);  // the tool opens it exclusively

    Process tool({SOLVANE, "--port", name, "--timeout", "1", WriteImage(Pattern(500, 48))}, Path("tool"));
    const ProcessResult r = tool.Wait(10000);
    EXPECT_EQ(r.exitStatus, 3) << r.err;

    slave = open(name, O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios after{};
    ASSERT_EQ(tcgetattr(slave, &after), 0);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(0, std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc));
    close(slave);
    close(master);
}

}  // namespace

#include "console/CommandLine.h"

#include <gtest/gtest.h>

namespace {

const ToolTraits IMAGE_TOOL{"quarrow",
                            "Writes a whole-flash image.",
                            true,
                            "any file, raw bytes",
                            "Without IMAGE a built-in image is used.",
                            "Updata success!",
                            "pages",
                            true,
                            false};
const ToolTraits ERASE_TOOL{"dunmere", "Erases the flash.", false, "", "", "Finish", "frames", false, false};

std::string Parse(const ToolTraits& traits, std::vector<std::string> args, CommandLine& out)
{
    return ParseCommandLine(traits, args, out);
}

TEST(CommandLine, AcceptsEveryFormOfTheDocumentedCommands)
{
    CommandLine cl;
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--port", "/dev/ttyUSB0", "fw.bin"}, cl));
    EXPECT_EQ(std::vector<std::string>{"/dev/ttyUSB0"}, cl.ports);
    EXPECT_EQ("fw.bin", cl.image);
    EXPECT_FALSE(cl.simulate);
    EXPECT_EQ(0.0, cl.timeoutSeconds);

    EXPECT_EQ("", Parse(IMAGE_TOOL, {"fw.bin", "--port=COM3", "--trace", "--timeout=2.5"}, cl));
    EXPECT_EQ(std::vector<std::string>{"COM3"}, cl.ports);
    EXPECT_EQ("fw.bin", cl.image);
    EXPECT_TRUE(cl.trace);
    EXPECT_DOUBLE_EQ(2.5, cl.timeoutSeconds);

    EXPECT_EQ("", Parse(ERASE_TOOL, {"--port", "COM1", "--timeout", "0"}, cl));
    EXPECT_EQ(std::vector<std::string>{"COM1"}, cl.ports);
    EXPECT_TRUE(cl.timeoutGiven);
    EXPECT_EQ(0.0, cl.timeoutSeconds);

    // After "--" a name that starts with a dash is an image, not an option.
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--port", "COM2", "--", "-odd.bin"}, cl));
    EXPECT_EQ("-odd.bin", cl.image);
}

TEST(CommandLine, SimulateNeedsNoPortNoImageAndBoundsTheWait)
{
    CommandLine cl;
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--simulate"}, cl));
    EXPECT_TRUE(cl.simulate);
    EXPECT_TRUE(cl.image.empty());
    EXPECT_DOUBLE_EQ(SIMULATE_DEFAULT_TIMEOUT, cl.timeoutSeconds);

    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--simulate", "--timeout", "5", "img"}, cl));
    EXPECT_DOUBLE_EQ(5.0, cl.timeoutSeconds);
    EXPECT_EQ("img", cl.image);

    EXPECT_EQ("", Parse(ERASE_TOOL, {"--simulate"}, cl));
}

TEST(CommandLine, RejectsIncompleteOrContradictoryLines)
{
    CommandLine cl;
    EXPECT_NE("", Parse(IMAGE_TOOL, {"fw.bin"}, cl));                    // no device
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1"}, cl));            // no image
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port"}, cl));                    // no value
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port=", "fw.bin"}, cl));         // empty value
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", "a", "b"}, cl));  // two images
    EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "COM1", "fw.bin"}, cl));  // no image taken
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", "--simulate", "x"}, cl));
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", "--frobnicate", "x"}, cl));
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--trace=yes", "--simulate"}, cl));
}

TEST(CommandLine, RunLimitsImageCutJsonAndPortListing)
{
    CommandLine cl;
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--port", "COM1", "img"}, cl));
    EXPECT_DOUBLE_EQ(DEFAULT_STALL_SECONDS, cl.stallSeconds);
    EXPECT_EQ(DEFAULT_MAX_REJECTS, cl.maxRejects);
    EXPECT_FALSE(cl.cut);
    EXPECT_FALSE(cl.json);

    EXPECT_EQ("",
              Parse(IMAGE_TOOL, {"--port", "COM1", "--stall=2.5", "--max-rejects", "0", "--cut", "--json", "img"}, cl));
    EXPECT_DOUBLE_EQ(2.5, cl.stallSeconds);
    EXPECT_EQ(0, cl.maxRejects);
    EXPECT_TRUE(cl.cut);
    EXPECT_TRUE(cl.json);

    for (const char* bad : {"-1", "x", "", "1.5"})
        EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", "--max-rejects", bad, "img"}, cl)) << bad;
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", "--stall", "-3", "img"}, cl));
    // Options that mean nothing for the tool are refused, not ignored.
    EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "COM1", "--max-rejects", "3"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "COM1", "--cut"}, cl));

    // An empty image name is a mistake, not "no image" (which --simulate would fill in).
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--simulate", ""}, cl));
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--port", "COM1", ""}, cl));

    EXPECT_EQ("", Parse(ERASE_TOOL, {"--list-ports"}, cl));
    EXPECT_TRUE(cl.listPorts);
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--list-ports", "--json"}, cl));
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--list-ports", "--port", "COM1"}, cl));
    EXPECT_NE("", Parse(IMAGE_TOOL, {"--list-ports", "img"}, cl));
}

TEST(CommandLine, TimeoutMustBeAFiniteNonNegativeNumber)
{
    CommandLine cl;
    for (const char* bad : {"", "-1", "abc", "3s", "1e999", "nan", "inf"})
        EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "COM1", "--timeout", bad}, cl)) << bad;
    EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "COM1", "--timeout"}, cl));
    EXPECT_EQ("", Parse(ERASE_TOOL, {"--port", "COM1", "--timeout", "0.25"}, cl));
    EXPECT_DOUBLE_EQ(0.25, cl.timeoutSeconds);
}

TEST(CommandLine, HelpAndVersionNeedNothingElse)
{
    CommandLine cl;
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"--help"}, cl));
    EXPECT_TRUE(cl.help);
    EXPECT_EQ("", Parse(IMAGE_TOOL, {"-h", "too", "many", "args"}, cl));
    EXPECT_TRUE(cl.help);
    EXPECT_EQ("", Parse(ERASE_TOOL, {"--version"}, cl));
    EXPECT_TRUE(cl.version);
    // A mistake before --help is still reported.
    EXPECT_NE("", Parse(ERASE_TOOL, {"--bogus", "--help"}, cl));
}

TEST(CommandLine, HelpPageDescribesTheTool)
{
    std::string image = UsageText(IMAGE_TOOL);
    EXPECT_NE(std::string::npos, image.find("quarrow --port DEV"));
    EXPECT_NE(std::string::npos, image.find(" IMAGE"));
    EXPECT_NE(std::string::npos, image.find("\"Updata success!\""));
    EXPECT_NE(std::string::npos, image.find("--simulate"));
    EXPECT_NE(std::string::npos, image.find("--timeout SECONDS"));
    EXPECT_NE(std::string::npos, image.find("built-in image"));
    EXPECT_NE(std::string::npos, image.find("--max-rejects"));
    EXPECT_NE(std::string::npos, image.find("130"));
    EXPECT_NE(std::string::npos, image.find("143"));

    std::string erase = UsageText(ERASE_TOOL);
    EXPECT_EQ(std::string::npos, erase.find("IMAGE"));
    EXPECT_NE(std::string::npos, erase.find("\"Finish\""));
    EXPECT_EQ(std::string::npos, erase.find("--max-rejects")) << "Dunmere's device never rejects a frame";
    EXPECT_EQ(std::string::npos, erase.find("--cut"));
    for (std::size_t at = 0, end; at < image.size(); at = end + 1) {
        end = image.find('\n', at);
        EXPECT_LE(end - at, 80u) << image.substr(at, end - at);
    }

    std::string version = VersionText(ERASE_TOOL);
    EXPECT_EQ(0u, version.rfind("dunmere ", 0));
    EXPECT_EQ('\n', version.back());
}

}  // namespace

TEST(CommandLine, StationsRepeatsRetriesAndTheLog)
{
    CommandLine cl;
    EXPECT_EQ("",
              Parse(IMAGE_TOOL, {"--port", "/dev/ttyUSB0", "--port", "usb-path:1-1.4", "-p", "COM12", "a.bin"}, cl));
    EXPECT_EQ((std::vector<std::string>{"/dev/ttyUSB0", "usb-path:1-1.4", "COM12"}), cl.ports);
    EXPECT_FALSE(cl.repeat);

    EXPECT_EQ(
        "", Parse(IMAGE_TOOL, {"--ports", "jig.txt", "--count=5", "--retries", "2", "--log", "b.jsonl", "a.bin"}, cl));
    EXPECT_EQ("jig.txt", cl.portsFile);
    EXPECT_TRUE(cl.repeat);  // --count implies it
    EXPECT_EQ(5, cl.count);
    EXPECT_EQ(2, cl.retries);
    EXPECT_EQ("b.jsonl", cl.logPath);

    EXPECT_EQ("", Parse(ERASE_TOOL, {"--simulate", "--stations", "4", "--repeat"}, cl));
    EXPECT_EQ(4, cl.stations);
    EXPECT_TRUE(cl.repeat);
    EXPECT_EQ(0, cl.count);

    EXPECT_NE("", Parse(ERASE_TOOL, {"--port", "/dev/ttyUSB0", "--stations", "2"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--stations", "0"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--stations", "65"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--count", "0"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--retries", "-1"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--log"}, cl));
    EXPECT_NE("", Parse(ERASE_TOOL, {"--simulate", "--repeat=yes"}, cl));
}

// COM0 is no port: the numbers start at 1, and the message says so rather than
// trying to open a file of that name. Every other n is a port.
TEST(CommandLine, ComZeroIsAUsageError)
{
    CommandLine cl;
    for (const char* name : {"COM0", "com0", "COM00"})
        EXPECT_EQ(std::string("--port ") + name + ": ports are numbered from COM1",
                  Parse(ERASE_TOOL, {"--port", name}, cl));
    EXPECT_EQ("", Parse(ERASE_TOOL, {"--port", "COM10"}, cl));
    EXPECT_EQ("", Parse(ERASE_TOOL, {"--port", "COM0X"}, cl));  // a file name, then
    EXPECT_NE(std::string::npos, UsageText(ERASE_TOOL).find("COMn (n = 1, 2, ...)"));
}

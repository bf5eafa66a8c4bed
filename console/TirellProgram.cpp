// tirell: the second variant of the in-application-programming updater.
#include "console/IapProgram.h"
#include "iap/IapTexts.h"

int main(int argc, char** argv)
{
    const ToolTraits traits{
        "tirell",
        "Updates the device's firmware through the second variant of its in-application-\n"
        "programming loader at 19200 baud. The device leads: once the port is open, the\n"
        "program waits for the loader's start reply, then sends the image in 128-byte\n"
        "blocks, and answers the loader's requests to wait.",
        true,
        "a .bin or .hex file, sent as raw bytes (a .hex file is not\n"
        "                     decoded), at most 14,336 bytes (see --cut)",
        "Without IMAGE a built-in 3,000-byte image is sent.",
        IAP_TEXT_COMPLETE_TIRELL,
        "blocks",
        false,
        true,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<IapProgram>(host, VARIANT_TIRELL); });
}

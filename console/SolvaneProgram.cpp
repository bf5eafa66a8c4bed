// solvane: updates the device's firmware through its in-application-programming loader.
#include "console/IapProgram.h"
#include "iap/IapTexts.h"

int main(int argc, char** argv)
{
    const ToolTraits traits{
        "solvane",
        "Updates the device's firmware through its in-application-programming loader at\n"
        "19200 baud. The device leads: once the port is open, the program waits for the\n"
        "loader's start reply, then sends the image in 128-byte blocks.",
        true,
        "a .bin or .hex file, sent as raw bytes (a .hex file is not\n"
        "                     decoded), at most 14,336 bytes (see --cut)",
        "Without IMAGE a built-in 3,000-byte image is sent.",
        IAP_TEXT_COMPLETE_SOLVANE,
        "blocks",
        false,
        true,
    };
    return RunConsoleProgram(traits, argc, argv,
                             [](ConsoleHost& host) { return std::make_unique<IapProgram>(host, VARIANT_SOLVANE); });
}

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "app/RecordingCLIDisplay.h"
#include "app/Usage.h"
#include "support/TextLines.h"

using testsupport::Lines;

namespace {

const std::string BLOCK_1 =
    "\n"
    "Application Usage:\n"
    "Updater <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n"
    "    [-d serial_num]\n"
    "    [-t transport] [-r router_serial]\n"
    "    [-s serial_port] [-o baud_rate]\n"
    "\n"
    "  Tessarine Update and Maintenance Application\n"
    "    -H -h or --help for full usage information.\n"
    "\n"
    "\n";

TEST(Usage, ShortTextIsBlockOne)
{
    EXPECT_EQ(_usage_text(false, false), BLOCK_1);
    // The extended block needs the full text as well.
    EXPECT_EQ(_usage_text(true, false), BLOCK_1);
}

TEST(Usage, FullTextLayout)
{
    std::string text = _usage_text(false, true);
    ASSERT_EQ(text.rfind(BLOCK_1, 0), 0u);
    EXPECT_EQ(text.find("Extended"), std::string::npos);

    // Option column of 25 after 5 spaces, continuation under the description.
    EXPECT_NE(text.find("  Parameters to commands:\n"
                        "     -i <kestrune_directory>  - The Kestrune directory used for storage of \n"
                        "                                firmware files. [Default: ~/.kestrune ].\n"
                        "     -b <build number>        - Build version of the firmware to transfer.\n"
                        "                                [Default: latest version available].\n"),
              std::string::npos);
    EXPECT_NE(text.find("     -o <baud rate>           - baud rate for serial port (2400, 4800, 9600,\n"
                        "                                19200, 38400, 57600, 115200, 230400)\n"
                        "  Commands:\n"
                        "     -B                       - list the Builds available for given device.\n"
                        "\n"
                        "     -L                       - list the local Builds available for given device.\n"
                        "\n"),
              std::string::npos);
    EXPECT_NE(text.find("                                specify specific BIRD file using \"-f\" option.\n"
                        "     -J                       - Get a JWT containing the devices software features\n"
                        "     --history                - List the updates, recoveries and downloads kept\n"
                        "                                in the store, newest first; with \"-d\" only\n"
                        "                                those of that device.\n"
                        "     -H or -h                 - Display extended usage information.\n"
                        "\n"
                        "     --http                   - Use HTTP for the update server "
                        "(http://update.kestrune.example/cgi/u).\n"
                        "     --https                  - Use HTTPS for the update server "
                        "(https://update.kestrune.example/cgi/u).\n"
                        "                                Recommended; HTTPS will be the default in the next major "
                        "version.\n"
                        "     --verify                 - With \"-U\": wait for the module to come back and\n"
                        "                                check that it runs the new firmware.\n"
                        "     --json                   - Print the result as one JSON document on\n"
                        "                                standard output.\n"
                        "     --updates                - With \"-D\": add the newest build available for each\n"
                        "                                module (in the store, or from the server given by\n"
                        "                                \"-u\") and whether the module is behind it.\n"
                        "\n"
                        "  Updating every module (\"-U --all\"):\n"),
              std::string::npos);
    EXPECT_NE(text.find("     --count <n>              - End after n modules.\n"
                        "\n"
                        " Sample usage:\n"
                        "\n"
                        "  -D                           Discover all devices connected by either USB or TCPIP.\n"
                        "                               Records the device information into the settings for that "
                        "device.\n"
                        "\n"),
              std::string::npos);
}

TEST(Usage, SampleCommandsTooWideForTheColumnStandAlone)
{
    std::string text = _usage_text(false, true);
    EXPECT_NE(text.find("\n  -U -t RECOVER -s /dev/serial Update the firmware as described above, but uses the serial "
                        "interface\n"
                        "                               in communicating with the device to install the latest "
                        "firmware.\n"
                        "\n"
                        " Sample usage for network discovery and updates:\n"
                        "\n"),
              std::string::npos);
    std::string ending =
        "\n  -G -U -d 2181F0EE -r D272031D\n"
        "                               Get and Update to the latest firmware for device 2181F0EE\n"
        "                               indirectly through routing device D272031D.\n"
        "\n"
        "\n";
    ASSERT_GE(text.size(), ending.size());
    EXPECT_EQ(text.substr(text.size() - ending.size()), ending);
}

TEST(Usage, ExtendedTextListsTheLogPackages)
{
    std::string text = _usage_text(true, true);
    size_t parameters = text.find("  Parameters to commands:\n");
    size_t extended = text.find("  Extended Parameters:\n");
    size_t samples = text.find(" Sample usage:\n");
    ASSERT_NE(extended, std::string::npos);
    EXPECT_LT(parameters, extended);
    EXPECT_LT(extended, samples);

    EXPECT_NE(text.find("     -u <url>                 - The URL of the update server\n"
                        "                                Default: http://update.kestrune.example/cgi/u\n"
                        "  Extended Commands:\n"),
              std::string::npos);
    EXPECT_NE(text.find("     -X <BIT_MASK>            - Bitmask for Logging\n"
                        "                                DEBUG_Updater       0x00000001\n"
                        "                                DEBUG_History       0x00000002\n"
                        "                                DEBUG_Attributes    0x00000004\n"
                        "                                DEBUG_BirdFile      0x00000008\n"
                        "                                DEBUG_Network       0x00000010\n"
                        "                                DEBUG_ServerComm    0x00000020\n"
                        "\n"
                        "                                DEBUG_Network       0x00000100\n"
                        "                                DEBUG_Network_SR    0x00000200\n"
                        "                                DEBUG_Network_FIRM  0x00000400\n"
                        "\n"
                        "                                DEBUG_NXPSerial     0x00001000\n"
                        "                                DEBUG_NXPSerial_E   0x00002000\n"
                        "                                DEBUG_NXPSerial_SR  0x00004000\n"
                        "\n"
                        "                                DEBUG_APP           0x00010000\n"
                        "\n"
                        "                                DEBUG_iMXSerial     0x10000000\n"
                        "\n"
                        "\n"
                        " Sample usage:\n"),
              std::string::npos);
}

TEST(Usage, OnlyTheKnownLineEndsInASpace)
{
    // Empty separator lines carry no indentation; the one trailing space is
    // part of the "-i" description.
    for (const std::string& line : Lines(_usage_text(true, true))) {
        if (!line.empty() && line.back() == ' ') {
            EXPECT_EQ(line, "     -i <kestrune_directory>  - The Kestrune directory used for storage of ");
        }
    }
}

TEST(Version, VersionAndCopyrightLines)
{
    EXPECT_TRUE(
        std::regex_match(_app_version_text(), std::regex("Version: 2\\.12\\.2 [A-Z][a-z]{2} [ 0-9][0-9] [0-9]{4}")))
        << _app_version_text();
    RecordingCLIDisplay display;
    _display_app_version(display);
    _display_copyright(display);
    ASSERT_EQ(display.infos.size(), 2u);
    EXPECT_EQ(display.infos[0], "Updater (" + _app_version_text() + ")");
    // The year range ends at the build year.
    std::string year = _app_version_text().substr(_app_version_text().size() - 4);
    EXPECT_TRUE(std::regex_match(display.infos[1], std::regex("Copyright \\(c\\) [0-9]{4}-" + year + " .+")))
        << display.infos[1];
    EXPECT_TRUE(display.errors.empty());
}

}  // namespace

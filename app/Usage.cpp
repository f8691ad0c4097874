#include "app/Usage.h"

#include <cstdio>
#include <cstring>

#include "app/CLI_Display.h"
#include "common/aVersion.h"
#include "server/UpdateServerRequest.h"

namespace {

constexpr const char* APP_NAME = "Updater";
constexpr const char* BUILD_DATE = __DATE__;  // "Mar 13 2026"

// Usage text builder: option lines put the option in a 25-character column
// after 5 spaces; continuation lines line up under the description.
class UsageText {
public:
    void line(const std::string& text = "") { text_ += text + "\n"; }
    void option(const char* name, std::initializer_list<std::string> lines)
    {
        char head[64];
        snprintf(head, sizeof head, "     %-25s- ", name);
        _lines(head, lines, 32);
    }
    // A sample command in a 31-character column; one too wide for it stands
    // on a line of its own.
    void sample(const char* command, std::initializer_list<std::string> lines)
    {
        if (strlen(command) + 2 >= 31) {
            line(std::string("  ") + command);
            _lines(std::string(31, ' '), lines, 31);
            return;
        }
        char head[64];
        snprintf(head, sizeof head, "  %-29s", command);
        _lines(head, lines, 31);
    }
    const std::string& str() const { return text_; }

private:
    void _lines(const std::string& head, std::initializer_list<std::string> lines, size_t indent)
    {
        bool first = true;
        for (const std::string& text : lines) {
            if (!first && text.empty())
                line();  // a separating empty line carries no indent
            else
                line((first ? head : std::string(indent, ' ')) + text);
            first = false;
        }
    }
    std::string text_;
};

std::string _package_line(const char* name, unsigned value)
{
    char text[64];
    snprintf(text, sizeof text, "%-20s0x%08X", name, value);
    return text;
}

void _block_short(UsageText& u)
{
    u.line();
    u.line("Application Usage:");
    u.line(std::string(APP_NAME) + " <-B | -D | -G | -U > [-Hh | --help] [-b build_num]");
    u.line("    [-d serial_num]");
    u.line("    [-t transport] [-r router_serial]");
    u.line("    [-s serial_port] [-o baud_rate]");
    u.line();
    u.line("  Tessarine Update and Maintenance Application");
    u.line("    -H -h or --help for full usage information.");
    u.line();
    u.line();
}

void _block_full(UsageText& u)
{
    u.line("  Parameters to commands:");
    u.option("-i <kestrune_directory>",
             {"The Kestrune directory used for storage of ", "firmware files. [Default: ~/.kestrune ]."});
    u.option("-b <build number>",
             {"Build version of the firmware to transfer.", "[Default: latest version available]."});
    u.option("-d <device>", {"Device serial number of the device to access."});
    u.option("-t <transport type>", {"communications method [USB,TCP,RECOVER]."});
    u.option("-f <bird file>", {"Firmware file to be transferred to device."});
    u.option("-r <router serial>", {"indirect connection through router device"});
    u.option("-s <serial port>", {"name of serial port to use for recovery"});
    u.option("-o <baud rate>",
             {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"});
    u.line("  Commands:");
    u.option("-B", {"list the Builds available for given device."});
    u.line();
    u.option("-L", {"list the local Builds available for given device."});
    u.line();
    u.option("-D", {"Discover devices that are currently connected."});
    u.line();
    u.option("-G", {"Get build file from the Kestrune server and", "store on local machine for download to device.",
                    "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
                    "given device, override with \"-b\" option."});
    u.line();
    u.option("-U", {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
                    "Default is to download the latest build for the", "given device, override with \"-b\" option or",
                    "specify specific BIRD file using \"-f\" option."});
    u.option("-J", {"Get a JWT containing the devices software features"});
    u.option("--history", {"List the updates, recoveries and downloads kept",
                           "in the store, newest first; with \"-d\" only", "those of that device."});
    u.option("-H or -h", {"Display extended usage information."});
    u.line();
    u.option("--http", {"Use HTTP for the update server (" + _default_http_url() + ")."});
    u.option("--https", {"Use HTTPS for the update server (" + _default_https_url() + ").",
                         "Recommended; HTTPS will be the default in the next major version."});
    u.option("--verify", {"With \"-U\": wait for the module to come back and", "check that it runs the new firmware."});
    u.option("--json", {"Print the result as one JSON document on", "standard output."});
    u.option("--updates",
             {"With \"-D\": add the newest build available for each",
              "module (in the store, or from the server given by", "\"-u\") and whether the module is behind it."});
    u.line();
    u.line("  Updating every module (\"-U --all\"):");
    u.option("--all", {"With \"-U\": update every module found (\"-t\", \"-r\" as",
                       "for \"-D\") that runs an older build than the newest",
                       "one there is; \"-b\" or \"-f\": every module the image", "fits. Not with \"-d\"."});
    u.option("--jobs <n>", {"Modules updated at once [Default: 8]."});
    u.option("--canary <n>", {"Update and verify n modules first; go on only when", "all of them took their build."});
    u.option("--max-failed <n|p%>", {"Start no more modules once n (or p percent) failed."});
    u.option("--dry-run", {"Print the plan and touch nothing."});
    u.option("--force", {"Also update the modules already current."});
    u.option("--junit <file>", {"Write a JUnit XML report, one test case per module."});
    u.line();
    u.line("  A station (\"-U --watch\"), with the options of \"-U --all\" but");
    u.line("  \"--canary\", \"--max-failed\" and \"--dry-run\":");
    u.option("--watch", {"With \"-U\": update every module that appears (USB:",
                         "plugged in; \"-t TCPIP\": answering discovery; \"-r\":",
                         "on the router's bus; served by a module server) once,",
                         "until stopped; one line per event through a pipe."});
    u.option("--interval <s>", {"Seconds between discoveries [Default: 2]."});
    u.option("--log-dir <dir>", {"One log file per attempt (SERIAL-YYYYmmddTHHMMSS.log)."});
    u.option("--on-done <cmd>",
             {"Run cmd after each attempt, with UPDATER_SERIAL,", "UPDATER_RESULT, UPDATER_FROM, UPDATER_TO,",
              "UPDATER_MESSAGE and UPDATER_LOG set (30 s at most)."});
    u.option("--interface <addr>", {"Also find served modules by beacon on the interface", "with this IPv4 address."});
    u.option("--count <n>", {"End after n modules."});
    u.line();
}

void _block_extended(UsageText& u)
{
    u.line("  Extended Parameters:");
    u.option("-e, -n", {"Accepted and ignored."});
    u.line();
    u.option("-m", {"Attemps to use UEIBytes for faster loading"});
    u.option("-l 'log message'", {"message to place in device history log"});
    u.option("-k <filename>", {"Accepted and ignored: debug output (\"-X\")", "goes to standard error."});
    u.option("-u <url>", {"The URL of the update server", std::string("Default: ") + UpdateServerRequest::default_url});
    u.line("  Extended Commands:");
    u.option("-I, -C", {"Only create the store directory."});
    u.line();
    u.option("-Z <word>", {"Like \"-C\"; the word is ignored."});
    u.line();
    u.option("-OVERRIDE", {"Override the model checks for BIRD firmware files.",
                           "This option should only be used when authorized by", "Kestrune development engineers."});
    u.line();
    u.option("-N", {"Get fingerprint from a device, requires -s"});
    u.line();
    u.option("-Z <word>", {"As -C; the word is ignored."});
    u.line();
    u.option(
        "-X <BIT_MASK>",
        {"Bitmask for Logging", _package_line("DEBUG_Updater", 0x00000001), _package_line("DEBUG_History", 0x00000002),
         _package_line("DEBUG_Attributes", 0x00000004), _package_line("DEBUG_BirdFile", 0x00000008),
         _package_line("DEBUG_Network", 0x00000010), _package_line("DEBUG_ServerComm", 0x00000020), "",
         _package_line("DEBUG_Network", 0x00000100), _package_line("DEBUG_Network_SR", 0x00000200),
         _package_line("DEBUG_Network_FIRM", 0x00000400), "", _package_line("DEBUG_NXPSerial", 0x00001000),
         _package_line("DEBUG_NXPSerial_E", 0x00002000), _package_line("DEBUG_NXPSerial_SR", 0x00004000), "",
         _package_line("DEBUG_APP", 0x00010000), "", _package_line("DEBUG_iMXSerial", 0x10000000)});
    u.line();
    u.line();
}

void _block_samples(UsageText& u)
{
    u.line(" Sample usage:");
    u.line();
    u.sample("-D", {"Discover all devices connected by either USB or TCPIP.",
                    "Records the device information into the settings for that device."});
    u.line();
    u.sample("-D -t USB", {"Discover all the devices connected by USB. Records the",
                           "device information into the settings for that device."});
    u.line();
    u.sample("-D -t USB -d 0F5849A", {"Discover settings of the specific device (serial number 0x40F5849A)"});
    u.line();
    u.sample("-G -d 40F5849A", {"Get the latest firmware for the given device.",
                                "Downloads the firmware file into the updater specific device directory."});
    u.line();
    u.sample("-U -d 40F5849A",
             {"Update the firmware on the specific device.", "Without other options, this command will try to locate",
              "the latest firmware version to be used for updating the device."});
    u.line();
    u.sample("-G -d 40F5849A -b 99528558", {"Get the specified build's firmware for the given device.",
                                            "Downloads the firmware file into the updater's specific",
                                            "device directory with the build number as the filename."});
    u.line();
    u.sample("-G -U -d 40F5849A",
             {"Get the latest firmware for the given device.", "Downloads the firmware file into the updater specific",
              "device directory. After download, update the firmware", "using the latest release."});
    u.line();
    u.sample("-U -t RECOVER -s /dev/serial", {"Update the firmware as described above, but uses the serial interface",
                                              "in communicating with the device to install the latest firmware."});
    u.line();
    u.line(" Sample usage for network discovery and updates:");
    u.line();
    u.sample("-D -r D272031D",
             {"Discover all devices connected to the I2C Tessarine network", "of the given routing device D272031D."});
    u.line();
    u.sample("-G -U -d 2181F0EE -r D272031D", {"Get and Update to the latest firmware for device 2181F0EE",
                                               "indirectly through routing device D272031D."});
    u.line();
    u.line();
}

}  // namespace

std::string _default_http_url()
{
    return UpdateServerRequest::default_url;
}

std::string _default_https_url()
{
    return UpdateServerRequest::default_https_url;
}

std::string _app_version_text()
{
    return std::string("Version: ") + aVersion_GetString() + " " + BUILD_DATE;
}

void _display_app_version(CLI_Display& display)
{
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s (%s)", APP_NAME, _app_version_text().c_str());
}

void _display_copyright(CLI_Display& display)
{
    const char* year = BUILD_DATE + strlen(BUILD_DATE) - 4;
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Copyright (c) 2012-%s Kestrune, Inc. All rights reserved.",
                    year);
}

std::string _usage_text(bool extended, bool full)
{
    UsageText u;
    _block_short(u);
    if (full)
        _block_full(u);
    if (full && extended)
        _block_extended(u);
    if (full)
        _block_samples(u);
    return u.str();
}

void _display_usage(bool extended, bool full)
{
    fputs(_usage_text(extended, full).c_str(), stderr);
}

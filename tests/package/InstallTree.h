#pragma once
// Helpers for the install and package tests: what a staged installation or an
// unpacked package holds.
#include <filesystem>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "agent/AgentOptions.h"
#include "app/ModuleServerOptions.h"

namespace packagetest {

// Regular files and links below root, as paths relative to it ("usr/bin/updater").
inline std::set<std::string> FilesBelow(const std::string& root)
{
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root))
        if (!entry.is_directory())
            files.insert(std::filesystem::relative(entry.path(), root).string());
    return files;
}

// What the user's package holds below the prefix, whatever else is added to it.
inline const std::set<std::string>& UserFiles()
{
    static const std::set<std::string> files = {
        "bin/updater",
        "lib/udev/rules.d/70-updater.rules",
        "share/man/man1/updater.1",
        "share/bash-completion/completions/updater",
        "bin/module-server",
        "share/man/man1/module-server.1",
        "share/bash-completion/completions/module-server",
        "lib/systemd/system/module-server@.service",
        "lib/systemd/system/updater-station.service",
        "share/updater/updater-station.default",
        "bin/updater-agent",
        "share/man/man1/updater-agent.1",
        "share/bash-completion/completions/updater-agent",
        "lib/systemd/system/updater-agent.service",
    };
    return files;
}

// Lab programs that exist today; more may join them in bin/.
inline const std::set<std::string>& LabPrograms()
{
    static const std::set<std::string> files = {"bin/birdtool", "bin/update-server", "bin/usbrun", "bin/vmodule"};
    return files;
}

// The option spellings a usage text names, sorted.
inline std::vector<std::string> UsageOptions(const std::string& usage)
{
    static const std::regex option(R"((?:^|[\s\[|])(--?[a-zX][a-z-]*))");
    std::set<std::string> options;
    for (std::sregex_iterator it(usage.begin(), usage.end(), option), end; it != end; ++it)
        options.insert((*it)[1]);
    return std::vector<std::string>(options.begin(), options.end());
}

// The option spellings module-server's usage names, sorted.
inline std::vector<std::string> ServerOptions()
{
    return UsageOptions(ModuleServerOptions::Usage());
}

// The option spellings updater-agent's usage names, sorted.
inline std::vector<std::string> AgentOptions()
{
    return UsageOptions(::AgentOptions::Usage());
}

}  // namespace packagetest

#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the test ends.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "updater-unix-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            ADD_FAILURE() << "mkdtemp failed";
        root = pattern;
    }
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::permissions(root, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(root, ignored);
    }
    std::string path(const std::string& relative = "") const
    {
        return relative.empty() ? root : root + "/" + relative;
    }
    std::string write(const std::string& relative, const std::string& content) const
    {
        std::string full = path(relative);
        std::ofstream(full, std::ios::binary) << content;
        return full;
    }
    static std::string read(const std::string& full)
    {
        std::ifstream in(full, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string root;
};

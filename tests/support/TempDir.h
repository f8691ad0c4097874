#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class TempDir {
public:
    TempDir();  // throws when no directory can be made
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a relative name.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes bytes (or text) to a file (creating nothing above it) and returns its
    // full path; throws on failure.
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::string Write(const std::string& name, const std::string& text) const;
    // The same, reporting failure as false.
    bool WriteFile(const std::string& name, const std::string& content) const;
    // Whole content of a file ("" when it cannot be read).
    std::string Read(const std::string& name) const;
    // Names in the directory (or a folder in it), sorted, "." and ".." left out.
    std::vector<std::string> List(const std::string& name = "") const;

private:
    std::string path_;
};

// Whole content of a file ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Mode bits (permissions only) of an existing path, or -1.
int PathMode(const std::string& path);
bool IsDirectory(const std::string& path);

}  // namespace testsupport

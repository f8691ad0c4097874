#pragma once
// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
#include <string>

namespace testsupport {

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path() joined with a relative name.
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

    // Writes a file (creating nothing above it); false on failure.
    bool WriteFile(const std::string& name, const std::string& content) const;

private:
    std::string path_;
};

// Mode bits (permissions only) of an existing path, or -1.
int PathMode(const std::string& path);
bool IsDirectory(const std::string& path);

}  // namespace testsupport

#pragma once
// A fresh temporary directory, removed with everything in it when the object dies.
#include <cstdint>
#include <string>
#include <vector>

class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& Path() const { return path; }
    // path / name
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    // Writes bytes (or text) to path / name and returns the full path.
    std::string Write(const std::string& name, const std::vector<uint8_t>& bytes) const;
    std::string Write(const std::string& name, const std::string& text) const;
    // Whole content of path / name ("" when it cannot be read).
    std::string Read(const std::string& name) const;
    // Names in the directory, sorted, "." and ".." left out.
    std::vector<std::string> List(const std::string& name = "") const;

private:
    std::string path;
};

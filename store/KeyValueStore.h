#pragma once
// KeyValueStore: a small set of named text attributes in memory, mirrored to a text file
// of "key=value" lines (the ".settings" file of each device directory in the store).
// Values are text; typed getters convert them on access, with caller-supplied defaults.
#include <map>
#include <memory>
#include <string>

class AtomicFile;

class KeyValueStore {
public:
    static constexpr const char* DEFAULT_FILENAME = ".settings";
    static constexpr const char* KEY_CREATED_TIME = "CREATED_TIME";
    static constexpr const char* KEY_UPDATED_TIME = "UPDATED_TIME";
    // Longest line read from a file, line feed included, plus its terminator.
    static constexpr size_t LINE_BUFFER_SIZE = 2048;

    // Empty store; a non-null path is loaded at once (and created when missing).
    explicit KeyValueStore(const char* path = nullptr);

    // Reads the file's entries over the current ones. A missing file is created with
    // CREATED_TIME and UPDATED_TIME; a file that is there but cannot be read is left
    // alone, and no save writes over it.
    void Load(const char* path);
    // Writes every entry in key order; with a null path, to the path of the last load or
    // save. The file is replaced atomically, so a failure leaves the previous one. 0, or
    // the platform error number of the failure (the reason the loaded file could not be
    // read, for that file).
    int Save(const char* path = nullptr);
    // Save in steps, for a caller that puts the file on disk together with others: the
    // text goes to a temporary file (null, logged, when it cannot be written) that the
    // caller commits and then reports with Saved.
    std::unique_ptr<AtomicFile> Stage();
    void Saved() { modified = false; }

    // The value text of the key, or null; creates nothing. Valid until the next change.
    const char* operator[](const char* key) const;

    // Typed getters: an absent key is created with an empty value; an empty value gives
    // the default.
    int GetInt(const char* key, int defaultValue);
    unsigned int GetHex(const char* key, unsigned int defaultValue);
    bool GetBOOL(const char* key, bool defaultValue);
    double GetDouble(const char* key, double defaultValue);
    // The stored value (also when empty), else the default ("" for null); creates nothing.
    std::string GetString(const char* key, const char* defaultValue) const;

    bool Add(const char* key, int value);
    bool Add(const char* key, double value);
    bool AddHex(const char* key, unsigned int value);
    bool Add(const char* key, const char* value);
    bool Add(const char* key, const std::string& value);
    bool Add(const KeyValueStore& other);
    bool Clear();

    const std::string& Path() const { return path; }
    bool IsModified() const { return modified; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

private:
    std::string* _typed_value(const char* key);
    int _save(const std::string& stamp);
    std::unique_ptr<AtomicFile> _stage(const std::string& stamp, int& error);
    void _parse_line(const char* line, size_t length);
    void _open_failed(int error);
    void _leave_file(int error);

    std::string path;
    std::map<std::string, std::string> entries;
    bool modified = false;
    int unreadable = 0;  // why the file at path, which exists, could not be read
};

// Attribute files: parsing, typed access and atomic saving.
#include "store/KeyValueStore.h"

#include "common/Log.h"
#include "store/AtomicFile.h"
#include "unix/aFile.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

bool _is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

std::string _trim_end(const char* begin, const char* end)
{
    while (end > begin && _is_space(end[-1]))
        end--;
    return std::string(begin, end);
}

// The 24-character local-time text, as ctime() gives it without the line feed.
std::string _time_text()
{
    time_t now = time(nullptr);
    tm local;
    char text[64] = "";
    if (localtime_r(&now, &local))
        strftime(text, sizeof text, "%a %b %e %H:%M:%S %Y", &local);
    return text;
}

std::string _format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string _format(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list again;
    va_copy(again, arguments);
    int length = vsnprintf(nullptr, 0, format, arguments);
    va_end(arguments);
    std::string text(length > 0 ? size_t(length) : 0, '\0');
    if (length > 0)
        vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    return text;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* filePath)
{
    if (filePath)
        Load(filePath);
}

void KeyValueStore::Load(const char* filePath)
{
    if (!filePath)
        return;
    path = filePath;
    unreadable = 0;
    errno = 0;
    aFileRef file = aFile_Open(filePath, aFileModeRead);
    if (!file) {
        _open_failed(errno);
        modified = false;
        return;
    }
    modified = false;

    char line[LINE_BUFFER_SIZE];
    size_t length = 0;
    aErr result = aErrNone;
    int error = 0;
    while (error == 0 && (result = aFile_ReadLine(file, line, sizeof line, &length)) == aErrNone) {
        // A longer line would come back in pieces, each taken for a setting.
        if (length == sizeof line - 1 && line[length - 1] != '\n')
            error = EINVAL;
        else
            _parse_line(line, length);
    }
    aFile_Close(&file);
    if (error == 0 && result != aErrEOF)
        error = EIO;
    if (error != 0)
        _leave_file(error);
}

// The file is there but could not be read, or not to its end: it still holds
// settings this store does not, so nothing is written over it.
void KeyValueStore::_leave_file(int error)
{
    unreadable = error;
    Log::log(DEBUG_Attributes, "Attibutes: '%s' could not be read (%d): it is left as it is\n", path.c_str(), error);
}

void KeyValueStore::_open_failed(int error)
{
    Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", path.c_str(), error);
    if (error != ENOENT) {
        _leave_file(error ? error : EIO);
        return;
    }
    // One time text for both stamps of a new file.
    std::string stamp = _time_text();
    Add(KEY_CREATED_TIME, stamp);
    _save(stamp);
}

void KeyValueStore::_parse_line(const char* line, size_t length)
{
    if (length < 3 || line[0] == '#')
        return;
    const char* end = line + length;
    const char* key = line;
    while (key < end && _is_space(*key))
        key++;
    const char* equals = static_cast<const char*>(memchr(key, '=', size_t(end - key)));
    // A line without "=" holds no attribute.
    if (!equals)
        return;
    const char* value = equals + 1;
    while (value < end && _is_space(*value))
        value++;
    entries[_trim_end(key, equals)] = _trim_end(value, end);
}

int KeyValueStore::Save(const char* filePath)
{
    if (filePath) {
        if (path != filePath)
            unreadable = 0;  // another file: nothing of the unreadable one's
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n", path.c_str());
    }
    return _save(_time_text());
}

int KeyValueStore::_save(const std::string& stamp)
{
    int error = 0;
    std::unique_ptr<AtomicFile> file = _stage(stamp, error);
    if (!file)
        return error;
    if (file->Commit() != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path.c_str(),
                 file->Error());
        return file->Error() ? file->Error() : EIO;
    }
    modified = false;
    return 0;
}

std::unique_ptr<AtomicFile> KeyValueStore::Stage()
{
    if (path.empty())
        return nullptr;
    int error = 0;
    return _stage(_time_text(), error);
}

std::unique_ptr<AtomicFile> KeyValueStore::_stage(const std::string& stamp, int& error)
{
    if (unreadable) {
        Log::log(DEBUG_Attributes, "Attibutes: not saved over the unreadable attributes file: '%s'\n", path.c_str());
        error = unreadable;
        return nullptr;
    }
    if (modified)
        Add(KEY_UPDATED_TIME, stamp);
    auto file = std::make_unique<AtomicFile>(path);
    if (!file->IsOpen()) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), file->Error());
        error = file->Error() ? file->Error() : EIO;
        return nullptr;
    }
    std::string text;
    for (const auto& [key, value] : entries)
        text += key + "=" + value + "\n";
    if (file->Write(reinterpret_cast<const uint8_t*>(text.data()), text.size()) != aErrNone) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n", path.c_str(),
                 file->Error());
        error = file->Error() ? file->Error() : EIO;
        return nullptr;
    }
    return file;
}

const char* KeyValueStore::operator[](const char* key) const
{
    if (!key)
        return nullptr;
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

std::string* KeyValueStore::_typed_value(const char* key)
{
    if (!key)
        return nullptr;
    std::string& value = entries[key];
    return value.empty() ? nullptr : &value;
}

int KeyValueStore::GetInt(const char* key, int defaultValue)
{
    std::string* value = _typed_value(key);
    if (!value)
        return defaultValue;
    long number = strtol(value->c_str(), nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return int(number);
}

unsigned int KeyValueStore::GetHex(const char* key, unsigned int defaultValue)
{
    std::string* value = _typed_value(key);
    if (!value)
        return defaultValue;
    return static_cast<unsigned int>(strtoul(value->c_str(), nullptr, 16) & 0xFFFFFFFFul);
}

bool KeyValueStore::GetBOOL(const char* key, bool defaultValue)
{
    if (!_typed_value(key))
        return defaultValue;
    return GetInt(key, 0) != 0;
}

double KeyValueStore::GetDouble(const char* key, double defaultValue)
{
    std::string* value = _typed_value(key);
    if (!value)
        return defaultValue;
    return strtod(value->c_str(), nullptr);
}

std::string KeyValueStore::GetString(const char* key, const char* defaultValue) const
{
    const char* value = (*this)[key];
    if (value)
        return value;
    return defaultValue ? defaultValue : "";
}

bool KeyValueStore::Add(const char* key, int value)
{
    return Add(key, _format("%d", value));
}

bool KeyValueStore::Add(const char* key, double value)
{
    return Add(key, _format("%f", value));
}

bool KeyValueStore::AddHex(const char* key, unsigned int value)
{
    return Add(key, _format("0x%08X", value));
}

bool KeyValueStore::Add(const char* key, const char* value)
{
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const char* key, const std::string& value)
{
    if (!key)
        return false;
    std::string& current = entries[key];
    if (current != value) {
        modified = true;
        current = value;
    }
    return true;
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    if (other.entries.empty())
        return true;
    if (&other != this)
        for (const auto& [key, value] : other.entries)
            entries[key] = value;
    modified = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    modified = true;
    return true;
}

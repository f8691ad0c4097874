#pragma once
// Directories and paths of the device library, plus the string path joiner
// used by the application.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "unix/aError.h"

inline constexpr char aDIR_PATH_SEP[] = "/";

// Most components aDirectory_BuildPath joins (the first and 9 more).
constexpr size_t aDIR_MAX_COMPONENTS = 10;

// Size of the path buffer the listers join each entry's path into.
constexpr size_t aDIR_LIST_PATH_SIZE = 2048;

// One entry of a listing, valid only during the callback.
struct aDirectoryListData {
    const char* path;  // the listed directory, the separator and the entry's name
    uint32_t size;     // low 32 bits of the entry's size
    int isDirectory;
};

// Returning false stops the listing.
typedef bool (*aDirectoryListCallback)(const aDirectoryListData* entry, void* ref);

bool aDirectory_Exists(const char* path);

// Creates path and every missing directory above it with the given mode.
// aErrPermission when any level could not be created.
aErr aDirectory_Ensure(const char* path, unsigned mode);

// Calls callback once per entry ("." and ".." included); aErrNotFound when
// the directory cannot be opened.
aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref);

// Joins first and the following components (ending with a null pointer) into
// out with single separators between them. A component fits whole or the call
// fails with aErrOverrun, keeping what was joined before it; more than
// aDIR_MAX_COMPONENTS components, or out overlapping a component by identity,
// give aErrParam and an empty buffer.
aErr aDirectory_BuildPath(char* out, size_t size, const char* first, ...) __attribute__((sentinel));
aErr aDirectory_JoinPath(char* out, size_t size, const char* first, const char* second);

// Removes an empty directory; aErrUnknown on any failure.
aErr aDirectory_Delete(const char* path);

// Removes a directory and everything below it. Symbolic links are removed,
// never followed.
aErr aDirectory_DeleteTree(const char* path);

// The current working directory; aErrParam on failure (buffer too small).
aErr aDirectory_CWD(char* buffer, size_t size);

// The running program's executable file; aErrRead when the buffer is too small.
aErr aDirectory_ExecutableFilePath(char* buffer, size_t size);

// The user's home directory from the user database, else "HOME", else "";
// cut to the buffer.
aErr aDirectory_GetHomeDirectory(char* buffer, size_t size);

namespace aDirectoryDetail {
inline bool component(const char* text, std::string_view& out)
{
    if (!text)
        return false;
    out = text;
    return true;
}
inline bool component(std::nullptr_t, std::string_view&)
{
    return false;
}
inline bool component(std::string_view text, std::string_view& out)
{
    out = text;
    return true;
}
}  // namespace aDirectoryDetail

// A new string: first, then for each further component the separator and the
// component (always inserted, even after a trailing separator); no length
// limit. Components are texts or strings; a null pointer ends the list, as in
// BuildPath(store, serial, nullptr), and may also be left out.
template <typename First, typename... Rest>
std::string BuildPath(const First& first, const Rest&... rest)
{
    std::string_view part;
    std::string path;
    if (!aDirectoryDetail::component(first, part))
        return path;
    path.assign(part);
    bool ended = false;
    auto append = [&](const auto& next) {
        ended = ended || !aDirectoryDetail::component(next, part);
        if (!ended) {
            path += aDIR_PATH_SEP;
            path.append(part);
        }
    };
    (append(rest), ...);
    return path;
}

#include "unix/aDirectory.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr char SEP = aDIR_PATH_SEP[0];

bool _make_directory(const char* path, unsigned mode)
{
    return mkdir(path, mode_t(mode)) == 0 || errno == EEXIST;
}

// Length of the deepest existing ancestor of path (the separator after it
// included), 0 when none exists.
size_t _existing_prefix(std::string& path)
{
    size_t cut = path.size();
    while (cut > 0) {
        size_t sep = path.rfind(SEP, cut - 1);
        if (sep == std::string::npos)
            return 0;
        path[sep] = '\0';
        bool exists = aDirectory_Exists(path.c_str());
        path[sep] = SEP;
        if (exists)
            return sep + 1;
        cut = sep;
    }
    return 0;
}

}  // namespace

bool aDirectory_Exists(const char* path)
{
    struct stat status;
    return path && stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

aErr aDirectory_Ensure(const char* path, unsigned mode)
{
    if (!path)
        return aErrParam;
    if (aDirectory_Exists(path))
        return aErrNone;
    std::string work(path);
    aErr result = aErrNone;
    size_t start = _existing_prefix(work);
    for (size_t sep = work.find(SEP, start); sep != std::string::npos; sep = work.find(SEP, sep + 1)) {
        if (sep == start || work[sep - 1] == SEP)
            continue;  // empty component
        work[sep] = '\0';
        bool made = aDirectory_Exists(work.c_str()) || _make_directory(work.c_str(), mode);
        work[sep] = SEP;
        if (!made) {
            result = aErrPermission;
            break;
        }
    }
    // An existing entry that is not a directory is a failure, not success.
    if (!aDirectory_Exists(path) && (!_make_directory(path, mode) || !aDirectory_Exists(path)))
        result = aErrPermission;
    return result;
}

namespace {

struct _OpenDirectory {
    DIR* handle;
    explicit _OpenDirectory(const char* path) : handle(path ? opendir(path) : nullptr) {}
    ~_OpenDirectory()
    {
        if (handle)
            closedir(handle);
    }
};

}  // namespace

aErr aDirectory_List(const char* path, aDirectoryListCallback callback, void* ref)
{
    if (!callback)
        return aErrParam;
    _OpenDirectory directory(path);
    if (!directory.handle)
        return aErrNotFound;
    char full[aDIR_LIST_PATH_SIZE];
    while (dirent* entry = readdir(directory.handle)) {
        struct stat status;
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone || stat(full, &status) != 0)
            continue;
        aDirectoryListData data = {full, uint32_t(status.st_size), S_ISDIR(status.st_mode) ? 1 : 0};
        if (!callback(&data, ref))
            break;
    }
    return aErrNone;
}

namespace {

aErr _build_path(char* out, size_t size, const char* first, va_list arguments)
{
    if (!out || size == 0)
        return aErrParam;
    out[0] = '\0';
    if (!first || out == first)
        return aErrParam;
    const char* further[aDIR_MAX_COMPONENTS - 1];
    size_t count = 0;
    for (;;) {
        const char* component = va_arg(arguments, const char*);
        if (!component)
            break;
        if (count == aDIR_MAX_COMPONENTS - 1 || component == out)
            return aErrParam;
        further[count++] = component;
    }

    size_t length = strlen(first);
    if (length >= size - 1)
        return aErrOverrun;
    memcpy(out, first, length + 1);
    for (size_t i = 0; i < count; ++i) {
        const char* component = further[i];
        size_t room = size - length - 1;
        if (room >= 2 && (length == 0 || out[length - 1] != SEP) && component[0] != SEP) {
            out[length++] = SEP;
            out[length] = '\0';
            --room;
        }
        size_t componentLength = strlen(component);
        if (componentLength >= room)
            return aErrOverrun;
        memcpy(out + length, component, componentLength + 1);
        length += componentLength;
    }
    return aErrNone;
}

}  // namespace

aErr aDirectory_BuildPath(char* out, size_t size, const char* first, ...)
{
    va_list arguments;
    va_start(arguments, first);
    aErr result = _build_path(out, size, first, arguments);
    va_end(arguments);
    return result;
}

aErr aDirectory_JoinPath(char* out, size_t size, const char* first, const char* second)
{
    return aDirectory_BuildPath(out, size, first, second, static_cast<const char*>(nullptr));
}

aErr aDirectory_Delete(const char* path)
{
    return path && rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_DeleteTree(const char* path)
{
    _OpenDirectory directory(path);
    if (!directory.handle)
        return aErrNotFound;
    char full[aDIR_LIST_PATH_SIZE];
    while (dirent* entry = readdir(directory.handle)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        struct stat status;
        if (aDirectory_JoinPath(full, sizeof full, path, entry->d_name) != aErrNone || lstat(full, &status) != 0)
            continue;
        if (S_ISDIR(status.st_mode)) {
            if (aDirectory_DeleteTree(full) != aErrNone)
                break;
        } else if (unlink(full) != 0) {
            perror("aDirectory_DeleteTree");
            printf("---error unlink-ing file [%s]\n", full);
            break;
        }
    }
    closedir(directory.handle);
    directory.handle = nullptr;
    return rmdir(path) == 0 ? aErrNone : aErrUnknown;
}

aErr aDirectory_CWD(char* buffer, size_t size)
{
    return buffer && size > 0 && getcwd(buffer, size) ? aErrNone : aErrParam;
}

aErr aDirectory_ExecutableFilePath(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrRead;
    ssize_t length = readlink("/proc/self/exe", buffer, size);
    if (length < 0 || size_t(length) >= size) {
        buffer[0] = '\0';
        return aErrRead;
    }
    buffer[length] = '\0';
    return aErrNone;
}

aErr aDirectory_GetHomeDirectory(char* buffer, size_t size)
{
    if (!buffer || size == 0)
        return aErrParam;
    const char* home = nullptr;
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> scratch(suggested > 0 ? size_t(suggested) : 16384);
    passwd entry;
    passwd* found = nullptr;
    if (getpwuid_r(geteuid(), &entry, scratch.data(), scratch.size(), &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0])
        home = found->pw_dir;
    else
        home = getenv("HOME");
    snprintf(buffer, size, "%s", home ? home : "");
    return aErrNone;
}

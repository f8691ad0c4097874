#include "agent/ArtifactFetch.h"

#include <openssl/evp.h>

#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "common/Log.h"

namespace {

struct FileCloser {
    void operator()(FILE* file) const { fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

uint64_t _size_of(const std::string& path)
{
    std::error_code error;
    const uintmax_t size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

// The file's digest by the named algorithm, lower-case hex; empty when it cannot be read.
std::string _digest(const std::string& path, const EVP_MD* algorithm)
{
    File file(fopen(path.c_str(), "rb"));
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    if (!file || !context || EVP_DigestInit_ex(context.get(), algorithm, nullptr) != 1)
        return "";
    unsigned char buffer[65536];
    size_t length = 0;
    while ((length = fread(buffer, 1, sizeof buffer, file.get())) > 0)
        if (EVP_DigestUpdate(context.get(), buffer, length) != 1)
            return "";
    if (ferror(file.get()))
        return "";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1)
        return "";
    std::string hex;
    char pair[3];
    for (unsigned i = 0; i < digestLength; ++i) {
        snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

// "bytes 100-199/200": the first byte; -1 when the header says something else.
int64_t _range_start(const std::string& contentRange)
{
    unsigned long long first = 0, last = 0, total = 0;
    if (std::sscanf(contentRange.c_str(), "bytes %llu-%llu/%llu", &first, &last, &total) != 3)
        return -1;
    return static_cast<int64_t>(first);
}

}  // namespace

bool ArtifactFetch::Matches(const std::string& path, const DdiArtifact& artifact, std::string& reason)
{
    const uint64_t size = _size_of(path);
    if (artifact.size != 0 && size != artifact.size) {
        reason = "checksum mismatch: " + std::to_string(size) + " bytes where the deployment says " +
                 std::to_string(artifact.size);
        return false;
    }
    if (artifact.sha256.empty() && artifact.sha1.empty()) {
        reason = "checksum mismatch: the deployment gives no SHA-256 or SHA-1 to check " + artifact.filename;
        return false;
    }
    const bool sha256 = !artifact.sha256.empty();
    const std::string digest = _digest(path, sha256 ? EVP_sha256() : EVP_sha1());
    if (digest != (sha256 ? artifact.sha256 : artifact.sha1)) {
        reason = std::string("checksum mismatch: the ") + (sha256 ? "SHA-256" : "SHA-1") + " of " + artifact.filename +
                 " is not the deployment's";
        return false;
    }
    return true;
}

FetchResult ArtifactFetch::Fetch(const DdiArtifact& artifact, const std::string& partialPath)
{
    FetchResult result;
    for (unsigned attempt = 0; attempt < attempts_; ++attempt) {
        if (stop_)
            return {FetchResult::Kind::Stopped, "the agent stops"};
        result = _transfer(artifact, partialPath);
        if (result.kind != FetchResult::Kind::Failed)
            return result;
        Log::log(DEBUG_APP, "agent: download of %s: %s\n", artifact.filename.c_str(), result.reason.c_str());
    }
    return result;
}

FetchResult ArtifactFetch::_transfer(const DdiArtifact& artifact, const std::string& partialPath)
{
    uint64_t have = _size_of(partialPath);
    // A file as long as the artifact, or longer, is checked as it is.
    if (artifact.size == 0 || have < artifact.size) {
        File file(fopen(partialPath.c_str(), "ab"));
        if (!file)
            return {FetchResult::Kind::Failed, "cannot write " + partialPath};
        bool restarted = false;
        const DdiReply reply = client_.Download(artifact.href, have, [&](const char* data, unsigned long length) {
            return !stop_ && fwrite(data, 1, length, file.get()) == length;
        });
        if (fflush(file.get()) != 0)
            return {FetchResult::Kind::Failed, "cannot write " + partialPath};
        file.reset();
        if (stop_)
            return {FetchResult::Kind::Stopped, "the agent stops"};
        if (reply.Answered() && (reply.status == 404 || reply.status == 410))
            return {FetchResult::Kind::Gone,
                    "the server no longer offers " + artifact.filename + " (" + reply.Text() + ")"};
        // A range the server cannot serve (416) or a whole file where a part was asked
        // for (200): the partial file no longer counts.
        if (reply.Answered() && (reply.status == 416 || (have > 0 && reply.status == 200) ||
                                 (reply.status == 206 && _range_start(reply.contentRange) != int64_t(have)))) {
            restarted = true;
            std::error_code ignored;
            std::filesystem::remove(partialPath, ignored);
        }
        if (restarted)
            return {FetchResult::Kind::Failed, "the server did not continue at byte " + std::to_string(have)};
        if (!reply.Ok())
            return {FetchResult::Kind::Failed, "download of " + artifact.filename + " failed: " + reply.Text()};
        have = _size_of(partialPath);
        if (artifact.size != 0 && have < artifact.size)
            return {FetchResult::Kind::Failed, "the transfer of " + artifact.filename + " ended early"};
    }
    std::string reason;
    if (!Matches(partialPath, artifact, reason)) {
        std::error_code ignored;
        std::filesystem::remove(partialPath, ignored);
        return {FetchResult::Kind::Mismatch, reason};
    }
    return {FetchResult::Kind::Done, ""};
}

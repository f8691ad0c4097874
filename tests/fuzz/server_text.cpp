// The update server's texts that the client decodes: the Base64 image line and the
// version texts of a build list (sorted newest first).
//
// Input: a selector byte, then the text. Selector even: the text is an image line
// (decoded; what decodes must re-encode to a text that decodes to the same bytes, and
// any bytes must survive encode and decode). Selector odd: the text is build-list lines
// "build;version", which must sort without losing or inventing entries.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "server/UpdateServerRequest.h"

namespace {

void _check(bool condition)
{
    if (!condition)
        std::abort();
}

void _image_line(const char* text, size_t size)
{
    size_t length = 0;
    unsigned char* bytes = UpdateServerRequest::base64_decode(text, size, &length);
    if (bytes) {
        _check(size % 4 == 0 && length <= size / 4 * 3 && bytes[length] == 0);
        size_t encoded_length = 0;
        char* encoded = UpdateServerRequest::base64_encode(bytes, length, &encoded_length);
        _check(encoded && encoded_length == size);
        size_t again = 0;
        unsigned char* round = UpdateServerRequest::base64_decode(encoded, encoded_length, &again);
        _check(round && again == length && std::memcmp(round, bytes, length) == 0);
        std::free(round);
        std::free(encoded);
        std::free(bytes);
    }
    size_t encoded_length = 0;
    char* encoded =
        UpdateServerRequest::base64_encode(reinterpret_cast<const unsigned char*>(text), size, &encoded_length);
    _check(encoded != nullptr);
    unsigned char* back = UpdateServerRequest::base64_decode(encoded, encoded_length, &length);
    _check(back && length == size && std::memcmp(back, text, size) == 0);
    std::free(back);
    std::free(encoded);
}

void _build_list(const std::string& text)
{
    BuildList builds;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t semicolon = line.find(';');
        builds.emplace(line.substr(0, semicolon), semicolon == std::string::npos ? "" : line.substr(semicolon + 1));
        start = end + 1;
    }
    const SortedBuildList sorted = UpdateServerRequest::SortBuildsByVersion(builds);
    _check(sorted.size() == builds.size());
    for (const auto& [build, version] : sorted)
        _check(builds.at(build) == version);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const char* text = reinterpret_cast<const char*>(data + 1);
    if (data[0] % 2 == 0)
        _image_line(text, size - 1);
    else
        _build_list(std::string(text, size - 1));
    return 0;
}

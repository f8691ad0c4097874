#pragma once
// Client side of the update server's query protocol: one GET per request, a
// line-oriented reply whose first line begins with "ok".
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "server/HTTPRequest.h"

using BuildList = std::map<std::string, std::string>;  // build -> version
using SortedBuildList = std::vector<std::pair<std::string, std::string>>;

class UpdateServerRequest {
public:
    // Used when a request is given a null URL.
    static const char* const default_host;
    static const char* const default_url;
    static const char* const default_https_url;

    // The GET every request goes through: HTTPRequest::GET, unless a fuzzer or a test
    // puts its own canned replies in its place.
    using Transport = HTTPResponse (*)(const char* url, std::map<std::string, std::string>& parameters);
    static Transport transport;

    static bool ping(const char* url);
    static bool QueryBuild(unsigned serial, std::string& build, std::string& firmware, const char* url);
    static bool GetBuild(unsigned serial, const std::string& firmware, const std::string& build, std::string& file,
                         const char* url, bool no_cal);
    static bool GetBuildList(unsigned serial, BuildList& builds, const char* url);
    static bool GetRecoveryInfo(const uint32_t* fingerprint, uint32_t& serial, uint32_t& build, const char* url);
    static bool GetDeviceJWT(unsigned serial, std::string& token, const char* url);

    // Newest version first; entries whose versions cannot be compared go last.
    static SortedBuildList SortBuildsByVersion(const BuildList& builds);
    // The three dot-separated parts of a version, or nothing when there are not three.
    static std::vector<std::string> SplitTessarineVersion(const std::string& version);

    // Standard alphabet, "=" padding. Both return malloc'ed memory the caller frees,
    // or null (decode: length not a multiple of 4, a character outside the alphabet,
    // misplaced padding, or no memory). The decoded bytes are followed by a 0.
    static char* base64_encode(const unsigned char* data, size_t length, size_t* out_length);
    static unsigned char* base64_decode(const char* text, size_t length, size_t* out_length);
    // The same decoding over the text itself, for a large image: the bytes take the
    // place of the text from its start. False (the text then undefined) where
    // base64_decode gives null.
    static bool base64_decode_in_place(char* text, size_t length, size_t* out_length);
};

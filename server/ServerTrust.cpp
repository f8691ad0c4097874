#include "server/ServerTrust.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <memory>

#include "server/UpdateServerRequest.h"

namespace {

constexpr const char* PIN_PREFIX = "sha256//";
constexpr size_t SHA256_LENGTH = 32;

std::string _variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

bool _check_bundle(const std::string& path, std::string& error)
{
    const std::string prefix = std::string(ServerTrust::CA_BUNDLE_VARIABLE) + ": ";
    std::string text;
    // Without waiting for a peer, and a regular file only: a pipe named here
    // would hang the check, a device might never end.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    int reason = fd < 0 ? errno : 0;
    struct stat info;
    if (fd >= 0 && (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(fd);
        error = prefix + path + " is not a regular file";
        return false;
    }
    FILE* file = fd >= 0 ? fdopen(fd, "rb") : nullptr;
    if (fd >= 0 && !file) {
        reason = errno;
        close(fd);
    }
    if (file) {
        char buffer[16384];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
            text.append(buffer, n);
        if (std::ferror(file))
            reason = errno ? errno : EIO;
        std::fclose(file);
    }
    if (reason) {
        error = prefix + "cannot read " + path + ": " + std::strerror(reason);
        return false;
    }
    if (text.find("-----BEGIN CERTIFICATE-----") == std::string::npos) {
        error = prefix + path + " holds no PEM certificate";
        return false;
    }
    return true;
}

bool _valid_pin(const std::string& pin)
{
    if (pin.compare(0, std::strlen(PIN_PREFIX), PIN_PREFIX) != 0)
        return false;
    const std::string digest = pin.substr(std::strlen(PIN_PREFIX));
    size_t length = 0;
    std::unique_ptr<unsigned char, decltype(&std::free)> bytes(
        UpdateServerRequest::base64_decode(digest.data(), digest.size(), &length), &std::free);
    return bytes && length == SHA256_LENGTH;
}

bool _check_pins(const std::string& pins, std::string& error)
{
    size_t start = 0;
    while (true) {
        const size_t end = pins.find(';', start);
        const std::string pin = pins.substr(start, end == std::string::npos ? end : end - start);
        if (!_valid_pin(pin)) {
            error = std::string(ServerTrust::PINNED_KEY_VARIABLE) + ": '" + pin +
                    "' is not sha256// followed by the Base64 of a SHA-256 digest";
            return false;
        }
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

}  // namespace

bool ServerTrust::FromEnvironment(ServerTrust& trust, std::string& error)
{
    trust = ServerTrust{};
    const std::string bundle = _variable(CA_BUNDLE_VARIABLE);
    const std::string pins = _variable(PINNED_KEY_VARIABLE);
    if (!bundle.empty() && bundle != SYSTEM_STORE && !_check_bundle(bundle, error))
        return false;
    if (!pins.empty() && !_check_pins(pins, error))
        return false;
    trust.ca_bundle = bundle;
    trust.pinned_keys = pins;
    return true;
}

bool ServerTrust::Allows(const std::string& url, std::string& error) const
{
    if (!Enabled() || url.compare(0, 8, "https://") == 0)
        return true;
    error = std::string(VerifiesChain() ? CA_BUNDLE_VARIABLE : PINNED_KEY_VARIABLE) +
            " needs an https:// update server; " + url + " cannot be checked";
    return false;
}

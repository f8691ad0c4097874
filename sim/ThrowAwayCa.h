#pragma once
// A certificate authority that lives for one test run or one lab session: it signs
// server certificates for the update server, so that a client can be shown a chain it
// trusts (the CA's certificate as its bundle) and ones it must refuse (expired, made
// for another name, signed by another CA).
#include <memory>
#include <string>

namespace Sim {

// What a server certificate says about itself.
struct CertificateSpec {
    std::string host = "127.0.0.1";   // subject and alternative name (IP address or DNS name)
    long valid_from_seconds = -3600;  // relative to now
    long valid_for_seconds = 2 * 86400;
};

class ThrowAwayCa {
public:
    ThrowAwayCa();
    ~ThrowAwayCa();
    ThrowAwayCa(const ThrowAwayCa&) = delete;
    ThrowAwayCa& operator=(const ThrowAwayCa&) = delete;

    // A new key and a self-signed CA certificate for name; false (with error) on failure.
    bool Create(const std::string& name, std::string& error);
    // The CA certificate as PEM, the file a client names as its bundle.
    bool WriteCertificate(const std::string& path, std::string& error) const;
    // A new key and a certificate for it signed by this CA, both as PEM files.
    bool Issue(const CertificateSpec& spec, const std::string& cert_path, const std::string& key_path,
               std::string& error) const;

private:
    struct Keys;
    std::unique_ptr<Keys> keys_;
};

}  // namespace Sim

#pragma once
// Self-signed TLS certificates made with the openssl command at test time.
#include <string>

struct SelfSignedCertificate {
    std::string cert;  // PEM certificate file
    std::string key;   // PEM private key file
};

// Writes <dir>/<stem>.crt and <dir>/<stem>.key for host, which is named both as the
// common name and as the subject alternative name (an IP address or a DNS name).
// Returns false when openssl failed.
bool MakeSelfSignedCertificate(const std::string& dir, const std::string& stem, const std::string& host,
                               SelfSignedCertificate& out);

#include "support/SelfSignedCertificate.h"

#include <arpa/inet.h>

#include <cstdlib>

bool MakeSelfSignedCertificate(const std::string& dir, const std::string& stem, const std::string& host,
                               SelfSignedCertificate& out)
{
    in_addr address{};
    const bool is_ip = inet_pton(AF_INET, host.c_str(), &address) == 1;
    out.cert = dir + "/" + stem + ".crt";
    out.key = dir + "/" + stem + ".key";
    const std::string command =
        "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
        " -keyout '" +
        out.key + "' -out '" + out.cert + "' -subj '/CN=" + host +
        "' -addext 'subjectAltName=" + (is_ip ? "IP:" : "DNS:") + host + "' >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
}

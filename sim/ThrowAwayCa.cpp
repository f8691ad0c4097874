#include "sim/ThrowAwayCa.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <cstdio>

namespace Sim {

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<FILE, FileCloser>;
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Cert = std::unique_ptr<X509, CertFree>;

Key _new_key()
{
    return Key(EVP_EC_gen("prime256v1"));
}

bool _add_extension(X509* cert, X509* issuer, int nid, const std::string& value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    if (!extension)
        return false;
    const bool ok = X509_add_ext(cert, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    return ok;
}

// A certificate for key, named name, valid over the given window, not yet signed.
Cert _certificate(EVP_PKEY* key, const std::string& name, long from_seconds, long for_seconds)
{
    static long serial = 1;
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++ + static_cast<long>(time(nullptr)));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), from_seconds);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), from_seconds + for_seconds);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* subject = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    return cert;
}

bool _write_pem(const std::string& path, X509* cert, EVP_PKEY* key, std::string& error)
{
    File file(std::fopen(path.c_str(), "w"));
    const bool ok = file && (cert ? PEM_write_X509(file.get(), cert)
                                  : PEM_write_PrivateKey(file.get(), key, nullptr, nullptr, 0, nullptr, nullptr));
    if (!ok)
        error = "cannot write " + path;
    return ok;
}

}  // namespace

struct ThrowAwayCa::Keys {
    Key key;
    Cert cert;
};

ThrowAwayCa::ThrowAwayCa() = default;
ThrowAwayCa::~ThrowAwayCa() = default;

bool ThrowAwayCa::Create(const std::string& name, std::string& error)
{
    auto keys = std::make_unique<Keys>();
    keys->key = _new_key();
    if (keys->key)
        keys->cert = _certificate(keys->key.get(), name, -3600, 30 * 86400);
    X509* cert = keys->cert.get();
    const bool ok = cert && X509_set_issuer_name(cert, X509_get_subject_name(cert)) &&
                    _add_extension(cert, cert, NID_basic_constraints, "critical,CA:TRUE") &&
                    _add_extension(cert, cert, NID_key_usage, "critical,keyCertSign,cRLSign") &&
                    _add_extension(cert, cert, NID_subject_key_identifier, "hash") &&
                    X509_sign(cert, keys->key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = "cannot make the CA certificate";
        return false;
    }
    keys_ = std::move(keys);
    return true;
}

bool ThrowAwayCa::WriteCertificate(const std::string& path, std::string& error) const
{
    if (!keys_)
        error = "no CA made";
    return keys_ && _write_pem(path, keys_->cert.get(), nullptr, error);
}

bool ThrowAwayCa::Issue(const CertificateSpec& spec, const std::string& cert_path, const std::string& key_path,
                        std::string& error) const
{
    if (!keys_) {
        error = "no CA made";
        return false;
    }
    in_addr address{};
    const bool is_ip = inet_pton(AF_INET, spec.host.c_str(), &address) == 1;
    Key key = _new_key();
    Cert cert = key ? _certificate(key.get(), spec.host, spec.valid_from_seconds, spec.valid_for_seconds) : nullptr;
    const bool ok =
        cert && X509_set_issuer_name(cert.get(), X509_get_subject_name(keys_->cert.get())) &&
        _add_extension(cert.get(), keys_->cert.get(), NID_subject_alt_name, (is_ip ? "IP:" : "DNS:") + spec.host) &&
        _add_extension(cert.get(), keys_->cert.get(), NID_basic_constraints, "CA:FALSE") &&
        _add_extension(cert.get(), keys_->cert.get(), NID_authority_key_identifier, "keyid") &&
        X509_sign(cert.get(), keys_->key.get(), EVP_sha256()) > 0;
    if (!ok) {
        error = "cannot make a certificate for " + spec.host;
        return false;
    }
    return _write_pem(cert_path, cert.get(), nullptr, error) && _write_pem(key_path, nullptr, key.get(), error);
}

}  // namespace Sim

#pragma once
// Which update servers the client believes. By default any certificate whose name
// matches the host, so that a lab server with a self-signed certificate keeps working;
// a site that wants more names a CA bundle (the chain must end in it) and/or the
// public keys it accepts.
#include <string>

struct ServerTrust {
    static constexpr const char* CA_BUNDLE_VARIABLE = "UPDATER_CA_BUNDLE";
    static constexpr const char* PINNED_KEY_VARIABLE = "UPDATER_PINNED_KEY";
    // The CA bundle value that stands for the system's own CA store.
    static constexpr const char* SYSTEM_STORE = "system";

    std::string ca_bundle;    // empty: the chain is not verified
    std::string pinned_keys;  // empty: any key; else "sha256//BASE64[;sha256//BASE64...]"

    bool VerifiesChain() const { return !ca_bundle.empty(); }
    bool Enabled() const { return !ca_bundle.empty() || !pinned_keys.empty(); }

    // Reads both variables (unset or empty: off). False, with a message for the user,
    // when a setting cannot be used: a bundle that cannot be read or holds no PEM
    // certificate, a pin that is not sha256// and the Base64 of a SHA-256 digest.
    static bool FromEnvironment(ServerTrust& trust, std::string& error);
    // With a check on, only an https:// server can be checked; false (with a message)
    // for any other URL.
    bool Allows(const std::string& url, std::string& error) const;
};

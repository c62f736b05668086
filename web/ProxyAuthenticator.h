// The answers to a proxy's 407: picks Basic, Digest or NTLM from the "Proxy-Authenticate" fields and
// builds the "Proxy-Authorization" values from the user name, password and domain of the proxy settings.
// ProxyClient (a "CONNECT") and HttpClient (a request through an HTTP proxy) run the exchanges with
// them; this class only makes the texts, and throws ProxyClient's exceptions when it cannot.
//
// An NTLM challenge comes from the proxy: it is taken only when libntlm can answer it within its fixed
// buffers, and otherwise answered as an all-zero challenge that the proxy will refuse.
#pragma once

#include <cstddef>
#include <string>

#include "web/HeaderList.h"

class ProxyAuthenticator {
public:
    enum class Scheme { Basic, Digest, Ntlm };

    // The scheme to answer with and the value of the field that named it.
    struct Challenge {
        Scheme scheme;
        std::string value;
    };

    // Digest answers carry a fixed client nonce and always count their nonce use as the first.
    static constexpr const char* kDigestClientNonce = "5c0e3a9b27d14f86a1e09b7c3d52f8e6";
    static constexpr const char* kDigestNonceCount = "00000001";
    // The most 407 answers one request sends before it gives up.
    static constexpr int kMaxAnswers = 3;
    // The size of libntlm's challenge structure: a longer decoded challenge is not taken.
    static constexpr size_t kNtlmChallengeLimit = 1076;
    // The longest user, domain or target name libntlm writes into a message without overrunning its
    // buffers (it widens at most 160 characters to UTF-16 per field).
    static constexpr size_t kMaxNtlmNameLength = 160;

    ProxyAuthenticator(std::string userName, std::string password, std::string domain);

    // The first "Proxy-Authenticate" field beginning (in any case) with "ntlm", "basic" or "digest".
    // Throws ProxyClient::ProxyUnknownAuthenticationRequiredException when no field does.
    static Challenge Choose(const HeaderList& headers);

    // "Basic " and the Base64 of user ":" password.
    std::string Basic() const;
    // The answer to the Digest challenge `challenge` (a field value) for `method` and `uri`.
    std::string Digest(const std::string& challenge, const std::string& method, const std::string& uri) const;
    // "NTLM " and the Base64 of the negotiate message.
    std::string NtlmNegotiate() const;
    // "NTLM " and the Base64 of the authenticate message answering the challenge in the first
    // "Proxy-Authenticate" field of `headers`. Throws ProxyClient::ProxyAuthenticationFailedException when
    // that field holds no challenge.
    std::string NtlmAuthenticate(const HeaderList& headers) const;

private:
    // Throws ProxyClient::ProxyNTLMAuthenticationRequiredException for a user or domain NTLM cannot carry.
    void CheckNtlmNames() const;

    std::string userName_;
    std::string password_;
    std::string domain_;
};

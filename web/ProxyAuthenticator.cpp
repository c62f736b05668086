#include "web/ProxyAuthenticator.h"

#include <nettle/base64.h>
#include <nettle/md5.h>
#include <ntlm.h>

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ByteString.h"
#include "web/ProxyClient.h"

namespace {

static_assert(sizeof(tSmbNtlmAuthChallenge) == ProxyAuthenticator::kNtlmChallengeLimit,
              "the challenge limit is the size of libntlm's challenge structure");

// Where the NTLM challenge message keeps the length of its target name (a little-endian 16-bit count of
// bytes, after the 8-byte signature and the 4-byte message type).
constexpr size_t kTargetNameLengthOffset = 12;

std::string Base64(const uint8_t* data, size_t length) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(length), '\0');
    base64_encode_raw(out.data(), length, data);
    return out;
}

std::string Base64(std::string_view text) {
    return Base64(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The decoded bytes, or false when `text` is not Base64.
bool DecodeBase64(std::string_view text, std::vector<uint8_t>& out) {
    base64_decode_ctx context;
    base64_decode_init(&context);
    out.resize(BASE64_DECODE_LENGTH(text.size()));
    size_t length = out.size();
    if (base64_decode_update(&context, &length, out.data(), text.size(), text.data()) == 0 ||
        base64_decode_final(&context) == 0) {
        out.clear();
        return false;
    }
    out.resize(length);
    return true;
}

// MD5 as 32 lower-case hexadecimal digits.
std::string Md5(std::string_view text) {
    md5_ctx context;
    md5_init(&context);
    md5_update(&context, text.size(), reinterpret_cast<const uint8_t*>(text.data()));
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&context, sizeof(digest), digest);
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const uint8_t byte : digest) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 0x0F]);
    }
    return out;
}

std::string Upper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

std::string RemoveQuotes(std::string text) {
    std::erase(text, '"');
    return text;
}

// The parameters of a Digest challenge: the text after the scheme split at every comma, each item at its
// first "=". A quoted list such as qop="auth,auth-int" is split like the rest.
class DigestParameters {
public:
    explicit DigestParameters(std::string_view challenge) {
        const size_t space = challenge.find(' ');
        if (space == std::string_view::npos)
            return;
        const std::string_view rest = challenge.substr(space + 1);
        for (size_t start = 0;;) {
            const size_t comma = rest.find(',', start);
            const std::string_view item =
                rest.substr(start, comma == std::string_view::npos ? comma : comma - start);
            const size_t equals = item.find('=');
            items_.emplace_back(std::string(TrimBytes(item.substr(0, equals))),
                                equals == std::string_view::npos
                                    ? std::string()
                                    : std::string(TrimBytes(item.substr(equals + 1))));
            if (comma == std::string_view::npos)
                break;
            start = comma + 1;
        }
    }

    // The first value named `name` in any case, without its double quotes; empty when there is none.
    std::string Get(std::string_view name) const {
        for (const auto& [itemName, value] : items_) {
            if (EqualsIgnoringCase(itemName, name))
                return RemoveQuotes(value);
        }
        return std::string();
    }

private:
    std::vector<std::pair<std::string, std::string>> items_;
};

// The NTLM message as it travels: its fixed part, then the bytes its string headers point into.
template <typename Message>
std::string NtlmAnswer(const Message& message) {
    const size_t length = offsetof(Message, buffer) + message.bufIndex;
    return "NTLM " + Base64(reinterpret_cast<const uint8_t*>(&message), length);
}

}  // namespace

ProxyAuthenticator::ProxyAuthenticator(std::string userName, std::string password, std::string domain)
    : userName_(std::move(userName)), password_(std::move(password)), domain_(std::move(domain)) {}

ProxyAuthenticator::Challenge ProxyAuthenticator::Choose(const HeaderList& headers) {
    constexpr std::string_view kField = "Proxy-Authenticate";
    for (int i = headers.Find(kField); i >= 0; i = headers.Find(kField, i + 1)) {
        const std::string& value = headers.Value(i);
        if (StartsWithIgnoringCase(value, "ntlm"))
            return {Scheme::Ntlm, value};
        if (StartsWithIgnoringCase(value, "basic"))
            return {Scheme::Basic, value};
        if (StartsWithIgnoringCase(value, "digest"))
            return {Scheme::Digest, value};
    }
    throw ProxyClient::ProxyUnknownAuthenticationRequiredException();
}

std::string ProxyAuthenticator::Basic() const {
    if (userName_.empty())
        throw ProxyClient::ProxyBasicAuthenticationRequiredException();
    return "Basic " + Base64(userName_ + ":" + password_);
}

std::string ProxyAuthenticator::Digest(const std::string& challenge, const std::string& method,
                                       const std::string& uri) const {
    if (userName_.empty())
        throw ProxyClient::ProxyDigestAuthenticationRequiredException();
    const DigestParameters parameters(challenge);
    const std::string realm = parameters.Get("realm");
    const std::string qop = LowerAscii(parameters.Get("qop"));
    const std::string nonce = parameters.Get("nonce");
    const std::string opaque = parameters.Get("opaque");
    const std::string algorithm = Upper(parameters.Get("algorithm"));
    const std::string cnonce = kDigestClientNonce;
    const std::string nc = kDigestNonceCount;

    std::string a1;
    if (algorithm == "MD5" || algorithm.empty())
        a1 = userName_ + ":" + realm + ":" + password_;
    else if (algorithm == "MD5-SESS")
        a1 = Md5(userName_ + ":" + realm + ":" + password_) + ":" + nonce + ":" + cnonce;

    std::string a2;
    if (qop == "auth" || qop.empty())
        a2 = method + ":" + uri;
    else if (qop == "auth-int")
        a2 = method + ":" + uri + ":" + Md5("");  // the body is taken as empty

    std::string response;
    if (qop == "auth" || qop == "auth-int")
        response = Md5(Md5(a1) + ":" + nonce + ":" + nc + ":" + cnonce + ":" + qop + ":" + Md5(a2));
    else if (qop.empty())
        response = Md5(Md5(a1) + ":" + nonce + ":" + Md5(a2));

    return "Digest username=\"" + userName_ + "\", realm=\"" + realm + "\", nonce=\"" + nonce + "\", uri=\"" +
           uri + "\", qop=\"" + qop + "\", nc=" + nc + ", cnonce=\"" + cnonce + "\", response=\"" + response +
           "\", opaque=\"" + opaque + "\"";
}

void ProxyAuthenticator::CheckNtlmNames() const {
    if (userName_.empty() || userName_.size() > kMaxNtlmNameLength || domain_.size() > kMaxNtlmNameLength)
        throw ProxyClient::ProxyNTLMAuthenticationRequiredException();
}

std::string ProxyAuthenticator::NtlmNegotiate() const {
    CheckNtlmNames();
    const std::string name = Upper(domain_.empty() ? userName_ : domain_);
    tSmbNtlmAuthRequest request{};
    buildSmbNtlmAuthRequest(&request, name.c_str(), name.c_str());
    return NtlmAnswer(request);
}

std::string ProxyAuthenticator::NtlmAuthenticate(const HeaderList& headers) const {
    CheckNtlmNames();
    std::vector<std::string> words;
    const std::string field = headers.Get("Proxy-Authenticate");
    for (size_t start = 0; start < field.size();) {
        const size_t space = field.find(' ', start);
        std::string word = std::string(TrimBytes(std::string_view(field).substr(start, space - start)));
        if (!word.empty())
            words.push_back(std::move(word));
        start = space == std::string::npos ? field.size() : space + 1;
    }
    if (words.size() < 2)
        throw ProxyClient::ProxyAuthenticationFailedException();

    // The challenge is the proxy's: it is copied only when it fits libntlm's structure, and (when libntlm
    // will take the domain from it) only when its target name fits libntlm's buffers. Anything else is
    // answered as an all-zero challenge.
    tSmbNtlmAuthChallenge challenge{};
    std::vector<uint8_t> bytes;
    const std::string& encoded = words[1];
    if (encoded.size() <= BASE64_ENCODE_RAW_LENGTH(kNtlmChallengeLimit) && DecodeBase64(encoded, bytes) &&
        bytes.size() <= kNtlmChallengeLimit) {
        size_t targetBytes = 0;
        if (bytes.size() >= kTargetNameLengthOffset + 2)
            targetBytes = bytes[kTargetNameLengthOffset] | (bytes[kTargetNameLengthOffset + 1] << 8);
        const bool takesTarget = userName_.find('@') == std::string::npos;
        if (!bytes.empty() && (!takesTarget || targetBytes / 2 <= kMaxNtlmNameLength))
            std::memcpy(&challenge, bytes.data(), bytes.size());
    }
    tSmbNtlmAuthResponse response{};
    buildSmbNtlmAuthResponse(&challenge, &response, userName_.c_str(), password_.c_str());
    return NtlmAnswer(response);
}

// Answers to a proxy's 407 against scripted proxies on 127.0.0.1, for "CONNECT" (ProxyClient), for
// requests through an HTTP proxy (HttpClient) and through the tunnel relay: the scheme chosen, the
// exception for each way it cannot be answered, Digest answers checked against RFC 2617's formulas
// computed here, NTLM messages read back field by field, and challenges too large to take.
#include <gtest/gtest.h>

#include <nettle/base64.h>
#include <nettle/des.h>
#include <nettle/md4.h>
#include <nettle/md5.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "web/HttpClient.h"
#include "web/ProxyAuthenticator.h"
#include "web/ProxyClient.h"
#include "web_script_server.h"

namespace {

using webtest::Peer;
using webtest::ReadFrom;
using webtest::Recorder;
using webtest::ScriptServer;
using webtest::Text;

const uint8_t* Bytes(std::string_view text) {
    return reinterpret_cast<const uint8_t*>(text.data());
}

// RFC 2617's H: MD5 as 32 lower-case hexadecimal digits.
std::string H(std::string_view text) {
    md5_ctx context;
    md5_init(&context);
    md5_update(&context, text.size(), Bytes(text));
    uint8_t digest[MD5_DIGEST_SIZE];
    md5_digest(&context, sizeof(digest), digest);
    std::string hex;
    for (const uint8_t byte : digest) {
        static const char kDigits[] = "0123456789abcdef";
        hex += kDigits[byte >> 4];
        hex += kDigits[byte & 15];
    }
    return hex;
}

// RFC 2617's KD.
std::string KD(const std::string& secret, const std::string& data) {
    return H(secret + ":" + data);
}

std::string Base64(std::string_view bytes) {
    std::string out(BASE64_ENCODE_RAW_LENGTH(bytes.size()), '\0');
    base64_encode_raw(out.data(), bytes.size(), Bytes(bytes));
    return out;
}

std::string Unbase64(std::string_view text) {
    base64_decode_ctx context;
    base64_decode_init(&context);
    std::string out(BASE64_DECODE_LENGTH(text.size()), '\0');
    size_t length = out.size();
    if (base64_decode_update(&context, &length, reinterpret_cast<uint8_t*>(out.data()), text.size(),
                             text.data()) == 0)
        return std::string();
    out.resize(length);
    return out;
}

bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The value of the first field `name` in a request head.
std::string Field(const std::string& request, const std::string& name) {
    const size_t at = request.find("\r\n" + name + ": ");
    if (at == std::string::npos)
        return std::string();
    const size_t start = at + name.size() + 4;
    return request.substr(start, request.find("\r\n", start) - start);
}

int CountFields(const std::string& request, const std::string& name) {
    int count = 0;
    for (size_t at = request.find("\r\n" + name + ": "); at != std::string::npos;
         at = request.find("\r\n" + name + ": ", at + 1))
        ++count;
    return count;
}

// ---- NTLM messages, laid out by hand ----

std::string Le16(size_t value) {
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string Le32(uint32_t value) {
    return Le16(value & 0xFFFF) + Le16(value >> 16);
}

uint32_t ReadLe(const std::string& message, size_t at, int size) {
    uint32_t value = 0;
    for (int i = size - 1; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(at + i < message.size() ? message[at + i] : 0);
    return value;
}

std::string Utf16(std::string_view ascii) {
    std::string out;
    for (const char c : ascii)
        out += std::string{c, '\0'};
    return out;
}

// The bytes a message's string header at `header` (length, room, offset) points to.
std::string Buffer(const std::string& message, size_t header) {
    const size_t offset = ReadLe(message, header + 4, 4);
    return offset > message.size() ? std::string() : message.substr(offset, ReadLe(message, header, 2));
}

// The NTLM message of a "Proxy-Authorization: NTLM ..." value, or of a request carrying one.
std::string NtlmMessage(const std::string& request) {
    const std::string value = Contains(request, "\r\n") ? Field(request, "Proxy-Authorization") : request;
    return value.rfind("NTLM ", 0) == 0 ? Unbase64(value.substr(5)) : std::string();
}

// A challenge message (type 2): signature, type, the target name's header, flags, the 8-byte challenge,
// 16 reserved bytes, the target name in UTF-16LE; zero bytes pad it to `size`.
std::string NtlmChallenge(const std::string& target, const std::string& challenge, size_t size = 0) {
    const std::string name = Utf16(target);
    std::string message = std::string("NTLMSSP\0", 8) + Le32(2) + Le16(name.size()) + Le16(name.size()) +
                          Le32(48) + Le32(0x00000201) + challenge + std::string(16, '\0') + name;
    if (message.size() < size)
        message.resize(size, '\0');
    return message;
}

// The NT response: the MD4 of the UTF-16LE password, zero-padded to 21 bytes, as three DES keys of 7
// bytes, each encrypting the challenge.
std::string NtResponse(const std::string& password, const std::string& challenge) {
    const std::string unicode = Utf16(password);
    md4_ctx md4;
    md4_init(&md4);
    md4_update(&md4, unicode.size(), Bytes(unicode));
    uint8_t keys[21] = {};
    md4_digest(&md4, MD4_DIGEST_SIZE, keys);
    std::string out;
    for (int k = 0; k < 3; ++k) {
        const uint8_t* b = keys + 7 * k;
        uint8_t key[8];
        key[0] = b[0];
        for (int i = 1; i < 7; ++i)
            key[i] = static_cast<uint8_t>((b[i - 1] << (8 - i)) | (b[i] >> i));
        key[7] = static_cast<uint8_t>(b[6] << 1);  // the low bit of each byte is parity, which DES ignores
        des_ctx des;
        des_set_key(&des, key);
        uint8_t block[8];
        des_encrypt(&des, sizeof(block), block, Bytes(challenge));
        out.append(reinterpret_cast<const char*>(block), sizeof(block));
    }
    return out;
}

const std::string kChallenge("\x01\x23\x45\x67\x89\xab\xcd\xef", 8);

std::string Reply(const std::string& status, const std::string& fields = "", const std::string& body = "") {
    return "HTTP/1.0 " + status + "\r\n" + fields + "Content-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
}

std::string Challenge407(const std::string& fields) {
    return Reply("407 Proxy Authentication Required", fields, "denied");
}

const std::string kEstablished = "HTTP/1.0 200 Connection established\r\n\r\n";

class ProxyAuthTest : public ::testing::Test {
protected:
    void SetUp() override {
        proxy.SetTimeoutMs(5000);
        proxy.SetUserName("alice");
        proxy.SetPassword("s3cret");
        client.SetTimeout(5);
    }

    // A proxy answering each request of a connection with answer(request); it closes the connection
    // after an answer that says "Connection: close".
    ScriptServer::Script Proxy(std::function<std::string(const std::string&)> answer) {
        return [this, answer](Peer& peer) {
            for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
                requests.Add(request);
                const std::string reply = answer(request);
                peer.Send(reply);
                if (Contains(reply, "Connection: close"))
                    return;
            }
        };
    }

    // Names how `action` ended.
    static std::string Outcome(const std::function<void()>& action) {
        try {
            action();
            return "connected";
        } catch (const ProxyClient::ProxyBasicAuthenticationRequiredException&) {
            return "basic required";
        } catch (const ProxyClient::ProxyDigestAuthenticationRequiredException&) {
            return "digest required";
        } catch (const ProxyClient::ProxyNTLMAuthenticationRequiredException&) {
            return "ntlm required";
        } catch (const ProxyClient::ProxyUnknownAuthenticationRequiredException&) {
            return "unknown scheme";
        } catch (const ProxyClient::ProxyAuthenticationFailedException&) {
            return "failed";
        } catch (const ProxyClient::ProxyException&) {
            return "proxy";
        } catch (const Exception&) {
            return "other";
        }
    }

    std::string Connect(uint16_t port) {
        socket.Close();
        return Outcome(
            [&] { proxy.Connect(socket, "dest.example", 443, "127.0.0.1", port, ProxyClient::Https); });
    }

    void UseHttpProxy(uint16_t port) {
        ProxyClient& settings = client.Proxy();
        settings.SetProxyType(ProxyClient::HttpTunnel);
        settings.SetProxyHost("127.0.0.1");
        settings.SetProxyPort(port);
        settings.SetUserName("alice");
        settings.SetPassword("s3cret");
    }

    ProxyClient proxy;
    Socket socket;
    HttpClient client;
    ByteBuffer out;
    Recorder requests;
};

// A proxy for the NTLM exchange: "NTLM" to a request without an answer, the challenge to the negotiate
// message, then `final` to the authenticate message.
std::string NtlmProxyAnswer(const std::string& request, const std::string& challenge,
                            const std::string& final) {
    const std::string message = NtlmMessage(request);
    if (message.size() < 12)
        return Challenge407("Proxy-Authenticate: NTLM\r\n");
    if (ReadLe(message, 8, 4) == 1)
        return Challenge407("Proxy-Authenticate: NTLM " + challenge + "\r\n");
    return final;
}

}  // namespace

TEST_F(ProxyAuthTest, ChoosesTheFirstFieldOfAKnownSchemeAndThrowsWhenItCannotAnswer) {
    const struct {
        std::string fields;
        std::string user;
        std::string answered;  // the scheme of the answer sent, "-" for none
        std::string outcome;
    } cases[] = {
        {"Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: Basic realm=\"x\"\r\n", "alice", "Basic",
         "connected"},
        {"Proxy-Authenticate: bAsIc realm=x\r\nProxy-Authenticate: NTLM\r\n", "alice", "Basic", "connected"},
        {"Proxy-Authenticate: DIGEST realm=x, nonce=n\r\nProxy-Authenticate: Basic\r\n", "alice", "Digest",
         "connected"},
        // A proxy that does not answer the negotiate message with its challenge.
        {"Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic\r\n", "alice", "NTLM", "failed"},
        {"Proxy-Authenticate: Negotiate\r\n", "alice", "-", "unknown scheme"},
        {"", "alice", "-", "unknown scheme"},
        {"Proxy-Authenticate: Basic realm=x\r\n", "", "-", "basic required"},
        {"Proxy-Authenticate: Digest realm=x, nonce=n\r\n", "", "-", "digest required"},
        {"Proxy-Authenticate: NTLM\r\n", "", "-", "ntlm required"},
        // libntlm widens at most 160 characters of a name into its fixed message buffer.
        {"Proxy-Authenticate: NTLM\r\n", std::string(161, 'u'), "-", "ntlm required"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fields + c.user);
        ScriptServer server(Proxy([&](const std::string& request) {
            return Contains(request, "Proxy-Authorization") ? kEstablished : Challenge407(c.fields);
        }));
        proxy.SetUserName(c.user);
        EXPECT_EQ(Connect(server.Port()), c.outcome);
        const std::string answer = Field(requests.Items().back(), "Proxy-Authorization");
        EXPECT_EQ(answer.empty() ? "-" : answer.substr(0, answer.find(' ')), c.answered);
        EXPECT_EQ(proxy.LastError(), "");
    }
    EXPECT_EQ(Field(requests.At(1), "Proxy-Authorization"), "Basic " + Base64("alice:s3cret"));
}

TEST_F(ProxyAuthTest, BasicAndNtlmAnswerOnANewConnectionAndDigestOnTheOneItKeeps) {
    const struct {
        std::string challenge;
        std::string connectionField;
        int connections;
    } cases[] = {
        {"Basic realm=x", "", 2},
        {"NTLM", "", 2},
        {"Digest realm=x, nonce=n", "", 1},
        // An answer to an HTTP/1.0 request may close the connection, and the Digest answer needs one.
        {"Digest realm=x, nonce=n", "Connection: close\r\n", 2},
        {"Digest realm=x, nonce=n", "Proxy-Connection: close\r\n", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.challenge + c.connectionField);
        ScriptServer server(Proxy([&](const std::string& request) {
            if (Contains(c.challenge, "NTLM"))
                return NtlmProxyAnswer(request, Base64(NtlmChallenge("T", kChallenge)), kEstablished);
            return Contains(request, "Proxy-Authorization")
                       ? kEstablished
                       : Challenge407("Proxy-Authenticate: " + c.challenge + "\r\n" + c.connectionField);
        }));
        EXPECT_EQ(Connect(server.Port()), "connected");
        EXPECT_EQ(server.Accepted(), c.connections);
    }
}

TEST_F(ProxyAuthTest, DigestAnswersOnANewConnectionWhenTheProxyClosedItWithoutSayingSo) {
    ScriptServer server([](Peer& peer) {
        if (Contains(peer.ReadRequest(), "Proxy-Authorization")) {
            peer.Send(kEstablished);
            peer.WaitForClose();
        } else {
            peer.SendLast(Challenge407("Proxy-Authenticate: Digest nonce=n\r\n"));
        }
    });
    EXPECT_EQ(Connect(server.Port()), "connected");
    EXPECT_EQ(server.Accepted(), 2);
}

TEST_F(ProxyAuthTest, RejectedAnswersLeaveTheSchemesTextInLastError) {
    const struct {
        std::string challenge;
        std::string lastError;
    } cases[] = {
        {"Basic realm=x", "Basic HTTP Proxy Authentication response code: 407"},
        {"Digest realm=x, nonce=n", "Digest HTTP Proxy Authentication response code: 407"},
        {"NTLM", "NTLM HTTP Proxy Authentication code: 403"},
    };
    for (const auto& c : cases) {
        ScriptServer server(Proxy([&](const std::string& request) {
            if (c.challenge == "NTLM")
                return NtlmProxyAnswer(request, Base64(NtlmChallenge("T", kChallenge)),
                                       Reply("403 Forbidden"));
            return Challenge407("Proxy-Authenticate: " + c.challenge + "\r\n");
        }));
        EXPECT_EQ(Connect(server.Port()), "proxy");
        EXPECT_EQ(proxy.LastError(), c.lastError);
    }
}

TEST_F(ProxyAuthTest, DigestAnswersFollowRfc2617AndCarryAllNineParameters) {
    const std::string cnonce = ProxyAuthenticator::kDigestClientNonce;
    const std::string a1 = "alice:proxy:s3cret";
    const std::string a2 = "CONNECT:/";
    const struct {
        std::string challenge;
        std::string qop;
        std::string opaque;
        std::string response;
    } cases[] = {
        {"Digest realm=\"proxy\", nonce=\"abc123\", qop=\"auth\", opaque=\"xyz\"", "auth", "xyz",
         KD(H(a1), "abc123:00000001:" + cnonce + ":auth:" + H(a2))},
        // Without qop: the response of RFC 2069, and still every parameter, empty ones included.
        {"Digest realm=\"proxy\", nonce=\"abc123\"", "", "", KD(H(a1), "abc123:" + H(a2))},
        // The quoted list is split at its comma like the other parameters: its first half is the qop.
        {"Digest realm=\"proxy\", qop=\"auth,auth-int\", nonce=\"abc123\"", "auth", "",
         KD(H(a1), "abc123:00000001:" + cnonce + ":auth:" + H(a2))},
        // Names in any case, values without quotes; the body of auth-int is always taken as empty.
        {"Digest Realm=proxy, NONCE=\"abc123\", QOP=\"AUTH-INT\", algorithm=md5", "auth-int", "",
         KD(H(a1), "abc123:00000001:" + cnonce + ":auth-int:" + H(a2 + ":" + H("")))},
        {"Digest realm=\"proxy\", nonce=\"abc123\", qop=auth, algorithm=\"MD5-sess\"", "auth", "",
         KD(H(H(a1) + ":abc123:" + cnonce), "abc123:00000001:" + cnonce + ":auth:" + H(a2))},
        // An algorithm other than MD5 is answered with an empty A1, a qop other than auth with no response.
        {"Digest realm=\"proxy\", nonce=\"abc123\", algorithm=SHA-256", "", "", KD(H(""), "abc123:" + H(a2))},
        {"Digest realm=\"proxy\", nonce=\"abc123\", qop=auth-conf", "auth-conf", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.challenge);
        ScriptServer server(Proxy([&](const std::string& request) {
            return Contains(request, "Proxy-Authorization")
                       ? kEstablished
                       : Challenge407("Proxy-Authenticate: " + c.challenge + "\r\n");
        }));
        EXPECT_EQ(Connect(server.Port()), "connected");
        EXPECT_EQ(Field(requests.Items().back(), "Proxy-Authorization"),
                  "Digest username=\"alice\", realm=\"proxy\", nonce=\"abc123\", uri=\"/\", qop=\"" + c.qop +
                      "\", nc=00000001, cnonce=\"" + cnonce + "\", response=\"" + c.response +
                      "\", opaque=\"" + c.opaque + "\"");
    }
}

TEST_F(ProxyAuthTest, NtlmNegotiatesWithTheUpperCasedDomainOrUserAndAuthenticatesWithTheChallenge) {
    const struct {
        std::string user;
        std::string domain;
        std::string negotiated;
    } cases[] = {
        {"alice", "", "ALICE"},
        {"alice", "corp", "CORP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + "/" + c.domain);
        ScriptServer server(Proxy([](const std::string& request) {
            return NtlmProxyAnswer(request, Base64(NtlmChallenge("TARGET", kChallenge)), kEstablished);
        }));
        proxy.SetUserName(c.user);
        proxy.SetDomain(c.domain);
        ASSERT_EQ(Connect(server.Port()), "connected");
        const auto seen = requests.Items();
        ASSERT_EQ(seen.size(), 3u);
        const std::string negotiate = NtlmMessage(seen[1]);
        EXPECT_EQ(negotiate.substr(0, 8), std::string("NTLMSSP\0", 8));
        EXPECT_EQ(ReadLe(negotiate, 8, 4), 1u);
        EXPECT_EQ(Buffer(negotiate, 16), c.negotiated);
        EXPECT_EQ(Buffer(negotiate, 24), c.negotiated);
        const std::string authenticate = NtlmMessage(seen[2]);
        EXPECT_EQ(ReadLe(authenticate, 8, 4), 3u);
        EXPECT_EQ(Buffer(authenticate, 28), Utf16("TARGET"));
        EXPECT_EQ(Buffer(authenticate, 36), Utf16(c.user));
        EXPECT_EQ(Buffer(authenticate, 20), NtResponse("s3cret", kChallenge));
        requests.Clear();
    }
}

TEST_F(ProxyAuthTest, NtlmChallengesTooLargeForLibntlmAreAnsweredAsAllZero) {
    const std::string zero(8, '\0');
    const struct {
        std::string user;
        std::string challengeWord;
        std::string domain;  // as the authenticate message carries it
        std::string challenge;
    } cases[] = {
        {"alice", Base64(NtlmChallenge("TARGET", kChallenge, ProxyAuthenticator::kNtlmChallengeLimit)),
         "TARGET", kChallenge},
        {"alice", Base64(NtlmChallenge("TARGET", kChallenge, ProxyAuthenticator::kNtlmChallengeLimit + 1)),
         "", zero},
        {"alice", Base64(NtlmChallenge("TARGET", kChallenge, 2000)), "", zero},
        {"alice", Base64(NtlmChallenge(std::string(161, 'T'), kChallenge)), "", zero},
        // The target name is not used when the user name brings its own domain.
        {"alice@corp", Base64(NtlmChallenge(std::string(161, 'T'), kChallenge)), "corp", kChallenge},
        {"alice", "not*base64", "", zero},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.user + " " + c.challengeWord.substr(0, 40));
        ScriptServer server(Proxy([&](const std::string& request) {
            return NtlmProxyAnswer(request, c.challengeWord, kEstablished);
        }));
        proxy.SetUserName(c.user);
        ASSERT_EQ(Connect(server.Port()), "connected");
        const std::string authenticate = NtlmMessage(requests.Items().back());
        EXPECT_EQ(Buffer(authenticate, 28), Utf16(c.domain));
        EXPECT_EQ(Buffer(authenticate, 20), NtResponse("s3cret", c.challenge));
        requests.Clear();
    }

    // A challenge field without the challenge cannot be answered.
    ScriptServer bare(Proxy([](const std::string& request) {
        return NtlmMessage(request).empty() ? Challenge407("Proxy-Authenticate: NTLM\r\n")
                                            : Challenge407("Proxy-Authenticate:   NTLM   \r\n");
    }));
    proxy.SetUserName("alice");
    EXPECT_EQ(Connect(bare.Port()), "failed");
}

// ---- HttpClient through an HTTP proxy ----

TEST_F(ProxyAuthTest, HttpClientAddsEachAnswerToTheRequestAndGivesUpAfterThree) {
    {
        ScriptServer accepting(Proxy([](const std::string& request) {
            return Contains(request, "Proxy-Authorization")
                       ? Reply("200 OK", "", "page")
                       : Challenge407("Proxy-Authenticate: Basic realm=x\r\n");
        }));
        UseHttpProxy(accepting.Port());
        client.Get("http://dest.example/page", out);
        EXPECT_EQ(Text(out), "page");
        EXPECT_EQ(Field(requests.At(1), "Proxy-Authorization"), "Basic " + Base64("alice:s3cret"));
        EXPECT_EQ(accepting.Accepted(), 1);
    }  // closes the kept connection, which the client would otherwise reuse whatever the proxy's port

    requests.Clear();
    ScriptServer refusing(
        Proxy([](const std::string&) { return Challenge407("Proxy-Authenticate: Basic realm=x\r\n"); }));
    UseHttpProxy(refusing.Port());
    EXPECT_EQ(Outcome([&] { client.Get("http://dest.example/page", out); }), "failed");
    ASSERT_EQ(requests.Count(), 1u + ProxyAuthenticator::kMaxAnswers);
    EXPECT_EQ(CountFields(requests.Items().back(), "Proxy-Authorization"), ProxyAuthenticator::kMaxAnswers);
}

TEST_F(ProxyAuthTest, HttpClientDigestAnswersForTheRequestsMethodAndPath) {
    ScriptServer server(Proxy([](const std::string& request) {
        return Contains(request, "Proxy-Authorization")
                   ? Reply("200 OK", "", "done")
                   : Challenge407(
                         "Proxy-Authenticate: Digest realm=\"proxy\", nonce=\"n1\", qop=\"auth\"\r\n");
    }));
    UseHttpProxy(server.Port());
    ByteBuffer body;
    webtest::Fill(body, "data");
    client.Post("http://dest.example:8080/app/form?x=1", body, out);
    EXPECT_EQ(Text(out), "done");
    const std::string answer = Field(requests.At(1), "Proxy-Authorization");
    const std::string cnonce = ProxyAuthenticator::kDigestClientNonce;
    const std::string response =
        KD(H("alice:proxy:s3cret"), "n1:00000001:" + cnonce + ":auth:" + H("POST:/app/form?x=1"));
    EXPECT_TRUE(Contains(answer, "uri=\"/app/form?x=1\"")) << answer;
    EXPECT_TRUE(Contains(answer, "response=\"" + response + "\"")) << answer;
}

TEST_F(ProxyAuthTest, HttpClientNtlmRunsOnOneConnectionAndTakesA407AfterTheAuthenticateAsFinal) {
    std::atomic<int> mode{0};  // how the proxy meets the exchange: 0 accepts, 1 refuses, 2 never challenges
    ScriptServer server(Proxy([&](const std::string& request) {
        if (mode == 2)
            return NtlmMessage(request).empty() ? Challenge407("Proxy-Authenticate: NTLM\r\n")
                                                : Reply("200 OK", "", "unexpected");
        return NtlmProxyAnswer(
            request, Base64(NtlmChallenge("TARGET", kChallenge)),
            mode == 0 ? Reply("200 OK", "", "page") : Challenge407("Proxy-Authenticate: NTLM\r\n"));
    }));
    UseHttpProxy(server.Port());
    client.Get("http://dest.example/page", out);
    EXPECT_EQ(Text(out), "page");
    auto seen = requests.Items();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(Field(seen[1], "Proxy-Connection"), "Keep-Alive");
    EXPECT_EQ(Field(seen[1], "Connection"), "Keep-Alive");
    EXPECT_EQ(CountFields(seen[1], "Proxy-Authorization"), 1);
    EXPECT_EQ(ReadLe(NtlmMessage(seen[1]), 8, 4), 1u);
    EXPECT_EQ(CountFields(seen[2], "Proxy-Authorization"), 1);
    EXPECT_EQ(Buffer(NtlmMessage(seen[2]), 20), NtResponse("s3cret", kChallenge));
    EXPECT_EQ(server.Accepted(), 1);

    // A refused authenticate message leaves the proxy's 407 as the request's answer.
    mode = 1;
    client.Get("http://dest.example/page", out);
    EXPECT_EQ(client.Response().StatusCode(), 407);
    EXPECT_EQ(requests.Count(), 6u);

    // An exchange that fails does not leave the next request taking the first 407 as final.
    mode = 2;
    EXPECT_EQ(Outcome([&] { client.Get("http://dest.example/page", out); }), "failed");
    mode = 0;
    client.Get("http://dest.example/page", out);
    EXPECT_EQ(Text(out), "page");
    EXPECT_EQ(requests.Count(), 11u);
}

TEST_F(ProxyAuthTest, AServerBehindADirectSocksOrConnectRouteNeverReceivesTheProxyCredentials) {
    // Each route ends at an origin server that answers the request with a Basic 407 challenge.
    const std::string challenge = Challenge407("Proxy-Authenticate: Basic realm=x\r\n");
    auto origin = [&](Peer& peer) {
        for (std::string request = peer.ReadRequest(); !request.empty(); request = peer.ReadRequest()) {
            requests.Add(request);
            peer.Send(challenge);
        }
    };
    ScriptServer direct(origin);
    ScriptServer connect([&](Peer& peer) {
        if (peer.ReadRequest().rfind("CONNECT dest.example:80 ", 0) != 0)
            return;
        peer.Send(kEstablished);
        origin(peer);
    });
    ScriptServer socks5([&](Peer& peer) {
        // The greeting offers methods 0 and 2; the proxy takes 0, then grants the connect request.
        if (peer.Read(4) != webtest::Bytes({5, 2, 0, 2}))
            return;
        peer.Send(webtest::Bytes({5, 0}));
        const std::string head = peer.Read(5);
        if (head.size() != 5)
            return;
        peer.Read(static_cast<uint8_t>(head[4]) + 2u);
        peer.Send(webtest::Bytes({5, 0, 0, 1, 127, 0, 0, 1, 0, 80}));
        origin(peer);
    });
    const struct {
        const char* route;
        int type;
        uint16_t proxyPort;
        std::string url;
    } routes[] = {
        {"direct", ProxyClient::Direct, 0, direct.Url("/page")},
        {"CONNECT", ProxyClient::Https, connect.Port(), "http://dest.example/page"},
        {"SOCKS5", ProxyClient::Socks5, socks5.Port(), "http://dest.example/page"},
    };
    for (const auto& r : routes) {
        SCOPED_TRACE(r.route);
        requests.Clear();
        HttpClient routed;
        routed.SetTimeout(5);
        ProxyClient& settings = routed.Proxy();
        settings.SetProxyType(r.type);
        settings.SetProxyHost("127.0.0.1");
        settings.SetProxyPort(r.proxyPort);
        settings.SetUserName("alice");
        settings.SetPassword("s3cret");
        EXPECT_THROW(routed.Get(r.url, out), HttpClient::BadResponseException);
        EXPECT_EQ(routed.Response().StatusCode(), 407);
        ASSERT_EQ(requests.Count(), 1u);
        EXPECT_EQ(CountFields(requests.At(0), "Proxy-Authorization"), 0);
    }

    // Without a proxy to send to, HTTP-proxy mode sends to the server itself, which is not the proxy either.
    requests.Clear();
    HttpClient unproxied;
    unproxied.SetTimeout(5);
    unproxied.Proxy().SetProxyType(ProxyClient::HttpTunnel);
    unproxied.Proxy().SetUserName("alice");
    unproxied.Proxy().SetPassword("s3cret");
    EXPECT_THROW(unproxied.Get(direct.Url("/page"), out), HttpClient::BadResponseException);
    ASSERT_EQ(requests.Count(), 1u);
    EXPECT_EQ(CountFields(requests.At(0), "Proxy-Authorization"), 0);
}

TEST_F(ProxyAuthTest, TheTunnelRelayAnswersTheHttpProxysChallenge) {
    ScriptServer server(Proxy([](const std::string& request) {
        if (Field(request, "Proxy-Authorization") != "Basic " + Base64("alice:s3cret"))
            return Challenge407("Proxy-Authenticate: Basic realm=x\r\n");
        return Reply("200 OK", "", Contains(request, "cmd=0") ? "T1\nhello" : "T1\n");
    }));
    proxy.SetTunnelUrl("http://tunnel.example/tunnel");
    proxy.SetTunnelInterval(20);
    proxy.Connect(socket, "dest.example", 7000, "127.0.0.1", server.Port(), ProxyClient::HttpTunnel);
    EXPECT_EQ(ReadFrom(socket.handle, 5), "hello");
}

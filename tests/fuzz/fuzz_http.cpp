// The HTTP response parser two ways: fed in arbitrary chunks (the client's path), and read line by line
// from a stream socket (the proxy's "CONNECT" path, through InputStream). A complete head then goes to the
// proxy authenticator, whose challenge parsers read the "Proxy-Authenticate" fields.
//
// Input: one byte of chunk sizes seed, then the message.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "web/HttpResponse.h"
#include "web/InputStream.h"
#include "web/ProxyAuthenticator.h"
#include "web/WebExceptions.h"

namespace {

void Authenticate(const HttpResponse& response) {
    try {
        const ProxyAuthenticator::Challenge challenge = ProxyAuthenticator::Choose(response.Headers());
        const ProxyAuthenticator authenticator("user", "secret", "DOMAIN");
        switch (challenge.scheme) {
            case ProxyAuthenticator::Scheme::Basic:
                authenticator.Basic();
                break;
            case ProxyAuthenticator::Scheme::Digest:
                authenticator.Digest(challenge.value, "CONNECT", "/");
                break;
            case ProxyAuthenticator::Scheme::Ntlm:
                authenticator.NtlmAuthenticate(response.Headers());
                break;
        }
    } catch (const Exception&) {
        // refusals are answers too
    }
}

void Inspect(HttpResponse& response) {
    try {
        response.HasContentLength();
        response.ContentLength();
    } catch (const HttpException&) {
    }
    if (response.State() >= HttpMessage::kBody)
        Authenticate(response);
    ByteBuffer out;
    response.Serialize(out);
}

void FeedInChunks(const uint8_t* data, size_t size, uint8_t seed) {
    HttpResponse response;
    size_t at = 0;
    unsigned state = seed | 1u;
    try {
        while (at < size) {
            state = state * 1103515245u + 12345u;
            size_t chunk = 1 + ((state >> 16) % (seed % 64 + 1));
            if (chunk > size - at)
                chunk = size - at;
            response.Feed(data + at, static_cast<int>(chunk));
            at += chunk;
        }
    } catch (const HttpException&) {
        return;
    }
    Inspect(response);
}

void ReadFromSocket(const uint8_t* data, size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    // Descriptors 0 to 2 mean "no socket" to the socket layer.
    for (int& fd : pair) {
        if (fd <= 2) {
            const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
            close(fd);
            fd = moved;
        }
    }
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(pair[1], data + written, size - written);
        if (n <= 0)
            abort();  // the fuzzer's -max_len keeps inputs well inside the socket buffer
        written += static_cast<size_t>(n);
    }
    shutdown(pair[1], SHUT_WR);
    HttpResponse response;
    InputStream stream(pair[0], 1000, 8192);
    try {
        response.SetTimeBudget(2000);
        response.ReadMessage(stream);
        Inspect(response);
    } catch (const Exception&) {
    }
    close(pair[0]);
    close(pair[1]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    const uint8_t seed = data[0];
    FeedInChunks(data + 1, size - 1, seed);
    ReadFromSocket(data + 1, size - 1);
    return 0;
}

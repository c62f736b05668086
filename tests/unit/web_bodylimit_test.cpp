// HttpClient's body limit against servers that send more than the caller wants: a declared length over the
// limit is refused before any of the body is taken off the socket, and a body without one (close-delimited,
// or chunked, which this HTTP/1.0 client reads the same way) is cut one byte past the limit.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "web/HttpClient.h"
#include "web_script_server.h"

namespace {

using webtest::Peer;
using webtest::ScriptServer;

constexpr int32_t kLimit = 131072;
constexpr size_t k16MiB = 16777216;

std::string Head(const std::string& fields) {
    return "HTTP/1.0 200 OK\r\n" + fields + "\r\n";
}

std::string Sized(size_t length) {
    return Head("Content-Length: " + std::to_string(length) + "\r\n");
}

struct Outcome {
    bool tooLarge = false;
    int32_t read = 0;  // body bytes the client took
    size_t sent = 0;   // body bytes the server's socket accepted before the client went
};

// One GET with a limit of `limit` from a server that sends `head`, then streams up to `bodyBytes` bytes of
// `block`, then closes.
Outcome Fetch(const std::string& head, size_t bodyBytes, const std::string& block = std::string(65536, 'b'),
              int32_t limit = kLimit) {
    std::atomic<size_t> sent{0};
    ScriptServer server([&](Peer& peer) {
        peer.ReadRequest();
        peer.Send(head);
        sent = peer.Stream(block, bodyBytes);
    });
    HttpClient client;
    client.SetTimeout(10);
    client.SetMaxBodyBytes(limit);
    ByteBuffer out;
    Outcome outcome;
    try {
        client.Get(server.Url("/banner.html"), out);
    } catch (const HttpClient::BodyTooLargeException&) {
        outcome.tooLarge = true;
    }
    EXPECT_TRUE(server.WaitServed(1));
    outcome.read = out.Length();
    outcome.sent = sent;
    return outcome;
}

TEST(HttpBodyLimitTest, ADeclaredLengthOverTheLimitIsRefusedBeforeAnyOfTheBodyIsRead) {
    const Outcome huge = Fetch(Sized(k16MiB), k16MiB);
    EXPECT_TRUE(huge.tooLarge);
    EXPECT_EQ(huge.read, 0);
    // What the sockets between the two buffer is all that leaves the server: never the whole body.
    EXPECT_LT(huge.sent, k16MiB / 8) << huge.sent;
    ::testing::Test::RecordProperty("server_sent_bytes", std::to_string(huge.sent));

    const Outcome oneOver = Fetch(Sized(131073), 131073);
    EXPECT_TRUE(oneOver.tooLarge);
    EXPECT_EQ(oneOver.read, 0);

    const Outcome atLimit = Fetch(Sized(131072), 131072);
    EXPECT_FALSE(atLimit.tooLarge);
    EXPECT_EQ(atLimit.read, 131072);
}

TEST(HttpBodyLimitTest, ARefusedLengthNeedsNoBodyToArrive) {
    // Without a single body byte on the way, a client waiting for the body would run into its deadline.
    ScriptServer server([](Peer& peer) {
        peer.ReadRequest();
        peer.Send(Sized(k16MiB));
        peer.WaitForClose(10000);
    });
    HttpClient client;
    client.SetTimeout(2);
    client.SetMaxBodyBytes(kLimit);
    ByteBuffer out;
    EXPECT_THROW(client.Get(server.Url("/"), out), HttpClient::BodyTooLargeException);
    EXPECT_FALSE(client.Connected());
}

TEST(HttpBodyLimitTest, ABodyWithoutALengthIsCutOneBytePastTheLimit) {
    const Outcome endless = Fetch(Head(""), k16MiB);
    EXPECT_TRUE(endless.tooLarge);
    EXPECT_EQ(endless.read, 131073);
    EXPECT_LT(endless.sent, k16MiB / 8) << endless.sent;
    ::testing::Test::RecordProperty("server_sent_bytes", std::to_string(endless.sent));

    const Outcome oneOver = Fetch(Head(""), 131073);
    EXPECT_TRUE(oneOver.tooLarge);
    EXPECT_EQ(oneOver.read, 131073);

    const Outcome atLimit = Fetch(Head(""), 131072);
    EXPECT_FALSE(atLimit.tooLarge);
    EXPECT_EQ(atLimit.read, 131072);
}

TEST(HttpBodyLimitTest, AChunkedBodyIsCutOneBytePastTheLimit) {
    const std::string chunk = "1000\r\n" + std::string(4096, 'c') + "\r\n";
    const Outcome chunked = Fetch("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", k16MiB, chunk);
    EXPECT_TRUE(chunked.tooLarge);
    EXPECT_EQ(chunked.read, 131073);
    EXPECT_LT(chunked.sent, k16MiB / 8) << chunked.sent;
}

TEST(HttpBodyLimitTest, NoLimitReachesPastTheMessageCap) {
    // Asked for more than any message may hold, the client still stops one byte past 16 MiB.
    const Outcome capped = Fetch(Head(""), k16MiB + 1, std::string(65536, 'b'), INT32_MAX);
    EXPECT_TRUE(capped.tooLarge);
    EXPECT_EQ(capped.read, 16777217);
}

}  // namespace

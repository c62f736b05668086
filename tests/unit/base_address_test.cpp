// Socket addresses of both families: numeric parsing with its edges, the texts shown to the user, the
// order addresses are tried in, and one dual-stack socket carrying IPv4 and IPv6 datagrams.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/Exception.h"
#include "base/Socket.h"

namespace {

SocketAddress Numeric(const std::string& text, int port) {
    SocketAddress address;
    EXPECT_TRUE(SocketAddress::ParseNumeric(text, port, &address)) << text;
    return address;
}

bool Parses(const std::string& text) {
    SocketAddress ignored;
    return SocketAddress::ParseNumeric(text, 1, &ignored);
}

std::vector<std::string> Texts(const std::vector<SocketAddress>& addresses) {
    std::vector<std::string> texts;
    for (const SocketAddress& address : addresses)
        texts.push_back(address.Text());
    return texts;
}

bool HasIpv6Loopback() {
    const int s = ::socket(AF_INET6, SOCK_DGRAM, 0);
    if (s < 0)
        return false;
    sockaddr_in6 local{};
    local.sin6_family = AF_INET6;
    local.sin6_addr = in6addr_loopback;
    const bool ok = ::bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
    ::close(s);
    return ok;
}

}  // namespace

TEST(SocketAddressTest, NumericTextsOfBothFamiliesAndTheirEdges) {
    const SocketAddress loop6 = Numeric("[::1]", 5007);
    EXPECT_TRUE(loop6.IsIpv6());
    EXPECT_EQ(loop6.Port(), 5007);
    EXPECT_EQ(loop6.Text(), "[::1]:5007");
    EXPECT_EQ(Numeric("::1", 0).Text(), "[::1]:0") << "brackets are optional where no port follows";
    // The written form is the short one, whatever was typed.
    EXPECT_EQ(Numeric("2001:0db8:0:0:0:0:0:1", 7).HostText(), "2001:db8::1");
    EXPECT_EQ(Numeric("198.51.100.7", 7).Text(), "198.51.100.7:7");
    EXPECT_FALSE(Numeric("198.51.100.7", 7).IsIpv6());

    // A v4-mapped address is the IPv4 address itself: family, text and comparison.
    const SocketAddress mapped = Numeric("[::ffff:198.51.100.7]", 9);
    EXPECT_FALSE(mapped.IsIpv6());
    EXPECT_EQ(mapped.Text(), "198.51.100.7:9");
    EXPECT_EQ(mapped, SocketAddress(htonl(0xC6336407), 9));

    // "::1:5007" is a whole IPv6 address (the last group is 5007), never ::1 with a port.
    const SocketAddress ambiguous = Numeric("::1:5007", 1);
    EXPECT_TRUE(ambiguous.IsIpv6());
    EXPECT_EQ(ambiguous, Numeric("0:0:0:0:0:0:1:5007", 1));
    EXPECT_EQ(ambiguous.Port(), 1);

    EXPECT_FALSE(Parses("[::1")) << "an opening bracket without its closing one";
    EXPECT_FALSE(Parses("::1]"));
    EXPECT_FALSE(Parses("[::1]:0")) << "a port is no part of an address";
    EXPECT_FALSE(Parses("[]"));
    EXPECT_FALSE(Parses(""));
    EXPECT_FALSE(Parses("fe80::1%lo")) << "scope ids are refused";
    EXPECT_FALSE(Parses("[fe80::1%lo]"));
    EXPECT_FALSE(Parses("2001:db8::1::2"));
    EXPECT_FALSE(Parses("host.example"));
    EXPECT_FALSE(Parses("[198.51.100.7]x"));
    // 45 characters is the longest IPv6 text; one more is refused before the parser sees it.
    const std::string longest = "0000:0000:0000:0000:0000:ffff:198.051.100.007";
    ASSERT_EQ(longest.size(), 45u);
    EXPECT_FALSE(Parses(longest)) << "leading zeros in the dotted tail are refused by the parser";
    EXPECT_TRUE(Parses("0000:0000:0000:0000:0000:ffff:198.51.100.7"));
    EXPECT_FALSE(Parses("0000:0000:0000:0000:0000:0ffff:198.51.100.7"));
    EXPECT_FALSE(Parses(std::string(46, ':')));
}

TEST(SocketAddressTest, HostTextsForTheUser) {
    EXPECT_EQ(HostPortText("2001:db8::1", 5007), "[2001:db8::1]:5007");
    EXPECT_EQ(HostPortText("[2001:db8::1]", 5007), "[2001:db8::1]:5007") << "never bracketed twice";
    EXPECT_EQ(HostPortText("peer.example", 5007), "peer.example:5007");
    EXPECT_EQ(HostPortText("198.51.100.7", 65535), "198.51.100.7:65535");

    EXPECT_EQ(UnbracketHost("[::1]"), "::1");
    EXPECT_EQ(UnbracketHost("::1"), "::1");
    EXPECT_EQ(UnbracketHost("peer.example"), "peer.example");
    EXPECT_EQ(UnbracketHost("[::1"), "");
    EXPECT_EQ(UnbracketHost("[::1]:5007"), "") << "a port after the bracket is not a host";
}

TEST(SocketAddressTest, KernelRecordsAreReadByFamilyAndLength) {
    sockaddr_in6 six{};
    six.sin6_family = AF_INET6;
    six.sin6_port = htons(5007);
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:127.0.0.1", &six.sin6_addr), 1);
    const SocketAddress mapped = SocketAddress::FromSockaddr(&six, sizeof six);
    EXPECT_EQ(mapped, SocketAddress(htonl(INADDR_LOOPBACK), 5007));
    EXPECT_EQ(mapped.Length(), sizeof(sockaddr_in)) << "sent as a plain IPv4 record";

    ASSERT_EQ(::inet_pton(AF_INET6, "2001:db8::5", &six.sin6_addr), 1);
    six.sin6_flowinfo = htonl(0x12345);
    const SocketAddress plain6 = SocketAddress::FromSockaddr(&six, sizeof six);
    EXPECT_EQ(plain6.Text(), "[2001:db8::5]:5007");
    EXPECT_EQ(plain6.Length(), sizeof(sockaddr_in6));
    EXPECT_EQ(plain6.sin6.sin6_flowinfo, 0u) << "the flow label is no part of the peer";

    // A record one byte short of its family's size, or of no family known here, is the any address.
    EXPECT_TRUE(SocketAddress::FromSockaddr(&six, sizeof six - 1).IsAny());
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_FALSE(SocketAddress::FromSockaddr(&four, sizeof four).IsAny());
    EXPECT_TRUE(SocketAddress::FromSockaddr(&four, sizeof four - 1).IsAny());
    sockaddr unknown{};
    unknown.sa_family = AF_UNIX;
    EXPECT_TRUE(SocketAddress::FromSockaddr(&unknown, sizeof unknown).IsAny());
    EXPECT_TRUE(SocketAddress::FromSockaddr(nullptr, 128).IsAny());

    EXPECT_TRUE(Numeric("::", 5).IsAny());
    EXPECT_TRUE(SocketAddress().IsAny());
    EXPECT_FALSE(Numeric("::1", 5) == Numeric("::2", 5));
    EXPECT_FALSE(Numeric("::1", 5) == Numeric("::1", 6));
    EXPECT_FALSE(Numeric("::", 0) == SocketAddress()) << "the two any addresses are of different families";
}

TEST(SocketAddressTest, AddressesAreTriedIpv6FirstAlternatingWithoutRepeats) {
    const SocketAddress a4 = Numeric("198.51.100.1", 1), b4 = Numeric("198.51.100.2", 1);
    const SocketAddress a6 = Numeric("2001:db8::1", 1), b6 = Numeric("2001:db8::2", 1),
                        c6 = Numeric("2001:db8::3", 1);
    EXPECT_EQ(Texts(InterleaveFamilies({a4, b4, a6, b6, c6, a4})),
              (std::vector<std::string>{"[2001:db8::1]:1", "198.51.100.1:1", "[2001:db8::2]:1",
                                        "198.51.100.2:1", "[2001:db8::3]:1"}));
    EXPECT_EQ(Texts(InterleaveFamilies({b4, a4})),
              (std::vector<std::string>{"198.51.100.2:1", "198.51.100.1:1"}));
    EXPECT_TRUE(InterleaveFamilies({}).empty());
}

TEST(SocketAddressTest, ResolutionTellsUnknownHostsFromUnusableAddresses) {
    EXPECT_EQ(Texts(ResolveAddresses("[::1]", 5007)), std::vector<std::string>{"[::1]:5007"});
    EXPECT_EQ(Texts(ResolveAddresses("::1", 5007)), std::vector<std::string>{"[::1]:5007"});
    EXPECT_EQ(Texts(ResolveAddresses("127.0.0.1", 5007)), std::vector<std::string>{"127.0.0.1:5007"});
    const std::vector<SocketAddress> local = ResolveAddresses("localhost", 5007);
    ASSERT_FALSE(local.empty());
    for (const SocketAddress& address : local)
        EXPECT_EQ(address.Port(), 5007);
    bool anyIpv6 = false;
    for (const SocketAddress& address : local)
        anyIpv6 = anyIpv6 || address.IsIpv6();
    EXPECT_EQ(local.front().IsIpv6(), anyIpv6) << "an IPv6 address, when there is one, comes first";

    EXPECT_THROW(ResolveAddresses("no.such.host.invalid", 1), UnknownHostException);
    EXPECT_THROW(ResolveAddresses("", 1), UnknownHostException);
    EXPECT_THROW(ResolveAddresses(nullptr, 1), UnknownHostException);
    EXPECT_THROW(ResolveAddresses("[fe80::1%lo]", 1), UnsupportedAddressException);
    EXPECT_THROW(ResolveAddresses("fe80::1%lo", 1), UnsupportedAddressException);
    EXPECT_THROW(ResolveAddresses("[::1", 1), UnsupportedAddressException);
    EXPECT_THROW(ResolveAddresses("[localhost]", 1), UnsupportedAddressException)
        << "brackets hold addresses";
    EXPECT_THROW(ResolveAddresses("2001:db8::1::2", 1), UnsupportedAddressException);
    // Both are socket failures, as before: a caller that catches those still catches these.
    EXPECT_THROW(ResolveAddresses("[::1", 1), SocketException);
}

TEST(DualStackSocketTest, OneSocketTakesBothFamiliesAndAnswersIpv4AsIpv4) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    const SocketHandle listener = BindAnyAddress(0);
    const int port = LocalAddress(listener).Port();
    ASSERT_GT(port, 0);
    EXPECT_EQ(SocketFamily(listener), AF_INET6);

    const SocketHandle four = CreateSocket(false, AF_INET);
    Bind(four, SocketAddress(htonl(INADDR_LOOPBACK), 0));
    const uint8_t hello[3] = {0x00, 0x01, 0xFF};
    ASSERT_EQ(SendTo(four, SocketAddress(htonl(INADDR_LOOPBACK), port), hello, 3), 3);
    SocketAddress from;
    uint8_t got[16] = {};
    ASSERT_EQ(ReceiveFrom(listener, &from, got, sizeof got, 2000), 3);
    EXPECT_FALSE(from.IsIpv6()) << from.Text();
    EXPECT_EQ(from, LocalAddress(four));

    // The answer goes out through the IPv6 socket with a plain IPv4 record and arrives unchanged.
    ASSERT_EQ(SendTo(listener, from, hello, 3), 3);
    SocketAddress back;
    ASSERT_EQ(ReceiveFrom(four, &back, got, sizeof got, 2000), 3);
    EXPECT_EQ(std::memcmp(got, hello, 3), 0);
    EXPECT_EQ(back, SocketAddress(htonl(INADDR_LOOPBACK), port));

    const SocketHandle six = CreateSocket(false, AF_INET6);
    Bind(six, Numeric("::1", 0));
    ASSERT_EQ(SendTo(six, Numeric("::1", port), hello, 3), 3);
    ASSERT_EQ(ReceiveFrom(listener, &from, got, sizeof got, 2000), 3);
    EXPECT_EQ(from, LocalAddress(six));
    EXPECT_TRUE(from.IsIpv6());

    // The port is taken for both families: an IPv4 socket cannot have it beside the dual-stack one.
    const SocketHandle clash = CreateSocket(false, AF_INET);
    EXPECT_THROW(Bind(clash, SocketAddress(0, port)), BindException);
    EXPECT_THROW(BindAnyAddress(port), BindException);
    Close(clash);
    Close(six);
    Close(four);
    Close(listener);
}

TEST(DualStackSocketTest, AClosedIpv6PortIsReportedForThatPeerOnly) {
    if (!HasIpv6Loopback())
        GTEST_SKIP() << "no IPv6 loopback here";
    const SocketHandle gone = CreateSocket(false, AF_INET6);
    Bind(gone, Numeric("::1", 0));
    const SocketAddress closedPeer = LocalAddress(gone);
    Close(gone);

    const SocketHandle s = BindAnyAddress(0);
    EnableErrorReports(s);
    const uint8_t byte = 0;
    SendTo(s, closedPeer, &byte, 1);
    SocketAddress other = closedPeer;
    other.SetPort(closedPeer.Port() == 65535 ? 1 : closedPeer.Port() + 1);
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        WaitReadable(s, 20);
        seen = TakePortUnreachable(s, closedPeer);
    }
    EXPECT_TRUE(seen);
    SendTo(s, closedPeer, &byte, 1);
    WaitReadable(s, 200);
    EXPECT_FALSE(TakePortUnreachable(s, other)) << "a report about another port changes nothing";
    Close(s);
}

TEST(SocketWaitTest, SaysWhetherDataAReportOfAClosedPortOrTheWakeDescriptorEndedTheWait) {
    const SocketHandle gone = CreateSocket(false, AF_INET);
    Bind(gone, Numeric("127.0.0.1", 0));
    const SocketAddress closedPeer = LocalAddress(gone);
    Close(gone);
    const SocketHandle s = CreateSocket(false, AF_INET);
    Bind(s, Numeric("127.0.0.1", 0));
    EnableErrorReports(s);
    int wake[2];
    ASSERT_EQ(pipe(wake), 0);

    SocketWait wait = WaitReadableOrWoken(s, wake[0], 0);
    EXPECT_FALSE(wait.readable || wait.error || wait.woken) << "nothing: the time-out";

    ASSERT_EQ(write(wake[1], "x", 1), 1);
    wait = WaitReadableOrWoken(s, wake[0], 1000);
    EXPECT_TRUE(wait.woken);
    EXPECT_FALSE(wait.OnSocket());
    char drained;
    ASSERT_EQ(read(wake[0], &drained, 1), 1);

    // A datagram to the closed port: its report is an error, not data, and taking it leaves none.
    const uint8_t byte = 0;
    SendTo(s, closedPeer, &byte, 1);
    wait = WaitReadableOrWoken(s, wake[0], 1000);
    EXPECT_TRUE(wait.error);
    EXPECT_FALSE(wait.readable);
    EXPECT_FALSE(wait.woken);
    EXPECT_TRUE(TakePortUnreachable(s, closedPeer));
    EXPECT_FALSE(WaitReadableOrWoken(s, wake[0], 0).error);

    SendTo(s, LocalAddress(s), &byte, 1);
    wait = WaitReadableOrWoken(s, wake[0], 1000);
    EXPECT_TRUE(wait.readable);
    EXPECT_FALSE(wait.error);
    close(wake[0]);
    close(wake[1]);
    Close(s);
}

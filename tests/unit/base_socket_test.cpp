// The socket layer over loopback: time-outs, the errno-to-exception mapping, datagram edges, the
// literal-address parser and the descriptor rules. Every socket binds 127.0.0.1 port 0, so tests can
// run side by side.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "base/Exception.h"
#include "base/Socket.h"
#include "held_lookup.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

const uint32_t kLoopback = htonl(INADDR_LOOPBACK);

milliseconds Since(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start);
}

uint32_t Bytes(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    std::memcpy(&address, bytes, sizeof(address));
    return address;
}

// A socket of the given kind bound to an ephemeral loopback port.
SocketHandle BoundSocket(bool stream) {
    const SocketHandle s = CreateSocket(stream);
    Bind(s, SocketAddress(kLoopback, 0));
    return s;
}

// Two UDP sockets on loopback, closed at the end of each test.
class SocketDatagramTest : public ::testing::Test {
protected:
    void SetUp() override {
        receiver.handle = BoundSocket(false);
        sender.handle = BoundSocket(false);
        to = LocalAddress(receiver.handle);
    }

    Socket receiver;
    Socket sender;
    SocketAddress to;
};

// A connected TCP pair on loopback.
class SocketStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        listener.handle = BoundSocket(true);
        Listen(listener.handle, 4);
        client.CreateStream();
        ConnectTimeout(client.handle, LocalAddress(listener.handle), 5000);
        listener.timeout = 5000;
        ASSERT_TRUE(listener.Accept(server));
    }

    Socket listener;
    Socket client;
    Socket server;
};

}  // namespace

TEST_F(SocketDatagramTest, RoundTripReportsTheSendersAddressAndPort) {
    const char message[] = "hello";
    EXPECT_EQ(SendTo(sender.handle, to, message, 5), 5);
    char buffer[64];
    SocketAddress from;
    ASSERT_EQ(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 5000), 5);
    EXPECT_EQ(std::memcmp(buffer, message, 5), 0);
    EXPECT_EQ(from, LocalAddress(sender.handle));
    EXPECT_EQ(AddressText(from.Ipv4()), "127.0.0.1");
}

TEST_F(SocketDatagramTest, TimeOutReturnsZeroWithoutThrowing) {
    char buffer[64];
    SocketAddress from;
    const auto start = Clock::now();
    EXPECT_EQ(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 20), 0);
    EXPECT_GE(Since(start), milliseconds(20));
    EXPECT_EQ(Receive(receiver.handle, buffer, sizeof(buffer), 20), 0);
}

// The far end ends a call with an empty datagram; the receiver must see it as a closed connection.
TEST_F(SocketDatagramTest, EmptyDatagramThrowsNoConnection) {
    ASSERT_EQ(::sendto(sender.handle, "", 0, 0, reinterpret_cast<const sockaddr*>(&to.sin), sizeof(to.sin)),
              0);
    char buffer[64];
    SocketAddress from;
    EXPECT_THROW(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 5000), NoConnectionException);
}

TEST_F(SocketDatagramTest, SendToOfLengthZeroSendsNothing) {
    EXPECT_EQ(SendTo(sender.handle, to, "", 0), 0);
    char buffer[64];
    SocketAddress from;
    // An empty datagram on the wire would throw NoConnectionException here.
    EXPECT_EQ(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 50), 0);
}

TEST_F(SocketDatagramTest, OversizedDatagramThrowsAndTheNextOneStillArrives) {
    const std::vector<char> big(100, 'x');
    SendTo(sender.handle, to, big.data(), static_cast<int>(big.size()));
    SendTo(sender.handle, to, "ok", 2);
    char buffer[16];
    SocketAddress from;
    EXPECT_THROW(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 5000), SocketException);
    ASSERT_EQ(ReceiveFrom(receiver.handle, &from, buffer, sizeof(buffer), 5000), 2);
    EXPECT_EQ(std::memcmp(buffer, "ok", 2), 0);
}

TEST_F(SocketDatagramTest, BindToAPortInUseThrowsBindException) {
    Socket second;
    second.CreateDatagram();
    EXPECT_THROW(Bind(second.handle, to), BindException);
}

TEST_F(SocketStreamTest, ReceiveAfterThePeerClosedThrowsNoConnection) {
    server.Close();
    char buffer[16];
    EXPECT_THROW(Receive(client.handle, buffer, sizeof(buffer), 5000), NoConnectionException);
}

TEST_F(SocketStreamTest, SendAllDeliversEverythingThroughANonBlockingSocket) {
    const std::vector<char> data(4 << 20, 'a');
    size_t received = 0;
    std::thread reader([&] {
        std::vector<char> buffer(65536);
        while (received < data.size()) {
            const int n = Receive(server.handle, buffer.data(), static_cast<int>(buffer.size()), 5000);
            if (n == 0)
                break;
            received += static_cast<size_t>(n);
        }
    });
    // Non-blocking, the socket accepts only part of the data per send; SendAll must wait for the rest.
    SetBlocking(client.handle, false);
    EXPECT_EQ(SendAll(client.handle, data.data(), static_cast<int>(data.size())),
              static_cast<int>(data.size()));
    reader.join();
    EXPECT_EQ(received, data.size());
}

TEST_F(SocketStreamTest, SendToAResetConnectionThrowsInsteadOfRaisingSigpipe) {
    // SIGPIPE's default action would end the test program.
    const auto previous = std::signal(SIGPIPE, SIG_DFL);
    const linger resetOnClose{1, 0};
    ASSERT_EQ(::setsockopt(server.handle, SOL_SOCKET, SO_LINGER, &resetOnClose, sizeof(resetOnClose)), 0);
    ::close(server.handle);
    server.handle = kNoSocket;
    char buffer[16];
    EXPECT_THROW(Receive(client.handle, buffer, sizeof(buffer), 5000), SocketException);  // the reset
    EXPECT_THROW(SendAll(client.handle, "data", 4), SocketException);                     // the broken pipe
    std::signal(SIGPIPE, previous);
}

TEST(SocketConnectTest, RefusedPortThrowsConnectException) {
    // Bound but not listening: the port answers a connect with a reset and nobody else can take it.
    Socket closedPort;
    closedPort.handle = BoundSocket(true);
    const SocketAddress target = LocalAddress(closedPort.handle);
    Socket client;
    client.CreateStream();
    EXPECT_THROW(ConnectTimeout(client.handle, target, 5000), ConnectException);
    Socket blocking;
    blocking.CreateStream();
    EXPECT_THROW(Connect(blocking.handle, target), ConnectException);
}

TEST(SocketConnectTest, ConnectedSocketIsLeftBlocking) {
    Socket listener;
    listener.handle = BoundSocket(true);
    Listen(listener.handle, 1);
    Socket client;
    client.CreateStream();
    ConnectTimeout(client.handle, LocalAddress(listener.handle), 5000);
    EXPECT_EQ(PeerAddress(client.handle), LocalAddress(listener.handle));
    EXPECT_EQ(::fcntl(client.handle, F_GETFL) & O_NONBLOCK, 0);
}

TEST(SocketConnectTest, SilentAddressTimesOutAtTheDeadline) {
    // With backlog 0 and nobody accepting, the accept queue fills after a connection or two; further
    // connects get no answer at all.
    Socket listener;
    listener.handle = BoundSocket(true);
    Listen(listener.handle, 0);
    const SocketAddress target = LocalAddress(listener.handle);
    std::vector<std::unique_ptr<Socket>> fillers;
    bool full = false;
    for (int i = 0; i < 8 && !full; ++i) {
        fillers.push_back(std::make_unique<Socket>());
        fillers.back()->CreateStream();
        try {
            ConnectTimeout(fillers.back()->handle, target, 300);
        } catch (const TimeoutException&) {
            full = true;
        }
    }
    ASSERT_TRUE(full) << "the accept queue never filled";

    Socket client;
    client.CreateStream();
    const auto start = Clock::now();
    EXPECT_THROW(ConnectTimeout(client.handle, target, 400), TimeoutException);
    EXPECT_GE(Since(start), milliseconds(400));
}

TEST(SocketConnectRealtime, RefusalShowsWellBeforeTheDeadline) {
    Socket closedPort;
    closedPort.handle = BoundSocket(true);
    Socket client;
    client.CreateStream();
    const auto start = Clock::now();
    EXPECT_THROW(ConnectTimeout(client.handle, LocalAddress(closedPort.handle), 5000), ConnectException);
    EXPECT_LT(Since(start), milliseconds(1000));
}

TEST(SocketHolderTest, AcceptReportsFalseWhenNothingArrivesOrTheAcceptFails) {
    Socket listener;
    listener.handle = BoundSocket(true);
    Listen(listener.handle, 1);
    listener.timeout = 20;
    Socket accepted;
    EXPECT_FALSE(listener.Accept(accepted));
    EXPECT_EQ(accepted.handle, kNoSocket);

    Socket notListening;
    notListening.handle = BoundSocket(true);
    EXPECT_FALSE(notListening.Accept(accepted));  // the SocketException is swallowed
}

TEST(SocketHolderTest, DestructorClosesTheHandle) {
    SocketHandle handle;
    {
        Socket holder;
        holder.CreateDatagram();
        handle = holder.handle;
    }
    EXPECT_EQ(::fcntl(handle, F_GETFD), -1);
}

TEST(SocketHandleTest, CloseOfZeroOrNegativeDoesNothing) {
    // Point descriptor 0 at something we know is open, so the check does not depend on how we were run.
    const int savedStdin = ::dup(0);
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(devNull, 0);
    ::dup2(devNull, 0);
    Close(0);
    Close(-1);
    EXPECT_NE(::fcntl(0, F_GETFD), -1);
    if (savedStdin >= 0) {
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    } else {
        ::close(0);
    }
    ::close(devNull);
}

TEST(SocketHandleTest, HandlesStayAboveStdioEvenWithStdinClosed) {
    Socket listener;
    listener.handle = BoundSocket(true);
    Listen(listener.handle, 1);

    const int savedStdin = ::dup(0);
    ::close(0);
    Socket client;
    client.CreateStream();
    ConnectTimeout(client.handle, LocalAddress(listener.handle), 5000);
    const SocketHandle accepted = Accept(listener.handle, nullptr, 5000);
    const int stdinAfter = ::fcntl(0, F_GETFD);
    if (savedStdin >= 0) {
        ::dup2(savedStdin, 0);
        ::close(savedStdin);
    }

    EXPECT_GT(client.handle, 2);
    EXPECT_GT(accepted, 2);
    EXPECT_EQ(stdinAfter, -1) << "the low descriptor was not given back";
    EXPECT_NE(::fcntl(client.handle, F_GETFD) & FD_CLOEXEC, 0);
    Close(accepted);
}

TEST(ResolveHostTest, LiteralAddressesNeedNoLookup) {
    EXPECT_EQ(ResolveHost("0.0.0.0"), 0u);
    EXPECT_EQ(ResolveHost("10.1.2.3"), Bytes(10, 1, 2, 3));
    EXPECT_EQ(ResolveHost("10..2.3"), Bytes(10, 0, 2, 3));
    EXPECT_EQ(ResolveHost("255.255.255.255"), Bytes(255, 255, 255, 255));
}

TEST(ResolveHostTest, OtherTextsGoToTheNameLookup) {
    // The lookup reads three parts as a.b.0.c, which the literal parser never would.
    EXPECT_EQ(ResolveHost("1.2.3"), Bytes(1, 2, 0, 3));
    EXPECT_THROW(ResolveHost("1.2.3.4.5"), UnknownHostException);
    EXPECT_THROW(ResolveHost("1234.1.1.1"), UnknownHostException);
    EXPECT_THROW(ResolveHost("256.1.1.1"), UnknownHostException);
    EXPECT_THROW(ResolveHost(nullptr), UnknownHostException);
    EXPECT_EQ(ResolveHost("localhost"), kLoopback);
}

TEST(ResolveHostTest, ALookupThatGetsNoAnswerHoldsUpNoOtherThreadsLookup) {
    heldlookup::Hold hold;
    auto silent = std::async(std::launch::async,
                             [] { EXPECT_THROW(ResolveHost("banners.held.test"), UnknownHostException); });
    ASSERT_TRUE(hold.WaitForStarted(1));
    // The window's Connect, while the banner's lookup waits on a name server that does not answer.
    auto other = std::async(std::launch::async, [] { return ResolveHost("localhost"); });
    const bool answered = other.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    EXPECT_EQ(hold.Waiting(), 1);
    hold.Release();
    EXPECT_TRUE(answered) << "the second lookup waited for the first";
    EXPECT_EQ(other.get(), kLoopback);
    silent.get();

    // Reverse lookups take no lock either.
    heldlookup::Hold again;
    auto held = std::async(std::launch::async,
                           [] { EXPECT_THROW(ResolveHost("peer.held.test"), UnknownHostException); });
    ASSERT_TRUE(again.WaitForStarted(1));
    auto reverse = std::async(std::launch::async, [] { return HostName(kLoopback); });
    const bool reversed = reverse.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    again.Release();
    EXPECT_TRUE(reversed) << "the reverse lookup waited for the forward one";
    EXPECT_FALSE(reverse.get().empty());
    held.get();
}

TEST(ResolveHostTest, SetResolvesTheHostAndKeepsThePortWhenNegative) {
    SocketAddress address;
    address.Set("10.1.2.3", 8080);
    address.Set("localhost", -1);
    EXPECT_EQ(address.Ipv4(), kLoopback);
    EXPECT_EQ(address.Port(), 8080);
    address.Set(nullptr, -1);
    EXPECT_EQ(address.Ipv4(), 0u);
    EXPECT_EQ(address.sin.sin_family, AF_INET);
}

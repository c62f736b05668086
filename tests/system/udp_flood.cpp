// Sends random datagrams to one UDP port as fast as one process can, for the flood test.
//
//   udp_flood HOST PORT SECONDS FRAME_BYTES [SEED]
//
// The datagrams are 1 to 10000 bytes: audio datagrams (type byte 0) carrying FRAME_BYTES random bytes, as
// a frame of the running format would, audio datagrams of any length, mute markers, and datagrams with a
// random type byte. Every 1.5 seconds one datagram that ends the receiver's call goes out, by turns an
// empty one and one larger than any receiver takes, so that the receiver also goes through ending and
// starting calls under load. Prints what was sent when the time is up.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

namespace {

constexpr size_t kLargest = 65507;  // the largest UDP payload over IPv4
constexpr size_t kReceiverLimit = 10000;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: udp_flood HOST PORT SECONDS FRAME_BYTES [SEED]\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[2])));
    if (inet_pton(AF_INET, argv[1], &to.sin_addr) != 1) {
        std::fprintf(stderr, "udp_flood: %s is not an IPv4 address\n", argv[1]);
        return 2;
    }
    const double seconds = std::atof(argv[3]);
    const size_t frameBytes = static_cast<size_t>(std::atoi(argv[4]));
    if (frameBytes >= kReceiverLimit) {
        std::fprintf(stderr, "udp_flood: a frame takes fewer than %zu bytes\n", kReceiverLimit);
        return 2;
    }
    const unsigned seed =
        argc > 5 ? static_cast<unsigned>(std::strtoul(argv[5], nullptr, 10)) : std::random_device{}();

    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        std::perror("udp_flood: socket");
        return 1;
    }
    // Unconnected sends: a port found closed while the listener starts its next call is no error here.
    std::mt19937 rng(seed);
    std::vector<uint8_t> bytes(kLargest);
    for (auto& byte : bytes)
        byte = static_cast<uint8_t>(rng());

    long sent = 0, enders = 0, failed = 0;
    long long volume = 0;
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end =
        start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    constexpr auto kEnderInterval = std::chrono::milliseconds(1500);
    auto nextEnder = start + kEnderInterval;
    for (long i = 0;; ++i) {
        // The clock is read once every 64 datagrams; a send takes a few microseconds.
        if ((i & 63) == 0) {
            const auto now = Clock::now();
            if (now >= end)
                break;
            if (now >= nextEnder) {
                nextEnder = now + kEnderInterval;
                const size_t length =
                    enders % 2 == 0 ? 0 : kReceiverLimit + 1 + rng() % (kLargest - kReceiverLimit);
                if (sendto(fd, bytes.data(), length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >=
                    0)
                    ++enders;
            }
        }
        // Fresh random bytes at a random place, so that payloads differ without refilling the buffer.
        const size_t offset = rng() % (kLargest - kReceiverLimit);
        for (int k = 0; k < 16; ++k)
            bytes[offset + rng() % kReceiverLimit] = static_cast<uint8_t>(rng());
        uint8_t* datagram = bytes.data() + offset;
        size_t length;
        const unsigned kind = rng() % 100;
        if (kind < 45) {
            datagram[0] = 0;
            length = 1 + frameBytes;
        } else if (kind < 65) {
            datagram[0] = 0;
            length = 1 + rng() % (kReceiverLimit - 1);
        } else if (kind < 75) {
            datagram[0] = 1;
            length = 1 + (rng() % 4 == 0 ? rng() % 100 : 0);
        } else {
            length = 1 + rng() % (kReceiverLimit - 1);
        }
        if (sendto(fd, datagram, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) < 0) {
            ++failed;
            continue;
        }
        ++sent;
        volume += static_cast<long long>(length);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf(
        "sent %ld datagrams in %.1f s (%.0f per second, %.1f MB), %ld of them empty or oversized, "
        "%ld sends failed, seed %u\n",
        sent + enders, elapsed, static_cast<double>(sent + enders) / elapsed,
        static_cast<double>(volume) / 1e6, enders, failed, seed);
    close(fd);
    return 0;
}

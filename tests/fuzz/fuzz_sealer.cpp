// The opener of private calls' datagrams: any bytes, of any length, as a datagram off the wire, then the
// same bytes read as a script of seals, changes and replays, to reach the replay window's every branch.
//
// Input: the datagram as it is. The script, on the same bytes: the first eight are the sender's first
// counter (so that the end of the counter is reached too), then each byte is one step: low bits 0 seal
// an inner datagram of up to 63 bytes and open it (it must open, once, to the same bytes); 1 open the
// k-th sealed datagram again (it must not open); 2 open it with one byte changed or cut short (it must not
// open); 3 let a second sender seal and open one (its own window).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "link/DatagramSealer.h"

namespace {

DatagramSealer::Key FuzzKey() {
    DatagramSealer::Key key;
    for (size_t i = 0; i < key.size(); ++i)
        key[i] = static_cast<uint8_t>(i * 13 + 5);
    return key;
}

void Check(bool condition) {
    if (!condition)
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const DatagramSealer::Key key = FuzzKey();
    DatagramSealer receiver(key, 1, 0);
    // The raw datagram; a copy of exactly `size` bytes, so that ASan sees any read past its end.
    std::vector<uint8_t> datagram(data, data + size);
    std::vector<uint8_t> inner(size + 1);
    int innerLength = -1;
    uint64_t counter = 0;
    const DatagramSealer::Result raw =
        receiver.Open(datagram.empty() ? nullptr : datagram.data(), static_cast<int>(datagram.size()),
                      inner.data(), static_cast<int>(inner.size()), innerLength, counter);
    Check(raw != DatagramSealer::Result::kOpened || innerLength == static_cast<int>(size) - 33);

    if (size < 8)
        return 0;
    uint64_t first = 0;
    std::memcpy(&first, data, 8);
    DatagramSealer sender(key, 2, first);
    DatagramSealer other(key, 3, 0);
    std::vector<std::vector<uint8_t>> sealed;
    std::vector<uint8_t> out(64 + 33);
    std::vector<uint8_t> opened(64 + 33);
    for (size_t at = 8; at < size; ++at) {
        const uint8_t step = data[at];
        const int kind = step & 3;
        if (kind == 0 || kind == 3) {
            std::vector<uint8_t> plain(1 + (step >> 2));
            for (size_t i = 0; i < plain.size(); ++i)
                plain[i] = static_cast<uint8_t>(step + i);
            DatagramSealer& who = kind == 0 ? sender : other;
            const int n = who.Seal(plain.data(), static_cast<int>(plain.size()), out.data(),
                                   static_cast<int>(out.size()));
            if (n == 0) {
                Check(who.NextCounter() == UINT64_MAX);  // only a spent counter refuses
                continue;
            }
            Check(n == static_cast<int>(plain.size()) + 33);
            const auto result = receiver.Open(out.data(), n, opened.data(), static_cast<int>(opened.size()),
                                              innerLength, counter);
            Check(result == DatagramSealer::Result::kOpened);
            Check(innerLength == static_cast<int>(plain.size()) &&
                  std::memcmp(opened.data(), plain.data(), plain.size()) == 0);
            sealed.emplace_back(out.begin(), out.begin() + n);
        } else if (!sealed.empty()) {
            std::vector<uint8_t> again = sealed[(step >> 2) % sealed.size()];
            if (kind == 2) {
                if ((step & 0x80) != 0 && again.size() > 1)
                    again.pop_back();
                else
                    again[(step >> 2) % again.size()] ^= static_cast<uint8_t>(1 + (step >> 5));
            }
            const auto result = receiver.Open(again.data(), static_cast<int>(again.size()), opened.data(),
                                              static_cast<int>(opened.size()), innerLength, counter);
            Check(result != DatagramSealer::Result::kOpened);
        }
    }
    return 0;
}

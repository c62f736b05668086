// The cost of a private call per datagram: sealing and opening one 50-byte frame (51 bytes with its type
// byte, as an iLBC 30 ms frame goes out), and a full 10000-byte datagram for the per-byte part. An
// encrypted session's key agreement (a fresh key pair, then X25519 and the derivation from the peer's hello)
// runs once per call and adds to its start; with a passphrase for --secret it stretches the passphrase too
// (Argon2id, salted with both public keys), timed on its own.
#include <benchmark/benchmark.h>
#include <sodium.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link/CallKeys.h"
#include "link/DatagramSealer.h"
#include "link/SessionControl.h"

namespace {

DatagramSealer::Key BenchKey() {
    DatagramSealer::Key key;
    key.fill(0x5A);
    return key;
}

void BM_Seal(benchmark::State& state) {
    DatagramSealer sender(BenchKey(), 1, 0);
    const std::vector<uint8_t> inner(static_cast<size_t>(state.range(0)), 0x33);
    std::vector<uint8_t> out(inner.size() + DatagramSealer::kOverhead);
    for (auto _ : state) {
        const int n = sender.Seal(inner.data(), static_cast<int>(inner.size()), out.data(),
                                  static_cast<int>(out.size()));
        benchmark::DoNotOptimize(n);
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["overhead_bytes"] = DatagramSealer::kOverhead;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Seal)->Arg(51)->Arg(9967)->ArgName("inner_bytes");

void BM_Open(benchmark::State& state) {
    // Enough datagrams sealed in advance that every open is a first one, in order, as on a steady call.
    constexpr size_t kDatagrams = 4096;
    DatagramSealer sender(BenchKey(), 1, 0);
    const std::vector<uint8_t> inner(static_cast<size_t>(state.range(0)), 0x33);
    std::vector<std::vector<uint8_t>> sealed(kDatagrams,
                                             std::vector<uint8_t>(inner.size() + DatagramSealer::kOverhead));
    for (std::vector<uint8_t>& datagram : sealed)
        sender.Seal(inner.data(), static_cast<int>(inner.size()), datagram.data(),
                    static_cast<int>(datagram.size()));
    std::vector<uint8_t> opened(inner.size() + DatagramSealer::kOverhead);
    auto receiver = std::make_unique<DatagramSealer>(BenchKey(), 2, 0);
    size_t next = 0;
    for (auto _ : state) {
        if (next == kDatagrams) {
            // Every datagram has opened once: a new receiver, made outside the timing, takes them again.
            state.PauseTiming();
            receiver = std::make_unique<DatagramSealer>(BenchKey(), 2, 0);
            next = 0;
            state.ResumeTiming();
        }
        int length = 0;
        uint64_t counter = 0;
        const std::vector<uint8_t>& datagram = sealed[next++];
        const auto result = receiver->Open(datagram.data(), static_cast<int>(datagram.size()), opened.data(),
                                           static_cast<int>(opened.size()), length, counter);
        if (result != DatagramSealer::Result::kOpened)
            state.SkipWithError("a sealed datagram did not open");
        benchmark::DoNotOptimize(length);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_Open)->Arg(51)->Arg(9967)->ArgName("inner_bytes");

// A forgery costs the receiver less than a real datagram: the tag is checked before anything is decrypted.
void BM_OpenForgery(benchmark::State& state) {
    DatagramSealer sender(BenchKey(), 1, 0);
    DatagramSealer receiver(BenchKey(), 2, 0);
    const std::vector<uint8_t> inner(51, 0x33);
    std::vector<uint8_t> datagram(inner.size() + DatagramSealer::kOverhead);
    sender.Seal(inner.data(), static_cast<int>(inner.size()), datagram.data(),
                static_cast<int>(datagram.size()));
    datagram.back() ^= 1;
    std::vector<uint8_t> opened(datagram.size());
    for (auto _ : state) {
        int length = 0;
        uint64_t counter = 0;
        benchmark::DoNotOptimize(receiver.Open(datagram.data(), static_cast<int>(datagram.size()),
                                               opened.data(), static_cast<int>(opened.size()), length,
                                               counter));
    }
}
BENCHMARK(BM_OpenForgery);

// One side's share of a call's key agreement: its key pair and commitment, then the keys from the peer's
// hello (whose commitment is checked).
void BM_KeyAgreement(benchmark::State& state) {
    const CallKeys::KeyPair peer = CallKeys::MakeKeyPair();
    SessionControl hello;
    hello.senderId = 2;
    hello.capabilities = SessionControl::kKeyAgreement | SessionControl::kKeyReveal;
    hello.commitment = CallKeys::Commitment(peer.publicKey);
    hello.publicKey = peer.publicKey;
    std::vector<uint8_t> theirs(SessionControl::kBytesWithReveal);
    hello.Compose(theirs);
    const CallKeys::Offer theirOffer = CallKeys::OfferOf(theirs).value();
    std::vector<uint8_t> ours(SessionControl::kBytesWithReveal);
    for (auto _ : state) {
        const CallKeys::KeyPair mine = CallKeys::MakeKeyPair();
        hello.senderId = 1;
        hello.commitment = CallKeys::Commitment(mine.publicKey);
        hello.publicKey = mine.publicKey;
        hello.Compose(ours);
        benchmark::DoNotOptimize(CallKeys::Agree(mine, CallKeys::OfferOf(ours).value(), theirOffer));
    }
}
BENCHMARK(BM_KeyAgreement)->Unit(benchmark::kMicrosecond);

// The agreement with a passphrase mixed in: its Argon2id stretching is most of it.
void BM_KeyAgreementWithPassphrase(benchmark::State& state) {
    const CallKeys::KeyPair peer = CallKeys::MakeKeyPair();
    const CallKeys::KeyPair mine = CallKeys::MakeKeyPair();
    SessionControl hello;
    hello.capabilities = SessionControl::kKeyAgreement | SessionControl::kKeyReveal;
    std::vector<uint8_t> theirs(SessionControl::kBytesWithReveal);
    std::vector<uint8_t> ours(SessionControl::kBytesWithReveal);
    hello.senderId = 2;
    hello.commitment = CallKeys::Commitment(peer.publicKey);
    hello.publicKey = peer.publicKey;
    hello.Compose(theirs);
    hello.senderId = 1;
    hello.commitment = CallKeys::Commitment(mine.publicKey);
    hello.publicKey = mine.publicKey;
    hello.Compose(ours);
    const std::string phrase = "correct horse battery staple";
    const CallKeys::Secret secret =
        CallKeys::Secret::From(std::vector<uint8_t>(phrase.begin(), phrase.end()));
    for (auto _ : state)
        benchmark::DoNotOptimize(CallKeys::Agree(mine, CallKeys::OfferOf(ours).value(),
                                                 CallKeys::OfferOf(theirs).value(), secret));
}
BENCHMARK(BM_KeyAgreementWithPassphrase)->Unit(benchmark::kMillisecond)->Iterations(5);

// The same when both sides name their identity keys: two more X25519 values and the keys' conversion.
void BM_KeyAgreementWithIdentities(benchmark::State& state) {
    const CallKeys::KeyPair peer = CallKeys::MakeKeyPair();
    CallKeys::Identity myIdentity;
    CallKeys::Identity peerIdentity;
    crypto_sign_keypair(myIdentity.publicKey.data(), myIdentity.secretKey.data());
    crypto_sign_keypair(peerIdentity.publicKey.data(), peerIdentity.secretKey.data());
    SessionControl hello;
    hello.senderId = 2;
    hello.capabilities =
        SessionControl::kKeyAgreement | SessionControl::kKeyReveal | SessionControl::kIdentity;
    hello.commitment = CallKeys::Commitment(peer.publicKey);
    hello.publicKey = peer.publicKey;
    hello.identityKey = peerIdentity.publicKey;
    std::vector<uint8_t> theirs(SessionControl::kBytesWithIdentity);
    hello.Compose(theirs);
    const CallKeys::Offer theirOffer = CallKeys::OfferOf(theirs).value();
    std::vector<uint8_t> ours(SessionControl::kBytesWithIdentity);
    hello.identityKey = myIdentity.publicKey;
    for (auto _ : state) {
        const CallKeys::KeyPair mine = CallKeys::MakeKeyPair();
        hello.senderId = 1;
        hello.commitment = CallKeys::Commitment(mine.publicKey);
        hello.publicKey = mine.publicKey;
        hello.Compose(ours);
        benchmark::DoNotOptimize(CallKeys::Agree(mine, CallKeys::OfferOf(ours).value(), theirOffer, nullptr,
                                                 {&myIdentity, &peerIdentity.publicKey}));
    }
}
BENCHMARK(BM_KeyAgreementWithIdentities)->Unit(benchmark::kMicrosecond);

}  // namespace

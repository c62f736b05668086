// This copy's long-term identity: one Ed25519 key pair, made on first use and kept in the data folder
// (identity.key, mode 0600, 32 random bytes in Base64, read with the checks of a secret file). It is the
// only secret the program keeps of its own: a peer verified once is known again by its public half.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

struct IdentityKey {
    std::array<uint8_t, 32> publicKey{};
    std::array<uint8_t, 64> secretKey{};  // libsodium's form: the seed, then the public key

    // identity.key in the data folder ($XDG_DATA_HOME/qparlin); empty when there is no home to put it in.
    static std::string DefaultPath();
    // The pair kept at `path`, made there first when no file is (its folders too, mode 0700). None, with
    // `problem` set to one sentence, when the file cannot be used: others may read it, it is no key, or it
    // cannot be made.
    static std::optional<IdentityKey> LoadOrMake(const std::string& path, std::string& problem);
    void Wipe();
};

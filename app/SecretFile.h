// The shared secret of private calls on disk: read with the checks a key file needs, or made anew.
//
// A secret file holds any bytes, at most kMaxBytes: a passphrase (one line; its line end is not part of
// it) or what Make writes, 32 random bytes in Base64. It must be a regular file that neither its group nor
// anyone else can read or write, as ssh asks of its keys: a secret others can read is no secret.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class SecretFile {
public:
    static constexpr size_t kMaxBytes = 4096;
    static constexpr size_t kRandomBytes = 32;

    // The secret's bytes; nothing, with `problem` set to one sentence, when the file cannot be used.
    static std::optional<std::vector<uint8_t>> Read(const std::string& path, std::string& problem);
    // A passphrase shorter than this is refused: guessing it would take too few tries.
    static constexpr size_t kMinPassphraseBytes = 12;
    // Why `secret` may not be used for calls (one sentence), or nothing: a key from Make, or a passphrase
    // of at least kMinPassphraseBytes.
    static std::optional<std::string> Weakness(const std::vector<uint8_t>& secret);
    // Writes a new random secret to `path` (mode 0600; an existing file is never overwritten). False, with
    // `problem` set, when it could not.
    static bool Make(const std::string& path, std::string& problem);
};

// Helpers for the program's text type: std::string used as a string of single bytes in the system's 8-bit
// code page. Whitespace is any byte of value 32 or less, as the address book and the web code count it.
#pragma once

#include <string>
#include <string_view>

inline bool IsByteWhitespace(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

inline std::string_view TrimLeftBytes(std::string_view text) {
    size_t start = 0;
    while (start < text.size() && IsByteWhitespace(text[start]))
        ++start;
    return text.substr(start);
}

inline std::string_view TrimRightBytes(std::string_view text) {
    size_t end = text.size();
    while (end > 0 && IsByteWhitespace(text[end - 1]))
        --end;
    return text.substr(0, end);
}

inline std::string_view TrimBytes(std::string_view text) {
    return TrimRightBytes(TrimLeftBytes(text));
}

// Trims in place; erases at the front only when there is something to erase, so that trimming a long text
// again and again after appending to it stays cheap.
inline void TrimBytesInPlace(std::string& text) {
    text.resize(TrimRightBytes(text).size());
    const size_t leading = text.size() - TrimLeftBytes(text).size();
    if (leading > 0)
        text.erase(0, leading);
}

// Folds only the letters A-Z; bytes above 0x7F belong to the code page and are compared as they are.
inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

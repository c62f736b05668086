// Helpers for the program's text type: std::string used as a string of single bytes in the system's 8-bit
// code page. Whitespace is any byte of value 32 or less; letter case is folded for A-Z only (bytes above
// 0x7F belong to the code page and are compared as they are); numbers are read as the C library's atoi
// reads them, without its undefined behaviour.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
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

inline char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string LowerAscii(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = AsciiLower(c);
    return out;
}

inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (AsciiLower(a[i]) != AsciiLower(b[i]))
            return false;
    }
    return true;
}

inline bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

// Leading white space (blank, tab to carriage return), an optional sign, then decimal digits up to the first
// other byte; no digits give 0. The magnitude stops growing far beyond any length or port and far from
// overflow.
inline int64_t ParseDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    constexpr int64_t kCap = int64_t{1} << 40;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kCap)
            value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// atoi: ParseDecimal saturated at the int range.
inline int Atoi(std::string_view text) {
    const int64_t value = ParseDecimal(text);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(value);
}

std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

// printf into a new string.
inline std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    const int size = vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string out;
    if (size > 0) {
        out.resize(static_cast<size_t>(size) + 1);
        vsnprintf(out.data(), out.size(), format, args);
        out.resize(static_cast<size_t>(size));
    }
    va_end(args);
    return out;
}

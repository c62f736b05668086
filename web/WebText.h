// Small byte-string helpers shared by the web client: trimming of bytes up to 32, ASCII case folding,
// prefix tests, printf-style formatting and a decimal parser that never overflows.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace webtext {

// Bytes of value 32 or less count as white space, control bytes included.
inline bool IsSpace(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

inline std::string Trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && IsSpace(text[begin]))
        ++begin;
    while (end > begin && IsSpace(text[end - 1]))
        --end;
    return std::string(text.substr(begin, end - begin));
}

inline char ToLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

inline std::string Lower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = ToLower(c);
    return out;
}

inline bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (ToLower(a[i]) != ToLower(b[i]))
            return false;
    }
    return true;
}

inline bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// The C library's atoi without its undefined behaviour: leading white space, an optional sign, then
// digits; the value saturates at the int range instead of overflowing.
inline int64_t ParseDecimal(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    int64_t value = 0;
    constexpr int64_t kCap = int64_t{1} << 40;  // far beyond any length or port, far from overflow
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value < kCap)
            value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// atoi as a plain int, clamped to the int range.
inline int Atoi(std::string_view text) {
    const int64_t value = ParseDecimal(text);
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<int>(value);
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

inline std::string Format(const char* format, ...) {
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

}  // namespace webtext

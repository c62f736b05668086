#include "app/BannerSanitizer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "base/ByteString.h"

namespace {

// What an element is to the tree builder.
enum Flag : unsigned {
    kVoid = 1u << 0,        // never has content or an end tag
    kBlock = 1u << 1,       // ends an open paragraph and the word before it
    kTable = 1u << 2,       // table
    kSection = 1u << 3,     // thead, tbody, tfoot
    kRow = 1u << 4,         // tr
    kCell = 1u << 5,        // td, th
    kCaption = 1u << 6,     // caption
    kList = 1u << 7,        // ul, ol
    kItem = 1u << 8,        // li
    kDefList = 1u << 9,     // dl
    kDefItem = 1u << 10,    // dt, dd
    kParagraph = 1u << 11,  // p
    kAnchor = 1u << 12,     // a
    kPre = 1u << 13,        // pre: each line of its text is a paragraph of the layout
};
constexpr unsigned kTableParts = kSection | kRow | kCell | kCaption;
// Elements a paragraph, a link or an inline element's end tag is not looked for beyond.
constexpr unsigned kScope = kTable | kCell | kCaption;

// The attributes a kept element may carry; each has a value rule below.
enum Attribute : unsigned {
    kHref = 1u << 0,
    kSrc = 1u << 1,
    kWidth = 1u << 2,
    kHeight = 1u << 3,
    kBorder = 1u << 4,
    kCellSpacing = 1u << 5,
    kCellPadding = 1u << 6,
    kAlign = 1u << 7,
    kValign = 1u << 8,
    kBgcolor = 1u << 9,
    kColor = 1u << 10,
    kFace = 1u << 11,
    kFontSize = 1u << 12,
    kType = 1u << 13,
    kStart = 1u << 14,
    kStyle = 1u << 15,
};

struct AttributeRule {
    std::string_view name;
    Attribute bit;
};

constexpr AttributeRule kAttributes[] = {
    {"href", kHref},
    {"src", kSrc},
    {"width", kWidth},
    {"height", kHeight},
    {"border", kBorder},
    {"cellspacing", kCellSpacing},
    {"cellpadding", kCellPadding},
    {"align", kAlign},
    {"valign", kValign},
    {"bgcolor", kBgcolor},
    {"color", kColor},
    {"face", kFace},
    {"size", kFontSize},
    {"type", kType},
    {"start", kStart},
    {"style", kStyle},
};

struct Element {
    std::string_view name;
    unsigned flags;
    unsigned attributes;
};

constexpr unsigned kBlockAttributes = kAlign | kStyle;
constexpr unsigned kCellAttributes = kWidth | kHeight | kAlign | kValign | kBgcolor | kStyle;

// The elements kept; every other tag is dropped and its content kept, except those of kDropWithContent.
constexpr Element kElements[] = {
    {"a", kAnchor, kHref | kStyle},
    {"b", 0, kStyle},
    {"strong", 0, kStyle},
    {"i", 0, kStyle},
    {"em", 0, kStyle},
    {"u", 0, kStyle},
    {"s", 0, kStyle},
    {"strike", 0, kStyle},
    {"del", 0, kStyle},
    {"ins", 0, kStyle},
    {"small", 0, kStyle},
    {"big", 0, kStyle},
    {"sub", 0, kStyle},
    {"sup", 0, kStyle},
    {"code", 0, kStyle},
    {"tt", 0, kStyle},
    {"kbd", 0, kStyle},
    {"samp", 0, kStyle},
    {"var", 0, kStyle},
    {"cite", 0, kStyle},
    {"dfn", 0, kStyle},
    {"abbr", 0, kStyle},
    {"acronym", 0, kStyle},
    {"q", 0, kStyle},
    {"span", 0, kStyle},
    {"font", 0, kColor | kFace | kFontSize | kStyle},
    {"br", kVoid, 0},
    {"img", kVoid, kSrc | kWidth | kHeight | kBorder | kAlign},
    {"hr", kVoid | kBlock, kWidth | kAlign},
    {"p", kBlock | kParagraph, kBlockAttributes},
    {"div", kBlock, kBlockAttributes},
    {"center", kBlock, kStyle},
    {"h1", kBlock, kBlockAttributes},
    {"h2", kBlock, kBlockAttributes},
    {"h3", kBlock, kBlockAttributes},
    {"h4", kBlock, kBlockAttributes},
    {"h5", kBlock, kBlockAttributes},
    {"h6", kBlock, kBlockAttributes},
    {"blockquote", kBlock, kStyle},
    {"address", kBlock, kStyle},
    {"pre", kBlock | kPre, kStyle},
    {"ul", kBlock | kList, kType | kStyle},
    {"ol", kBlock | kList, kType | kStart | kStyle},
    {"li", kBlock | kItem, kStyle},
    {"dl", kBlock | kDefList, kStyle},
    {"dt", kBlock | kDefItem, kStyle},
    {"dd", kBlock | kDefItem, kStyle},
    {"table", kBlock | kTable, kWidth | kBorder | kCellSpacing | kCellPadding | kAlign | kBgcolor | kStyle},
    {"caption", kBlock | kCaption, kAlign | kStyle},
    {"thead", kBlock | kSection, kAlign | kValign},
    {"tbody", kBlock | kSection, kAlign | kValign},
    {"tfoot", kBlock | kSection, kAlign | kValign},
    {"tr", kBlock | kRow, kAlign | kValign | kBgcolor},
    {"td", kBlock | kCell, kCellAttributes},
    {"th", kBlock | kCell, kCellAttributes},
};
constexpr size_t kElementCount = std::size(kElements);

// Active content, or content that is not for showing: left out with everything inside it. The first ones
// hold raw text up to their end tag; the others hold markup, so their own tags are counted.
constexpr std::string_view kRawText[] = {"script", "style",   "textarea", "title",    "xmp",
                                         "iframe", "noembed", "noframes", "noscript", "plaintext"};
constexpr std::string_view kDropWithContent[] = {"object", "applet",   "svg",   "math",  "template",
                                                 "select", "frameset", "audio", "video", "canvas"};

// Longer names are no element of ours; they are skipped over all the same.
constexpr size_t kMaxNameLength = 16;
// Attributes looked at per tag, and the longest value kept (an address) once its references are resolved.
// Written, a value may take six bytes a character ("&quot;"), so a tag's raw value may be that much longer.
constexpr size_t kMaxAttributes = 32;
constexpr size_t kMaxValueLength = 2048;
constexpr size_t kMaxRawValueLength = 6 * kMaxValueLength;
// What a numeric character reference may not stand for is shown as U+FFFD.
constexpr uint32_t kReplacement = 0xFFFD;
constexpr uint32_t kZeroWidthSpace = 0x200B;
constexpr std::string_view kBreak = "&#8203;";

const Element* FindElement(std::string_view name) {
    for (const Element& element : kElements) {
        if (element.name == name)
            return &element;
    }
    return nullptr;
}

const AttributeRule* FindAttribute(std::string_view name) {
    for (const AttributeRule& rule : kAttributes) {
        if (rule.name == name)
            return &rule;
    }
    return nullptr;
}

size_t IndexOf(const Element* element) {
    return static_cast<size_t>(element - kElements);
}

template <size_t N>
bool IsOneOf(std::string_view name, const std::string_view (&names)[N]) {
    return std::find(std::begin(names), std::end(names), name) != std::end(names);
}

bool IsAsciiLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool IsAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

bool IsAsciiAlnum(char c) {
    return IsAsciiLetter(c) || IsAsciiDigit(c);
}

bool IsHtmlSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

int HexValue(char c) {
    if (IsAsciiDigit(c))
        return c - '0';
    const char lower = AsciiLower(c);
    return lower >= 'a' && lower <= 'f' ? lower - 'a' + 10 : -1;
}

// A code point a page may show: no NUL, surrogate, control character (other than tab and line ends) or
// value beyond Unicode.
uint32_t ShowableCodePoint(uint32_t value) {
    if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return kReplacement;
    if ((value < 0x20 && value != '\t' && value != '\n' && value != '\r') || (value >= 0x7F && value < 0xA0))
        return kReplacement;
    return value;
}

// A character reference at text[0] ('&'): its length and, for a numeric one, its code point. Length 0 when
// the '&' starts none.
struct Reference {
    size_t length = 0;
    std::optional<uint32_t> codePoint;
};

Reference ReadReference(std::string_view text) {
    Reference reference;
    if (text.size() < 3)
        return reference;
    size_t i = 1;
    if (text[i] == '#') {
        ++i;
        const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
        if (hex)
            ++i;
        const size_t digits = i;
        uint32_t value = 0;
        // Eight digits reach past Unicode in either base, so a longer run needs no more arithmetic.
        for (; i < text.size() && i - digits < 8; ++i) {
            const int digit = hex ? HexValue(text[i]) : (IsAsciiDigit(text[i]) ? text[i] - '0' : -1);
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digit);
        }
        if (i == digits || i >= text.size() || text[i] != ';')
            return reference;
        reference.length = i + 1;
        reference.codePoint = ShowableCodePoint(value);
        return reference;
    }
    if (!IsAsciiLetter(text[i]))
        return reference;
    for (; i < text.size() && i < 33 && IsAsciiAlnum(text[i]); ++i) {
    }
    if (i < text.size() && text[i] == ';')
        reference.length = i + 1;
    return reference;
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

// An attribute value with its character references resolved (numeric ones and the five of XML; other
// names stay as written), so that no reference can hide a scheme from the checks below.
std::string DecodeValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (size_t i = 0; i < value.size();) {
        if (value[i] != '&') {
            out.push_back(value[i++]);
            continue;
        }
        const Reference reference = ReadReference(value.substr(i));
        if (reference.length == 0) {
            out.push_back(value[i++]);
            continue;
        }
        const std::string_view name = value.substr(i + 1, reference.length - 2);
        if (reference.codePoint)
            AppendUtf8(out, *reference.codePoint);
        else if (name == "amp")
            out.push_back('&');
        else if (name == "lt")
            out.push_back('<');
        else if (name == "gt")
            out.push_back('>');
        else if (name == "quot")
            out.push_back('"');
        else if (name == "apos")
            out.push_back('\'');
        else
            out.append(value.substr(i, reference.length));
        i += reference.length;
    }
    return out;
}

void AppendEscaped(std::string& out, std::string_view value) {
    for (const char c : value) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out.push_back(c);
        }
    }
}

bool HasControlOrSpace(std::string_view value) {
    return std::any_of(value.begin(), value.end(),
                       [](char c) { return static_cast<unsigned char>(c) <= 32 || c == 0x7F; });
}

bool AllOf(std::string_view value, bool (*allowed)(char)) {
    return std::all_of(value.begin(), value.end(), allowed);
}

// Digits only, at most `maxDigits` of them; nullopt otherwise.
std::optional<int> SmallNumber(std::string_view text, size_t maxDigits = 6) {
    if (text.empty() || text.size() > maxDigits || !AllOf(text, IsAsciiDigit))
        return std::nullopt;
    return static_cast<int>(ParseDecimal(text));
}

// A link the user may follow: only to the web, and the window opens nothing else anyway.
std::optional<std::string> CleanHref(std::string_view value) {
    if (HasControlOrSpace(value))
        return std::nullopt;
    if (!StartsWithIgnoringCase(value, "http://") && !StartsWithIgnoringCase(value, "https://"))
        return std::nullopt;
    return std::string(value);
}

// A picture from the web, or a name relative to the page (the page's own resources).
std::optional<std::string> CleanSrc(std::string_view value) {
    if (value.empty() || HasControlOrSpace(value))
        return std::nullopt;
    if (StartsWithIgnoringCase(value, "http://"))
        return std::string(value);
    const char first = value[0];
    if (!IsAsciiAlnum(first) && first != '_' && first != '.')
        return std::nullopt;
    // A relative name has no scheme: no ':' before its path, query or fragment starts.
    const size_t end = value.find_first_of("/?#");
    if (value.substr(0, end).find(':') != std::string_view::npos)
        return std::nullopt;
    return std::string(value);
}

// "N", "Npx" or "N%": pixels clamped to kMaxPixels, percentages to 100.
std::optional<std::string> CleanLength(std::string_view value) {
    bool percent = false;
    if (!value.empty() && value.back() == '%') {
        percent = true;
        value.remove_suffix(1);
    } else if (value.size() > 2 && EqualsIgnoringCase(value.substr(value.size() - 2), "px")) {
        value.remove_suffix(2);
    }
    const auto number = SmallNumber(TrimBytes(value), 9);
    if (!number)
        return std::nullopt;
    if (percent)
        return std::to_string(std::min(*number, 100)) + "%";
    return std::to_string(std::min(*number, BannerSanitizer::kMaxPixels));
}

bool IsTokenChar(char c) {
    return IsAsciiAlnum(c) || c == '-';
}

bool IsColorChar(char c) {
    return IsAsciiAlnum(c) || c == '#';
}

bool IsFaceChar(char c) {
    return IsAsciiAlnum(c) || c == ' ' || c == ',' || c == '-' || c == '\'';
}

bool IsStyleValueChar(char c) {
    return IsAsciiAlnum(c) || c == ' ' || c == '#' || c == '%' || c == '.' || c == ',' || c == '-' ||
           c == '\'' || c == '"';
}

std::optional<std::string> Restricted(std::string_view value, size_t maxLength, bool (*allowed)(char)) {
    if (value.empty() || value.size() > maxLength || !AllOf(value, allowed))
        return std::nullopt;
    return std::string(value);
}

// A CSS size no larger than a banner needs: px and pt up to 72, em up to 6, percentages up to 600, or a
// keyword.
std::optional<std::string> CleanFontSize(std::string_view value) {
    if (AllOf(value, [](char c) { return IsAsciiLetter(c) || c == '-'; }))
        return Restricted(value, 16, IsTokenChar);
    struct Unit {
        std::string_view name;
        int max;
    };
    for (const Unit unit : {Unit{"px", 72}, Unit{"pt", 72}, Unit{"em", 6}, Unit{"%", 600}}) {
        if (value.size() <= unit.name.size() ||
            !EqualsIgnoringCase(value.substr(value.size() - unit.name.size()), unit.name))
            continue;
        const std::string_view number = value.substr(0, value.size() - unit.name.size());
        const size_t point = number.find('.');
        const auto whole = SmallNumber(number.substr(0, point), 4);
        if (!whole || (point != std::string_view::npos && !SmallNumber(number.substr(point + 1), 3)))
            return std::nullopt;
        if (*whole >= unit.max)
            return std::to_string(unit.max) + std::string(unit.name);
        return std::string(value);
    }
    return std::nullopt;
}

// The declarations of a style attribute that only colour, weigh, align or size text; anything else (images,
// positions, expressions, bindings, white-space rules) is left out.
std::optional<std::string> CleanStyle(std::string_view style) {
    constexpr std::string_view kProperties[] = {"color",      "background-color", "font-weight",
                                                "font-style", "font-family",      "text-decoration",
                                                "text-align", "vertical-align",   "font-size"};
    std::string out;
    while (!style.empty()) {
        const size_t end = style.find(';');
        const std::string_view declaration = style.substr(0, end);
        style.remove_prefix(end == std::string_view::npos ? style.size() : end + 1);
        const size_t colon = declaration.find(':');
        if (colon == std::string_view::npos)
            continue;
        const std::string property = LowerAscii(TrimBytes(declaration.substr(0, colon)));
        const std::string_view value = TrimBytes(declaration.substr(colon + 1));
        if (!IsOneOf(property, kProperties) || value.empty() || value.size() > 64)
            continue;
        std::optional<std::string> kept;
        if (property == "font-size") {
            kept = CleanFontSize(value);
        } else if (StartsWithIgnoringCase(value, "rgb(") || StartsWithIgnoringCase(value, "rgba(")) {
            // A colour function is the one place a parenthesis may stand.
            const size_t open = value.find('(');
            const std::string_view inner = value.substr(open + 1);
            if (!inner.empty() && inner.back() == ')' && AllOf(inner.substr(0, inner.size() - 1), [](char c) {
                    return IsAsciiDigit(c) || c == ',' || c == ' ' || c == '.' || c == '%';
                }))
                kept = std::string(value);
        } else if (AllOf(value, IsStyleValueChar)) {
            kept = std::string(value);
        }
        if (!kept)
            continue;
        if (!out.empty())
            out += "; ";
        out += property + ": " + *kept;
    }
    if (out.empty())
        return std::nullopt;
    return out;
}

std::optional<std::string> CleanValue(Attribute attribute, std::string_view value) {
    switch (attribute) {
        case kHref:
            return CleanHref(value);
        case kSrc:
            return CleanSrc(value);
        case kWidth:
        case kHeight:
            return CleanLength(value);
        case kBorder:
        case kCellSpacing:
        case kCellPadding: {
            const auto number = SmallNumber(value);
            if (!number)
                return std::nullopt;
            return std::to_string(std::min(*number, 16));
        }
        case kAlign:
        case kValign:
        case kType:
            return Restricted(value, 16, IsTokenChar);
        case kBgcolor:
        case kColor:
            return Restricted(value, 32, IsColorChar);
        case kFace:
            return Restricted(value, 64, IsFaceChar);
        case kFontSize:
            if (value.size() == 2 && (value[0] == '+' || value[0] == '-') && value[1] >= '1' &&
                value[1] <= '7')
                return std::string(value);
            if (value.size() == 1 && value[0] >= '1' && value[0] <= '7')
                return std::string(value);
            return std::nullopt;
        case kStart: {
            const auto number = SmallNumber(value);
            if (!number)
                return std::nullopt;
            return std::to_string(*number);
        }
        case kStyle:
            return CleanStyle(value);
    }
    return std::nullopt;
}

// One tag as read from the page: the name in lower case, the attributes as written (values undecoded).
struct Tag {
    std::string name;
    bool end = false;
    bool selfClosing = false;
    std::vector<std::pair<std::string, std::string_view>> attributes;
};

class Cleaner {
public:
    explicit Cleaner(std::string_view in) : in_(in) { out_.reserve(in.size() + in.size() / 8); }

    std::string Run() {
        while (pos_ < in_.size()) {
            const char c = in_[pos_];
            if (c == '<')
                Markup();
            else if (c == '&')
                ReferenceInText();
            else
                TextByte(c);
        }
        CloseTo(0);
        return std::move(out_);
    }

private:
    // What is known of each open table, to keep its grid within the caps. The layout makes a cell of every
    // place in the grid, filled or not, so the grid's area is what a table costs.
    struct TableGrid {
        int rows = 0;    // rows started
        int height = 0;  // rows of the grid: those started, or reached by a rowspan
        int width = 0;   // columns of the grid: those of its widest row
        int column = 0;  // the next free column of the current row
        // The last row each column is covered to by a cell above it.
        std::array<int, BannerSanitizer::kMaxTableColumns> coveredTo{};
        TableGrid() { coveredTo.fill(-1); }
    };

    // --- reading the page ---

    void Markup() {
        const std::string_view rest = in_.substr(pos_);
        if (rest.size() >= 2 && IsAsciiLetter(rest[1])) {
            Tag tag;
            if (ReadTag(tag))
                StartTag(tag);
            return;
        }
        if (rest.size() >= 3 && rest[1] == '/' && IsAsciiLetter(rest[2])) {
            Tag tag;
            if (ReadTag(tag))
                EndTag(tag.name);
            return;
        }
        if (rest.substr(0, 4) == "<!--") {
            const size_t end = in_.find("-->", pos_ + 4);
            pos_ = end == std::string_view::npos ? in_.size() : end + 3;
            return;
        }
        if (rest.size() >= 2 && (rest[1] == '!' || rest[1] == '?' || rest[1] == '/')) {
            // A doctype, a processing instruction or a broken end tag: nothing to show.
            const size_t end = in_.find('>', pos_);
            pos_ = end == std::string_view::npos ? in_.size() : end + 1;
            return;
        }
        ++pos_;
        TextUnit("&lt;", false);
    }

    // Reads the tag at pos_ and moves past it. False when the page ends inside it: the tag is dropped.
    bool ReadTag(Tag& tag) {
        size_t i = pos_ + 1;
        if (in_[i] == '/') {
            tag.end = true;
            ++i;
        }
        const size_t nameStart = i;
        while (i < in_.size() && !IsHtmlSpace(in_[i]) && in_[i] != '/' && in_[i] != '>')
            ++i;
        const std::string_view name = in_.substr(nameStart, i - nameStart);
        // A name too long for any element is kept short; it is looked up, and found in no table.
        tag.name = LowerAscii(name.substr(0, kMaxNameLength + 1));
        for (;;) {
            while (i < in_.size() && (IsHtmlSpace(in_[i]) || in_[i] == '/')) {
                tag.selfClosing = in_[i] == '/';
                ++i;
            }
            if (i >= in_.size()) {
                pos_ = in_.size();
                return false;
            }
            if (in_[i] == '>') {
                pos_ = i + 1;
                return true;
            }
            tag.selfClosing = false;
            const size_t attributeStart = i;
            while (i < in_.size() && !IsHtmlSpace(in_[i]) && in_[i] != '/' && in_[i] != '>' && in_[i] != '=')
                ++i;
            const std::string_view attribute =
                in_.substr(attributeStart, std::max<size_t>(i - attributeStart, 1));
            if (i == attributeStart)
                ++i;  // a '=' where a name should be: skipped as one
            while (i < in_.size() && IsHtmlSpace(in_[i]))
                ++i;
            std::string_view value;
            if (i < in_.size() && in_[i] == '=') {
                ++i;
                while (i < in_.size() && IsHtmlSpace(in_[i]))
                    ++i;
                if (i < in_.size() && (in_[i] == '"' || in_[i] == '\'')) {
                    const char quote = in_[i++];
                    const size_t end = in_.find(quote, i);
                    if (end == std::string_view::npos) {
                        pos_ = in_.size();
                        return false;
                    }
                    value = in_.substr(i, end - i);
                    i = end + 1;
                } else {
                    const size_t start = i;
                    while (i < in_.size() && !IsHtmlSpace(in_[i]) && in_[i] != '>')
                        ++i;
                    value = in_.substr(start, i - start);
                }
            }
            if (tag.attributes.size() < kMaxAttributes && attribute.size() <= kMaxNameLength &&
                value.size() <= kMaxRawValueLength)
                tag.attributes.emplace_back(LowerAscii(attribute), value);
        }
    }

    // Moves past the raw text of `name` (a script, say) and its end tag.
    void SkipRawText(std::string_view name) {
        for (size_t at = in_.find("</", pos_); at != std::string_view::npos; at = in_.find("</", at + 2)) {
            const size_t after = at + 2 + name.size();
            if (after <= in_.size() && EqualsIgnoringCase(in_.substr(at + 2, name.size()), name) &&
                (after == in_.size() || IsHtmlSpace(in_[after]) || in_[after] == '/' || in_[after] == '>')) {
                const size_t end = in_.find('>', after);
                pos_ = end == std::string_view::npos ? in_.size() : end + 1;
                return;
            }
        }
        pos_ = in_.size();
    }

    // Moves past everything up to the end tag that closes the `name` just opened, counting the same
    // element opened inside it.
    void SkipElement(const std::string& name) {
        int depth = 1;
        while (pos_ < in_.size() && depth > 0) {
            const size_t at = in_.find('<', pos_);
            if (at == std::string_view::npos) {
                pos_ = in_.size();
                return;
            }
            pos_ = at;
            const std::string_view rest = in_.substr(at);
            const bool start = rest.size() >= 2 && IsAsciiLetter(rest[1]);
            const bool end = rest.size() >= 3 && rest[1] == '/' && IsAsciiLetter(rest[2]);
            if (!start && !end) {
                if (rest.substr(0, 4) == "<!--") {
                    const size_t close = in_.find("-->", pos_ + 4);
                    pos_ = close == std::string_view::npos ? in_.size() : close + 3;
                } else {
                    ++pos_;
                }
                continue;
            }
            Tag tag;
            if (!ReadTag(tag))
                return;
            if (tag.name == name && !tag.selfClosing)
                depth += tag.end ? -1 : 1;
            else if (!tag.end && IsOneOf(tag.name, kRawText))
                SkipRawText(tag.name);
        }
    }

    void ReferenceInText() {
        const Reference reference = ReadReference(in_.substr(pos_));
        if (reference.length == 0) {
            ++pos_;
            TextUnit("&amp;", false);
            return;
        }
        const std::string_view written = in_.substr(pos_, reference.length);
        pos_ += reference.length;
        if (!reference.codePoint) {
            TextUnit(written, false);
            return;
        }
        const uint32_t codePoint = *reference.codePoint;
        if (codePoint == ' ' || codePoint == '\t' || codePoint == '\n' || codePoint == '\r') {
            TextUnit(" ", true);
            return;
        }
        // A zero-width space is a place to break already, as the ones put in here are.
        TextUnit("&#" + std::to_string(codePoint) + ";", codePoint == kZeroWidthSpace);
    }

    void TextByte(char c) {
        ++pos_;
        const auto byte = static_cast<unsigned char>(c);
        if (c == '\r') {
            // CR LF, and a lone CR, end a line as LF does.
            if (pos_ < in_.size() && in_[pos_] == '\n')
                return;
            c = '\n';
        }
        if (c == '\n' && preformatted_ > 0) {
            LineInPre();
        } else if (IsHtmlSpace(c)) {
            TextUnit(std::string_view(&c, 1), true);
        } else if (byte < 0x20 || byte == 0x7F) {
            // Control bytes have nothing to show.
        } else if ((byte & 0xC0) == 0x80) {
            // The rest of a character whose first byte was counted (or cut).
            if (lastKept_ && InText())
                out_.push_back(c);
        } else if (c == '>') {
            TextUnit("&gt;", false);
        } else {
            TextUnit(std::string_view(&c, 1), false);
        }
    }

    // A line end in preformatted text makes a paragraph, which costs as much as an element; past the
    // element cap it is a blank.
    void LineInPre() {
        if (!InText())
            return;
        if (elements_ + Weight() > BannerSanitizer::kMaxElements) {
            TextUnit(" ", true);
            return;
        }
        elements_ += Weight();
        TextUnit("\n", true);
    }

    // --- writing the tree ---

    // What one element, cell or character costs here: twice as much for each table around it.
    int Weight() const { return 1 << grids_.size(); }

    // Text where the table's structure stands (between rows, say) belongs to no cell and is left out.
    bool InText() const { return stack_.empty() || (stack_.back()->flags & (kTable | kSection | kRow)) == 0; }

    // One character of text: counted against the page's text and, unless a line may break at it, against
    // the current word.
    void TextUnit(std::string_view bytes, bool breakable) {
        lastKept_ = false;
        // A break put in costs what the zero-width space it is would cost when read from a page.
        const bool needsBreak = !breakable && wordChars_ >= BannerSanitizer::kMaxWordChars;
        const int cost = Weight() * (needsBreak ? 2 : 1);
        if (!InText() || textWork_ + cost > BannerSanitizer::kMaxTextWork)
            return;
        textWork_ += cost;
        if (breakable) {
            wordChars_ = 0;
        } else {
            if (needsBreak) {
                out_ += kBreak;
                wordChars_ = 0;
            }
            ++wordChars_;
        }
        out_ += bytes;
        lastKept_ = true;
    }

    void StartTag(const Tag& tag) {
        const Element* element = FindElement(tag.name);
        if (element == nullptr) {
            if (IsOneOf(tag.name, kRawText))
                SkipRawText(tag.name);
            else if (IsOneOf(tag.name, kDropWithContent) && !tag.selfClosing)
                SkipElement(tag.name);
            return;
        }
        const unsigned flags = element->flags;
        // Decided before any implied end tag, so that a tag left out closes nothing either: the content
        // of a table nested too deep stays in the cell around it, and text past a cap in its element.
        if (InDroppedContainer(flags) || elements_ + Weight() > BannerSanitizer::kMaxElements ||
            ((flags & kCell) && !CellFits()) || ((flags & kRow) && !RowFits()) ||
            ((element->attributes & kSrc) && pictures_ >= BannerSanitizer::kMaxPictures)) {
            Drop(element);
            return;
        }
        CloseImplied(flags);
        if ((flags & kCell) && !stack_.empty() && (stack_.back()->flags & (kTable | kSection)) &&
            !OpenRow()) {
            Drop(element);
            return;
        }
        if (!Fits(element)) {
            Drop(element);
            return;
        }
        std::string attributes = Attributes(*element, tag);
        // A picture without a source it may load shows nothing.
        if (element->attributes & kSrc && attributes.find(" src=") == std::string::npos) {
            Drop(element);
            return;
        }
        if ((flags & kCell) && !PlaceCell(tag, attributes)) {
            Drop(element);
            return;
        }
        Emit(element, attributes);
        if (tag.selfClosing && !(flags & kVoid))
            CloseTo(stack_.size() - 1);
    }

    // Whether the element is a part (a row, a cell, an item) of a table or list whose own tag was left out.
    bool InDroppedContainer(unsigned flags) const {
        return ((flags & kTableParts) && Dropped(kTable)) || ((flags & kItem) && Dropped(kList)) ||
               ((flags & kDefItem) && Dropped(kDefList));
    }

    // The end tags HTML lets a page leave out: a new item ends the open one, a new row the open row, a
    // block the open paragraph.
    void CloseImplied(unsigned flags) {
        int open = -1;
        if (flags & kItem)
            open = FindOpen(kItem, kList | kScope);
        else if (flags & kDefItem)
            open = FindOpen(kDefItem, kDefList | kScope);
        else if (flags & kCell)
            open = FindOpen(kCell, kRow | kTable | kSection);
        else if (flags & kRow)
            open = FindOpen(kRow, kTable | kSection);
        else if (flags & (kSection | kCaption))
            open = FindOpen(kSection | kRow | kCell | kCaption, kTable);
        else if (flags & kAnchor)
            open = FindOpen(kAnchor, kScope);
        if (open >= 0)
            CloseTo(static_cast<size_t>(open));
        if (flags & kBlock) {
            const int paragraph = FindOpen(kParagraph, kScope);
            if (paragraph >= 0)
                CloseTo(static_cast<size_t>(paragraph));
        }
    }

    // Whether `element` may open here: where it belongs, within every cap.
    bool Fits(const Element* element) const {
        const unsigned flags = element->flags;
        if (elements_ + Weight() > BannerSanitizer::kMaxElements)
            return false;
        if (!(flags & kVoid) && stack_.size() >= static_cast<size_t>(BannerSanitizer::kMaxDepth))
            return false;
        const unsigned parent = stack_.empty() ? 0 : stack_.back()->flags;
        // Table parts only in their table, and nothing else between a table's rows and cells.
        if (flags & kTableParts) {
            if (Dropped(kTable))
                return false;
            if ((flags & (kSection | kCaption)) && !(parent & kTable))
                return false;
            if ((flags & kRow) && (!(parent & (kTable | kSection)) || !RowFits()))
                return false;
            if ((flags & kCell) && !(parent & kRow))
                return false;
        } else if (parent & (kTable | kSection | kRow)) {
            return false;
        }
        if ((flags & kItem) && (!(parent & kList) || Dropped(kList)))
            return false;
        if ((flags & kDefItem) && (!(parent & kDefList) || Dropped(kDefList)))
            return false;
        if ((flags & kTable) && grids_.size() >= static_cast<size_t>(BannerSanitizer::kMaxTableDepth))
            return false;
        if ((flags & kList) && lists_ >= BannerSanitizer::kMaxListDepth)
            return false;
        return true;
    }

    // Whether an element with any of `flags` was dropped and is still open in the page.
    bool Dropped(unsigned flags) const {
        for (size_t i = 0; i < kElementCount; ++i) {
            if ((kElements[i].flags & flags) && dropped_[i] > 0)
                return true;
        }
        return false;
    }

    // The row a cell met directly in a table implies.
    bool OpenRow() {
        static const Element* const row = FindElement("tr");
        // An implied row has no end tag to come, so nothing is counted as dropped.
        if (!Fits(row))
            return false;
        Emit(row, std::string());
        return true;
    }

    // Whether a cell of one column and row may go into the open row, or into a new one.
    bool CellFits() const {
        if (grids_.empty())
            return false;
        const TableGrid& grid = grids_.back();
        if (FindOpen(kRow, kTable) < 0)
            return cellWork_ + RowWork() + GrowthWork(grid, 1, 1, grid.height) <=
                   BannerSanitizer::kMaxCellWork;
        const int column = FreeColumn(grid, grid.rows - 1);
        return column < BannerSanitizer::kMaxTableColumns &&
               cellWork_ + GrowthWork(grid, column + 1, grid.rows, grid.height) <=
                   BannerSanitizer::kMaxCellWork;
    }

    // The work of growing the innermost table's grid to at least `width` columns and `height` rows, from
    // `heightNow` rows.
    int GrowthWork(const TableGrid& grid, int width, int height, int heightNow) const {
        const int area = std::max(grid.width, width) * std::max(heightNow, height);
        return Weight() * (area - grid.width * heightNow);
    }

    // Whether a row fits the page's cell work (where it belongs is for Fits to say).
    bool RowFits() const { return !grids_.empty() && cellWork_ + RowWork() <= BannerSanitizer::kMaxCellWork; }

    // The work of one more row in the innermost table.
    int RowWork() const {
        const TableGrid& grid = grids_.back();
        return GrowthWork(grid, 0, grid.rows + 1, grid.height);
    }

    // The first column from the row's next one that no cell above still covers.
    static int FreeColumn(const TableGrid& grid, int row) {
        int column = grid.column;
        while (column < BannerSanitizer::kMaxTableColumns &&
               grid.coveredTo[static_cast<size_t>(column)] >= row)
            ++column;
        return column;
    }

    // Puts a cell into its table's grid: at the next column no cell above still covers, its spans clamped
    // to kMaxSpan and to the columns left. When the grid those spans make would not fit the page's cell
    // work, the cell spans no further than the grid already goes. False when the row is full.
    bool PlaceCell(const Tag& tag, std::string& attributes) {
        TableGrid& grid = grids_.back();
        const int row = grid.rows - 1;
        const int column = FreeColumn(grid, row);
        if (column >= BannerSanitizer::kMaxTableColumns)
            return false;
        int columns = std::min(SpanOf(tag, "colspan"), BannerSanitizer::kMaxTableColumns - column);
        int rows = SpanOf(tag, "rowspan");
        int work = GrowthWork(grid, column + columns, row + rows, grid.height);
        if (cellWork_ + work > BannerSanitizer::kMaxCellWork) {
            columns = std::max(1, std::min(columns, grid.width - column));
            rows = 1;
            work = GrowthWork(grid, column + columns, row + rows, grid.height);
            if (cellWork_ + work > BannerSanitizer::kMaxCellWork)
                return false;
        }
        cellWork_ += work;
        grid.width = std::max(grid.width, column + columns);
        grid.height = std::max(grid.height, row + rows);
        for (int c = column; c < column + columns; ++c)
            grid.coveredTo[static_cast<size_t>(c)] = row + rows - 1;
        grid.column = column + columns;
        if (columns > 1)
            attributes += " colspan=\"" + std::to_string(columns) + "\"";
        if (rows > 1)
            attributes += " rowspan=\"" + std::to_string(rows) + "\"";
        return true;
    }

    // A cell's colspan or rowspan: 1 when absent or not a number, at most kMaxSpan.
    static int SpanOf(const Tag& tag, std::string_view name) {
        for (const auto& [attribute, value] : tag.attributes) {
            if (attribute != name)
                continue;
            const std::string decoded = DecodeValue(value);
            const std::string_view digits = TrimBytes(decoded);
            if (digits.empty() || !AllOf(digits, IsAsciiDigit))
                return 1;
            return static_cast<int>(std::clamp<int64_t>(ParseDecimal(digits), 1, BannerSanitizer::kMaxSpan));
        }
        return 1;
    }

    // The attributes `element` may carry, each value checked, in the order written; the first of a name
    // wins.
    static std::string Attributes(const Element& element, const Tag& tag) {
        std::string out;
        unsigned seen = 0;
        for (const auto& [name, value] : tag.attributes) {
            const AttributeRule* rule = FindAttribute(name);
            if (rule == nullptr || !(element.attributes & rule->bit) || (seen & rule->bit))
                continue;
            seen |= rule->bit;
            const std::string decoded = DecodeValue(value);
            if (decoded.size() > kMaxValueLength)
                continue;
            const auto kept = CleanValue(rule->bit, TrimBytes(decoded));
            if (!kept)
                continue;
            out += ' ';
            out += name;
            out += "=\"";
            AppendEscaped(out, *kept);
            out += '"';
        }
        return out;
    }

    void Emit(const Element* element, const std::string& attributes) {
        elements_ += Weight();
        if (element->attributes & kSrc)
            ++pictures_;
        out_ += '<';
        out_ += element->name;
        out_ += attributes;
        out_ += '>';
        // Words end where the output's own blocks and breaks are, so that a second pass finds them there.
        if (element->flags & kBlock || element->name == "br")
            wordChars_ = 0;
        if (element->flags & kVoid)
            return;
        stack_.push_back(element);
        if (element->flags & kTable)
            grids_.emplace_back();
        if (element->flags & kRow) {
            cellWork_ += RowWork();
            TableGrid& grid = grids_.back();
            ++grid.rows;
            grid.height = std::max(grid.height, grid.rows);
            grid.column = 0;
        }
        if (element->flags & kList)
            ++lists_;
        if (element->flags & kPre)
            ++preformatted_;
    }

    // A tag left out: its end tag, when it comes, is left out too.
    void Drop(const Element* element) {
        if (!(element->flags & kVoid))
            ++dropped_[IndexOf(element)];
    }

    void EndTag(const std::string& name) {
        const Element* element = FindElement(name);
        if (element == nullptr || (element->flags & kVoid))
            return;
        size_t& dropped = dropped_[IndexOf(element)];
        if (dropped > 0) {
            --dropped;
            return;
        }
        const unsigned flags = element->flags;
        unsigned boundary = kTable | kTableParts;
        if (flags & kTable)
            boundary = 0;
        else if (flags & (kSection | kCaption))
            boundary = kTable;
        else if (flags & kRow)
            boundary = kTable | kSection;
        else if (flags & kCell)
            boundary = kTable | kSection | kRow;
        const int open = FindOpen(element, boundary);
        if (open >= 0)
            CloseTo(static_cast<size_t>(open));
    }

    // The index in the stack of the innermost open element with any of `flags`, looking no further than
    // the first with any of `boundary`; -1 when there is none.
    int FindOpen(unsigned flags, unsigned boundary) const {
        for (size_t i = stack_.size(); i-- > 0;) {
            if (stack_[i]->flags & flags)
                return static_cast<int>(i);
            if (stack_[i]->flags & boundary)
                return -1;
        }
        return -1;
    }

    int FindOpen(const Element* element, unsigned boundary) const {
        for (size_t i = stack_.size(); i-- > 0;) {
            if (stack_[i] == element)
                return static_cast<int>(i);
            if (stack_[i]->flags & boundary)
                return -1;
        }
        return -1;
    }

    // Closes the elements from the top of the stack down to and including index `first`.
    void CloseTo(size_t first) {
        while (stack_.size() > first) {
            const Element* element = stack_.back();
            stack_.pop_back();
            out_ += "</";
            out_ += element->name;
            out_ += '>';
            if (element->flags & kBlock)
                wordChars_ = 0;
            if (element->flags & kTable)
                grids_.pop_back();
            if (element->flags & kList)
                --lists_;
            if (element->flags & kPre)
                --preformatted_;
        }
    }

    std::string_view in_;
    size_t pos_ = 0;
    std::string out_;
    std::vector<const Element*> stack_;
    std::vector<TableGrid> grids_;
    std::array<size_t, kElementCount> dropped_{};  // start tags left out whose end tags are still to come
    int elements_ = 0;
    int cellWork_ = 0;
    int lists_ = 0;
    int preformatted_ = 0;
    int textWork_ = 0;
    int pictures_ = 0;
    int wordChars_ = 0;
    bool lastKept_ = false;  // whether the last character's first byte was written
};

}  // namespace

std::string BannerSanitizer::Clean(std::string_view html) {
    return Cleaner(html).Run();
}

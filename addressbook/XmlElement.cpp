// XmlElement: the tree, the markup-stripping passes, the content parser and the writer.
#include "addressbook/XmlElement.h"

#include <algorithm>
#include <new>
#include <optional>
#include <utility>

#include "base/ByteString.h"
#include "base/Exception.h"

namespace {

// The bytes that end a tag name.
constexpr std::string_view kNameEnd = " />\t\r\n";

// Where the bytes of a stripped text came from, so that a place in it can be named as a line of the text
// it was stripped from. Each run of bytes kept in one piece is one entry; past kMaxRuns (a text of
// thousands of comments) the map gives up rather than grow with the text.
class OriginMap {
public:
    void Keep(size_t out, size_t in, size_t length) {
        if (lost_ || length == 0)
            return;
        if (!runs_.empty() && runs_.back().in + (out - runs_.back().out) == in)
            return;  // continues the last run
        if (runs_.size() >= kMaxRuns) {
            lost_ = true;
            runs_.clear();
            return;
        }
        runs_.push_back({out, in});
    }
    // The stripped text was cut back to `size` bytes.
    void Truncate(size_t size) {
        while (!runs_.empty() && runs_.back().out >= size)
            runs_.pop_back();
    }
    // The offset in the original text of the byte at `out`; an offset past the end maps past the last
    // byte kept.
    std::optional<size_t> Origin(size_t out) const {
        if (lost_)
            return std::nullopt;
        const auto after = std::upper_bound(runs_.begin(), runs_.end(), out,
                                            [](size_t offset, const Run& run) { return offset < run.out; });
        if (after == runs_.begin())
            return out;
        const Run& run = *(after - 1);
        return run.in + (out - run.out);
    }

private:
    static constexpr size_t kMaxRuns = 65536;
    struct Run {
        size_t out;
        size_t in;
    };
    std::vector<Run> runs_;
    bool lost_ = false;
};

// Removes, again and again, the first `opener` and everything through the first `terminator` at or after
// it. Works in one pass: after a removal only the last few kept bytes can form a new opener with what
// follows. An opener without a terminator drops the rest of the text, so the loop always ends.
std::string RemoveBlocks(std::string_view text, std::string_view opener, std::string_view terminator,
                         OriginMap& origins) {
    std::string kept;
    kept.reserve(text.size());
    const auto keep = [&](size_t from, size_t length) {
        origins.Keep(kept.size(), from, length);
        kept.append(text.substr(from, length));
    };
    size_t pos = 0;
    for (;;) {
        // An opener that starts in the kept bytes and ends in the rest; the earliest start comes first.
        size_t straddle = 0;
        for (size_t back = std::min(opener.size() - 1, kept.size()); back > 0; --back) {
            if (std::string_view(kept).substr(kept.size() - back) == opener.substr(0, back) &&
                text.substr(pos).starts_with(opener.substr(back))) {
                straddle = back;
                break;
            }
        }
        // Neither terminator can begin inside the kept part of an opener, so its search starts at `pos`.
        size_t searchFrom = pos;
        if (straddle > 0) {
            kept.resize(kept.size() - straddle);
            origins.Truncate(kept.size());
        } else {
            const size_t start = text.find(opener, pos);
            if (start == std::string_view::npos) {
                keep(pos, text.size() - pos);
                return kept;
            }
            keep(pos, start - pos);
            searchFrom = start;
        }
        const size_t end = text.find(terminator, searchFrom);
        if (end == std::string_view::npos)
            return kept;
        pos = end + terminator.size();
    }
}

// The text without comments, processing instructions and declarations, and for each of the three passes
// where its bytes came from.
struct StrippedText {
    explicit StrippedText(std::string_view original) {
        // A text without any of the three (every file the program writes) is parsed as it is.
        if (original.find("<!") == std::string_view::npos && original.find("<?") == std::string_view::npos) {
            view = TrimRightBytes(original);
            return;
        }
        text = RemoveBlocks(original, "<!--", "->", passes[0]);
        text = RemoveBlocks(text, "<?", ">", passes[1]);
        text =
            RemoveBlocks(text, "<!", ">", passes[2]);  // also DOCTYPE lines and the start of CDATA sections
        text.resize(TrimRightBytes(text).size());
        view = text;
    }

    // The offset in the original text of the byte at `offset` in `view`.
    std::optional<size_t> Origin(size_t offset) const {
        std::optional<size_t> at = offset;
        for (int pass = 2; pass >= 0 && at; --pass)
            at = passes[pass].Origin(*at);
        return at;
    }

    std::string text;
    std::string_view view;
    OriginMap passes[3];
};

}  // namespace

// Reads the content of elements from one cursor that moves through the stripped text.
class XmlContentParser {
public:
    explicit XmlContentParser(std::string_view text) : text_(text) {}

    // `level` is the nesting level of `element`, the outermost being 1.
    bool ParseContent(XmlElement& element, int level);

    // Why the parse ended where it did, and the offset of the tag it ended at; after a parse that returned
    // true, whether the rest of the text holds elements that a stray closing tag cut off.
    XmlParseStop::Reason StopReason() const;
    size_t StopOffset() const { return reason_ != XmlParseStop::Reason::None ? stopOffset_ : tagStart_; }

private:
    void ReadAttributes(XmlElement& target, std::string_view tag);
    // A new child of `parent`, or null (and the parse stopped) past kMaxParseNodes.
    XmlElement* AddNode(XmlElement& parent, std::string name, std::string value = {});
    bool Stop(XmlParseStop::Reason reason) {
        stopped_ = true;
        Note(reason);
        return false;
    }
    // The first reason found is the one that ended the parse; the enclosing levels only pass it on.
    void Note(XmlParseStop::Reason reason) {
        if (reason_ == XmlParseStop::Reason::None) {
            reason_ = reason;
            stopOffset_ = tagStart_;
        }
    }
    bool RestHoldsElements() const;

    std::string_view text_;
    size_t cursor_ = 0;
    size_t tagStart_ = 0;  // where the tag being read begins
    // Counts recursive calls as well as levels: tags without a name ("<>") recurse into the same element.
    int recursion_ = 0;
    int nodes_ = 1;  // the element given to Parse
    bool stopped_ = false;
    XmlParseStop::Reason reason_ = XmlParseStop::Reason::None;
    size_t stopOffset_ = 0;
};

XmlElement* XmlContentParser::AddNode(XmlElement& parent, std::string name, std::string value) {
    if (nodes_ >= XmlElement::kMaxParseNodes) {
        Stop(XmlParseStop::Reason::TooManyElements);
        return nullptr;
    }
    ++nodes_;
    return parent.AddChild(std::move(name), std::move(value));
}

bool XmlContentParser::ParseContent(XmlElement& element, int level) {
    while (cursor_ < text_.size()) {
        const size_t open = text_.find('<', cursor_);
        if (open == std::string_view::npos)
            return true;  // text after the last tag is dropped
        tagStart_ = open;
        const size_t close = text_.find('>', open + 1);
        if (close == std::string_view::npos) {
            Note(XmlParseStop::Reason::UnclosedTag);
            return false;  // found again by every enclosing level
        }

        element.value_ += XmlElement::Unescape(text_.substr(cursor_, open - cursor_));
        TrimBytesInPlace(element.value_);
        const std::string_view tag = text_.substr(open, close - open + 1);
        cursor_ = close + 1;

        if (tag[1] == '!' || tag[1] == '?')
            continue;
        if (tag[1] == '/')
            return true;  // any closing tag ends the element, whatever its name

        const std::string_view name = TrimBytes(tag.substr(1, tag.find_first_of(kNameEnd, 1) - 1));
        XmlElement* target = &element;
        int targetLevel = level;
        if (element.name_.empty()) {
            element.name_ = name;  // how the element given to Parse gets the first tag's name
        } else {
            if (level >= XmlElement::kMaxParseDepth)
                return Stop(XmlParseStop::Reason::TooDeep);
            target = AddNode(element, std::string(name));
            if (target == nullptr)
                return false;
            targetLevel = level + 1;
        }
        ReadAttributes(*target, tag);
        if (stopped_)
            return false;
        if (!tag.ends_with("/>")) {
            if (recursion_ >= XmlElement::kMaxParseDepth)
                return Stop(XmlParseStop::Reason::TooDeep);
            ++recursion_;
            ParseContent(*target, targetLevel);  // its result is not used: the cursor tells where it stopped
            --recursion_;
            if (stopped_)
                return false;
        }
    }
    return true;
}

XmlParseStop::Reason XmlContentParser::StopReason() const {
    if (reason_ != XmlParseStop::Reason::None || !RestHoldsElements())
        return reason_;
    return XmlParseStop::Reason::EndTagOutside;
}

// The outermost level returns at a closing tag only when more elements were closed than opened; what
// follows is dropped. Text and further closing tags lose nothing, a start tag does.
bool XmlContentParser::RestHoldsElements() const {
    for (size_t open = text_.find('<', cursor_); open != std::string_view::npos;
         open = text_.find('<', open + 1)) {
        if (text_.find('>', open + 1) == std::string_view::npos)
            return false;
        const char second = open + 1 < text_.size() ? text_[open + 1] : '\0';
        if (second != '/' && second != '!' && second != '?')
            return true;
    }
    return false;
}

void XmlContentParser::ReadAttributes(XmlElement& target, std::string_view tag) {
    std::string_view rest = TrimLeftBytes(tag.substr(tag.find_first_of(kNameEnd, 1) + 1));
    while (!rest.empty()) {
        const size_t equals = rest.find('=');
        if (equals == std::string_view::npos || equals + 1 >= rest.size())
            return;  // the ">" ends the loop
        const char quote = rest[equals + 1];
        if (quote != '"' && quote != '\'')
            return;
        const size_t end = rest.find(quote, equals + 2);
        if (end == std::string_view::npos)
            return;
        if (AddNode(target, std::string(rest.substr(0, equals)),
                    XmlElement::Unescape(rest.substr(equals + 2, end - equals - 2))) == nullptr)
            return;
        rest = TrimLeftBytes(rest.substr(end + 1));
    }
}

XmlElement::XmlElement() : name_("xml") {}

XmlElement::XmlElement(std::string name, std::string value)
    : name_(std::move(name)), value_(std::move(value)) {}

XmlElement::~XmlElement() = default;

XmlElement* XmlElement::ChildAt(int index) const {
    if (index < 0 || index >= ChildCount())
        return nullptr;
    return children_[static_cast<size_t>(index)].get();
}

int XmlElement::FindChildIndex(std::string_view name) const {
    for (size_t i = 0; i < children_.size(); ++i) {
        if (EqualsIgnoringCase(children_[i]->name_, name))
            return static_cast<int>(i);
    }
    return -1;
}

XmlElement* XmlElement::FindChild(std::string_view name) const {
    return ChildAt(FindChildIndex(name));
}

XmlElement* XmlElement::AddChild(std::string name, std::string value) {
    return AppendChild(std::make_unique<XmlElement>(std::move(name), std::move(value)));
}

XmlElement* XmlElement::AppendChild(std::unique_ptr<XmlElement> element) {
    if (!element)
        return nullptr;
    try {
        children_.push_back(std::move(element));
    } catch (const std::bad_alloc&) {
        throw MemoryException();
    }
    return children_.back().get();
}

void XmlElement::Clear() {
    children_.clear();
    name_.clear();
    value_.clear();
}

bool XmlElement::Parse(std::string_view text, XmlParseStop* stop) {
    const StrippedText stripped(text);
    Clear();
    XmlContentParser parser(stripped.view);
    const bool result = parser.ParseContent(*this, 1);
    if (stop != nullptr) {
        *stop = {};
        stop->reason = parser.StopReason();
        if (stop->reason != XmlParseStop::Reason::None) {
            if (const std::optional<size_t> origin = stripped.Origin(parser.StopOffset())) {
                const size_t end = std::min(*origin, text.size());
                stop->line = 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + end, '\n'));
            }
        }
    }
    return result;
}

std::string XmlElement::ToString(int depth, bool shortForm) const {
    std::string out;
    AppendTo(out, depth, shortForm, children_);
    return out;
}

std::string XmlElement::ToString(int depth, bool shortForm,
                                 const std::vector<const XmlElement*>& children) const {
    std::string out;
    AppendTo(out, depth, shortForm, children);
    return out;
}

// `children` holds pointers of any kind to the elements written as this one's children.
template <typename Children>
void XmlElement::AppendTo(std::string& out, int depth, bool shortForm, const Children& children) const {
    const std::string_view lineEnd = depth >= 0 ? "\r\n" : "";
    const size_t indent = depth > 0 ? static_cast<size_t>(depth) : 0;
    // On one line, leaves go into the start tag as attributes.
    const auto isAttribute = [depth](const auto& child) { return depth < 0 && child->children_.empty(); };
    const bool hasInner = !std::all_of(children.begin(), children.end(), isAttribute);

    out.append(indent, '\t');
    out += '<';
    AppendName(out);
    for (const auto& child : children) {
        if (!isAttribute(child))
            continue;
        out += ' ';
        out += child->name_;
        out += "=\"";
        out += Escape(child->value_);
        out += '"';
    }
    if (!hasInner && value_.empty() && shortForm) {
        out += "/>";
        out += lineEnd;
        return;
    }
    out += '>';
    if (hasInner) {
        out += lineEnd;
        for (const auto& child : children) {
            if (!isAttribute(child))
                child->AppendTo(out, depth < 0 ? -1 : depth + 1, true, child->children_);
        }
        out.append(indent, '\t');
    }
    if (!value_.empty()) {
        if (hasInner && depth >= 0)
            out += '\t';
        out += Escape(value_);
        if (hasInner) {
            out += lineEnd;
            out.append(indent, '\t');
        }
    }
    out += "</";
    AppendName(out);
    out += '>';
    out += lineEnd;
}

// Written so that it reads back as one element of the same name wherever the name can be. An empty name
// (from a broken tag) would give "</>", a closing tag, or "<>", which takes the name of the first child
// tag after it. A name read from an attribute may hold blanks, "/" or control bytes, which would end it
// early or be trimmed off (turning "contact\x01" into a contact). A name holding "<?" or "<!" (which the
// removal of a declaration can join) or beginning with "!" or "?" would read back as an instruction or a
// declaration and be stripped, its closing tag ending the element around it. So an empty name is written
// as "_", those bytes and every "<" become "_", and a "_" goes in front of a leading "!" or "?": the output
// then holds no opener of anything the parser strips.
void XmlElement::AppendName(std::string& out) const {
    if (name_.empty() || name_.front() == '!' || name_.front() == '?')
        out += '_';
    for (const char c : name_)
        out += IsByteWhitespace(c) || c == '/' || c == '>' || c == '<' ? '_' : c;
}

// No replacement contains a byte that a later one replaces, so one pass gives the same text as the five
// passes in order "&", "<", ">", "'", '"'.
std::string XmlElement::Escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '\'':
                out += "&apos;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
                break;
        }
    }
    return out;
}

// Entities cannot overlap (each runs from "&" to the first ";"), and "&amp;" is undone last without looking
// at what it produces, so one pass gives the same text as the five passes in order: "&amp;lt;" -> "&lt;".
std::string XmlElement::Unescape(std::string_view text) {
    static constexpr std::pair<std::string_view, char> kEntities[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&apos;", '\''}, {"&quot;", '"'}, {"&amp;", '&'}};
    std::string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        bool replaced = false;
        if (text[i] == '&') {
            for (const auto& [entity, byte] : kEntities) {
                if (text.substr(i).starts_with(entity)) {
                    out += byte;
                    i += entity.size();
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced)
            out += text[i++];
    }
    return out;
}

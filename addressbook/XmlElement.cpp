// XmlElement: the tree, the markup-stripping passes, the content parser and the writer.
#include "addressbook/XmlElement.h"

#include <algorithm>
#include <new>
#include <utility>

#include "base/ByteString.h"
#include "base/Exception.h"

namespace {

// The bytes that end a tag name.
constexpr std::string_view kNameEnd = " />\t\r\n";

// Removes, again and again, the first `opener` and everything through the first `terminator` at or after
// it. Works in one pass: after a removal only the last few kept bytes can form a new opener with what
// follows. An opener without a terminator drops the rest of the text, so the loop always ends.
std::string RemoveBlocks(std::string_view text, std::string_view opener, std::string_view terminator) {
    std::string kept;
    kept.reserve(text.size());
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
        } else {
            const size_t start = text.find(opener, pos);
            if (start == std::string_view::npos) {
                kept.append(text.substr(pos));
                return kept;
            }
            kept.append(text.substr(pos, start - pos));
            searchFrom = start;
        }
        const size_t end = text.find(terminator, searchFrom);
        if (end == std::string_view::npos)
            return kept;
        pos = end + terminator.size();
    }
}

}  // namespace

// Reads the content of elements from one cursor that moves through the stripped text.
class XmlContentParser {
public:
    explicit XmlContentParser(std::string_view text) : text_(text) {}

    // `level` is the nesting level of `element`, the outermost being 1.
    bool ParseContent(XmlElement& element, int level);

private:
    void ReadAttributes(XmlElement& target, std::string_view tag);
    // A new child of `parent`, or null (and the parse stopped) past kMaxParseNodes.
    XmlElement* AddNode(XmlElement& parent, std::string name, std::string value = {});
    bool Stop() {
        stopped_ = true;
        return false;
    }

    std::string_view text_;
    size_t cursor_ = 0;
    // Counts recursive calls as well as levels: tags without a name ("<>") recurse into the same element.
    int recursion_ = 0;
    int nodes_ = 1;  // the element given to Parse
    bool stopped_ = false;
};

XmlElement* XmlContentParser::AddNode(XmlElement& parent, std::string name, std::string value) {
    if (nodes_ >= XmlElement::kMaxParseNodes) {
        Stop();
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
        const size_t close = text_.find('>', open + 1);
        if (close == std::string_view::npos)
            return false;  // found again by every enclosing level

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
                return Stop();
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
                return Stop();
            ++recursion_;
            ParseContent(*target, targetLevel);  // its result is not used: the cursor tells where it stopped
            --recursion_;
            if (stopped_)
                return false;
        }
    }
    return true;
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

bool XmlElement::Parse(std::string_view text) {
    std::string stripped = RemoveBlocks(text, "<!--", "->");
    stripped = RemoveBlocks(stripped, "<?", ">");
    stripped = RemoveBlocks(stripped, "<!", ">");  // also DOCTYPE lines and the start of CDATA sections
    stripped.resize(TrimRightBytes(stripped).size());
    Clear();
    XmlContentParser parser(stripped);
    return parser.ParseContent(*this, 1);
}

std::string XmlElement::ToString(int depth, bool shortForm) const {
    std::string out;
    AppendTo(out, depth, shortForm);
    return out;
}

void XmlElement::AppendTo(std::string& out, int depth, bool shortForm) const {
    const std::string_view lineEnd = depth >= 0 ? "\r\n" : "";
    const size_t indent = depth > 0 ? static_cast<size_t>(depth) : 0;
    // On one line, leaves go into the start tag as attributes.
    const auto isAttribute = [depth](const std::unique_ptr<XmlElement>& child) {
        return depth < 0 && child->children_.empty();
    };
    const bool hasInner = !std::all_of(children_.begin(), children_.end(), isAttribute);

    out.append(indent, '\t');
    out += '<';
    out += name_;
    for (const auto& child : children_) {
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
        for (const auto& child : children_) {
            if (!isAttribute(child))
                child->AppendTo(out, depth < 0 ? -1 : depth + 1, true);
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
    out += name_;
    out += '>';
    out += lineEnd;
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

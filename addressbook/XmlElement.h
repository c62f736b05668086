// A small element tree for the address book: one node type with a name, a text value and owned children,
// a tolerant parser that reads attributes as children, and an indenting writer. Bytes are taken as they
// are; only the five predefined entities are known.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Why and where a parse ended before the end of its text, so that a caller can tell what it did not get.
struct XmlParseStop {
    enum class Reason {
        None,             // the whole text was read
        UnclosedTag,      // a "<" without a later ">"
        TooDeep,          // elements nested deeper than XmlElement::kMaxParseDepth
        TooManyElements,  // more than XmlElement::kMaxParseNodes elements
        EndTagOutside,    // a closing tag with nothing open to close, and elements after it
    };
    Reason reason = Reason::None;
    // The line (from 1, counted in the text given to Parse) of the tag where reading stopped; 0 when the
    // text held too many comments to keep track of where they were.
    size_t line = 0;
};

class XmlElement {
public:
    // Parsing refuses to nest elements deeper than this, so that a hostile file cannot exhaust the stack.
    static constexpr int kMaxParseDepth = 256;
    // Parsing creates at most this many elements (attributes count, as they become elements), so that a
    // file of nothing but tiny tags cannot make the tree dozens of times its size. An address book of
    // 100,000 contacts is 400,001 elements; at the bound the tree takes about 105 MB, 150 MB when values
    // fill the file's size bound. The parse stops at the element past the bound and returns false; the
    // elements read before it stay.
    static constexpr int kMaxParseNodes = 1000000;

    XmlElement();  // named "xml"
    explicit XmlElement(std::string name, std::string value = {});
    ~XmlElement();

    XmlElement(const XmlElement&) = delete;
    XmlElement& operator=(const XmlElement&) = delete;

    std::string GetName() const { return name_; }
    std::string GetValue() const { return value_; }
    void SetValue(std::string value) { value_ = std::move(value); }

    int ChildCount() const { return static_cast<int>(children_.size()); }
    // Null for an index out of range.
    XmlElement* ChildAt(int index) const;

    // The first child whose name equals `name` with only A-Z folded to a-z; -1 (or null) when there is none.
    int FindChildIndex(std::string_view name) const;
    XmlElement* FindChild(std::string_view name) const;

    // Appends a new child and returns it; the tree keeps ownership.
    XmlElement* AddChild(std::string name, std::string value = {});
    XmlElement* AppendChild(std::unique_ptr<XmlElement> element);

    // Replaces this element's name, value and children with what `text` describes. False when a tag has no
    // closing ">", the nesting goes deeper than kMaxParseDepth or the text holds more than kMaxParseNodes
    // elements; what was read before stays in the tree. `stop`, when given, says whether the whole text
    // was read, which is not the same: a closing tag with nothing open ends the parse with true and drops
    // the rest.
    bool Parse(std::string_view text, XmlParseStop* stop = nullptr);

    // depth >= 0: one element per line, `depth` tabs of indent, CR LF line ends. depth < 0: one line, and
    // children without children of their own become attributes. shortForm writes "<name/>" for an element
    // with neither value nor children.
    std::string ToString(int depth, bool shortForm) const;
    // The same with `children`, in that order, written in place of this element's own.
    std::string ToString(int depth, bool shortForm, const std::vector<const XmlElement*>& children) const;

    static std::string Escape(std::string_view text);
    static std::string Unescape(std::string_view text);

private:
    friend class XmlContentParser;

    void Clear();
    void AppendName(std::string& out) const;
    template <typename Children>
    void AppendTo(std::string& out, int depth, bool shortForm, const Children& children) const;

    std::string name_;
    std::string value_;
    std::vector<std::unique_ptr<XmlElement>> children_;
};

// XmlElement: the tolerant parser, markup stripping, entities, the writer's layout and the depth bound.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "addressbook/XmlElement.h"

namespace {

// The parsed tree on one line, where leaves show as attributes: "<a><b/></a>" gives <a b=""/>.
std::string Tree(const std::string& text) {
    XmlElement element;
    element.Parse(text);
    return element.ToString(-1, true);
}

int NestingDepth(const XmlElement& element) {
    return element.ChildCount() == 0 ? 1 : 1 + NestingDepth(*element.ChildAt(0));
}

}  // namespace

TEST(XmlParseTest, TolerantReadingOfTags) {
    EXPECT_EQ(Tree("<a><b></a></b>"), Tree("<a><b></b></a>"));  // any closing tag ends an element

    XmlElement spaced;
    EXPECT_TRUE(spaced.Parse("<a x = '1'/>"));  // a space after "=" is no quote
    EXPECT_EQ(spaced.GetName(), "a");
    EXPECT_EQ(spaced.ChildCount(), 0);

    XmlElement unclosed;
    EXPECT_TRUE(unclosed.Parse("<r><a x='1>2'/></r>"));
    ASSERT_EQ(unclosed.ChildCount(), 1);
    EXPECT_EQ(unclosed.ChildAt(0)->ChildCount(), 0);
    EXPECT_EQ(unclosed.ChildAt(0)->GetValue(), "2'/>");

    XmlElement mixed;
    EXPECT_TRUE(mixed.Parse("<a>x<b/>y</a> dropped"));
    EXPECT_EQ(mixed.GetValue(), "xy");
    EXPECT_EQ(Tree("<a/><b/>"), "<a b=\"\"/>");  // a second top-level element becomes a child
    EXPECT_EQ(Tree("<c name='n' host=\"h&amp;\">"), "<c name=\"n\" host=\"h&amp;\"/>");

    XmlElement plain;
    EXPECT_TRUE(plain.Parse("no tags at all"));
    EXPECT_EQ(plain.GetName(), "");
    EXPECT_EQ(plain.GetValue(), "");
}

TEST(XmlParseTest, TagWithoutClosingBracketFailsAndKeepsWhatWasRead) {
    XmlElement element;
    EXPECT_FALSE(element.Parse("<a><b>text</b><c"));
    ASSERT_EQ(element.ChildCount(), 1);
    EXPECT_EQ(element.ChildAt(0)->GetValue(), "text");
}

TEST(XmlParseTest, StripsCommentsInstructionsAndDeclarations) {
    EXPECT_EQ(Tree("<?xml version=\"1.0\"?>\r\n<!DOCTYPE a>\r\n<!-- <x/> --><a><!--c-><b/></a>"),
              "<a b=\"\"/>");
    // A removal that joins "<" with "!--" forms a new comment, which goes as well.
    EXPECT_EQ(Tree("<a><<!-- x -->!-- <c/> --><b/></a>"), "<a b=\"\"/>");
    // An opener without its end drops the rest instead of looping.
    EXPECT_EQ(Tree("<a><b/><!-- open"), "<a b=\"\"/>");
    EXPECT_EQ(Tree("<a><b/><? open"), "<a b=\"\"/>");
    EXPECT_EQ(Tree("<a><b/><!open"), "<a b=\"\"/>");
}

TEST(XmlParseTest, EntitiesAreUndoneOnceAndOnlyTheFiveAreKnown) {
    EXPECT_EQ(XmlElement::Escape("a<b & 'c'"), "a&lt;b &amp; &apos;c&apos;");
    EXPECT_EQ(XmlElement::Escape("\">"), "&quot;&gt;");
    EXPECT_EQ(XmlElement::Unescape("&lt;&gt;&apos;&quot;&amp;&#60;&nbsp;"), "<>'\"&&#60;&nbsp;");
    XmlElement element;
    element.Parse("<a>&amp;lt;</a>");
    EXPECT_EQ(element.GetValue(), "&lt;");
}

TEST(XmlParseTest, FindChildFoldsOnlyAsciiLetters) {
    XmlElement element("contact");
    element.AddChild("host");
    element.AddChild("name", "first");
    element.AddChild("NAME", "second");
    element.AddChild("\xC4");
    EXPECT_EQ(element.FindChildIndex("NAME"), 1);
    EXPECT_EQ(element.FindChild("Name")->GetValue(), "first");
    EXPECT_EQ(element.FindChildIndex("\xE4"), -1);  // no case folding above 0x7F
    EXPECT_EQ(element.FindChildIndex("\xC4"), 3);
    EXPECT_EQ(element.FindChild("port"), nullptr);
    EXPECT_EQ(element.ChildAt(4), nullptr);
}

TEST(XmlParseTest, NestingDeeperThanTheBoundStopsTheParse) {
    std::string allowed;
    for (int i = 0; i < XmlElement::kMaxParseDepth; ++i)
        allowed += "<e>";
    XmlElement element;
    EXPECT_TRUE(element.Parse(allowed));
    EXPECT_EQ(NestingDepth(element), XmlElement::kMaxParseDepth);

    // Too deep: false, the first 256 levels kept, and nothing after the fault read into shallower levels.
    std::string hostile = "<r>";
    for (int i = 0; i < 100000; ++i)
        hostile += "<e>";
    hostile += "<after/>";
    EXPECT_FALSE(element.Parse(hostile));
    EXPECT_EQ(NestingDepth(element), XmlElement::kMaxParseDepth);
    EXPECT_EQ(element.ChildCount(), 1);

    std::string unnamed;  // nameless tags recurse into the same element
    for (int i = 0; i < 100000; ++i)
        unnamed += "<>";
    EXPECT_FALSE(element.Parse(unnamed));
}

TEST(XmlParseTest, MoreThanAMillionElementsStopTheParse) {
    auto tags = [](int count, const std::string& tag) {
        std::string text = "<r>";
        for (int i = 0; i < count; ++i)
            text += tag;
        return text + "</r>";
    };
    XmlElement element;
    XmlParseStop stop;
    // The outer element and 999999 children: exactly the bound.
    EXPECT_TRUE(element.Parse(tags(999999, "<a/>"), &stop));
    EXPECT_EQ(element.ChildCount(), 999999);
    EXPECT_EQ(stop.reason, XmlParseStop::Reason::None);

    // One more: false, and the elements before it kept.
    EXPECT_FALSE(element.Parse(tags(1000000, "<a/>") + "<later/>", &stop));
    EXPECT_EQ(element.ChildCount(), 999999);
    EXPECT_EQ(element.FindChild("later"), nullptr);
    EXPECT_EQ(stop.reason, XmlParseStop::Reason::TooManyElements);

    // Attributes become elements and count alike.
    EXPECT_FALSE(element.Parse(tags(500000, "<a x='1'/>")));
    EXPECT_EQ(element.ChildCount(), 500000);
    EXPECT_EQ(element.ChildAt(499998)->ChildCount(), 1);
    EXPECT_EQ(element.ChildAt(499999)->ChildCount(), 0);

    // A new parse starts counting again.
    EXPECT_TRUE(element.Parse("<r><a/></r>"));
    EXPECT_EQ(element.ChildCount(), 1);
}

TEST(XmlParseTest, AStopSaysWhyAndOnWhichLineOfTheOriginalText) {
    using Reason = XmlParseStop::Reason;
    std::string deep = "<r>\n";
    for (int i = 0; i < 300; ++i)
        deep += "<e>";
    const struct {
        std::string text;
        Reason reason;
        size_t line;
    } cases[] = {
        {"<r>\n<a/>\n</r>\n", Reason::None, 0},
        {"<r>\n<a/>\n<b", Reason::UnclosedTag, 3},
        {deep, Reason::TooDeep, 2},
        // More closings than openings end the book early: lost only when a start tag follows.
        {"<r>\n</r>\n</x>\n<lost/>", Reason::EndTagOutside, 3},
        {"<r>\n</r>\n</x> text </y>", Reason::None, 0},
        // Lines are those of the text as given, comments and instructions included; a "<" that the
        // removal of a comment joins to "!--" starts a second comment.
        {"<?xml?>\n<!-- a\nb -->\n<r>\n<q", Reason::UnclosedTag, 5},
        {"<<!-- 1\n-->!-- 2\n-->\n<r>\n<q", Reason::UnclosedTag, 5},
        {"<<!--a-->!<!--b-->--\n\n--><q", Reason::UnclosedTag, 3},
    };
    for (const auto& c : cases) {
        XmlElement element;
        XmlParseStop stop;
        element.Parse(c.text, &stop);
        EXPECT_EQ(stop.reason, c.reason) << c.text;
        EXPECT_EQ(stop.line, c.line) << c.text;
    }

    // Where each of 65536 comments was is kept; past that the line is not known (0), the reason still is.
    for (const int comments : {65536, 65537}) {
        std::string text;
        for (int i = 0; i < comments; ++i)
            text += "<!--\n-->a";
        XmlElement element;
        XmlParseStop stop;
        element.Parse(text + "<r><q", &stop);
        EXPECT_EQ(stop.reason, Reason::UnclosedTag);
        EXPECT_EQ(stop.line, comments == 65536 ? 65537u : 0u);
    }
}

TEST(XmlWriteTest, IndentedAndOneLineLayouts) {
    XmlElement contacts("contacts");
    XmlElement* contact = contacts.AddChild("contact");
    contact->AddChild("name", "Office");
    contact->AddChild("host");
    EXPECT_EQ(contacts.ToString(0, true),
              "<contacts>\r\n\t<contact>\r\n\t\t<name>Office</name>\r\n\t\t<host/>\r\n\t</contact>\r\n</"
              "contacts>\r\n");
    EXPECT_EQ(contacts.ToString(-1, true), "<contacts><contact name=\"Office\" host=\"\"/></contacts>");

    contact->SetValue("v<");  // a value beside children follows them, one tab further in
    EXPECT_EQ(contact->ToString(1, true),
              "\t<contact>\r\n\t\t<name>Office</name>\r\n\t\t<host/>\r\n\t\tv&lt;\r\n\t</contact>\r\n");
    EXPECT_EQ(XmlElement("e").ToString(2, false), "\t\t<e></e>\r\n");

    XmlElement blanks("a", "  x y  ");  // outer blanks do not survive a write and a parse
    XmlElement read;
    read.Parse(blanks.ToString(0, true));
    EXPECT_EQ(read.GetValue(), "x y");
}

TEST(XmlWriteTest, NamesThatWouldReadBackAsSomethingElseAreWrittenAsElements) {
    // Each from a file: a tag of blanks (which, read with attributes, can have children), a tag name after a
    // control byte, attribute names with "/" and blanks, one with a control byte after "contact", and a tag
    // name that the removal of a declaration joined to "<?".
    XmlElement root("r");
    for (const char* name : {"", "?pi", "!d", "a b/c", "contact\x01", "<?"})
        root.AddChild(name);
    root.AddChild("after", "kept");
    const std::string written = root.ToString(0, true);
    EXPECT_EQ(written,
              "<r>\r\n\t<_/>\r\n\t<_?pi/>\r\n\t<_!d/>\r\n\t<a_b_c/>\r\n\t<contact_/>\r\n\t<_?/>\r\n"
              "\t<after>kept</after>\r\n</r>\r\n");
    XmlElement read;
    EXPECT_TRUE(read.Parse(written));
    ASSERT_EQ(read.ChildCount(), 7);
    EXPECT_EQ(read.ChildAt(0)->GetName(), "_");
    EXPECT_EQ(read.ChildAt(6)->GetValue(), "kept");
}

TEST(XmlWriteTest, RandomTreesSurviveWriteAndParseInBothLayouts) {
    std::mt19937 random(9);
    const std::string nameBytes = "abcdefghijklmnopqrstuvwxyz";
    const std::string valueBytes = "abcXYZ019 &<>'\"=/.-";
    auto pick = [&](const std::string& from, int most) {
        std::string text(std::uniform_int_distribution<int>(1, most)(random), ' ');
        for (char& c : text)
            c = from[std::uniform_int_distribution<size_t>(0, from.size() - 1)(random)];
        return text;
    };
    auto fill = [&](auto& self, XmlElement& element, int level) -> void {
        if (random() % 2 == 0)
            element.SetValue("v" + pick(valueBytes, 8) + "v");
        const int children = level < 5 ? static_cast<int>(random() % 4) : 0;
        for (int i = 0; i < children; ++i)
            self(self, *element.AddChild(pick(nameBytes, 6)), level + 1);
    };
    for (int round = 0; round < 200; ++round) {
        XmlElement tree(pick(nameBytes, 6));
        fill(fill, tree, 0);
        for (const int depth : {0, -1}) {
            const std::string written = tree.ToString(depth, true);
            XmlElement read;
            ASSERT_TRUE(read.Parse(written)) << written;
            ASSERT_EQ(read.ToString(depth, true), written);
        }
    }
}

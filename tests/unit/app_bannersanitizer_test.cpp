// The banner sanitizer: each cap at its edge (the last kept, the first dropped or clamped), what a banner
// keeps, what active content loses, and hostile pages, whose output must be a well-formed tree within the
// caps.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/BannerSanitizer.h"
#include "hostile_banners.h"

namespace {

using bannertest::Repeat;

std::string Clean(const std::string& html) {
    return BannerSanitizer::Clean(html);
}

size_t Count(const std::string& text, const std::string& part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// What the tags of sanitized HTML show: whether every element is closed in order, and the deepest nesting
// of all elements, of tables and of lists.
struct Shape {
    bool wellFormed = true;
    size_t depth = 0;
    size_t tables = 0;
    size_t lists = 0;
};

Shape ShapeOf(const std::string& html) {
    Shape shape;
    std::vector<std::string> open;
    size_t tables = 0;
    size_t lists = 0;
    for (size_t at = html.find('<'); at != std::string::npos; at = html.find('<', at + 1)) {
        const size_t end = html.find('>', at);
        if (end == std::string::npos)
            return Shape{false};
        const bool closing = html[at + 1] == '/';
        const size_t nameStart = at + (closing ? 2 : 1);
        const std::string name = html.substr(nameStart, html.find_first_of(" >", nameStart) - nameStart);
        if (name == "br" || name == "img" || name == "hr")
            continue;
        if (closing) {
            if (open.empty() || open.back() != name)
                return Shape{false};
            open.pop_back();
            tables -= name == "table";
            lists -= name == "ul" || name == "ol";
            continue;
        }
        open.push_back(name);
        tables += name == "table";
        lists += name == "ul" || name == "ol";
        shape.depth = std::max(shape.depth, open.size());
        shape.tables = std::max(shape.tables, tables);
        shape.lists = std::max(shape.lists, lists);
    }
    shape.wellFormed = open.empty();
    return shape;
}

TEST(BannerSanitizerTest, KeepsWhatABannerShows) {
    const std::string banner =
        "<table border=\"1\" width=\"100%\"><tr><td align=\"center\" bgcolor=\"#ffcc00\">"
        "<a href=\"http://banners.example/go?a=1&amp;b=2\"><img src=\"http://banners.example/x.png\" "
        "width=\"120\" height=\"40\"></a></td><td><font color=\"red\" face=\"Arial\" size=\"+1\">Call "
        "<b>free</b>!</font><ul><li>one</li><li>two</li></ul></td></tr></table>"
        "<p style=\"color: #123456; font-weight: bold\">Gr\xc3\xbc\xc3\x9f"
        "e &amp; more</p><img src=\"quilln_logo.gif\">";
    EXPECT_EQ(Clean(banner), banner);
}

TEST(BannerSanitizerTest, NestingDeeperThanTheCapIsFlattenedIntoTheLastKeptElement) {
    // Elements: 32 open at once.
    Shape shape = ShapeOf(Clean(Repeat("<span>", 32) + "x"));
    EXPECT_EQ(shape.depth, 32u);
    EXPECT_EQ(Clean(Repeat("<span>", 33) + "x" + Repeat("</span>", 33) + "after"),
              Repeat("<span>", 32) + "x" + Repeat("</span>", 32) + "after");

    // Tables: 3 deep; a fourth table's rows and cells join the third's cell, and the page goes on after.
    const std::string three = Clean(Repeat("<table><tr><td>", 3) + "x" + Repeat("</td></tr></table>", 3));
    EXPECT_EQ(ShapeOf(three).tables, 3u);
    const std::string four =
        Clean(Repeat("<table><tr><td>", 4) + "x<td>y" + Repeat("</td></tr></table>", 4) + "<b>after</b>");
    EXPECT_EQ(four, Repeat("<table><tr><td>", 3) + "xy" + Repeat("</td></tr></table>", 3) + "<b>after</b>");

    // Lists: 8 deep.
    EXPECT_EQ(ShapeOf(Clean(Repeat("<ul><li>", 8) + "x")).lists, 8u);
    const std::string nine = Clean(Repeat("<ul><li>", 9) + "x<li>y" + Repeat("</li></ul>", 9) + "<li>z");
    EXPECT_EQ(ShapeOf(nine).lists, 8u);
    EXPECT_EQ(nine, Repeat("<ul><li>", 8) + "xy" + Repeat("</li></ul>", 8) + "z");
}

TEST(BannerSanitizerTest, SpansAreClampedAtSixteen) {
    const struct {
        const char* written;
        const char* kept;
    } cases[] = {
        {"15", " colspan=\"15\" rowspan=\"15\""},
        {"16", " colspan=\"16\" rowspan=\"16\""},
        {"17", " colspan=\"16\" rowspan=\"16\""},
        {"65535", " colspan=\"16\" rowspan=\"16\""},
        {"99999999999999999999", " colspan=\"16\" rowspan=\"16\""},
        {"1", ""},
        {"0", ""},
        {"-3", ""},
        {"x", ""},
    };
    for (const auto& c : cases) {
        const std::string span = c.written;
        EXPECT_EQ(Clean("<table><tr><td colspan=" + span + " rowspan=\"" + span + "\">x</td></tr></table>"),
                  std::string("<table><tr><td") + c.kept + ">x</td></tr></table>")
            << c.written;
    }
}

TEST(BannerSanitizerTest, TableGridsStayWithinThirtyTwoColumnsAndTheCellWork) {
    // 32 cells fill a row; the 33rd is dropped and its text joins the 32nd.
    const std::string row32 = Clean("<table><tr>" + Repeat("<td>c", 32) + "</table>");
    EXPECT_EQ(Count(row32, "<td>"), 32u);
    const std::string row33 = Clean("<table><tr>" + Repeat("<td>c", 32) + "<td>d</table>");
    EXPECT_EQ(Count(row33, "<td>"), 32u);
    EXPECT_NE(row33.find("cd</td></tr></table>"), std::string::npos) << row33;
    // A span reaching past column 32 is cut at it.
    EXPECT_NE(Clean("<table><tr>" + Repeat("<td>c", 20) + "<td colspan=16>d</table>").find("colspan=\"12\""),
              std::string::npos);

    // Each place of a table's grid counts twice (the table around it), filled or left empty by a span:
    // 16 rows 16 columns wide are the page's 512, and a 17th row or column does not fit.
    const std::string rows16 = "<table>" + Repeat("<tr><td colspan=16>c", 16);
    EXPECT_EQ(Count(Clean(rows16 + "</table>"), "<tr>"), 16u);
    const std::string rows17 = Clean(rows16 + "<tr><td>over</table>");
    EXPECT_EQ(Count(rows17, "<tr>"), 16u);
    EXPECT_NE(rows17.find("cover</td></tr></table>"), std::string::npos) << rows17;
    EXPECT_EQ(Count(Clean(rows16 + "<td>wider</table>"), "<td"), 16u);

    const std::string spanned = Clean("<table><tr><td colspan=8 rowspan=16>a<td colspan=8 rowspan=16>b" +
                                      Repeat("<tr><td>y", 40) + "</table>");
    EXPECT_EQ(Count(spanned, "<td colspan=\"8\" rowspan=\"16\">"), 2u) << spanned;
    EXPECT_EQ(Count(spanned, "<td"), 2u) << spanned;
    EXPECT_EQ(spanned.find('y'), std::string::npos) << spanned;
}

TEST(BannerSanitizerTest, ElementsTextPicturesAndLinesInPreformattedTextAreCapped) {
    EXPECT_EQ(Count(Clean(Repeat("<br>", 500)), "<br>"), 500u);
    EXPECT_EQ(Count(Clean(Repeat("<br>", 501) + "text"), "<br>"), 500u);
    EXPECT_NE(Clean(Repeat("<br>", 501) + "text").find("text"), std::string::npos);
    // Inside a table every element counts twice: the table (1), its row and cell (2 each) leave 495.
    EXPECT_EQ(Count(Clean("<table><tr><td>" + Repeat("<br>", 300)), "<br>"), 247u);

    EXPECT_EQ(Clean(Repeat("a ", 8192)), Repeat("a ", 8192));
    EXPECT_EQ(Clean(Repeat("a ", 8192) + "z"), Repeat("a ", 8192));

    EXPECT_EQ(Count(Clean(Repeat("<img src=p.png>", 64)), "<img"), 64u);
    EXPECT_EQ(Count(Clean(Repeat("<img src=p.png>", 65)), "<img"), 64u);

    // Each line of preformatted text is an element to the layout; past the cap a line end is a blank.
    const std::string lines = Clean("<pre>" + Repeat("x\n", 600) + "</pre>");
    EXPECT_EQ(Count(lines, "\n"), 499u);
    EXPECT_EQ(Count(Clean("<pre>a\r\nb\rc</pre>"), "\n"), 2u);
}

TEST(BannerSanitizerTest, AWordLongerThanThirtyTwoCharactersGetsAPlaceToBreak) {
    EXPECT_EQ(Clean(std::string(32, 'w')), std::string(32, 'w'));
    EXPECT_EQ(Clean(std::string(33, 'w')), std::string(32, 'w') + "&#8203;w");
    // Characters, not bytes: 33 two-byte letters break before the 33rd; an entity is one character.
    EXPECT_EQ(Clean(Repeat("\xc3\xbc", 33)), Repeat("\xc3\xbc", 32) + "&#8203;\xc3\xbc");
    EXPECT_EQ(Clean(Repeat("&amp;", 33)), Repeat("&amp;", 32) + "&#8203;&amp;");
    // Inline tags do not end a word; blanks, blocks and breaks the page has itself do.
    EXPECT_EQ(Clean(Repeat("<b>wwww</b>", 9)), Repeat("<b>wwww</b>", 8) + "<b>&#8203;wwww</b>");
    EXPECT_EQ(Clean(std::string(32, 'w') + " " + std::string(32, 'w')),
              std::string(32, 'w') + " " + std::string(32, 'w'));
    EXPECT_EQ(Clean(std::string(32, 'w') + "<br>" + std::string(32, 'w')).find("&#8203;"), std::string::npos);
    EXPECT_EQ(Clean(std::string(32, 'w') + "&#8203;" + std::string(32, 'w')),
              std::string(32, 'w') + "&#8203;" + std::string(32, 'w'));
}

TEST(BannerSanitizerTest, ActiveContentAndUnknownThingsAreLeftOut) {
    const struct {
        const char* page;
        const char* kept;
    } cases[] = {
        {"<script>document.write('<b>x</b>')</script>ok", "ok"},
        {"<SCRIPT type=text/javascript>x</script >ok", "ok"},
        {"<style>p { background: url(x) }</style>ok", "ok"},
        {"<iframe src=\"http://evil/\"><b>fallback</b></iframe>ok", "ok"},
        {"<object data=x><object><p>in</p></object><embed src=y></object>ok", "ok"},
        {"<svg><script>x</script><p>in</p></svg>ok", "ok"},
        {"<embed src=\"http://evil/x.swf\">ok", "ok"},
        {"<applet code=x>in</applet><noscript>ns</noscript><title>t</title>ok", "ok"},
        {"<form action=x><input name=a><button>go</button></form>", "go"},
        {"<marquee>moving</marquee><blink>x</blink>", "movingx"},
        {"<b onclick=\"steal()\" onmouseover=x>bold</b>", "<b>bold</b>"},
        {"<a href=\"javascript:steal()\">l</a>", "<a>l</a>"},
        {"<a href=\" JaVaScRiPt:steal()\">l</a>", "<a>l</a>"},
        {"<a href=\"&#106;avascript:steal()\">l</a>", "<a>l</a>"},
        {"<a href=\"java\tscript:steal()\">l</a>", "<a>l</a>"},
        {"<a href=\"file:///etc/passwd\">l</a><a href=\"data:text/html,x\">m</a>", "<a>l</a><a>m</a>"},
        {"<a href=\"HTTPS://example.org/\">l</a>", "<a href=\"HTTPS://example.org/\">l</a>"},
        {"<img src=\"data:image/png;base64,AAAA\"><img src=\"file:///etc/x.png\"><img src=\"/etc/x.png\">",
         ""},
        {"<img src=\"https://x/p.png\"><img src=\"c:x.png\"><img src=\" \">", ""},
        {"<p style=\"width: expression(alert(1)); color: blue\">x</p>", "<p style=\"color: blue\">x</p>"},
        {"<p style=\"background-image: url(x); behavior: url(y); -moz-binding: url(z)\">x</p>", "<p>x</p>"},
        {"<p style=\"color: rgb(1, 2, 3); color: red(1)\">x</p>", "<p style=\"color: rgb(1, 2, 3)\">x</p>"},
        {"<span style=\"font-size: 9000px\">x</span>", "<span style=\"font-size: 72px\">x</span>"},
        {"<span style=\"font-size: 12.5pt\">x</span>", "<span style=\"font-size: 12.5pt\">x</span>"},
        {"<span style=\"font-size: 1.x5pt; white-space: pre\">x</span>", "<span>x</span>"},
        {"<img src=p.png width=2048 height=2049>", "<img src=\"p.png\" width=\"2048\" height=\"2048\">"},
        {"<table width=100%><tr><td width=101%>x</table>",
         "<table width=\"100%\"><tr><td width=\"100%\">x</td></tr></table>"},
        {"<font size=8 color=\"red;x:y\">x</font>", "<font>x</font>"},
        {"<html><head><meta http-equiv=refresh content=0><base "
         "href=http://evil/></head><body>x</body></html>",
         "x"},
        {"<!DOCTYPE html><!-- <b>comment</b> --><?xml x?>x", "x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Clean(c.page), c.kept) << c.page;
}

TEST(BannerSanitizerTest, EndTagsThePageLeftOutAreImplied) {
    EXPECT_EQ(Clean("<ul><li>a<li>b</ul>"), "<ul><li>a</li><li>b</li></ul>");
    EXPECT_EQ(Clean("<table><tr><td>a<td>b<tr><td>c</table>"),
              "<table><tr><td>a</td><td>b</td></tr><tr><td>c</td></tr></table>");
    EXPECT_EQ(Clean("<table><td>a</table>"), "<table><tr><td>a</td></tr></table>");
    EXPECT_EQ(Clean("<p>a<p>b<div>c</div>"), "<p>a</p><p>b</p><div>c</div>");
    EXPECT_EQ(Clean("<b><i>a</b>b"), "<b><i>a</i></b>b");
    EXPECT_EQ(Clean("<a href=\"http://x/\">a<a href=\"http://y/\">b"),
              "<a href=\"http://x/\">a</a><a href=\"http://y/\">b</a>");
    EXPECT_EQ(Clean("</b></table>stray<li>item<td>cell"), "strayitemcell");
    EXPECT_EQ(Clean("<table>text<b>bold</b><tr><td>x</table>"), "<table><tr><td>x</td></tr></table>");
}

TEST(BannerSanitizerTest, MalformedBytesNeverBreakTheOutput) {
    const struct {
        std::string page;
        std::string kept;
    } cases[] = {
        {"a<b", "a"},
        {"a<b title=\"never closed>x", "a"},
        {"a<!-- never closed", "a"},
        {"a<script>never closed", "a"},
        {"a<", "a&lt;"},
        {"1 < 2 > 0 & 3", "1 &lt; 2 &gt; 0 &amp; 3"},
        {std::string("a\0b\x01\x7f", 5) + "c", "abc"},
        {"&#0;&#x110000;&#xD800;&#x41;&#65;&#x1F600;", "&#65533;&#65533;&#65533;&#65;&#65;&#128512;"},
        {"&#99999999999999;&nbsp;&unknown;&;&#;&#x;",
         "&amp;#99999999999999;&nbsp;&unknown;&amp;;&amp;#;&amp;#x;"},
        {"\xff\xfe<b>\x80</b>", "\xff\xfe<b>\x80</b>"},
        {"<b =x ==y \"q\"=z>x</b>", "<b>x</b>"},
        {"<" + std::string(100, 'x') + ">in</" + std::string(100, 'x') + ">", "in"},
        {"<img src=\"" + std::string(3000, 'a') + "\">", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Clean(c.page), c.kept) << c.page;
}

TEST(BannerSanitizerTest, AnAttributeValueMayHold2048CharactersOnceItsReferencesAreResolved) {
    // Written back, each '<' takes four bytes; the value must still be kept when sanitized again.
    const std::string kept = Clean("<img src=\"http://x/" + std::string(2039, '<') + "\">");
    EXPECT_EQ(kept, "<img src=\"http://x/" + Repeat("&lt;", 2039) + "\">");
    EXPECT_EQ(Clean(kept), kept);
    EXPECT_EQ(Clean("<img src=\"http://x/" + std::string(2040, '<') + "\">"), "");
    EXPECT_EQ(Clean("<img src=\"http://x/" + Repeat("&#60;", 2039) + "\">"), kept);
}

TEST(BannerSanitizerTest, HostilePagesComeOutAsWellFormedTreesWithinTheCaps) {
    for (const auto& page : bannertest::HostilePages()) {
        const std::string clean = Clean(page.html);
        const Shape shape = ShapeOf(clean);
        EXPECT_TRUE(shape.wellFormed) << page.name;
        EXPECT_LE(shape.depth, 32u) << page.name;
        EXPECT_LE(shape.tables, 3u) << page.name;
        EXPECT_LE(shape.lists, 8u) << page.name;
        EXPECT_LE(Count(clean, "<") - Count(clean, "</"), 500u) << page.name;
        // Sanitized once is sanitized: a second pass finds nothing more to change.
        const std::string again = Clean(clean);
        const auto differ = std::mismatch(again.begin(), again.end(), clean.begin(), clean.end());
        EXPECT_TRUE(again == clean) << page.name << ": differs from byte " << differ.first - again.begin();
    }
}

}  // namespace

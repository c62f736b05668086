// Banner pages built to make the window work: deep nesting of each kind, spans, long words, pages of
// nothing but tags, the size limit and a mix. Each fits the banner size limit (131072 bytes). Pictures are
// named relative to the page, so showing one never reaches the network.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace bannertest {

inline constexpr size_t kBannerLimitBytes = 131072;

struct HostilePage {
    std::string name;
    std::string html;
};

inline std::string Repeat(std::string_view unit, size_t count) {
    std::string out;
    out.reserve(unit.size() * count);
    for (size_t i = 0; i < count; ++i)
        out += unit;
    return out;
}

// `unit` as often as it fits in `bytes`.
inline std::string Fill(std::string_view unit, size_t bytes = kBannerLimitBytes) {
    return Repeat(unit, bytes / unit.size());
}

// `html` cut or padded with blanks to exactly `bytes`.
inline std::string Exactly(std::string html, size_t bytes = kBannerLimitBytes) {
    html.resize(bytes, ' ');
    return html;
}

inline std::string SpannedCells(int cells, int span) {
    std::string page = "<table>";
    for (int i = 0; i < cells; ++i)
        page +=
            "<tr><td colspan=" + std::to_string(span) + " rowspan=" + std::to_string(span) + ">x</td></tr>";
    return page + "</table>";
}

inline std::string Ordinary() {
    return Fill(
        "<p align=center><font color=\"#204080\" face=\"Arial\">Talk for free <b>with</b> Q-Parlin</font> "
        "<a href=\"http://banners.example/offer\"><img src=\"pic.png\" width=\"40\" height=\"20\"></a></p>"
        "<table border=1><tr><td>one</td><td>two</td></tr></table>\n",
        kBannerLimitBytes / 2);
}

inline std::vector<HostilePage> HostilePages() {
    std::vector<HostilePage> pages = {
        {"tables_3000_deep", Repeat("<table><tr><td>", 3000) + "deep"},
        {"tables_20_deep", Repeat("<table><tr><td>", 20) + "deep"},
        {"lists_deep", Fill("<ul><li>")},
        {"bold_italic_deep", Fill("<b><i>")},
        {"divs_deep", Fill("<div>")},
        {"quotes_deep", Fill("<blockquote>")},
        {"spans_65535", SpannedCells(100, 65535)},
        {"one_word", std::string(kBannerLimitBytes, 'w')},
        {"cells", "<table>" + Fill("<tr><td>x<td>y<td>z<td>w", kBannerLimitBytes - 7)},
        {"breaks", Fill("<br>")},
        {"images", Fill("<img src=\"pic.png\" width=99999 height=99999>")},
        {"entities", Fill("&#x41;")},
        {"size_limit", Exactly(Ordinary() + Ordinary())},
    };
    const size_t piece = kBannerLimitBytes / 8;
    std::string mix = Repeat("<table><tr><td>", 40) + "<script>while(1);</script>" + Fill("<ul><li>", piece) +
                      Fill("<b><i>", piece) + SpannedCells(40, 65535) + std::string(piece, 'm') +
                      Fill("<td colspan=9>x", piece) +
                      Fill("<img src=\"pic.png\" width=5000 height=5000><br>", piece) + Ordinary();
    pages.push_back({"mix", Exactly(mix)});
    return pages;
}

}  // namespace bannertest

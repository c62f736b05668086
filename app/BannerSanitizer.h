// Rewrites a banner page, which anyone on the network path can serve, into HTML whose layout work is bounded:
// a well-formed tree of the few elements a banner shows (text, links, pictures, tables, lists), no deeper,
// larger or wider than the caps below, with every active or unknown thing left out. The window lays the
// result out on its own thread, and the cost of that layout grows with nesting (each level of table
// nesting doubles it), with the table grid and with unbroken words, so the caps are what keep the window
// responsive; the page's byte size alone does not.
//
// Pure and single-pass: no Qt, linear in the input.
#pragma once

#include <string>
#include <string_view>

class BannerSanitizer {
public:
    // Elements open at once; a tag that would open one more is dropped and its content joins its parent.
    static constexpr int kMaxDepth = 32;
    // Tables inside tables, and lists inside lists, counted from the outermost.
    static constexpr int kMaxTableDepth = 3;
    static constexpr int kMaxListDepth = 8;
    // The caps below count work: an element, a cell or a character of text inside n tables counts 2^n,
    // since each level of table nesting lays its content out about twice as often.
    // Elements in the whole page, implied ones included; tags past it are dropped, their text kept.
    static constexpr int kMaxElements = 500;
    // Places in the grids of the page's tables: the layout makes a cell of each, filled or not.
    static constexpr int kMaxCellWork = 512;
    // Characters of text in the whole page (an entity is one); the rest is cut.
    static constexpr int kMaxTextWork = 16384;
    // Pictures in the whole page.
    static constexpr int kMaxPictures = 64;
    // colspan and rowspan are clamped to this; a table's grid to these many columns.
    static constexpr int kMaxSpan = 16;
    static constexpr int kMaxTableColumns = 32;
    // Characters of a word before a zero-width space gives the line a place to break.
    static constexpr int kMaxWordChars = 32;
    // Widths and heights given in pixels are clamped to this.
    static constexpr int kMaxPixels = 2048;

    // The sanitized page body for `html`, a banner page or page body in bytes (UTF-8 or any ASCII superset).
    static std::string Clean(std::string_view html);
};

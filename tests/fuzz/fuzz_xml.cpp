// The address book's XML parser on arbitrary text, then both writers over whatever tree it built, and the
// parser again over the indented writer's output (which must parse, since it came from a tree).
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "addressbook/XmlElement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    XmlElement root;
    root.Parse(text);
    const std::string indented = root.ToString(0, true);
    const std::string oneLine = root.ToString(-1, false);
    XmlElement again;
    again.Parse(indented);
    XmlElement fromLine;
    fromLine.Parse(oneLine);
    XmlElement::Unescape(text);
    XmlElement::Escape(text);
    root.FindChild("contact");
    return 0;
}

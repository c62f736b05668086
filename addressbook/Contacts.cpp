// LoadContacts and SaveContacts over XmlElement and the whole-file helpers.
#include "addressbook/Contacts.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <new>

#include "addressbook/WholeFile.h"
#include "addressbook/XmlElement.h"
#include "base/ByteString.h"
#include "base/Exception.h"

namespace {

std::string FieldValue(const XmlElement& contact, std::string_view field) {
    const XmlElement* child = contact.FindChild(field);
    return child != nullptr ? child->GetValue() : std::string();
}

}  // namespace

std::vector<Contact> LoadContacts(std::string_view path) {
    std::string text;
    if (!ReadWholeFile(path, text))
        return {};
    std::vector<Contact> contacts;
    try {
        XmlElement root;
        root.Parse(text);  // a damaged file still yields the contacts read before the damage
        for (int i = 0; i < root.ChildCount(); ++i) {
            const XmlElement& child = *root.ChildAt(i);
            if (!EqualsIgnoringCase(child.GetName(), "contact"))
                continue;
            contacts.push_back(
                {FieldValue(child, "name"), FieldValue(child, "host"), FieldValue(child, "port")});
        }
    } catch (const MemoryException&) {
        return {};
    } catch (const std::bad_alloc&) {
        return {};
    }
    return contacts;
}

bool SaveContacts(const std::vector<Contact>& contacts, std::string_view path) {
    std::string text;
    try {
        XmlElement root("contacts");
        for (const Contact& contact : contacts) {
            XmlElement* element = root.AddChild("contact");
            element->AddChild("name", contact.name);
            element->AddChild("host", contact.host);
            element->AddChild("port", contact.port);
        }
        text = root.ToString(0, true);
    } catch (const MemoryException&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return WriteWholeFile(path, text.data(), text.size());
}

int PortFromText(std::string_view text) {
    return Atoi(text);
}

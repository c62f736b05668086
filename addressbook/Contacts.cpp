// LoadContacts and SaveContacts over ContactsBook.
#include "addressbook/Contacts.h"

#include "addressbook/ContactsBook.h"
#include "base/ByteString.h"

std::vector<Contact> LoadContacts(std::string_view path) {
    return ContactsBook::Load(path).Contacts();
}

bool SaveContacts(const std::vector<Contact>& contacts, std::string_view path) {
    std::vector<BookRow> rows;
    rows.reserve(contacts.size());
    for (const Contact& contact : contacts)
        rows.push_back({contact});
    return ContactsBook::Empty(path).Save(rows).kind == SaveOutcome::Kind::Saved;
}

int PortFromText(std::string_view text) {
    return Atoi(text);
}

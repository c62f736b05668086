// The address book: contacts kept in "contacts.txt" in the current directory, as the XML text that
// XmlElement writes with depth 0 and the short form. The dialog reads and writes it through ContactsBook;
// these functions are the plain view of it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

struct Contact {
    std::string name;
    std::string host;  // computer name or IP address
    std::string port;  // decimal text as the list shows it; taken from the file unchanged

    bool operator==(const Contact&) const = default;
};

// Resolved against the current directory at each load and save.
inline constexpr std::string_view kContactsFile = "contacts.txt";

// The contacts in file order; empty when the file is missing, empty or unreadable. A damaged file gives
// the contacts read before the damage.
std::vector<Contact> LoadContacts(std::string_view path = kContactsFile);

// Replaces the file with a book of exactly these contacts, whatever it held. Returns whether the file was
// replaced; on failure the old file is left as it was.
bool SaveContacts(const std::vector<Contact>& contacts, std::string_view path = kContactsFile);

// The port text as a number the way atoi reads it (leading whitespace, an optional sign, decimal digits up
// to the first other byte, 0 without digits), except that values beyond int saturate instead of being
// undefined.
int PortFromText(std::string_view text);

// The address book on an arbitrary contacts file, the way the dialog uses it: the input is written to
// "contacts.txt" in a private temporary directory and loaded from there; then a contact is added on top
// and the book saved (over the file, or beside it when it was not read whole). Reading back what was
// saved must give the contacts of the rows again, in order, and no other: nothing the file held may hide,
// swallow or make one.
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "addressbook/ContactsBook.h"
#include "base/ByteString.h"

namespace {

// Made at the first input and removed at exit with what is left in it.
class PrivateDirectory {
public:
    PrivateDirectory() {
        char name[] = "/tmp/fuzz_contacts.XXXXXX";
        if (mkdtemp(name) == nullptr)
            abort();
        path_ = name;
    }
    ~PrivateDirectory() {
        unlink((path_ + "/contacts.txt").c_str());
        unlink((path_ + "/contacts-saved.txt").c_str());
        rmdir(path_.c_str());
    }
    const std::string& Path() const { return path_; }

private:
    std::string path_;
};

const std::string& Directory() {
    static const PrivateDirectory directory;
    return directory.Path();
}

// Blanks around a value do not survive a write and a read (an attribute's value keeps them when read).
bool SameContact(const Contact& a, const Contact& b) {
    return TrimBytes(a.name) == TrimBytes(b.name) && TrimBytes(a.host) == TrimBytes(b.host) &&
           TrimBytes(a.port) == TrimBytes(b.port);
}

// Whether `found` holds exactly the contacts of `expected`, in order.
bool SameContacts(const std::vector<Contact>& expected, const std::vector<Contact>& found) {
    return found.size() == expected.size() &&
           std::equal(found.begin(), found.end(), expected.begin(), SameContact);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = Directory() + "/contacts.txt";
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr)
        abort();
    if (size > 0 && fwrite(data, 1, size, file) != size)
        abort();
    fclose(file);

    ContactsBook book = ContactsBook::Load(path);
    for (const Contact& contact : book.Contacts())
        PortFromText(contact.port);
    std::vector<BookRow> rows = {{{"new", "new.example", "5007"}, -1}};
    std::vector<Contact> expected = {rows.front().contact};
    for (size_t i = 0; i < book.Contacts().size(); ++i) {
        rows.push_back({book.Contacts()[i], static_cast<int>(i)});
        expected.push_back(book.Contacts()[i]);
    }
    const SaveOutcome outcome = book.Save(rows);
    if (outcome.kind == SaveOutcome::Kind::Failed)
        abort();
    if (!SameContacts(expected, ContactsBook::Load(outcome.path).Contacts()))
        abort();
    if (outcome.kind == SaveOutcome::Kind::SavedBeside)
        unlink(outcome.path.c_str());
    return 0;
}

// The address book as read from its file, for the dialog that shows and changes it. It keeps the whole tree
// the contacts came from, so that a save writes back, in place, every element the program does not show
// (a <phone> in a contact, a <group> between contacts), and it knows whether it read the whole file: a
// book read only in part is never saved over the file, but beside it.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "addressbook/Contacts.h"
#include "addressbook/WholeFile.h"
#include "addressbook/XmlElement.h"

// One row of the dialog: a contact of the book (`origin`, its index in Contacts()) or a new one (-1).
struct BookRow {
    Contact contact;
    int origin = -1;
};

// What a save did, and what the user is to be told about it.
struct SaveOutcome {
    enum class Kind {
        Saved,        // the book's file holds the rows
        SavedBeside,  // the file was not read whole and is kept; the rows went to a new file beside it
        Failed,       // nothing was written; `message` says why
    };
    Kind kind = Kind::Saved;
    std::string path;     // the file written, or the one that could not be
    std::string message;  // empty for Saved
};

class ContactsBook {
public:
    // Reads the book at `path`, and first removes the temporary files that interrupted saves left beside
    // it. A missing or empty file is an empty book that may be saved over; any other file that cannot be
    // read whole (too large, unreadable, damaged) gives what could be read, and is kept at the next save.
    static ContactsBook Load(std::string_view path = kContactsFile);
    // A book without contacts whose save replaces the file at `path`, whatever it holds.
    static ContactsBook Empty(std::string_view path = kContactsFile);

    ContactsBook(ContactsBook&&) = default;
    ContactsBook& operator=(ContactsBook&&) = default;

    // The contacts in file order.
    const std::vector<Contact>& Contacts() const { return contacts_; }
    // Whether the whole file was read, so that a save may replace it.
    bool ReadWhole() const { return problem_.empty(); }
    // Why the file was not read whole, as one sentence that names the file; empty when it was.
    const std::string& Problem() const { return problem_; }

    // Writes the rows in order, each contact of the book with everything it held in the file, and every
    // other element of the file where it stood. A book read whole replaces its file; one that was not goes
    // to a new file beside it ("contacts-saved.txt", then "contacts-saved-2.txt" and so on), and the file
    // stays as it is. Nothing is written when the save fails.
    SaveOutcome Save(const std::vector<BookRow>& rows);

private:
    explicit ContactsBook(std::string path);
    SaveOutcome Write(const std::string& text, const std::string& target, WriteMode mode) const;
    SaveOutcome WriteBeside(const std::string& text) const;

    std::string path_;
    std::unique_ptr<XmlElement> root_;  // null when nothing was read
    std::vector<Contact> contacts_;
    std::vector<int> contactChild_;  // for each contact, the index of its element among root_'s children
    std::string problem_;
};

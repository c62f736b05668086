// ContactsBook: reading the file into a tree and its contacts, and writing the rows back into that tree.
#include "addressbook/ContactsBook.h"

#include <cstring>
#include <new>
#include <utility>

#include "base/ByteString.h"
#include "base/Exception.h"

namespace {

// How many "contacts-saved-N.txt" are tried before a save beside the file gives up.
constexpr int kMaxBesideNames = 99;

std::string FieldValue(const XmlElement& contact, std::string_view field) {
    const XmlElement* child = contact.FindChild(field);
    return child != nullptr ? child->GetValue() : std::string();
}

void SetField(XmlElement& contact, std::string_view field, const std::string& value) {
    if (XmlElement* child = contact.FindChild(field))
        child->SetValue(value);
    else
        contact.AddChild(std::string(field), value);
}

std::string FileName(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

std::string Directory(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// "dir/contacts.txt" and 2 give "dir/contacts-saved-2.txt"; the first has no number.
std::string BesideName(const std::string& path, int number) {
    const size_t slash = path.rfind('/');
    const size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
    size_t dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart)
        dot = path.size();
    std::string name = path.substr(0, dot) + "-saved";
    if (number > 1)
        name += "-" + std::to_string(number);
    return name + path.substr(dot);
}

// Why the file was not read whole, from the read's result; empty when it may be saved over.
std::string ReadProblem(const std::string& name, const std::string& directory, const FileResult& read) {
    switch (read.status) {
        case FileStatus::Done:
        case FileStatus::Missing:
        case FileStatus::Empty:
            return {};
        case FileStatus::TooLarge:
            return name + " is larger than " + std::to_string(kMaxWholeFileSize / (1024 * 1024)) +
                   " MiB and was not read";
        case FileStatus::NotAFile:
            return name + " is not a regular file and was not read";
        case FileStatus::NoPermission:
            return "No permission to read " + name + " in " + directory;
        default:
            return name + " could not be read (" + std::strerror(read.error) + ")";
    }
}

bool IsContact(const XmlElement& element) {
    return EqualsIgnoringCase(element.GetName(), "contact");
}

// Whether a contact element lies anywhere below `element`. The parser bounds the depth, and so the recursion.
bool HoldsContact(const XmlElement& element) {
    for (int i = 0; i < element.ChildCount(); ++i) {
        const XmlElement& child = *element.ChildAt(i);
        if (IsContact(child) || HoldsContact(child))
            return true;
    }
    return false;
}

std::string ParseProblem(const std::string& name, const XmlParseStop& stop) {
    if (stop.reason == XmlParseStop::Reason::None)
        return {};
    if (stop.line == 0)
        return name + " could not be read whole";
    return name + " could not be read past line " + std::to_string(stop.line);
}

}  // namespace

ContactsBook::ContactsBook(std::string path) : path_(std::move(path)) {}

ContactsBook ContactsBook::Load(std::string_view path) {
    ContactsBook book{MakeAbsolutePath(path)};
    const std::string name = FileName(book.path_);
    RemoveStaleTemporaryFiles(book.path_);

    std::string text;
    const FileResult read = ReadWholeFile(book.path_, text);
    book.problem_ = ReadProblem(name, Directory(book.path_), read);
    if (!read)
        return book;
    try {
        auto root = std::make_unique<XmlElement>();
        XmlParseStop stop;
        root->Parse(text, &stop);  // a damaged file still yields the contacts read before the damage
        book.problem_ = ParseProblem(name, stop);
        for (int i = 0; i < root->ChildCount(); ++i) {
            const XmlElement& child = *root->ChildAt(i);
            if (!IsContact(child))
                continue;
            book.contacts_.push_back(
                {FieldValue(child, "name"), FieldValue(child, "host"), FieldValue(child, "port")});
            book.contactChild_.push_back(i);
            // A tag broken so that the contacts after it were read into this one: they are not listed, and
            // removing this row would take them along, so the file counts as not read whole.
            if (book.problem_.empty() && HoldsContact(child)) {
                book.problem_ = name + " could not be read as a list: contact " +
                                std::to_string(book.contacts_.size()) + " (\"" + book.contacts_.back().name +
                                "\") holds other contacts";
            }
        }
        book.root_ = std::move(root);
    } catch (const MemoryException&) {
        book.contacts_.clear();
        book.contactChild_.clear();
        book.problem_ = name + " could not be read whole";
    } catch (const std::bad_alloc&) {
        book.contacts_.clear();
        book.contactChild_.clear();
        book.problem_ = name + " could not be read whole";
    }
    return book;
}

ContactsBook ContactsBook::Empty(std::string_view path) {
    return ContactsBook{MakeAbsolutePath(path)};
}

SaveOutcome ContactsBook::Save(const std::vector<BookRow>& rows) {
    std::string text;
    try {
        // The file's children in order, with the rows' contacts where the book's contacts stood: a removed
        // contact is left out, and a new one goes where it shows among the rows.
        const int childCount = root_ ? root_->ChildCount() : 0;
        std::vector<bool> isContact(static_cast<size_t>(childCount), false);
        for (const int child : contactChild_)
            isContact[static_cast<size_t>(child)] = true;
        std::vector<bool> written(contacts_.size(), false);
        std::vector<std::unique_ptr<XmlElement>> added;
        std::vector<const XmlElement*> children;
        int next = 0;  // the first child of the file not yet passed
        const auto passUpTo = [&](int end) {
            for (; next < end; ++next) {
                if (!isContact[static_cast<size_t>(next)])
                    children.push_back(root_->ChildAt(next));
            }
        };
        for (const BookRow& row : rows) {
            const bool fromBook = row.origin >= 0 && static_cast<size_t>(row.origin) < contacts_.size() &&
                                  !written[static_cast<size_t>(row.origin)];
            if (!fromBook) {
                auto element = std::make_unique<XmlElement>("contact");
                element->AddChild("name", row.contact.name);
                element->AddChild("host", row.contact.host);
                element->AddChild("port", row.contact.port);
                children.push_back(element.get());
                added.push_back(std::move(element));
                continue;
            }
            const size_t origin = static_cast<size_t>(row.origin);
            written[origin] = true;
            const int child = contactChild_[origin];
            passUpTo(child);
            next = std::max(next, child + 1);
            XmlElement& element = *root_->ChildAt(child);
            // A changed row keeps the rest of its element; only its three fields take the new values.
            if (!(row.contact == contacts_[origin])) {
                SetField(element, "name", row.contact.name);
                SetField(element, "host", row.contact.host);
                SetField(element, "port", row.contact.port);
                contacts_[origin] = row.contact;
            }
            children.push_back(&element);
        }
        passUpTo(childCount);
        const XmlElement top("contacts", root_ ? root_->GetValue() : std::string());
        text = top.ToString(0, true, children);
    } catch (const MemoryException&) {
        return {SaveOutcome::Kind::Failed, path_,
                "There is not enough memory to save " + FileName(path_) + "."};
    } catch (const std::bad_alloc&) {
        return {SaveOutcome::Kind::Failed, path_,
                "There is not enough memory to save " + FileName(path_) + "."};
    }
    RemoveStaleTemporaryFiles(path_);
    if (ReadWhole())
        return Write(text, path_, WriteMode::Replace);
    return WriteBeside(text);
}

SaveOutcome ContactsBook::Write(const std::string& text, const std::string& target, WriteMode mode) const {
    const FileResult written = WriteWholeFile(target, text.data(), text.size(), mode);
    if (written)
        return {SaveOutcome::Kind::Saved, target, {}};
    const std::string name = FileName(target);
    const std::string directory = Directory(target);
    std::string reason;
    switch (written.status) {
        case FileStatus::DiskFull:
            reason = "The disk is full, so " + name + " could not be saved in " + directory + ".";
            break;
        case FileStatus::NoPermission:
            reason = "No permission to write " + name + " in " + directory + ".";
            break;
        case FileStatus::Exists:
            return {SaveOutcome::Kind::Failed, target, {}};  // the caller tries another name
        default:
            reason =
                name + " could not be saved in " + directory + " (" + std::strerror(written.error) + ").";
            break;
    }
    return {SaveOutcome::Kind::Failed, target,
            reason + " Your changes are still here: press OK to try again, or Cancel to drop them."};
}

SaveOutcome ContactsBook::WriteBeside(const std::string& text) const {
    for (int number = 1; number <= kMaxBesideNames; ++number) {
        SaveOutcome outcome = Write(text, BesideName(path_, number), WriteMode::NewFileOnly);
        if (outcome.kind == SaveOutcome::Kind::Failed && outcome.message.empty())
            continue;  // that name is taken
        if (outcome.kind == SaveOutcome::Kind::Saved) {
            outcome.kind = SaveOutcome::Kind::SavedBeside;
            outcome.message = problem_ + "; it is kept, and your changes were saved to " + outcome.path + ".";
        }
        return outcome;
    }
    return {SaveOutcome::Kind::Failed, BesideName(path_, 1),
            problem_ + ", and no free name was found beside it for your changes in " + Directory(path_) +
                ". Your changes are still here: press OK to try again, or Cancel to drop them."};
}

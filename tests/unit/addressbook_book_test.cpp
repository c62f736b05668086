// The address book as the dialog uses it: a book of 100,000 contacts read and saved whole, fields the
// program does not know kept in place, files it cannot read whole kept with the changes saved beside them,
// and saves on a full or read-only file system that fail, say why and leave every contact on disk.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "addressbook/ContactsBook.h"
#include "contacts_book_file.h"

namespace fs = std::filesystem;

namespace {

const Contact kNew{"New", "new.example", "5007"};
const std::string kNewText =
    "\t<contact>\r\n\t\t<name>New</name>\r\n\t\t<host>new.example</host>\r\n\t\t<port>5007</port>\r\n\t</"
    "contact>\r\n";

class ContactsBookTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qparlin-book-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "contacts.txt").string();
    }
    void TearDown() override {
        if (mounted_)
            ::umount2(dir_.c_str(), MNT_DETACH);
        fs::remove_all(dir_);
    }

    void Store(const std::string& bytes) const { std::ofstream(file_, std::ios::binary) << bytes; }
    static std::string Read(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t EntriesInDirectory() const { return std::distance(fs::directory_iterator(dir_), {}); }
    // A small file system of our own in place of the directory, when the test may mount one.
    bool MountSmallFileSystem() {
        mounted_ = ::mount("tmpfs", dir_.c_str(), "tmpfs", 0, "size=64k") == 0;
        return mounted_;
    }

    // The new contact on top, then every contact of the book in order, as the dialog saves after an Add.
    static std::vector<BookRow> NewOnTop(const ContactsBook& book) {
        std::vector<BookRow> rows = {{kNew, -1}};
        for (size_t i = 0; i < book.Contacts().size(); ++i)
            rows.push_back({book.Contacts()[i], static_cast<int>(i)});
        return rows;
    }

    fs::path dir_;
    std::string file_;
    bool mounted_ = false;
};

}  // namespace

TEST_F(ContactsBookTest, AHundredThousandContactsAreReadAndSavedWholeInTheSameLayout) {
    const BookFile file = MakeBookFile(100000, true);
    Store(file.text);
    ContactsBook book = ContactsBook::Load(file_);
    ASSERT_TRUE(book.ReadWhole()) << book.Problem();
    EXPECT_EQ(book.Contacts(), file.contacts);

    std::vector<BookRow> rows = NewOnTop(book);
    rows.erase(rows.begin() + 2);  // the file's second contact, with its phone
    ASSERT_EQ(book.Save(rows).kind, SaveOutcome::Kind::Saved);
    const size_t second = file.text.find("\t<contact>", file.text.find("\t<contact>") + 1);
    const size_t third = file.text.find("\t<contact>", second + 1);
    std::string expected = file.text;
    expected.erase(second, third - second);
    expected.insert(std::string("<contacts>\r\n").size(), kNewText);
    EXPECT_EQ(Read(file_), expected);
}

TEST_F(ContactsBookTest, ElementsTheProgramDoesNotKnowStayWhereTheyWere) {
    Store(
        "<?xml version=\"1.0\"?>\n<book version=\"2\">\n<group>g</group>\n"
        "<contact><name>A</name><phone>1</phone><host>a</host><port>1</port></contact>\n<note>n</note>\n"
        "<contact name=\"B\" host=\"b\" "
        "port=\"2\"><email>b@x</email></contact>\n<contact><name>C</name></contact>\n"
        "tail\n</book>\n");
    ContactsBook book = ContactsBook::Load(file_);
    ASSERT_TRUE(book.ReadWhole());
    ASSERT_EQ(book.Contacts(), (std::vector<Contact>{{"A", "a", "1"}, {"B", "b", "2"}, {"C", "", ""}}));

    std::vector<BookRow> rows = NewOnTop(book);
    rows.erase(rows.begin() + 2);  // B, and its e-mail with it
    ASSERT_EQ(book.Save(rows).kind, SaveOutcome::Kind::Saved);
    EXPECT_EQ(Read(file_), "<contacts>\r\n" + kNewText +
                               "\t<version>2</version>\r\n\t<group>g</group>\r\n\t<contact>\r\n"
                               "\t\t<name>A</name>\r\n\t\t<phone>1</phone>\r\n\t\t<host>a</host>\r\n"
                               "\t\t<port>1</port>\r\n\t</contact>\r\n\t<note>n</note>\r\n\t<contact>\r\n"
                               "\t\t<name>C</name>\r\n\t</contact>\r\n\ttail\r\n</contacts>\r\n");
}

TEST_F(ContactsBookTest, AFileNotReadWholeIsKeptAndTheChangesGoBesideIt) {
    const BookFile twenty = MakeBookFile(20, false);
    const std::string& text = twenty.text;
    // Where `tag` is in the given contact (from 1); each contact takes five lines from line 2.
    const auto in = [&](int contact, const std::string& tag) {
        size_t pos = 0;
        for (int i = 0; i < contact; ++i)
            pos = text.find("\t<contact>", pos + 1);
        return text.find(tag, pos);
    };
    const std::string body = text.substr(0, text.rfind("</contacts>"));  // line 102 is the last
    std::string fillers;
    for (int i = 0; i < 999919; ++i)  // with the root and 20 contacts of four elements: 1000000
        fillers += "<x/>";
    std::string deep;
    for (int i = 0; i < 300; ++i)
        deep += "<x>";
    const struct {
        const char* what;
        std::string text;
        std::string problem;
        size_t listed;
    } cases[] = {
        {"too large", text, "contacts.txt is larger than 32 MiB and was not read", 0},
        {"a directory", "", "contacts.txt is not a regular file and was not read", 0},
        {"too many elements", body + fillers + "<x/></contacts>",
         "contacts.txt could not be read past line 102", 20},
        {"too deep", body + deep, "contacts.txt could not be read past line 102", 20},
        {"cut in a tag", text.substr(0, in(11, "<port>") + 3), "contacts.txt could not be read past line 55",
         11},
        {"stray closing tags", std::string(text).insert(in(10, "</contact>") + 10, "</x></x></x>"),
         "contacts.txt could not be read past line 51", 10},
        {"a broken tag reads the rest into a contact", std::string(text).insert(in(10, "</contact>"), "<"),
         "contacts.txt could not be read as a list: contact 10 (\"" + twenty.contacts[9].name +
             "\") holds other contacts",
         10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(dir_);
        fs::create_directory(dir_);
        if (c.problem.find("directory") != std::string::npos || c.text.empty())
            fs::create_directory(file_);
        else
            Store(c.text);
        if (c.problem.find("larger") != std::string::npos)
            fs::resize_file(file_, 33554433);  // sparse past the bound
        const std::string original = fs::is_regular_file(file_) ? Read(file_) : "";

        ContactsBook book = ContactsBook::Load(file_);
        EXPECT_FALSE(book.ReadWhole());
        EXPECT_EQ(book.Problem(), c.problem);
        ASSERT_EQ(book.Contacts().size(), c.listed);
        for (size_t i = 0; i < c.listed; ++i)  // the last one cut in its port lacks the port
            EXPECT_EQ(book.Contacts()[i].name + book.Contacts()[i].host,
                      twenty.contacts[i].name + twenty.contacts[i].host);

        const std::string beside = (dir_ / "contacts-saved.txt").string();
        const SaveOutcome outcome = book.Save(NewOnTop(book));
        EXPECT_EQ(outcome.kind, SaveOutcome::Kind::SavedBeside);
        EXPECT_EQ(outcome.message,
                  c.problem + "; it is kept, and your changes were saved to " + beside + ".");
        EXPECT_EQ(fs::is_regular_file(file_) ? Read(file_) : "", original);
        std::vector<Contact> expected = {kNew};
        expected.insert(expected.end(), book.Contacts().begin(), book.Contacts().end());
        EXPECT_EQ(ContactsBook::Load(beside).Contacts(), expected);
    }
    // A second save takes the next free name and leaves the first.
    const std::string first = Read((dir_ / "contacts-saved.txt").string());
    ContactsBook book = ContactsBook::Load(file_);
    EXPECT_EQ(book.Save(NewOnTop(book)).path, (dir_ / "contacts-saved-2.txt").string());
    EXPECT_EQ(Read((dir_ / "contacts-saved.txt").string()), first);

    // At the element bound the file is read whole, and saved over with every element.
    Store(body + fillers + "</contacts>");
    book = ContactsBook::Load(file_);
    EXPECT_TRUE(book.ReadWhole()) << book.Problem();
    ASSERT_EQ(book.Save(NewOnTop(book)).kind, SaveOutcome::Kind::Saved);
    const std::string saved = Read(file_);
    EXPECT_EQ(saved.size(), text.size() + kNewText.size() + 999919 * std::string("\t<x/>\r\n").size());
}

TEST_F(ContactsBookTest, AFailedSaveSaysWhyAndKeepsEveryContact) {
    const BookFile file = MakeBookFile(300, false);  // 34 KB
    Store(file.text);
    const std::string later = " Your changes are still here: press OK to try again, or Cancel to drop them.";
    const struct {
        WriteStep step;
        int error;
        std::string message;
    } faults[] = {
        {WriteStep::Write, ENOSPC,
         "The disk is full, so contacts.txt could not be saved in " + dir_.string() + "."},
        {WriteStep::Create, EACCES, "No permission to write contacts.txt in " + dir_.string() + "."},
        {WriteStep::Rename, EIO,
         "contacts.txt could not be saved in " + dir_.string() + " (Input/output error)."},
    };
    ContactsBook book = ContactsBook::Load(file_);
    for (const auto& fault : faults) {
        InjectWriteFault(fault.step, fault.error);
        const SaveOutcome outcome = book.Save(NewOnTop(book));
        InjectWriteFault(fault.step, 0);
        EXPECT_EQ(outcome.kind, SaveOutcome::Kind::Failed);
        EXPECT_EQ(outcome.message, fault.message + later);
        EXPECT_EQ(Read(file_), file.text);
        EXPECT_EQ(EntriesInDirectory(), 1u);
    }
    // The same save once the fault has gone.
    ASSERT_EQ(book.Save(NewOnTop(book)).kind, SaveOutcome::Kind::Saved);
    EXPECT_EQ(Read(file_),
              "<contacts>\r\n" + kNewText + file.text.substr(std::string("<contacts>\r\n").size()));

    // The same on a real file system of 64 KiB, full and then read-only, where the test may mount one.
    if (!MountSmallFileSystem())
        GTEST_SKIP() << "no tmpfs could be mounted here; the injected faults above stand in for it";
    Store(file.text);
    book = ContactsBook::Load(file_);
    SaveOutcome outcome = book.Save(NewOnTop(book));  // the old and the new file do not fit together
    EXPECT_EQ(outcome.message, faults[0].message + later);
    EXPECT_EQ(Read(file_), file.text);
    EXPECT_EQ(EntriesInDirectory(), 1u);
    ASSERT_EQ(::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=64k"), 0);
    outcome = book.Save({{kNew, -1}});
    EXPECT_EQ(outcome.message, faults[1].message + later);
    EXPECT_EQ(Read(file_), file.text);
}

TEST_F(ContactsBookTest, LoadingAndSavingRemoveWhatKilledSavesLeft) {
    std::ofstream(dir_ / "contacts.txt.saving-a1B2c3") << "partial";
    ContactsBook book = ContactsBook::Load(file_);
    EXPECT_EQ(EntriesInDirectory(), 0u);
    std::ofstream(dir_ / "contacts.txt.saving-x9Y8z7") << "partial";
    ASSERT_EQ(book.Save({{kNew, -1}}).kind, SaveOutcome::Kind::Saved);
    EXPECT_EQ(EntriesInDirectory(), 1u);
}

// The contacts store and the whole-file helpers: the file's exact bytes, tolerant reading, hostile and
// missing files, and saves that never lose the old address book.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "addressbook/Contacts.h"
#include "addressbook/WholeFile.h"

namespace fs = std::filesystem;

namespace {

const std::string kOfficeFile =
    "<contacts>\r\n\t<contact>\r\n\t\t<name>Office</name>\r\n\t\t<host>10.0.0.2</host>\r\n"
    "\t\t<port>5007</port>\r\n\t</contact>\r\n</contacts>\r\n";

class ContactsTest : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qparlin-contacts-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        file_ = (dir_ / "contacts.txt").string();
    }
    void TearDown() override { fs::remove_all(dir_); }

    void Store(const std::string& bytes) { std::ofstream(file_, std::ios::binary) << bytes; }
    std::string Stored() const {
        std::ifstream in(file_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    size_t EntriesInDirectory() const { return std::distance(fs::directory_iterator(dir_), {}); }

    fs::path dir_;
    std::string file_;
};

}  // namespace

TEST_F(ContactsTest, WritesTheExactLayoutAndReadsItBack) {
    const std::vector<Contact> office = {{"Office", "10.0.0.2", "5007"}};
    ASSERT_TRUE(SaveContacts(office, file_));
    EXPECT_EQ(Stored().size(), 119u);
    EXPECT_EQ(Stored(), kOfficeFile);
    EXPECT_EQ(LoadContacts(file_), office);

    ASSERT_TRUE(SaveContacts({}, file_));
    EXPECT_EQ(Stored(), "<contacts/>\r\n");
    EXPECT_TRUE(LoadContacts(file_).empty());

    const std::vector<Contact> marked = {{"A & <B>", "h", ""}, {"", "", "x"}};
    ASSERT_TRUE(SaveContacts(marked, file_));
    EXPECT_NE(Stored().find("<name>A &amp; &lt;B&gt;</name>"), std::string::npos);
    EXPECT_NE(Stored().find("<port/>"), std::string::npos);
    EXPECT_EQ(LoadContacts(file_), marked);
    EXPECT_EQ(EntriesInDirectory(), 1u);  // no temporary file left behind
}

TEST_F(ContactsTest, ReadsContactsWrittenByHandTolerantly) {
    Store(
        "<?xml version=\"1.0\"?>\n<!-- my peers -->\n<Book>\n"
        "  <CONTACT><port>1</port><!-- old --><Host> h1 </Host><NAME>n1</NAME><extra/></CONTACT>\n"
        "  <group><contact><name>nested</name></contact></group>\n"
        "  <Contact><host>h2</host><name>n2</name></Contact>\n"
        "  <contact name=\"n3\" host='h3' port=\"p3\"/>\n</Book>\n");
    EXPECT_EQ(LoadContacts(file_),
              (std::vector<Contact>{{"n1", "h1", "1"}, {"n2", "h2", ""}, {"n3", "h3", "p3"}}));
}

TEST_F(ContactsTest, MissingEmptyOddAndDamagedFilesGiveWhatCanBeRead) {
    EXPECT_TRUE(LoadContacts(file_).empty());
    Store("");
    EXPECT_TRUE(LoadContacts(file_).empty());
    std::string text;
    EXPECT_FALSE(ReadWholeFile(file_, text));
    EXPECT_FALSE(ReadWholeFile("", text));
    EXPECT_FALSE(ReadWholeFile(dir_.string(), text));  // a directory
    ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
    EXPECT_FALSE(ReadWholeFile((dir_ / "fifo").string(), text));  // refused, not waited on

    std::string hostile = "<c><contact><name>kept</name></contact>";
    hostile += std::string("\0\xff<", 3);
    for (int i = 0; i < 200000; ++i)
        hostile += "<x a='";
    Store(hostile);
    EXPECT_EQ(LoadContacts(file_), (std::vector<Contact>{{"kept", "", ""}}));

    hostile = "<c><contact><name>kept</name></contact>";
    for (int i = 0; i < 200000; ++i)
        hostile += "<contact>";
    Store(hostile);
    EXPECT_EQ(LoadContacts(file_).size(), 2u);  // the second one is the start of the too-deep chain
}

TEST_F(ContactsTest, ReadsSayWhatTheyFound) {
    std::string text;
    EXPECT_EQ(ReadWholeFile(file_, text).status, FileStatus::Missing);
    Store("");
    EXPECT_EQ(ReadWholeFile(file_, text).status, FileStatus::Empty);
    EXPECT_EQ(ReadWholeFile(dir_.string(), text).status, FileStatus::NotAFile);
    Store("x");  // grown sparse: nothing is written to disk
    fs::resize_file(file_, 33554432);
    EXPECT_TRUE(ReadWholeFile(file_, text));
    EXPECT_EQ(text.size(), 33554432u);
    fs::resize_file(file_, 33554433);
    EXPECT_EQ(ReadWholeFile(file_, text).status, FileStatus::TooLarge);
    EXPECT_TRUE(text.empty());
}

TEST_F(ContactsTest, AWriteThatFailsAtAnyStepSaysWhyAndLeavesOnlyTheOldFile) {
    Store(kOfficeFile);
    const struct {
        WriteStep step;
        int error;
        FileStatus status;
    } faults[] = {{WriteStep::Create, EACCES, FileStatus::NoPermission},
                  {WriteStep::Create, EROFS, FileStatus::NoPermission},
                  {WriteStep::Write, ENOSPC, FileStatus::DiskFull},
                  {WriteStep::Sync, EDQUOT, FileStatus::DiskFull},
                  {WriteStep::Rename, EIO, FileStatus::Failed}};
    for (const auto& fault : faults) {
        InjectWriteFault(fault.step, fault.error);
        const FileResult result = WriteWholeFile(file_, "new", 3);
        InjectWriteFault(fault.step, 0);
        EXPECT_EQ(result.status, fault.status) << static_cast<int>(fault.step);
        EXPECT_EQ(result.error, fault.error);
        EXPECT_EQ(Stored(), kOfficeFile);
        EXPECT_EQ(EntriesInDirectory(), 1u);
    }
    // A new file only: a name that is taken is left alone.
    EXPECT_EQ(WriteWholeFile(file_, "new", 3, WriteMode::NewFileOnly).status, FileStatus::Exists);
    EXPECT_EQ(Stored(), kOfficeFile);
    EXPECT_EQ(EntriesInDirectory(), 1u);
}

TEST_F(ContactsTest, TemporaryFilesOfKilledWritesGoButNoOtherFile) {
    const std::vector<std::string> stale = {"contacts.txt.saving-a1B2c3", "contacts.txt.saving-ZZZZZZ"};
    const std::vector<std::string> kept = {"contacts.txt.saving-abc",   "contacts.txt.saving-abcdefg",
                                           "contacts.txt.saving-ab.de", "contacts.txt.backup",
                                           "contacts.txt.a1B2c3",       "other.txt.saving-a1B2c3"};
    for (const std::string& name : stale)
        std::ofstream(dir_ / name) << "partial";
    for (const std::string& name : kept)
        std::ofstream(dir_ / name) << "mine";
    // One that a write still running holds locked.
    const int running = ::open((dir_ / "contacts.txt.saving-RUNNIN").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(running, 0);
    ASSERT_EQ(::flock(running, LOCK_EX), 0);

    EXPECT_EQ(RemoveStaleTemporaryFiles(file_), 2);
    for (const std::string& name : stale)
        EXPECT_FALSE(fs::exists(dir_ / name)) << name;
    for (const std::string& name : kept)
        EXPECT_TRUE(fs::exists(dir_ / name)) << name;
    EXPECT_TRUE(fs::exists(dir_ / "contacts.txt.saving-RUNNIN"));
    ::close(running);
}

TEST_F(ContactsTest, AFailedSaveLeavesTheOldFileAsItWas) {
    Store(kOfficeFile);
    ::chmod(file_.c_str(), 0644);
    const std::vector<Contact> many(5000, Contact{"A long enough name", "host.example.org", "5007"});

    // The size limit makes the write fail part way; in a child, so that the limit stays there.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit = {4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        ::_exit(SaveContacts(many, file_) ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the save reported success";
    EXPECT_EQ(Stored(), kOfficeFile);
    EXPECT_EQ(EntriesInDirectory(), 1u);

    EXPECT_FALSE(WriteWholeFile((dir_ / "missing" / "contacts.txt").string(), "x", 1));
    EXPECT_FALSE(WriteWholeFile("", "x", 1));

    ASSERT_TRUE(SaveContacts(many, file_));  // without the limit the same save replaces the file
    EXPECT_EQ(LoadContacts(file_), many);
    EXPECT_EQ(fs::status(file_).permissions(), fs::perms(0644));
}

TEST_F(ContactsTest, ABookThatIsASymbolicLinkIsSavedWhereTheLinkLeadsWithItsMode) {
    // contacts.txt -> books/link.txt -> real.txt (relative, each against its own link's directory).
    fs::create_directory(dir_ / "books");
    const fs::path real = dir_ / "books" / "real.txt";
    std::ofstream(real, std::ios::binary) << kOfficeFile;
    ::chmod(real.c_str(), 0640);
    fs::create_symlink("real.txt", dir_ / "books" / "link.txt");
    fs::create_symlink("books/link.txt", file_);

    const std::vector<Contact> book = {{"Lab", "lab.example", "6000"}};
    ASSERT_TRUE(SaveContacts(book, file_));
    EXPECT_TRUE(fs::is_symlink(file_));
    EXPECT_EQ(fs::read_symlink(file_), "books/link.txt");
    EXPECT_TRUE(fs::is_symlink(dir_ / "books" / "link.txt"));
    EXPECT_EQ(LoadContacts(real.string()), book);
    EXPECT_EQ(LoadContacts(file_), book);
    EXPECT_EQ(fs::status(real).permissions(), fs::perms(0640));
    // No temporary file is left, beside the link or beside the file.
    EXPECT_EQ(EntriesInDirectory(), 2u);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir_ / "books"), {}), 2);

    // A link to a file that does not exist yet creates that file; a loop of links fails the save.
    const fs::path fresh = dir_ / "fresh.txt";
    fs::create_symlink("fresh.txt", dir_ / "dangling.txt");
    ASSERT_TRUE(SaveContacts(book, (dir_ / "dangling.txt").string()));
    EXPECT_TRUE(fs::is_symlink(dir_ / "dangling.txt"));
    EXPECT_EQ(LoadContacts(fresh.string()), book);
    fs::create_symlink("loop-b", dir_ / "loop-a");
    fs::create_symlink("loop-a", dir_ / "loop-b");
    EXPECT_FALSE(SaveContacts(book, (dir_ / "loop-a").string()));
    EXPECT_TRUE(fs::is_symlink(dir_ / "loop-a"));
}

TEST_F(ContactsTest, TheDefaultFileIsInTheCurrentDirectory) {
    const fs::path previous = fs::current_path();
    fs::current_path(dir_);
    EXPECT_EQ(MakeAbsolutePath("contacts.txt"), file_);
    EXPECT_EQ(MakeAbsolutePath("/etc/x"), "/etc/x");
    EXPECT_EQ(MakeAbsolutePath(""), "");
    const bool saved = SaveContacts({{"n", "h", "1"}});
    const std::vector<Contact> loaded = LoadContacts();
    fs::current_path(previous);
    EXPECT_TRUE(saved);
    EXPECT_NE(Stored().find("<name>n</name>"), std::string::npos);
    EXPECT_EQ(loaded.size(), 1u);
}

TEST(ContactsPortTest, PortTextIsReadLikeAtoiWithoutOverflow) {
    EXPECT_EQ(PortFromText(" \t05007"), 5007);
    EXPECT_EQ(PortFromText("5007x"), 5007);
    EXPECT_EQ(PortFromText(""), 0);
    EXPECT_EQ(PortFromText("x5007"), 0);
    EXPECT_EQ(PortFromText("-12"), -12);
    EXPECT_EQ(PortFromText("+12"), 12);
    EXPECT_EQ(PortFromText("99999999999999999999"), INT_MAX);
    EXPECT_EQ(PortFromText("-99999999999999999999"), INT_MIN);
}

// The address-book dialog on the offscreen platform: what it shows on opening, Add, Remove, OK and Cancel
// and what each leaves in contacts.txt, and the main window's "..." button around it. Every test runs in a
// directory of its own, since the book lives in the current directory.
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <functional>
#include <memory>
#include <thread>

#include "addressbook/ContactsDialog.h"
#include "addressbook/WholeFile.h"
#include "app/MainDialog.h"
#include "fake_wave.h"
#include "reach/LanCopySource.h"

namespace {

const Contact kOffice{"Office", "10.0.0.2", "5007"};
const Contact kLab{"Lab", "lab.example", "6000"};
const Contact kHome{"Home", "192.168.1.9", "7000"};

// Written by hand in a form the store reads but never writes, so that any save would show.
const QByteArray kHandWritten =
    "<book><CONTACT><host>lab.example</host><name>Lab</name><port>6000</port></CONTACT>"
    "<contact name=\"Office\" host=\"10.0.0.2\" port=\"5007\"/></book>";

// Stands in for Avahi's browser: tells of its copies from a thread of its own, as Avahi's does.
class StandInLanSource final : public LanCopySource {
public:
    explicit StandInLanSource(std::vector<LanCopy> copies) : copies_(std::move(copies)) {}
    ~StandInLanSource() override {
        if (thread_.joinable())
            thread_.join();
    }
    bool Browse(ChangeHandler changed, std::string&) override {
        thread_ = std::thread([changed] { changed(); });
        return true;
    }
    std::vector<LanCopy> Copies() const override { return copies_; }

private:
    std::vector<LanCopy> copies_;
    std::thread thread_;
};

}  // namespace

class ContactsDialogTest : public QObject {
    Q_OBJECT

private:
    QString startDirectory_;
    std::unique_ptr<QTemporaryDir> directory_;
    FakeWave* fake_ = nullptr;
    std::unique_ptr<MainDialog> window_;

    static void WriteBook(const QByteArray& bytes) {
        QFile file("contacts.txt");
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    static QByteArray BookBytes() {
        QFile file("contacts.txt");
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    template <typename T>
    static T* Child(QWidget& parent, const char* name) {
        T* child = parent.findChild<T*>(name);
        if (child == nullptr)
            qFatal("no child named %s", name);
        return child;
    }
    static QTreeWidget* List(ContactsDialog& dialog) { return Child<QTreeWidget>(dialog, "contacts"); }
    static void Click(ContactsDialog& dialog, const char* button) {
        QTest::mouseClick(Child<QPushButton>(dialog, button), Qt::LeftButton);
    }
    static void Fill(ContactsDialog& dialog, const QString& name, const QString& host, const QString& port) {
        Child<QLineEdit>(dialog, "name")->setText(name);
        Child<QLineEdit>(dialog, "host")->setText(host);
        Child<QLineEdit>(dialog, "port")->setText(port);
    }
    static QPoint RowCentre(ContactsDialog& dialog, int row) {
        QTreeWidget* list = List(dialog);
        return list->visualItemRect(list->topLevelItem(row)).center();
    }
    static void SelectRow(ContactsDialog& dialog, int row) {
        QTest::mouseClick(List(dialog)->viewport(), Qt::LeftButton, {}, RowCentre(dialog, row));
    }
    static int SelectedRow(ContactsDialog& dialog) {
        const QList<QTreeWidgetItem*> selected = List(dialog)->selectedItems();
        return selected.size() == 1 ? List(dialog)->indexOfTopLevelItem(selected.front()) : -1;
    }
    static std::unique_ptr<ContactsDialog> Open() {
        auto dialog = std::make_unique<ContactsDialog>("127.0.0.1", 5007);
        dialog->show();
        if (!QTest::qWaitForWindowExposed(dialog.get()))
            qFatal("the dialog never showed");
        return dialog;
    }

    // The window as the program makes it (port mapping and LAN discovery enabled), with a stand-in
    // browser; `made` counts the browsers it made.
    MainDialog& OpenWindowWithLan(Settings settings, const std::vector<LanCopy>& copies, int& made) {
        window_ = std::make_unique<MainDialog>(settings, "2.5", "070105");
        window_->Controller().EnableReach();
        window_->SetLanSource([copies, &made] {
            ++made;
            return std::make_unique<StandInLanSource>(copies);
        });
        window_->Initialize();
        window_->show();
        return *window_;
    }

    MainDialog& OpenWindow() {
        window_ = std::make_unique<MainDialog>(Settings{}, "2.5", "070105");
        window_->Initialize();
        window_->show();
        return *window_;
    }
    // Clicks "..." on the main window and hands the modal dialog to `drive` once it is up; a dialog that
    // `drive` left open is cancelled so that a failing test cannot hang.
    void RunAddressBook(const std::function<void(ContactsDialog&)>& drive) {
        bool driven = false;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<ContactsDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            driven = QTest::qWaitForWindowExposed(dialog);
            if (driven)
                drive(*dialog);
            if (dialog->isVisible())
                dialog->reject();
        });
        QTest::mouseClick(Child<QPushButton>(*window_, "addressBook"), Qt::LeftButton);
        QVERIFY(driven);
    }

private slots:
    void init() {
        startDirectory_ = QDir::currentPath();
        directory_ = std::make_unique<QTemporaryDir>();
        QVERIFY(directory_->isValid());
        QVERIFY(QDir::setCurrent(directory_->path()));
        fake_ = new FakeWave;
        SetWaveBackend(std::make_unique<FakeWaveBackend>(*fake_));
    }
    void cleanup() {
        QCursor::setPos(0, 0);  // off the list, so that no later dialog opens with a row hovered
        window_.reset();
        SetWaveBackend(nullptr);
        delete fake_;
        QDir::setCurrent(startDirectory_);
        directory_.reset();
    }

    void openingShowsThePeerAndTheBookInFileOrderWithNothingSelected() {
        QVERIFY(SaveContacts({kOffice, kLab, kHome}));
        auto dialog = Open();
        QCOMPARE(dialog->windowTitle(), QString("Contacts"));
        QCOMPARE(Child<QLineEdit>(*dialog, "name")->text(), QString());
        QCOMPARE(Child<QLineEdit>(*dialog, "host")->text(), QString("127.0.0.1"));
        QCOMPARE(Child<QLineEdit>(*dialog, "port")->text(), QString("5007"));
        QVERIFY(dialog->Rows() == std::vector<Contact>({kOffice, kLab, kHome}));
        QCOMPARE(SelectedRow(*dialog), -1);
        QVERIFY(List(*dialog)->hasFocus());

        QTreeWidget* list = List(*dialog);
        QCOMPARE(list->headerItem()->text(2), QString("Port"));
        const int usable = list->width() - 20;
        QCOMPARE(list->columnWidth(0), usable * 40 / 100);
        QCOMPARE(list->columnWidth(1), usable * 40 / 100);
        QCOMPARE(list->columnWidth(2), usable * 20 / 100);
    }

    void twoAddsShowTheSecondOnTopAndSaveItFirst() {
        auto dialog = Open();
        Fill(*dialog, "A", "a.example", "1");
        Click(*dialog, "add");
        Fill(*dialog, "B", "b.example", " 05007x");
        Click(*dialog, "add");
        const Contact a{"A", "a.example", "1"};
        const Contact b{"B", "b.example", "5007"};
        QVERIFY(dialog->Rows() == std::vector<Contact>({b, a}));
        QCOMPARE(SelectedRow(*dialog), 0);

        Click(*dialog, "ok");
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->Host(), std::string("b.example"));
        QCOMPARE(dialog->Port(), 5007);
        QVERIFY(LoadContacts() == std::vector<Contact>({b, a}));

        // What was saved opens in the same order, so that the next save does not turn the book over.
        QVERIFY(Open()->Rows() == std::vector<Contact>({b, a}));
    }

    void addClearsTheFieldsSoTheNextNameStartsEmpty() {
        auto dialog = Open();
        Fill(*dialog, "Alice", "a.example", "5007");
        Click(*dialog, "add");
        for (const char* field : {"name", "host", "port"})
            QCOMPARE(Child<QLineEdit>(*dialog, field)->text(), QString());
        QTest::keyClicks(Child<QLineEdit>(*dialog, "name"), "Bob");
        Child<QLineEdit>(*dialog, "host")->setText("b.example");
        Click(*dialog, "add");
        QVERIFY(dialog->Rows() ==
                std::vector<Contact>({{"Bob", "b.example", "0"}, {"Alice", "a.example", "5007"}}));
    }

    void aCellEditedInPlaceIsSavedAndAPortIsCheckedAsAddChecksIt() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        auto dialog = Open();
        QTreeWidget* list = List(*dialog);
        QVERIFY(list->topLevelItem(0)->flags() & Qt::ItemIsEditable);
        SelectRow(*dialog, 1);
        list->setCurrentItem(list->topLevelItem(1), 1);
        QTest::keyClick(list, Qt::Key_F2);
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        QVERIFY2(editor != nullptr, "F2 opens an editor in the cell");
        editor->setText("lab2.example");
        QTest::keyClick(editor, Qt::Key_Return);
        list->topLevelItem(0)->setText(2, " 070x");  // as a finished edit of the port sets it
        QCOMPARE(list->topLevelItem(0)->text(2), QString("70"));
        Click(*dialog, "ok");
        const std::vector<Contact> saved = LoadContacts();
        QCOMPARE(saved.size(), size_t{2});
        QCOMPARE(saved[1].host, std::string("lab2.example"));
        QCOMPARE(saved[1].name, kLab.name);
        QCOMPARE(saved[0].port, std::string("70"));
        QCOMPARE(saved[0].host, kOffice.host);
    }

    void theFieldLabelsAreNotCutOff() {
        auto dialog = Open();
        for (const QLabel* label : dialog->findChildren<QLabel*>()) {
            const int needed =
                label->wordWrap() ? label->heightForWidth(label->width()) : label->sizeHint().height();
            QVERIFY2(needed <= label->height(), qPrintable(label->text()));
            if (!label->wordWrap())
                QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->text()));
        }
    }

    void addWithAnEmptyPortStoresZero() {
        auto dialog = Open();
        Fill(*dialog, "Nobody", "n.example", "");
        Click(*dialog, "add");
        QCOMPARE(List(*dialog)->topLevelItem(0)->text(2), QString("0"));
        Click(*dialog, "ok");
        QCOMPARE(dialog->Port(), 0);
        QVERIFY(LoadContacts() == std::vector<Contact>({{"Nobody", "n.example", "0"}}));
    }

    void okWithoutChangesWritesNothing() {
        WriteBook(kHandWritten);
        auto dialog = Open();
        SelectRow(*dialog, 1);
        Click(*dialog, "ok");
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->Host(), std::string("10.0.0.2"));
        QCOMPARE(BookBytes(), kHandWritten);
    }

    void removeThenCancelLeavesTheFileUnchanged() {
        WriteBook(kHandWritten);
        auto dialog = Open();
        Click(*dialog, "remove");  // nothing selected: nothing happens
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        SelectRow(*dialog, 0);
        Click(*dialog, "remove");
        QVERIFY(dialog->Rows() == std::vector<Contact>({kOffice}));
        QCOMPARE(SelectedRow(*dialog), -1);
        Click(*dialog, "remove");  // the remaining row was not selected by the removal
        QCOMPARE(List(*dialog)->topLevelItemCount(), 1);
        Click(*dialog, "cancel");
        QCOMPARE(dialog->result(), int(QDialog::Rejected));
        QCOMPARE(BookBytes(), kHandWritten);
    }

    void restingThePointerOnARowSelectsIt() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        auto dialog = Open();
        // Crossing a row on the way out of the list selects nothing.
        QTest::mouseMove(List(*dialog)->viewport(), RowCentre(*dialog, 0));
        QTest::qWait(20);
        QTest::mouseMove(Child<QPushButton>(*dialog, "ok"));
        QTest::qWait(600);
        QCOMPARE(SelectedRow(*dialog), -1);
        QTest::mouseMove(List(*dialog)->viewport(), RowCentre(*dialog, 1));
        QTRY_COMPARE(SelectedRow(*dialog), 1);
        Click(*dialog, "ok");
        QCOMPARE(dialog->Host(), kLab.host);
    }

    void okWithoutASelectionSavesButTheWindowKeepsItsPeer() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        OpenWindow();
        RunAddressBook([](ContactsDialog& dialog) {
            SelectRow(dialog, 0);
            Click(dialog, "remove");
            Click(dialog, "ok");
        });
        QVERIFY(LoadContacts() == std::vector<Contact>({kLab}));
        QCOMPARE(Child<QLineEdit>(*window_, "host")->text(), QString("127.0.0.1"));
        QCOMPARE(Child<QLineEdit>(*window_, "port")->text(), QString("5007"));
    }

    void untouchedRowsKeepTheirBytesExactly() {
        // 8-bit text of any kind: Latin-1 bytes that are no UTF-8, and UTF-8.
        const Contact latin{"M\xfcller", "h\xf4te.example", "5007"};
        const Contact utf8{
            "Gr\xc3\xbc\xc3\x9f"
            "e",
            "10.0.0.8", "6000"};
        QVERIFY(SaveContacts({latin, utf8}));
        auto dialog = Open();
        QCOMPARE(List(*dialog)->topLevelItem(0)->text(0), QString::fromLatin1("M\xfcller"));
        QCOMPARE(List(*dialog)->topLevelItem(0)->text(1), QString::fromLatin1("h\xf4te.example"));
        QCOMPARE(List(*dialog)->topLevelItem(1)->text(0), QString::fromUtf8("Gr\xc3\xbc\xc3\x9f"
                                                                            "e"));
        Fill(*dialog, QString::fromUtf8("Z\xc3\xbcrich"), "z.example", "1");
        Click(*dialog, "add");
        Click(*dialog, "ok");
        const Contact added{"Z\xc3\xbcrich", "z.example", "1"};
        QVERIFY(LoadContacts() == std::vector<Contact>({added, latin, utf8}));
        QVERIFY(!BookBytes().contains("\xef\xbf\xbd"));

        // The row chosen hands back its own bytes too.
        auto again = Open();
        SelectRow(*again, 1);
        Click(*again, "ok");
        QCOMPARE(again->Name(), latin.name);
        QCOMPARE(again->Host(), latin.host);
    }

    void doubleClickBelowTheRowsIsOk() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        auto dialog = Open();
        SelectRow(*dialog, 0);
        Click(*dialog, "remove");
        QTreeWidget* list = List(*dialog);
        const QPoint below(list->viewport()->width() / 2, list->viewport()->height() - 4);
        QVERIFY(list->itemAt(below) == nullptr);
        QTest::mouseDClick(dialog->windowHandle(), Qt::LeftButton, {},
                           list->viewport()->mapTo(dialog.get(), below));
        QVERIFY2(!dialog->isVisible(), "the double click ended the dialog");
        QVERIFY(LoadContacts() == std::vector<Contact>({kLab}));

        // The first click of it lands beside every row and so takes the selection away, as in any list:
        // the dialog then ends as Cancel does.
        auto again = Open();
        SelectRow(*again, 0);
        QTest::mouseDClick(again->windowHandle(), Qt::LeftButton, {},
                           List(*again)->viewport()->mapTo(again.get(), below));
        QVERIFY(!again->isVisible());
        QCOMPARE(again->result(), int(QDialog::Rejected));
    }

    void aPortThatFailsItsCheckStillOpensTheAddressBook() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        OpenWindow();
        Child<QLineEdit>(*window_, "host")->setText("peer.example");
        Child<QLineEdit>(*window_, "port")->setText("70000");
        QString openedWith;
        RunAddressBook([&](ContactsDialog& dialog) {
            openedWith =
                Child<QLineEdit>(dialog, "host")->text() + ":" + Child<QLineEdit>(dialog, "port")->text();
            SelectRow(dialog, 1);
            Click(dialog, "ok");
        });
        // The message is shown, and the dialog opened with the host read and the port the window held.
        QVERIFY(window_->ValidationBox() != nullptr);
        QCOMPARE(window_->ValidationBox()->text(), QString("Please enter an integer between 0 and 65535."));
        QCOMPARE(openedWith, QString("peer.example:5007"));
        QCOMPARE(Child<QLineEdit>(*window_, "host")->text(), QString("lab.example"));
        QCOMPARE(Child<QLineEdit>(*window_, "port")->text(), QString("6000"));
    }

    void aFailedSaveKeepsTheDialogOpenWithTheReasonAndTheRows() {
        QVERIFY(SaveContacts({kOffice}));
        const QByteArray before = BookBytes();
        const QString directory = QDir::currentPath();
        auto dialog = Open();
        Fill(*dialog, "Lab", "lab.example", "6000");
        Click(*dialog, "add");
        const QString later = " Your changes are still here: press OK to try again, or Cancel to drop them.";
        const struct {
            WriteStep step;
            int error;
            QString message;
        } faults[] = {
            {WriteStep::Write, ENOSPC,
             "The disk is full, so contacts.txt could not be saved in " + directory + "."},
            {WriteStep::Create, EACCES, "No permission to write contacts.txt in " + directory + "."},
        };
        for (const auto& fault : faults) {
            InjectWriteFault(fault.step, fault.error);
            Click(*dialog, "ok");
            InjectWriteFault(fault.step, 0);
            QVERIFY(dialog->isVisible());
            QVERIFY(dialog->SaveBox() != nullptr);
            QCOMPARE(dialog->SaveBox()->text(), fault.message + later);
            QVERIFY(dialog->Rows() == std::vector<Contact>({kLab, kOffice}));
            QCOMPARE(BookBytes(), before);
            dialog->SaveBox()->accept();
            QTRY_VERIFY(dialog->SaveBox() == nullptr);
        }
        Click(*dialog, "ok");  // the fault has gone: the same OK saves and ends
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QVERIFY(LoadContacts() == std::vector<Contact>({kLab, kOffice}));
    }

    void aBookNotReadWholeIsKeptAndTheChangesGoBesideIt() {
        const QByteArray cut =
            "<contacts>\r\n<contact name=\"Office\" host=\"10.0.0.2\" port=\"5007\"/>\r\n<contact";
        WriteBook(cut);
        auto dialog = Open();
        QVERIFY(dialog->Rows() == std::vector<Contact>({kOffice}));
        Fill(*dialog, "Lab", "lab.example", "6000");
        Click(*dialog, "add");
        Click(*dialog, "ok");
        QVERIFY(dialog->SaveBox() != nullptr);
        QCOMPARE(dialog->SaveBox()->text(),
                 "contacts.txt could not be read past line 3; it is kept, and your changes were saved to " +
                     QDir::currentPath() + "/contacts-saved.txt.");
        QVERIFY(dialog->isVisible());  // until the message is read
        dialog->SaveBox()->accept();
        QTRY_VERIFY(!dialog->isVisible());
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(dialog->Host(), kLab.host);
        QCOMPARE(BookBytes(), cut);
        QVERIFY(LoadContacts("contacts-saved.txt") == std::vector<Contact>({kLab, kOffice}));
    }

    void doubleClickTakesTheRowIntoTheMainWindow() {
        QVERIFY(SaveContacts({kOffice, kLab}));
        OpenWindow();
        Child<QLineEdit>(*window_, "host")->setText("peer.example");
        Child<QLineEdit>(*window_, "port")->setText("6001");
        QString openedWith;
        RunAddressBook([&](ContactsDialog& dialog) {
            openedWith =
                Child<QLineEdit>(dialog, "host")->text() + ":" + Child<QLineEdit>(dialog, "port")->text();
            // Through the window, which delivers press, release, press, double click and release as a
            // real double click does.
            const QPoint row = List(dialog)->viewport()->mapTo(&dialog, RowCentre(dialog, 1));
            QTest::mouseDClick(dialog.windowHandle(), Qt::LeftButton, {}, row);
        });
        QCOMPARE(openedWith, QString("peer.example:6001"));
        QCOMPARE(Child<QLineEdit>(*window_, "host")->text(), QString("lab.example"));
        QCOMPARE(Child<QLineEdit>(*window_, "port")->text(), QString("6000"));
    }

    void copiesOnTheLanAreListedBelowTheBookAndNeverSavedUnlessAdded() {
        QVERIFY(SaveContacts({kOffice}));
        const QByteArray before = BookBytes();
        auto dialog = Open();
        const Contact alpha{"Q-Parlin on alpha", "198.51.100.2", "5007"};
        const Contact beta{"Q-Parlin on beta", "198.51.100.3", "6000"};
        dialog->ShowLanCopies({alpha, beta});
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        QCOMPARE(List(*dialog)->topLevelItem(1)->text(0), QString("Q-Parlin on alpha"));
        QVERIFY(dialog->Rows() == std::vector<Contact>({kOffice}));
        // A newer list replaces the older; Remove leaves a LAN row alone.
        dialog->ShowLanCopies({beta});
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        SelectRow(*dialog, 1);
        Click(*dialog, "remove");
        QCOMPARE(List(*dialog)->topLevelItemCount(), 2);
        // Selected, it fills the edits; Add saves it above the book's rows, and only then is it saved.
        QCOMPARE(Child<QLineEdit>(*dialog, "host")->text(), QString("198.51.100.3"));
        QCOMPARE(Child<QLineEdit>(*dialog, "port")->text(), QString("6000"));
        Click(*dialog, "add");
        QVERIFY(dialog->Rows() == std::vector<Contact>({beta, kOffice}));
        dialog->ShowLanCopies({alpha});
        QVERIFY(dialog->Rows() == std::vector<Contact>({beta, kOffice}));
        QCOMPARE(List(*dialog)->topLevelItemCount(), 3);
        Click(*dialog, "ok");
        QVERIFY(BookBytes() != before);
        QVERIFY(LoadContacts() == std::vector<Contact>({beta, kOffice}));
    }

    void theWindowsAddressBookListsTheCopiesFoundOnTheLanAndWritesNoneOfThem() {
        QVERIFY(SaveContacts({kOffice}));
        const QByteArray before = BookBytes();
        int made = 0;
        OpenWindowWithLan(Settings{},
                          {{"Q-Parlin on alpha", "198.51.100.2", 5007, "gsm_8khz", false},
                           {"Q-Parlin on beta", "2001:db8::3", 6000, "", true}},
                          made);
        RunAddressBook([](ContactsDialog& dialog) {
            // The browser's thread tells of the copies; the window lists them once its loop runs.
            QTRY_COMPARE(List(dialog)->topLevelItemCount(), 3);
            QCOMPARE(List(dialog)->topLevelItem(0)->text(0), QString("Office"));
            QCOMPARE(List(dialog)->topLevelItem(1)->text(0), QString("Q-Parlin on alpha"));
            QCOMPARE(List(dialog)->topLevelItem(2)->text(1), QString("2001:db8::3"));
            QCOMPARE(List(dialog)->topLevelItem(2)->text(2), QString("6000"));
            QVERIFY(dialog.Rows() == std::vector<Contact>({kOffice}));
            SelectRow(dialog, 1);
            Click(dialog, "ok");
        });
        QCOMPARE(made, 1);
        QCOMPARE(Child<QLineEdit>(*window_, "host")->text(), QString("198.51.100.2"));
        QCOMPARE(Child<QLineEdit>(*window_, "port")->text(), QString("5007"));
        QCOMPARE(BookBytes(), before);
    }

    void withAnnouncingOffTheAddressBookBrowsesNothing() {
        QVERIFY(SaveContacts({kOffice}));
        Settings settings;
        settings.announce = false;
        int made = 0;
        OpenWindowWithLan(settings, {{"Q-Parlin on alpha", "198.51.100.2", 5007, "", false}}, made);
        RunAddressBook([](ContactsDialog& dialog) {
            QTest::qWait(100);
            QCOMPARE(List(dialog)->topLevelItemCount(), 1);
        });
        QCOMPARE(made, 0);
    }

    void aLanCopyPickedWithOkIsCalledButNotWritten() {
        QVERIFY(SaveContacts({kOffice}));
        const QByteArray before = BookBytes();
        auto dialog = Open();
        dialog->ShowLanCopies({{"Q-Parlin on alpha", "198.51.100.2", "5007"}});
        SelectRow(*dialog, 1);
        Click(*dialog, "ok");
        QCOMPARE(dialog->result(), int(QDialog::Accepted));
        QCOMPARE(QString::fromStdString(dialog->Host()), QString("198.51.100.2"));
        QCOMPARE(dialog->Port(), 5007);
        QCOMPARE(BookBytes(), before);
    }
};

QTEST_MAIN(ContactsDialogTest)
#include "contacts_test.moc"

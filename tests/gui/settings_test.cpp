// The settings dialog and what the window remembers: the dialog's fields and what OK gives, a private call's
// secret checked at OK, the window starting again with the choices and remembering them and the last peer,
// a refused secret at start, and the address book in the data folder.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <functional>
#include <memory>

#include "addressbook/ContactsDialog.h"
#include "app/GuiFrontEnd.h"
#include "app/MainDialog.h"
#include "app/SecretFile.h"
#include "app/SettingsDialog.h"
#include "app/SettingsFile.h"
#include "base/Socket.h"
#include "fake_wave.h"

class SettingsTest : public QObject {
    Q_OBJECT

private:
    FakeWave* fake_ = nullptr;
    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<MainDialog> window_;
    Settings settings_;
    QString workingDirectory_;

    QString Home(const QString& path) const { return home_->filePath(path); }
    MainDialog& Open() {
        window_ = std::make_unique<MainDialog>(settings_, "2.5", "070105");
        window_->Initialize();
        window_->show();
        return *window_;
    }
    template <typename T>
    T* Child(QObject& parent, const char* name) {
        return parent.findChild<T*>(name);
    }
    QString RememberedText() {
        QFile file(Home("config/qparlin/qparlin.conf"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    // Runs `open`, which shows a modal dialog, and `act` on the dialog once it is up.
    void WithModal(const std::function<void()>& open, const std::function<void(QDialog&)>& act) {
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            seen = true;
            act(*dialog);
        });
        open();
        QVERIFY(seen);
    }

private slots:
    void init() {
        home_ = std::make_unique<QTemporaryDir>();
        QVERIFY(home_->isValid());
        QDir(home_->path()).mkpath("work");
        qputenv("XDG_CONFIG_HOME", Home("config").toUtf8());
        qputenv("XDG_DATA_HOME", Home("data").toUtf8());
        // A working directory without a contacts.txt.
        workingDirectory_ = QDir::currentPath();
        QDir::setCurrent(Home("work"));
        fake_ = new FakeWave;
        fake_->autoFinishPlayback = true;
        SetWaveBackend(std::make_unique<FakeWaveBackend>(*fake_));
        settings_ = Settings{};
        settings_.codecFormat = 0x85;
    }
    void cleanup() {
        window_.reset();
        SetWaveBackend(nullptr);
        delete fake_;
        QDir::setCurrent(workingDirectory_);
        home_.reset();
    }

    void theDialogShowsTheSettingsInEffect() {
        settings_.codecFormat = 0x82;
        settings_.outputDeviceName = "USB headset";
        settings_.playEnabled = false;
        settings_.port = 6000;
        SettingsDialog dialog(settings_, {"fake in"}, {"fake out"});
        QCOMPARE(Child<QComboBox>(dialog, "codec")->currentText(), QString("gsm_8khz"));
        QCOMPARE(Child<QComboBox>(dialog, "inputDevice")->currentText(),
                 QString(SettingsDialog::kSystemDefault));
        // A remembered name the system does not list now is still offered.
        QCOMPARE(Child<QComboBox>(dialog, "outputDevice")->currentText(), QString("USB headset"));
        QCOMPARE(Child<QComboBox>(dialog, "direction")->currentText(), QString("Send only"));
        QCOMPARE(Child<QSpinBox>(dialog, "listenPort")->value(), 6000);
        QVERIFY(!Child<QCheckBox>(dialog, "privateCall")->isChecked());
        QVERIFY(!Child<QLineEdit>(dialog, "secretFile")->isEnabled());
        // Without a session, Opus is not offered.
        settings_.session = false;
        SettingsDialog plain(settings_, {}, {});
        QCOMPARE(Child<QComboBox>(plain, "codec")->findText("opus"), -1);
    }

    void okGivesTheChoices() {
        settings_.inputDevice = 3;  // -i:3 on the command line
        SettingsDialog dialog(settings_, {"fake in"}, {"fake out"});
        auto* codec = Child<QComboBox>(dialog, "codec");
        codec->setCurrentIndex(codec->findText("gsm_11khz"));
        Child<QComboBox>(dialog, "inputDevice")->setCurrentText("fake in");
        Child<QComboBox>(dialog, "direction")->setCurrentIndex(2);
        Child<QSpinBox>(dialog, "listenPort")->setValue(0);
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        const Settings& chosen = dialog.Result();
        QCOMPARE(chosen.codecFormat, 0xA2);
        QVERIFY(chosen.codecChosen);
        QCOMPARE(chosen.inputDeviceName, std::string("fake in"));
        QCOMPARE(chosen.inputDevice, -1);  // the name replaces the number
        QCOMPARE(chosen.outputDeviceName, std::string());
        QVERIFY(!chosen.sendEnabled);
        QVERIFY(chosen.playEnabled);
        QCOMPARE(chosen.port, 0);
        QCOMPARE(chosen.secretFile, std::string());
    }

    void aPrivateCallNeedsASecretFileThatCanBeUsed() {
        SettingsDialog dialog(settings_, {}, {});
        Child<QCheckBox>(dialog, "privateCall")->setChecked(true);
        QVERIFY(Child<QLineEdit>(dialog, "secretFile")->isEnabled());
        dialog.accept();  // no file named
        QVERIFY(dialog.RefusalBox() != nullptr);
        QVERIFY(dialog.RefusalBox()->text().contains("needs a secret file"));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        const QString open = Home("open.key");
        QFile file(open);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(32, 'k'));
        file.close();
        file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther);
        Child<QLineEdit>(dialog, "secretFile")->setText(open);
        dialog.accept();
        QTRY_VERIFY(dialog.RefusalBox() != nullptr);
        QVERIFY2(dialog.RefusalBox()->text().contains("can be read or changed by others"),
                 qPrintable(dialog.RefusalBox()->text()));
        QCOMPARE(dialog.result(), int(QDialog::Rejected));

        const std::string made = Home("made.key").toStdString();
        std::string problem;
        QVERIFY(SecretFile::Make(made, problem));
        Child<QLineEdit>(dialog, "secretFile")->setText(QString::fromStdString(made));
        dialog.accept();
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QCOMPARE(dialog.Result().secretFile, made);
    }

    void theWindowStartsAgainWithTheChoicesAndRemembersThem() {
        Open();
        Child<QLineEdit>(*window_, "host")->setText("192.0.2.9");
        WithModal([&] { QTest::mouseClick(Child<QPushButton>(*window_, "settings"), Qt::LeftButton); },
                  [](QDialog& dialog) {
                      auto* codec = dialog.findChild<QComboBox*>("codec");
                      codec->setCurrentIndex(codec->findText("ilbc_8khz"));
                      dialog.findChild<QSpinBox*>("listenPort")->setValue(6001);
                      dialog.accept();
                  });
        QCOMPARE(window_->result(), MainDialog::kRestart);
        QCOMPARE(window_->NewSettings().codecFormat, 0x84);
        QCOMPARE(window_->NewSettings().port, 6001);
        QCOMPARE(window_->NewSettings().host, std::string("192.0.2.9"));  // the field as typed
        const QString text = RememberedText();
        for (const char* line : {"codec=ilbc_8khz\n", "port=6001\n", "host=192.0.2.9\n", "direction=both\n"})
            QVERIFY2(text.contains(line), line);
        // A codec left as it was stays unchosen, and is not remembered: a listener still takes a caller's.
        Open();
        WithModal([&] { window_->OnSettings(); }, [](QDialog& dialog) { dialog.accept(); });
        QCOMPARE(window_->result(), MainDialog::kRestart);
        QVERIFY(!window_->NewSettings().codecChosen);
        QVERIFY(!RememberedText().contains("codec="));
        // Cancel changes nothing and the window goes on.
        Open();
        WithModal([&] { window_->OnSettings(); }, [](QDialog& dialog) { dialog.reject(); });
        QVERIFY(window_->isVisible());
    }

    void aCallTheUserMadeIsRememberedAndSettingsWaitUntilItEnds() {
        settings_.port = 0;
        Open();
        Child<QLineEdit>(*window_, "host")->setText("127.0.0.1");
        Child<QLineEdit>(*window_, "port")->setText("0");
        QTest::mouseClick(Child<QPushButton>(*window_, "listen"), Qt::LeftButton);
        QTRY_COMPARE(Child<QLabel>(*window_, "status")->text(), QString("Listening..."));
        QVERIFY(!Child<QPushButton>(*window_, "settings")->isEnabled());
        QVERIFY2(RememberedText().contains("port=0\nhost=127.0.0.1\n"), qPrintable(RememberedText()));
        // Only the peer: nothing the dialog chooses was written.
        QVERIFY(!RememberedText().contains("codec="));
        QTest::mouseClick(Child<QPushButton>(*window_, "disconnect"), Qt::LeftButton);
        QTRY_VERIFY(Child<QPushButton>(*window_, "settings")->isEnabled());
    }

    void aRefusedSecretAtStartShowsOneBoxAndNoCallStarts() {
        settings_.secretFile = "/nonexistent/office.key";
        settings_.startProblem = "Cannot use the secret file /nonexistent/office.key: cannot open it.";
        settings_.autoListen = true;
        Open();
        QTRY_COMPARE(window_->ErrorBoxCount(), 1);
        QTest::mouseClick(Child<QPushButton>(*window_, "connect"), Qt::LeftButton);
        QTest::qWait(200);
        QCOMPARE(window_->ErrorBoxCount(), 1);
        QCOMPARE(window_->Link().GetState(), VoiceLink::kIdle);
        QCOMPARE(Child<QLabel>(*window_, "status")->text(), QString());
        const auto boxes = window_->findChildren<QMessageBox*>("errorBox");
        QVERIFY(boxes[0]->text().startsWith("Cannot use the secret file /nonexistent/office.key"));
    }

    void theAddressBookLivesInTheDataFolderUnlessTheWorkingDirectoryHasOne() {
        std::vector<Contact> book = {{"Ann", "192.0.2.1", "5007"}};
        QVERIFY(QDir().mkpath(Home("data/qparlin")));
        QVERIFY(SaveContacts(book, Home("data/qparlin/contacts.txt").toStdString()));
        Open();
        std::vector<Contact> rows;
        WithModal([&] { QTest::mouseClick(Child<QPushButton>(*window_, "addressBook"), Qt::LeftButton); },
                  [&](QDialog& dialog) {
                      rows = qobject_cast<ContactsDialog*>(&dialog)->Rows();
                      dialog.reject();
                  });
        QCOMPARE(rows.size(), size_t(1));
        QCOMPARE(rows[0].name, std::string("Ann"));
        // A contacts.txt in the working directory is the one used, as before.
        QVERIFY(SaveContacts({{"Bob", "192.0.2.2", "5008"}}, "contacts.txt"));
        WithModal([&] { QTest::mouseClick(Child<QPushButton>(*window_, "addressBook"), Qt::LeftButton); },
                  [&](QDialog& dialog) {
                      rows = qobject_cast<ContactsDialog*>(&dialog)->Rows();
                      dialog.reject();
                  });
        QCOMPARE(rows.size(), size_t(1));
        QCOMPARE(rows[0].name, std::string("Bob"));
    }

    // A launcher's bad command line: the box names the problem without the console's prefix, says where the
    // options are told, and offers only to close.
    void aBadCommandLineIsToldInABox() {
        const std::unique_ptr<QMessageBox> box = MakeCommandLineErrorBox(
            "qparlin: -a:bad: unknown codec; use a name from the list in --help or a format code from 0 to "
            "255");
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->windowTitle(), QString("Q-Parlin"));
        QVERIFY(box->informativeText().startsWith("-a:bad: unknown codec;"));
        QVERIFY(box->informativeText().contains("qparlin --help"));
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Close));
        // A text without the prefix is shown whole.
        QVERIFY(MakeCommandLineErrorBox("qparlin:x")->informativeText().startsWith("qparlin:x\n"));
    }
};

QTEST_MAIN(SettingsTest)
#include "settings_test.moc"

// The window on the offscreen platform: start-up, the buttons and what they show, the field checks, the
// keys, device error boxes, the meters' arithmetic and the About box.
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "app/AboutDialog.h"
#include "app/LevelMeter.h"
#include "app/MainDialog.h"
#include "app/WindowGuide.h"
#include "base/Socket.h"
#include "fake_wave.h"
#include "held_lookup.h"
#include "link/CallKeys.h"
#include "link/CallSession.h"
#include "link/DatagramSealer.h"
#include "link/LinkMessages.h"

namespace {

class UdpPeer {
public:
    UdpPeer() : handle_(CreateSocket(false)) { Bind(handle_, SocketAddress(htonl(INADDR_LOOPBACK), 0)); }
    ~UdpPeer() { Close(handle_); }
    int Port() const { return LocalAddress(handle_).Port(); }
    void SendTo(int port) {
        const uint8_t datagram[2] = {0, 0x80};
        ::SendTo(handle_, SocketAddress(htonl(INADDR_LOOPBACK), port), datagram, 2);
    }

private:
    SocketHandle handle_;
};

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> home_;
    FakeWave* fake_ = nullptr;
    std::unique_ptr<MainDialog> window_;
    Settings settings_;

    MainDialog& Open() {
        window_ = std::make_unique<MainDialog>(settings_, "2.5", "070105");
        window_->Initialize();
        window_->show();
        return *window_;
    }
    template <typename T>
    T* Child(const char* name) {
        return window_->findChild<T*>(name);
    }
    QString Status() { return Child<QLabel>("status")->text(); }
    bool Enabled(const char* name) { return Child<QPushButton>(name)->isEnabled(); }

private slots:
    void init() {
        // A call the window makes is remembered: each case starts from empty folders of its own.
        home_ = std::make_unique<QTemporaryDir>();
        QVERIFY(home_->isValid());
        qputenv("XDG_CONFIG_HOME", (home_->path() + "/config").toUtf8());
        qputenv("XDG_DATA_HOME", (home_->path() + "/data").toUtf8());
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
    }

    void startsWithTheDefaultsAndNothingRunning() {
        Open();
        QCOMPARE(window_->windowTitle(), QString("Q-Parlin"));
        QCOMPARE(Child<QLineEdit>("host")->text(), QString("127.0.0.1"));
        QCOMPARE(Child<QLineEdit>("port")->text(), QString("5007"));
        QVERIFY(Enabled("connect"));
        QVERIFY(Enabled("listen"));
        QVERIFY(!Enabled("disconnect"));
        QCOMPARE(Status(), QString());
        QCOMPARE(window_->SpeakerBitmap(), 131);
        QCOMPARE(window_->MicrophoneBitmap(), 129);
        QCOMPARE(window_->Link().GetState(), VoiceLink::kIdle);
    }

    void receiveOnlyStartsWithTheMicrophoneMuted() {
        settings_.sendEnabled = false;
        Open();
        QVERIFY(Child<QPushButton>("muteMicrophone")->isChecked());
        QCOMPARE(window_->MicrophoneBitmap(), 134);
        QVERIFY(window_->Link().MuteMicrophone());
        QTest::mouseClick(Child<QPushButton>("muteMicrophone"), Qt::LeftButton);
        QCOMPARE(window_->MicrophoneBitmap(), 129);
        QVERIFY(!window_->Link().MuteMicrophone());
    }

    void listenThenAPeersDatagramConnects() {
        settings_.port = 0;
        Open();
        QTest::mouseClick(Child<QPushButton>("listen"), Qt::LeftButton);
        QTRY_COMPARE(Status(), QString("Listening..."));
        QVERIFY(!Enabled("connect"));
        QVERIFY(!Enabled("listen"));
        QVERIFY(Enabled("disconnect"));
        UdpPeer peer;
        peer.SendTo(window_->Link().LocalPort());
        QTRY_COMPARE(Status(), QString("Connected."));
    }

    void theCodeViewOffersToMarkAPeerVerifiedOnlyWhileItIsNot() {
        Open();
        QLabel* padlock = Child<QLabel>("padlock");
        window_->ShowEncryption(true, "123 456");
        window_->ShowPeerTrust(CallView::PeerTrust::kUnverified);
        QTest::mouseClick(padlock, Qt::LeftButton);
        QMessageBox* box = nullptr;
        QTRY_VERIFY((box = window_->findChild<QMessageBox*>("callCode")) != nullptr);
        QVERIFY(box->text().contains("123 456"));
        QPushButton* same = box->findChild<QPushButton*>("peerReadSameCode");
        QVERIFY(same != nullptr);
        QCOMPARE(same->text(), QString("The peer read the same code"));
        box->done(QMessageBox::Ok);
        QTRY_VERIFY(window_->findChild<QMessageBox*>("callCode") == nullptr);

        window_->ShowPeerTrust(CallView::PeerTrust::kChanged);
        QVERIFY(padlock->toolTip().contains("another identity key"));
        window_->ShowPeerTrust(CallView::PeerTrust::kVerified);
        QVERIFY(padlock->toolTip().contains("the peer is verified"));
        QTest::mouseClick(padlock, Qt::LeftButton);
        QTRY_VERIFY((box = window_->findChild<QMessageBox*>("callCode")) != nullptr);
        QVERIFY(box->text().contains("The peer is verified"));
        QVERIFY(box->findChild<QPushButton*>("peerReadSameCode") == nullptr);
        box->done(QMessageBox::Ok);
    }

    void aPlainWindowShowsNoPadlock() {
        Open();
        QVERIFY(Child<QLabel>("padlock")->isHidden());
    }

    void aPrivateCallsPadlockTurnsWhenThePeersDatagramOpensAndTheStatusTextsStay() {
        settings_.port = 0;
        settings_.secret = {'p', 'w'};
        Open();
        QLabel* padlock = Child<QLabel>("padlock");
        QVERIFY(!padlock->isHidden());
        QCOMPARE(padlock->property("proven").toBool(), false);
        QTest::mouseClick(Child<QPushButton>("listen"), Qt::LeftButton);
        QTRY_COMPARE(Status(), QString("Listening..."));
        // A plain datagram neither connects nor proves anything; the padlock's tip names its source.
        UdpPeer plain;
        plain.SendTo(window_->Link().LocalPort());
        QTRY_VERIFY(padlock->toolTip().contains("not sealed"));
        QCOMPARE(Status(), QString("Listening..."));

        // The peer: a copy's session with the same secret, whose keys are agreed in the hellos; its sealed
        // keep-alive proves the secret.
        const SocketAddress link(htonl(INADDR_LOOPBACK), window_->Link().LocalPort());
        CallSession peer;
        CallSession::Config config;
        config.secret = std::make_shared<CallKeys::Secret>(CallKeys::Secret::From({'p', 'w'}));
        config.sessionId = 0x5150;
        config.formatCode = 0xA4;
        config.encrypt = true;
        config.keyPair = CallKeys::MakeKeyPair();
        peer.Start(config, 0);
        peer.SetPeerKnown(true);
        const SocketHandle socket = CreateSocket(false);
        Bind(socket, SocketAddress(htonl(INADDR_LOOPBACK), 0));
        std::unique_ptr<DatagramSealer> sealer;
        bool confirmed = false;
        std::vector<uint8_t> buffer(10000);
        for (int round = 0; round < 100 && !confirmed; ++round) {
            for (int due = 0; due < 4; ++due) {
                const int n = peer.ComposeDue(buffer, round * 100);
                if (n <= 0)
                    break;
                if (buffer[0] == 0x04 && buffer[2] == 1) {
                    ::SendTo(socket, link, buffer.data(), n);
                } else if (sealer) {
                    std::vector<uint8_t> sealed(static_cast<size_t>(n) + 33);
                    const int length =
                        sealer->Seal(buffer.data(), n, sealed.data(), static_cast<int>(sealed.size()));
                    ::SendTo(socket, link, sealed.data(), length);
                    confirmed = true;
                }
            }
            SocketAddress from;
            const int n = ReceiveFrom(socket, &from, buffer.data(), static_cast<int>(buffer.size()), 50);
            if (n > 0 && buffer[0] == 0x04)
                peer.Receive(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)), true,
                             round * 100);
            if (const std::optional<CallKeys> keys = peer.TakeNewKeys())
                sealer = std::make_unique<DatagramSealer>(keys->sendKey, keys->openKey, peer.SessionId());
            QTest::qWait(1);
        }
        QVERIFY(confirmed);
        QTRY_COMPARE(Status(), QString("Connected."));
        QTRY_COMPARE(padlock->property("proven").toBool(), true);
        QVERIFY(padlock->toolTip().contains("holds the secret"));
        Close(socket);
    }

    void anUnknownHostShowsTheErrorAndChangesNoButton() {
        Open();
        Child<QLineEdit>("host")->setText("no-such-host.invalid");
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        QCOMPARE(Status(), QString("Error> Can't connect to the peer!"));
        QVERIFY(Enabled("connect"));
        QVERIFY(!Enabled("disconnect"));
        // Beside the status line's own text, one box names the host and the reason.
        QTRY_COMPARE(window_->ErrorBoxCount(), 1);
        const auto boxes = window_->findChildren<QMessageBox*>("errorBox");
        QCOMPARE(boxes.size(), 1);
        QVERIFY2(boxes[0]->text().startsWith("Cannot connect to no-such-host.invalid: unknown host"),
                 qPrintable(boxes[0]->text()));
    }

    void connectNeverWaitsForALookupTheBannerStarted() {
        heldlookup::Hold hold;
        settings_.bannerServerHost = "banners.held.test";  // its name server does not answer
        Open();
        QVERIFY(hold.WaitForStarted(1));
        UdpPeer peer;
        Child<QLineEdit>("host")->setText("localhost");
        Child<QLineEdit>("port")->setText(QString::number(peer.Port()));
        // Should Connect wait for the banner's lookup, the watchdog lets it go, so that the test fails
        // instead of hanging.
        std::atomic<bool> clicked{false};
        std::atomic<bool> rescued{false};
        std::thread watchdog([&] {
            for (int i = 0; i < 1000 && !clicked; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!clicked) {
                rescued = true;
                hold.Release();
            }
        });
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        clicked = true;
        watchdog.join();
        QVERIFY2(!rescued, "Connect waited for the banner's lookup");
        QTRY_COMPARE(Status(), QString("Connected."));
        QCOMPARE(hold.Waiting(), 1);
    }

    void disconnectWithAutoConnectConnectsAgain() {
        UdpPeer peer;
        settings_.port = peer.Port();
        settings_.autoConnect = true;
        Open();
        QTRY_COMPARE(Status(), QString("Connected."));
        QSignalSpy statuses(window_.get(), &MainDialog::StatusChanged);
        QTest::mouseClick(Child<QPushButton>("disconnect"), Qt::LeftButton);
        QTRY_COMPARE(statuses.size(), 2);
        QCOMPARE(statuses[0][0].toString(), QString("Disconnected."));
        QCOMPARE(statuses[1][0].toString(), QString("Connected."));
        QCOMPARE(window_->Link().GetState(), VoiceLink::kActive);
    }

    void portChecksStopConnectAndShowTheirMessage() {
        Open();
        Child<QLineEdit>("port")->setText("");
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        QVERIFY(window_->ValidationBox() != nullptr);
        QCOMPARE(window_->ValidationBox()->text(), QString("Please enter an integer."));
        Child<QLineEdit>("port")->setText("70000");
        QTest::mouseClick(Child<QPushButton>("listen"), Qt::LeftButton);
        QTRY_VERIFY(window_->ValidationBox() != nullptr);
        QCOMPARE(window_->ValidationBox()->text(), QString("Please enter an integer between 0 and 65535."));
        QCOMPARE(window_->Link().GetState(), VoiceLink::kIdle);
        QCOMPARE(Status(), QString());
    }

    void theWindowIsAMainWindowWithAMinimiseBoxModalToNothing() {
        window_ = std::make_unique<MainDialog>(settings_, "2.5", "070105");
        window_->Initialize();
        QCOMPARE(window_->windowType(), Qt::Window);
        const Qt::WindowFlags flags = window_->windowFlags();
        QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
        QVERIFY(flags.testFlag(Qt::WindowTitleHint));
        QVERIFY(flags.testFlag(Qt::WindowSystemMenuHint));
        QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
        bool ran = false;
        bool modal = true;
        QWidget* modalWidget = window_.get();
        QTimer::singleShot(0, window_.get(), [&] {
            ran = window_->isVisible();
            modal = window_->isModal();
            modalWidget = QApplication::activeModalWidget();
            window_->showMinimized();
            QTest::mouseClick(Child<QPushButton>("exit"), Qt::LeftButton);
        });
        QCOMPARE(window_->Run(), int(QDialog::Accepted));
        QVERIFY(ran);
        QVERIFY(!modal);
        QCOMPARE(modalWidget, nullptr);
        QVERIFY(!window_->isVisible());
    }

    void escapeKeepsTheWindowOpen() {
        Open();
        QTest::keyClick(window_.get(), Qt::Key_Escape);
        QVERIFY(window_->isVisible());
    }

    void enterInTheHostOrPortFieldConnectsAndNeverEndsTheProgram() {
        UdpPeer peer;
        Open();
        Child<QLineEdit>("port")->setText(QString::number(peer.Port()));
        Child<QLineEdit>("host")->setFocus();
        QTest::keyClick(Child<QLineEdit>("host"), Qt::Key_Return);
        QTRY_COMPARE(Status(), QString("Connected."));
        QVERIFY(window_->isVisible());
        QVERIFY(Enabled("disconnect"));
        // During the call Enter in a field does nothing: the call goes on and the window stays.
        Child<QLineEdit>("port")->setFocus();
        QTest::keyClick(Child<QLineEdit>("port"), Qt::Key_Enter);
        QTest::qWait(200);
        QVERIFY(window_->isVisible());
        QCOMPARE(Status(), QString("Connected."));
        QVERIFY(!window_->Link().StopRequested());
    }

    void enterAwayFromTheFieldsAndButtonsIsStillTheOkAction() {
        Open();
        Child<QLineEdit>("port")->setText("99999");
        Child<QLineEdit>("port")->clearFocus();
        QTest::keyClick(window_.get(), Qt::Key_Return);
        QVERIFY2(window_->isVisible(), "a failing port keeps the window");
        window_->ValidationBox()->close();
        Child<QLineEdit>("port")->setText("5007");
        Child<QLineEdit>("port")->clearFocus();
        QTest::keyClick(window_.get(), Qt::Key_Return);
        QVERIFY(!window_->isVisible());
        QVERIFY2(window_->Link().StopRequested(), "the worker was stopped first");
    }

    void theTitleNamesThePeerDuringACallOnly() {
        UdpPeer peer;
        settings_.port = peer.Port();
        Open();
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        const QString named = QString("127.0.0.1:%1 - Q-Parlin").arg(peer.Port());
        QTRY_COMPARE_WITH_TIMEOUT(window_->windowTitle(), named, 3000);
        QTest::mouseClick(Child<QPushButton>("disconnect"), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(window_->windowTitle(), QString("Q-Parlin"), 3000);
    }

    void listeningOnPortZeroShowsThePortReallyBound() {
        settings_.port = 0;
        Open();
        QCOMPARE(Child<QLabel>("callInfo")->text(), QString());
        QTest::mouseClick(Child<QPushButton>("listen"), Qt::LeftButton);
        QTRY_COMPARE(Status(), QString("Listening..."));
        const int bound = window_->Link().LocalPort();
        QVERIFY(bound > 0);
        // The machine's own addresses follow, each with the port the socket really has and no other.
        const QString shown = Child<QLabel>("callInfo")->text();
        QVERIFY2(shown.startsWith(QString("Listening on port %1 (all addresses)").arg(bound)),
                 qPrintable(shown));
        for (const QString& part : shown.split(", ").mid(1))
            QVERIFY2(part.endsWith(QString(":%1").arg(bound)) || part == "...", qPrintable(shown));
        QTest::mouseClick(Child<QPushButton>("disconnect"), Qt::LeftButton);
        QTRY_COMPARE(Child<QLabel>("callInfo")->text(), QString());
    }

    void aCallShowsThePeerItsDurationAndTheOwnPort() {
        UdpPeer peer;
        settings_.port = peer.Port();
        Open();
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        const QString start = QString("Peer 127.0.0.1:%1   0:0").arg(peer.Port());
        QTRY_VERIFY_WITH_TIMEOUT(Child<QLabel>("callInfo")->text().startsWith(start), 3000);
        QVERIFY(Child<QLabel>("callInfo")
                    ->text()
                    .endsWith(QString("own port %1").arg(window_->Link().LocalPort())));
        // The clock runs while the call lasts.
        const QString later = QString("Peer 127.0.0.1:%1   0:01").arg(peer.Port());
        QTRY_VERIFY_WITH_TIMEOUT(Child<QLabel>("callInfo")->text().startsWith(later), 5000);
    }

    void aPortInUseShowsOneDialogWithThePortTheReasonAndTheRemedy() {
        UdpPeer taken;
        settings_.port = taken.Port();
        Open();
        QTest::mouseClick(Child<QPushButton>("listen"), Qt::LeftButton);
        QTRY_COMPARE(window_->ErrorBoxCount(), 1);
        const auto boxes = window_->findChildren<QMessageBox*>("errorBox");
        QCOMPARE(boxes.size(), 1);
        const QString text = boxes[0]->text();
        QVERIFY2(
            text.startsWith(QString("Cannot listen on UDP port %1: the port is in use").arg(taken.Port())),
            qPrintable(text));
        QVERIFY2(!text.contains("Error>"), "no internal prefix");
        // The window does not carry on as if listening.
        QCOMPARE(window_->Link().GetState(), VoiceLink::kIdle);
        QVERIFY(Enabled("listen"));
        QCOMPARE(Child<QLabel>("callInfo")->text(), QString());
    }

    void durationsShowMinutesAndSecondsThenHours() {
        QCOMPARE(MainDialog::DurationText(0), QString("0:00"));
        QCOMPARE(MainDialog::DurationText(59999), QString("0:59"));
        QCOMPARE(MainDialog::DurationText(60000), QString("1:00"));
        QCOMPARE(MainDialog::DurationText(3599000), QString("59:59"));
        QCOMPARE(MainDialog::DurationText(3600000), QString("1:00:00"));
        QCOMPARE(MainDialog::DurationText(36061000), QString("10:01:01"));
        QCOMPARE(MainDialog::DurationText(-5), QString("0:00"));
    }

    void theWindowCanBeMaximisedAndKeepsItsSmallestSize() {
        Open();
        QVERIFY(window_->windowFlags() & Qt::WindowMaximizeButtonHint);
        const QSize smallest = window_->minimumSize();
        QVERIFY(window_->maximumSize().width() > smallest.width());
        window_->resize(smallest.width() + 200, smallest.height() + 100);
        QCOMPARE(window_->width(), smallest.width() + 200);
        window_->resize(10, 10);
        QCOMPARE(window_->size(), smallest);
        // A large window keeps the controls at their size, together in its middle.
        const QSize buttonSize = Child<QPushButton>("connect")->size();
        window_->resize(smallest.width() + 800, smallest.height() + 600);
        QTRY_COMPARE(window_->width(), smallest.width() + 800);
        QCOMPARE(Child<QPushButton>("connect")->size(), buttonSize);
        const QRect block = Child<QWidget>("content")->geometry();
        QCOMPARE(block.size(), smallest);
        QCOMPARE(block.center(), window_->rect().center());
    }

    void theFadersAreNamedAndTheMicrophoneMeterIsNotRed() {
        Open();
        QVERIFY(Child<QWidget>("speakerFader")->toolTip().contains("Speaker volume"));
        QVERIFY(Child<QWidget>("microphoneFader")->toolTip().contains("Microphone level"));
        // What a screen reader says for each.
        QCOMPARE(Child<QWidget>("speakerFader")->accessibleName(), QString("Speaker volume"));
        QCOMPARE(Child<QWidget>("microphoneFader")->accessibleName(), QString("Microphone level"));
        LevelMeter* microphone = Child<LevelMeter>("microphoneMeter");
        microphone->SetValue(80);
        const QImage image = microphone->grab().toImage();
        const QColor lit = image.pixelColor(image.width() / 2, image.height() - 1);
        QVERIFY2(!(lit.red() > 200 && lit.green() < 100), qPrintable(lit.name()));
    }

    void theEchoMarkShowsOnlyWhileTheCancellerRemovesEcho() {
        Open();
        QLabel* mark = Child<QLabel>("echoMark");
        QVERIFY(!mark->isVisible());
        window_->ShowEchoCancelling(true);
        QVERIFY(mark->isVisible());
        QCOMPARE(mark->text(), QString("EC"));
        QVERIFY(mark->toolTip().contains("Echo cancellation is working"));
        window_->ShowEchoCancelling(false);
        QVERIFY(!mark->isVisible());
    }

    void aDeviceThatDoesNotExistShowsOneBoxAndNothingStarts() {
        UdpPeer peer;
        settings_.port = peer.Port();
        settings_.inputDevice = 5;  // the fake has one recording device
        settings_.autoConnect = true;
        Open();
        QTRY_COMPARE(window_->ErrorBoxCount(), 1);
        // Connect again: the same box stays the only one, and still no call starts.
        QTest::mouseClick(Child<QPushButton>("connect"), Qt::LeftButton);
        QTest::qWait(300);
        QCOMPARE(window_->ErrorBoxCount(), 1);
        QCOMPARE(window_->Link().GetState(), VoiceLink::kIdle);
        QVERIFY(Enabled("connect"));
        QVERIFY(Status() != CallController::kConnected);
        const auto boxes = window_->findChildren<QMessageBox*>("errorBox");
        QCOMPARE(boxes.size(), 1);
        // One sentence for a user: the device, the reason and what to do, no internal prefix.
        QVERIFY2(boxes[0]->text().startsWith("Cannot record from recording device 5 (fake): "),
                 qPrintable(boxes[0]->text()));
        QVERIFY(boxes[0]->text().contains("-i:0"));
        QVERIFY(!boxes[0]->text().contains("RECORD"));
    }

    // A device that fails once a call has started (it went away) is still named without the sound
    // threads' internal prefixes.
    void aLaterDeviceFailureIsShownWithoutInternalPrefixes() {
        Open();
        window_->ReportError("PLAY : PlayStart :6:No sound device is present. The fake backend has none.");
        window_->ReportError("RECORD: Open : 2 : The specified device ID is out of range.");
        QTRY_COMPARE(window_->ErrorBoxCount(), 2);
        QStringList texts;
        for (QMessageBox* box : window_->findChildren<QMessageBox*>("errorBox"))
            texts << box->text();
        texts.sort();
        QCOMPARE(texts,
                 QStringList({"Playback failed: No sound device is present. The fake backend has none.",
                              "Recording failed: The specified device ID is out of range."}));
    }

    void meterSegments() {
        QCOMPARE(LevelMeter::SegmentCount(90), 30);
        QCOMPARE(LevelMeter::SegmentCount(200), 67);
        LevelMeter meter;
        meter.SetRange(0, 80);
        meter.SetValue(1);
        QCOMPARE(meter.LitSegments(90), 1);
        QCOMPARE(meter.LitSegments(200), 2);
        meter.SetValue(0);
        QCOMPARE(meter.LitSegments(90), 0);
        meter.SetValue(80);
        QCOMPARE(meter.LitSegments(90), 30);
        meter.SetValue(250);
        QCOMPARE(meter.Value(), 80);
        QCOMPARE(meter.LitSegments(200), 67);
        meter.SetValue(40);
        QCOMPARE(meter.LitSegments(90), 16);  // 50 % lights segments 0 to 15 (15 * 100 / 30 = 50)
    }

    void theWindowShowsLevelsOfAtLeastOne() {
        Open();
        window_->Controller().HandleMessage({WM_AUDIO_LEVELS, 0, 37});
        QCOMPARE(Child<LevelMeter>("microphoneMeter")->Value(), 1);
        QCOMPARE(Child<LevelMeter>("speakerMeter")->Value(), 37);
    }

    void theMetersFallToTheirLowestMarkWhenLevelsStop() {
        Open();
        window_->Controller().HandleMessage({WM_AUDIO_LEVELS, 60, 70});
        QCOMPARE(Child<LevelMeter>("speakerMeter")->Value(), 70);
        QElapsedTimer clock;
        clock.start();
        QTRY_COMPARE_WITH_TIMEOUT(Child<LevelMeter>("speakerMeter")->Value(), 1, 1000);
        QCOMPARE(Child<LevelMeter>("microphoneMeter")->Value(), 1);
        QVERIFY2(clock.elapsed() >= 200, "levels that keep arriving are not cut short");
        // The next levels light it again.
        window_->Controller().HandleMessage({WM_AUDIO_LEVELS, 50, 50});
        QCOMPARE(Child<LevelMeter>("speakerMeter")->Value(), 50);
    }

    void aboutBoxFillsTheVersionLabelAndTheHelp() {
        AboutDialog about("2.5", "070105");
        QCOMPARE(about.windowTitle(), QString("About Q-Parlin"));
        QCOMPARE(about.VersionLabel(), QString("Version 2.5   Build 070105"));
        QVERIFY(about.HelpText().startsWith("Supported parameters are:\n -a:codec\n"));
        QVERIFY(!about.HelpText().contains('\r'));
        QVERIFY(about.HelpText().contains("ilbc_8khz\t\t- iLBC  at  8 KHz (32 Kbps)"));
        QVERIFY2(about.HelpText().contains("\nqparlin -l:5005:yes -a:ilbc_11khz\n"), "Linux examples");
        QVERIFY(!about.HelpText().contains(".exe"));
    }

    // Opens whichever modal dialog `open` brings up, hands it to `check` and closes it.
    void WithModalDialog(const std::function<void()>& open, const std::function<void(QDialog&)>& check) {
        bool seen = false;
        QTimer::singleShot(0, this, [&] {
            auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr)
                return;
            seen = true;
            check(*dialog);
            dialog->reject();
        });
        open();
        QVERIFY(seen);
    }

    void questionMarkOpensTheGuideAndTheWindowMenuTheAboutBox() {
        Open();
        WithModalDialog(
            [&] { QTest::mouseClick(Child<QPushButton>("help"), Qt::LeftButton); },
            [](QDialog& dialog) {
                QCOMPARE(dialog.objectName(), QString("windowGuide"));
                const QString text = WindowGuide::Text();
                for (const char* control : {"Listen", "Connect", "Disconnect", "address book", "Exit"})
                    QVERIFY2(text.contains(control), control);
                QVERIFY(!text.contains("-a:codec"));
            });
        WithModalDialog([&] { window_->OnSysCommand(MainDialog::kAboutCommand); },
                        [](QDialog& dialog) { QVERIFY(qobject_cast<AboutDialog*>(&dialog) != nullptr); });
    }
};

QTEST_MAIN(MainDialogTest)
#include "maindialog_test.moc"

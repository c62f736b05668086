// The program's window: peer host and port, Connect, Listen, Disconnect, Exit, the address-book and help
// buttons, the two volume faders, the two level meters, the two mute buttons, the status line and the
// banner area. What the buttons do lives in CallController; this class draws, exchanges the fields and
// turns posted messages and device errors into what the user sees.
#pragma once

#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <functional>
#include <memory>
#include <set>
#include <string>

#include "app/CallController.h"
#include "app/CallView.h"
#include "app/QtMessageTarget.h"
#include "app/Settings.h"
#include "link/VoiceLink.h"
#include "platform/ErrorSink.h"
#include "reach/LanCopySource.h"

class BannerView;
class LevelMeter;
class QLabel;
class QLineEdit;

class QPushButton;
class CMixerFader;

class MainDialog final : public QDialog, public CallView, public ErrorSink {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Q-Parlin";
    static constexpr const char* kAboutItem = "&About Q-Parlin...";
    static constexpr int kAboutCommand = 16;  // the About item's command id
    static constexpr int kMeterMaximum = 80;
    // The window's one timer, which turns the banners.
    static constexpr int kTimerPeriodMs = 1000;
    // Meters fall to their lowest mark when no levels have arrived for this long, so that a still meter
    // never reads as sound arriving.
    static constexpr int kMeterHoldMs = 250;
    // Run's result when the settings dialog changed the settings: the window is to be made again with
    // NewSettings(), on devices opened anew.
    static constexpr int kRestart = 2;
    // A sound thread's report as a user reads it: its internal prefix ("PLAY : PlayStart :6:") becomes
    // "Playback failed: " or "Recording failed: "; any other text stays as it is.
    static QString UserText(const QString& report);
    // "h:mm:ss", or "m:ss" under an hour.
    static QString DurationText(qint64 milliseconds);

    MainDialog(const Settings& settings, std::string versionText, std::string buildText,
               QWidget* parent = nullptr);
    ~MainDialog() override;

    // The window's start-up: meters, buttons, the settings into the fields, the link and its worker, then
    // an automatic connect or listen.
    void Initialize();
    // Shows the window and runs until it ends (Exit, closing it, the OK action); returns its result.
    int Run();

    // CallView
    void ShowStatus(const std::string& text) override;
    void ShowEchoCancelling(bool cancelling) override;
    void EnableButtons(bool connectAndListen, bool disconnect) override;
    void ShowLevels(int microphone, int speaker) override;
    void ShowMuteButtons(bool speakersMuted, bool microphoneMuted) override;
    bool ReadFields(std::string& host, int& port, bool& muteSpeakers, bool& muteMicrophone) override;
    void WriteFields(const std::string& host, int port, bool muteSpeakers, bool muteMicrophone) override;
    // A private call: a padlock at the status line's right end, grey until the peer has proven the secret.
    void ShowPeerProven(bool proven, const std::string& peer) override;
    void ShowNotSealed(const std::string& source) override;
    // An encrypted call: the padlock, green, whose click shows the call's code; hidden otherwise.
    void ShowEncryption(bool encrypted, const std::string& code) override;
    // The peer's standing by its identity key: said in the padlock's tooltip and its code view, which
    // offers "The peer read the same code" while the peer is not verified.
    void ShowPeerTrust(PeerTrust trust) override;
    // The call's state in small type on the status line's second row; a notice takes its place until the
    // call ends, with the state in the tool tip.
    void ShowCallState(const std::string& text) override;
    void ShowNotice(const std::string& text) override;
    // A session's quality: a small coloured mark under the meters, the figures both ways in its tool tip.
    void ShowQuality(const std::string& mark, const std::string& figures) override;
    void ShowReachability(const std::string& text, const std::string& address) override;

    // ErrorSink: any thread; the box appears on the user-interface thread and blocks nobody.
    void ReportError(const std::string& text) override;

    CallController& Controller() { return controller_; }
    // The settings the window is to start again with, after Run returned kRestart.
    const Settings& NewSettings() const { return newSettings_; }
    VoiceLink& Link() { return link_; }
    // The message box of the last failed field check, or null; shown without blocking the caller.
    QMessageBox* ValidationBox() const { return validationBox_; }
    // The error boxes now on screen.
    int ErrorBoxCount() const { return static_cast<int>(errorTexts_.size()); }
    // Which mute bitmap each button shows: 131 or 135 (speakers), 129 or 134 (microphone).
    int SpeakerBitmap() const { return speakerBitmap_; }
    int MicrophoneBitmap() const { return microphoneBitmap_; }
    CMixerFader& SpeakerFader() { return *speakerFader_; }
    CMixerFader& MicrophoneFader() { return *microphoneFader_; }
    // Where the address book finds the copies on the LAN: Avahi's browser unless a test sets a stand-in.
    using LanSourceMaker = std::function<std::unique_ptr<LanCopySource>()>;
    void SetLanSource(LanSourceMaker make) { makeLanSource_ = std::move(make); }
    // The window's own commands: kAboutCommand opens the About box.
    void OnSysCommand(int command);

signals:
    // Every status the window shows, in order, even one that is replaced at once.
    void StatusChanged(const QString& text);

public slots:
    void OnConnect();
    void OnListen();
    void OnDisconnect();
    void OnExit();
    void OnMuteSpeakers();
    void OnMuteMicrophone();
    // "?": the guide to the window. The About box (the window's menu) holds the command-line help.
    void OnHelp();
    void OnAbout();
    void OnAddressBook();
    // The settings dialog (only while no call runs): on OK its choices are remembered and the window starts
    // again with them.
    void OnSettings();

protected:
    bool event(QEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void reject() override;

private:
    void UpdateSpeakerToolTip();
    LanSourceMaker makeLanSource_;
    // The title names the peer while a call is up, so that two copies' windows can be told apart.
    void UpdateTitle();
    // The line under the status: the peer and the call's duration in a call, the port really bound while
    // listening, so that the user can tell the peer where to call.
    void UpdateCallInfo();
    // Enter in the host or port field: connect when the window can, otherwise nothing.
    void OnEnterInField();
    void BuildControls();
    void ShowErrorBox(const QString& text);
    void ShowValidationMessage(const QString& text);
    // The OK action: read and check the fields; when they pass, end as Exit does.
    void OnOk();
    void EndProgram();
    // Why no call can start, or empty: a refused secret file, or devices that did not open (checked until
    // they do once).
    std::string StartProblem();
    // After a Connect or Listen the user made: the host and port are remembered for the next start.
    void RememberPeer();
    QRect Dlu(int x, int y, int width, int height) const;

    Settings settings_;
    std::string versionText_;
    std::string buildText_;
    QtMessageTarget poster_;
    VoiceLink link_;
    CallController controller_;
    bool ended_ = false;
    bool soundChecked_ = false;
    Settings newSettings_;

    QLineEdit* host_ = nullptr;
    QLineEdit* port_ = nullptr;
    QPushButton* connect_ = nullptr;
    QPushButton* listen_ = nullptr;
    QPushButton* disconnect_ = nullptr;
    QPushButton* exit_ = nullptr;
    QPushButton* addressBook_ = nullptr;
    QPushButton* help_ = nullptr;
    QPushButton* settingsButton_ = nullptr;
    QPushButton* muteSpeakers_ = nullptr;
    QPushButton* muteMicrophone_ = nullptr;
    CMixerFader* speakerFader_ = nullptr;
    CMixerFader* microphoneFader_ = nullptr;
    LevelMeter* speakerMeter_ = nullptr;
    LevelMeter* microphoneMeter_ = nullptr;
    LevelMeter* panel_ = nullptr;
    QLabel* status_ = nullptr;
    QLabel* padlock_ = nullptr;  // inside the status line, shown in private calls only
    PeerTrust peerTrust_ = PeerTrust::kNone;
    QLabel* echoMark_ = nullptr;   // inside the status line, shown while the echo canceller works
    QLabel* callState_ = nullptr;  // inside the status line, under its text
    QLabel* quality_ = nullptr;    // under the meters, in a session only
    QLabel* callInfo_ = nullptr;   // under the status line
    // The port mapping's result for the line under the status, and the mapped "host:port" the window's
    // menu copies.
    QString reachability_;
    QString mappedAddress_;
    QElapsedTimer callClock_;  // since the peer became known in this call
    QString notice_;
    BannerView* banner_ = nullptr;
    int timer_ = 0;
    int meterTimer_ = 0;  // checks often that levels still arrive
    QElapsedTimer levelsArrived_;
    QPointer<QMessageBox> validationBox_;
    std::set<QString> errorTexts_;  // texts of the error boxes on screen
    int speakerBitmap_ = 131;
    int microphoneBitmap_ = 129;
};

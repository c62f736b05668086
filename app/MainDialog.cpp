#include "app/MainDialog.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QFrame>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QPen>
#include <QPointer>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTimerEvent>
#include <algorithm>
#include <cmath>
#include <iostream>
#include <utility>

#include "addressbook/ContactsDialog.h"
#include "app/AboutDialog.h"
#include "app/BannerView.h"
#include "app/LevelMeter.h"
#include "app/SettingsDialog.h"
#include "app/SettingsFile.h"
#include "app/SoundCheck.h"
#include "app/WindowGuide.h"
#include "mixer/CMixerFader.h"
#include "platform/wave/Wave.h"
#include "reach/LanAnnouncer.h"
#include "toolkit/DialogLook.h"

namespace {

constexpr int kDialogWidthDlu = 197;
constexpr int kDialogHeightDlu = 199;
const QColor kSpeakerLit{50, 240, 50};
// Red reads as clipping; the microphone's bar is a calm blue, distinct from the speaker's green.
const QColor kMicrophoneLit{60, 160, 255};
const QColor kUnlit{0, 80, 0};
const QColor kPanelLit{0, 80, 0};
// 0x00BBGGRR: the window's green, and a lighter one for a held thumb.
constexpr uint32_t kFaderBackground = 0xBEF0BE;
constexpr uint32_t kFaderHighlight = 0xC8FFC8;

const QColor kPadlockProven{0, 110, 0};
const QColor kPadlockWaiting{150, 150, 150};

// A 16-pixel padlock, drawn rather than taken from a font: not every font has the symbol.
QPixmap Padlock(const QColor& color) {
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, 2));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(4, 1, 8, 10), 0, 180 * 16);
    painter.drawLine(QPointF(4, 6), QPointF(4, 8));
    painter.drawLine(QPointF(12, 6), QPointF(12, 8));
    painter.setPen(Qt::NoPen);
    painter.setBrush(color);
    painter.drawRect(QRectF(2, 7, 12, 8));
    return pixmap;
}

QPixmap MuteBitmap(const char* resource) {
    // Magenta is the bitmaps' transparent colour.
    QPixmap pixmap(resource);
    pixmap.setMask(pixmap.createMaskFromColor(QColor(255, 0, 255), Qt::MaskInColor));
    return pixmap;
}

}  // namespace

MainDialog::MainDialog(const Settings& settings, std::string versionText, std::string buildText,
                       QWidget* parent)
    : QDialog(parent),
      settings_(settings),
      versionText_(std::move(versionText)),
      buildText_(std::move(buildText)),
      poster_(this),
      controller_(link_, settings_, *this) {
    Q_INIT_RESOURCE(qparlin);  // the images live in a static library
    setWindowTitle(kCaption);
    setObjectName("mainDialog");
    // The program's main window, not a dialog over some other: a window of its own kind, with a title bar,
    // a system menu, a minimise box and a close box, and modal to nothing (see Run).
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setWindowIcon(QIcon(":/images/icon-128.png"));
    BuildControls();
}

MainDialog::~MainDialog() {
    EndProgram();
    SetErrorSink(nullptr);
    // The boxes tell this object when they go; let them go while it is still whole.
    qDeleteAll(findChildren<QMessageBox*>(Qt::FindDirectChildrenOnly));
}

QRect MainDialog::Dlu(int x, int y, int width, int height) const {
    return DialogUnits(*this, x, y, width, height);
}

void MainDialog::BuildControls() {
    ApplyDialogLook(*this);

    banner_ = new BannerView(settings_.bannerServerHost, settings_.bannerServerPort, this);
    banner_->setObjectName("banner");
    banner_->setGeometry(Dlu(7, 7, 183, 60));

    auto* hostLabel = new QLabel("Computer name or IP address", this);
    hostLabel->setGeometry(Dlu(7, 72, 120, 8));
    host_ = new QLineEdit(this);
    host_->setObjectName("host");
    host_->setGeometry(Dlu(7, 81, 104, 12));
    addressBook_ = new QPushButton("...", this);
    addressBook_->setObjectName("addressBook");
    addressBook_->setToolTip("Address book");
    addressBook_->setGeometry(Dlu(113, 81, 14, 12));

    auto* portLabel = new QLabel("Port", this);
    portLabel->setGeometry(Dlu(7, 97, 40, 8));
    port_ = new QLineEdit(this);
    port_->setObjectName("port");
    port_->setAlignment(Qt::AlignRight);
    port_->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), port_));
    port_->setGeometry(Dlu(7, 106, 44, 12));
    help_ = new QPushButton("?", this);
    help_->setObjectName("help");
    help_->setToolTip("How to use this window");
    help_->setGeometry(Dlu(113, 106, 14, 12));
    settingsButton_ = new QPushButton("Se&ttings...", this);
    settingsButton_->setObjectName("settings");
    settingsButton_->setToolTip("Codec, devices, private call, direction and listen port");
    settingsButton_->setGeometry(Dlu(55, 106, 54, 12));

    connect_ = new QPushButton("&Connect", this);
    connect_->setObjectName("connect");
    connect_->setToolTip("Connect to the specified host");
    connect_->setGeometry(Dlu(7, 124, 58, 14));
    listen_ = new QPushButton("&Listen", this);
    listen_->setObjectName("listen");
    listen_->setToolTip("Listen for an incoming connection");
    listen_->setGeometry(Dlu(69, 124, 58, 14));
    disconnect_ = new QPushButton("&Disconnect", this);
    disconnect_->setObjectName("disconnect");
    disconnect_->setToolTip("Close the connection");
    disconnect_->setGeometry(Dlu(7, 142, 58, 14));
    exit_ = new QPushButton("E&xit", this);
    exit_->setObjectName("exit");
    exit_->setToolTip("Close the application");
    exit_->setGeometry(Dlu(69, 142, 58, 14));

    status_ = new QLabel(this);
    status_->setObjectName("status");
    status_->setFrameShape(QFrame::Panel);
    status_->setFrameShadow(QFrame::Sunken);
    status_->setWordWrap(true);
    status_->setGeometry(Dlu(7, 164, 120, 20));
    // The padlock sits inside the status line, so that the line and its texts stay as they are.
    padlock_ = new QLabel(status_);
    padlock_->setObjectName("padlock");
    padlock_->setGeometry(status_->width() - 20, (status_->height() - 16) / 2, 16, 16);
    padlock_->hide();
    // Beside the padlock: "EC" while the echo canceller removes the echo of what this copy plays.
    echoMark_ = new QLabel("EC", status_);
    echoMark_->setObjectName("echoMark");
    QFont mark = echoMark_->font();
    mark.setPointSizeF(mark.pointSizeF() * 0.7);
    mark.setBold(true);
    echoMark_->setFont(mark);
    echoMark_->setStyleSheet("color: #2a7a2a");
    echoMark_->setToolTip("Echo cancellation is working: the peer does not hear itself back");
    echoMark_->setGeometry(status_->width() - 40, (status_->height() - 16) / 2, 18, 16);
    echoMark_->hide();
    padlock_->installEventFilter(this);
    // The status's own text keeps the line's top row; the call's state goes under it, in small type.
    status_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    callState_ = new QLabel(status_);
    callState_->setObjectName("callState");
    QFont small = callState_->font();
    small.setPointSizeF(small.pointSizeF() * 0.8);
    callState_->setFont(small);
    callState_->setGeometry(3, status_->height() / 2, status_->width() - 24, status_->height() / 2 - 1);

    callInfo_ = new QLabel(this);
    callInfo_->setObjectName("callInfo");
    callInfo_->setTextInteractionFlags(Qt::TextSelectableByMouse);  // an address to copy to the peer
    callInfo_->setGeometry(Dlu(7, 186, 183, 10));

    speakerFader_ = new CMixerFader(Qt::Vertical, this);
    speakerFader_->setObjectName("speakerFader");
    speakerFader_->setGeometry(Dlu(135, 72, 12, 86));
    speakerFader_->setToolTip("Speaker volume (playback)");
    speakerFader_->setAccessibleName("Speaker volume");
    microphoneFader_ = new CMixerFader(Qt::Vertical, this);
    microphoneFader_->setObjectName("microphoneFader");
    microphoneFader_->setGeometry(Dlu(178, 72, 12, 86));
    microphoneFader_->setToolTip("Microphone level (recording)");
    microphoneFader_->setAccessibleName("Microphone level");

    panel_ = new LevelMeter(this);
    panel_->setObjectName("meterPanel");
    panel_->setGeometry(Dlu(150, 72, 25, 86));
    const QRect panelArea = panel_->geometry();
    const int meterWidth = panelArea.width() / 3;
    const int inset = (panelArea.width() - 2 * meterWidth) / 3;
    speakerMeter_ = new LevelMeter(this);
    speakerMeter_->setObjectName("speakerMeter");
    speakerMeter_->setGeometry(panelArea.x() + inset, panelArea.y() + 4, meterWidth, panelArea.height() - 8);
    microphoneMeter_ = new LevelMeter(this);
    microphoneMeter_->setObjectName("microphoneMeter");
    microphoneMeter_->setToolTip("Microphone level");
    microphoneMeter_->setGeometry(panelArea.x() + 2 * inset + meterWidth, panelArea.y() + 4, meterWidth,
                                  panelArea.height() - 8);

    muteSpeakers_ = new QPushButton(this);
    muteSpeakers_->setObjectName("muteSpeakers");
    muteSpeakers_->setToolTip("Mute Speakers");
    muteSpeakers_->setCheckable(true);
    muteSpeakers_->setGeometry(Dlu(135, 164, 26, 20));
    quality_ = new QLabel(this);
    quality_->setObjectName("quality");
    quality_->setAlignment(Qt::AlignCenter);
    QFont tiny = quality_->font();
    tiny.setPointSizeF(tiny.pointSizeF() * 0.7);
    quality_->setFont(tiny);
    quality_->setGeometry(Dlu(135, 158, 55, 6));
    quality_->hide();
    muteMicrophone_ = new QPushButton(this);
    muteMicrophone_->setObjectName("muteMicrophone");
    muteMicrophone_->setToolTip("Mute Microphone");
    muteMicrophone_->setCheckable(true);
    muteMicrophone_->setGeometry(Dlu(164, 164, 26, 20));
    for (QPushButton* mute : {muteSpeakers_, muteMicrophone_})
        mute->setIconSize(QSize(24, 20));

    // Enter in the host or port field connects; elsewhere it is the dialog's OK action unless a button has
    // the focus, so no button is a default one.
    for (QPushButton* button : findChildren<QPushButton*>()) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    QObject::connect(host_, &QLineEdit::returnPressed, this, &MainDialog::OnEnterInField);
    QObject::connect(port_, &QLineEdit::returnPressed, this, &MainDialog::OnEnterInField);
    QObject::connect(connect_, &QPushButton::clicked, this, &MainDialog::OnConnect);
    QObject::connect(listen_, &QPushButton::clicked, this, &MainDialog::OnListen);
    QObject::connect(disconnect_, &QPushButton::clicked, this, &MainDialog::OnDisconnect);
    QObject::connect(exit_, &QPushButton::clicked, this, &MainDialog::OnExit);
    QObject::connect(muteSpeakers_, &QPushButton::clicked, this, &MainDialog::OnMuteSpeakers);
    QObject::connect(muteMicrophone_, &QPushButton::clicked, this, &MainDialog::OnMuteMicrophone);
    QObject::connect(help_, &QPushButton::clicked, this, &MainDialog::OnHelp);
    QObject::connect(addressBook_, &QPushButton::clicked, this, &MainDialog::OnAddressBook);
    QObject::connect(settingsButton_, &QPushButton::clicked, this, &MainDialog::OnSettings);

    // The controls keep their sizes and places among themselves; a larger or maximised window keeps them
    // together in its middle instead of stretching a fader or a button across a screen.
    const QSize size = Dlu(0, 0, kDialogWidthDlu, kDialogHeightDlu).size();
    auto* content = new QWidget(this);
    content->setObjectName("content");
    for (QWidget* child : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child != content)
            child->setParent(content);
    }
    content->setFixedSize(size);
    auto* layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(content, 1, 1);
    layout->setRowStretch(0, 1);
    layout->setRowStretch(2, 1);
    layout->setColumnStretch(0, 1);
    layout->setColumnStretch(2, 1);
    setMinimumSize(size);
    resize(size);
}

void MainDialog::Initialize() {
    for (LevelMeter* meter : {speakerMeter_, microphoneMeter_, panel_}) {
        meter->SetRange(0, kMeterMaximum);
        meter->SetValue(0);
    }
    speakerMeter_->SetColors(kSpeakerLit, kUnlit);
    microphoneMeter_->SetColors(kMicrophoneLit, kUnlit);
    panel_->SetColors(kPanelLit, kUnlit);
    // The faders: master playback volume on the left, the microphone's recording level on the right. A
    // fader that finds no control stays disabled; the rest of the window works without it.
    for (CMixerFader* fader : {speakerFader_, microphoneFader_}) {
        fader->SetBackgroundColor(kFaderBackground);
        fader->SetColors(kFaderBackground, kFaderHighlight);
    }
    speakerFader_->Init(MIXERLINE_COMPONENTTYPE_DST_SPEAKERS, NO_SOURCE_LINE, MIXERCONTROL_CONTROLTYPE_VOLUME,
                        CMixerFaderLogic::MAIN);
    microphoneFader_->Init(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, MIXERLINE_COMPONENTTYPE_SRC_MICROPHONE,
                           MIXERCONTROL_CONTROLTYPE_VOLUME, CMixerFaderLogic::MAIN);
    SetErrorSink(this);
    controller_.SetStartCheck([this] { return StartProblem(); });
    // Said at once, in one box, even when nothing is to start by itself; an automatic start then finds the
    // same box on screen and adds none.
    if (const std::string problem = StartProblem(); !problem.empty())
        ShowErrorBox(QString::fromStdString(problem));
    controller_.Initialize(&poster_, &poster_);
    banner_->Load();
    timer_ = startTimer(kTimerPeriodMs);
    meterTimer_ = startTimer(kMeterHoldMs / 5);
    levelsArrived_.start();
}

void MainDialog::ShowStatus(const std::string& text) {
    status_->setText(QString::fromStdString(text));
    UpdateCallInfo();
    UpdateTitle();
    emit StatusChanged(status_->text());
}

void MainDialog::ShowEchoCancelling(bool cancelling) {
    echoMark_->setVisible(cancelling);
}

void MainDialog::ShowPeerProven(bool proven, const std::string& peer) {
    padlock_->setPixmap(Padlock(proven ? kPadlockProven : kPadlockWaiting));
    padlock_->setProperty("proven", proven);
    padlock_->setToolTip(
        proven ? QString("Private call: %1 holds the secret").arg(QString::fromStdString(peer))
               : QString("Private call: no datagram from the peer has opened with the secret yet"));
    padlock_->show();
}

void MainDialog::ShowEncryption(bool encrypted, const std::string& code) {
    padlock_->setProperty("code", QString::fromStdString(code));
    if (!encrypted) {
        padlock_->hide();
        return;
    }
    padlock_->setPixmap(Padlock(kPadlockProven));
    padlock_->setToolTip(
        QString("Encrypted call: the code is %1 (click to compare)").arg(QString::fromStdString(code)));
    padlock_->show();
}

void MainDialog::ShowPeerTrust(PeerTrust trust) {
    peerTrust_ = trust;
    const QString code = padlock_->property("code").toString();
    if (code.isEmpty())
        return;
    QString tip = QString("Encrypted call: the code is %1 (click to compare)").arg(code);
    if (trust == PeerTrust::kVerified)
        tip += "; the peer is verified";
    else if (trust == PeerTrust::kChanged)
        tip += "; WARNING: this address was verified with another identity key";
    padlock_->setToolTip(tip);
}

bool MainDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == padlock_ && event->type() == QEvent::MouseButtonPress) {
        const QString code = padlock_->property("code").toString();
        if (!code.isEmpty()) {
            QString text = QString(
                               "Encrypted call. The code is %1: read it to the peer, who must see the same "
                               "code. A different code means somebody sits between you.")
                               .arg(code);
            if (peerTrust_ == PeerTrust::kVerified)
                text += " The peer is verified: its identity key is the one whose code was compared before.";
            else if (peerTrust_ == PeerTrust::kChanged)
                text += " WARNING: this address was verified before with another identity key.";
            auto* box = new QMessageBox(QMessageBox::Information, kCaption, text, QMessageBox::Ok, this);
            if (peerTrust_ == PeerTrust::kUnverified || peerTrust_ == PeerTrust::kChanged) {
                QPushButton* same = box->addButton("The peer read the same code", QMessageBox::AcceptRole);
                same->setObjectName("peerReadSameCode");
                connect(same, &QPushButton::clicked, this, [this] { controller_.OnPeerReadSameCode(); });
            }
            box->setObjectName("callCode");
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

void MainDialog::ShowNotSealed(const std::string& source) {
    // The status texts stay as they are: the reason goes to the padlock's tooltip, which the user finds
    // where the padlock stays grey.
    std::cerr << "qparlin: datagrams from " << source << " are not sealed with our secret" << std::endl;
    if (padlock_->property("proven").toBool())
        return;
    padlock_->setToolTip(QString("Private call: datagrams from %1 are not sealed with our secret")
                             .arg(QString::fromStdString(source)));
}

void MainDialog::ShowCallState(const std::string& text) {
    if (text.empty())
        notice_.clear();
    const QString state = QString::fromStdString(text);
    callState_->setText(notice_.isEmpty() ? state : notice_);
    callState_->setToolTip(notice_.isEmpty() ? QString() : state);
}

void MainDialog::ShowNotice(const std::string& text) {
    std::cerr << "qparlin: " << text << std::endl;
    notice_ = QString::fromStdString(text);
    const QString state = callState_->toolTip().isEmpty() ? callState_->text() : callState_->toolTip();
    callState_->setText(notice_);
    callState_->setToolTip(state);
}

void MainDialog::ShowQuality(const std::string& mark, const std::string& figures) {
    if (mark.empty()) {
        quality_->hide();
        return;
    }
    const char* colour = mark == "good" ? "#1a7f37" : mark == "fair" ? "#b35900" : "#c0392b";
    quality_->setText(QString::fromStdString(mark));
    quality_->setStyleSheet(QString("color: %1; font-weight: bold;").arg(colour));
    quality_->setToolTip(QString::fromStdString("Call quality: " + mark + "\n" + figures));
    quality_->show();
}

void MainDialog::EnableButtons(bool connectAndListen, bool disconnect) {
    connect_->setEnabled(connectAndListen);
    listen_->setEnabled(connectAndListen);
    settingsButton_->setEnabled(connectAndListen);
    disconnect_->setEnabled(disconnect);
}

void MainDialog::ShowLevels(int microphone, int speaker) {
    levelsArrived_.restart();
    microphoneMeter_->SetValue(microphone);
    speakerMeter_->SetValue(speaker);
}

void MainDialog::ShowMuteButtons(bool speakersMuted, bool microphoneMuted) {
    speakerBitmap_ = speakersMuted ? 135 : 131;
    microphoneBitmap_ = microphoneMuted ? 134 : 129;
    muteSpeakers_->setIcon(
        QIcon(MuteBitmap(speakersMuted ? ":/images/speaker-muted.png" : ":/images/speaker-up.png")));
    muteMicrophone_->setIcon(
        QIcon(MuteBitmap(microphoneMuted ? ":/images/microphone-muted.png" : ":/images/microphone-up.png")));
}

bool MainDialog::ReadFields(std::string& host, int& port, bool& muteSpeakers, bool& muteMicrophone) {
    host = host_->text().toStdString();
    muteSpeakers = muteSpeakers_->isChecked();
    muteMicrophone = muteMicrophone_->isChecked();
    bool number = false;
    const qlonglong value = port_->text().trimmed().toLongLong(&number);
    if (!number) {
        ShowValidationMessage("Please enter an integer.");
        return false;
    }
    if (value < 0 || value > 65535) {
        ShowValidationMessage("Please enter an integer between 0 and 65535.");
        return false;
    }
    port = static_cast<int>(value);
    return true;
}

void MainDialog::WriteFields(const std::string& host, int port, bool muteSpeakers, bool muteMicrophone) {
    host_->setText(QString::fromStdString(host));
    port_->setText(QString::number(port));
    muteSpeakers_->setChecked(muteSpeakers);
    muteMicrophone_->setChecked(muteMicrophone);
}

void MainDialog::ShowValidationMessage(const QString& text) {
    if (validationBox_)
        validationBox_->close();
    auto* box = new QMessageBox(QMessageBox::Warning, kCaption, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    validationBox_ = box;
    box->open();
    port_->setFocus();
}

QString MainDialog::UserText(const QString& report) {
    // "PLAY : PlayStart :6:text" and "RECORD: Open : 2 : text", as the sound threads write them for logs.
    static const QRegularExpression kPrefix(R"(^(PLAY|RECORD) ?: ?\w+ ?: ?\d+ ?: ?)");
    const QRegularExpressionMatch match = kPrefix.match(report);
    if (!match.hasMatch())
        return report;
    return (match.captured(1) == "PLAY" ? "Playback failed: " : "Recording failed: ") +
           report.mid(match.capturedLength());
}

void MainDialog::ReportError(const std::string& text) {
    const QString message = UserText(QString::fromStdString(text));
    QMetaObject::invokeMethod(
        this, [this, message] { ShowErrorBox(message); }, Qt::QueuedConnection);
}

void MainDialog::ShowErrorBox(const QString& text) {
    // Automatic reconnection would stack the same report at every call: one box per text is enough.
    if (!errorTexts_.insert(text).second)
        return;
    auto* box = new QMessageBox(QMessageBox::Critical, kCaption, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("errorBox");
    box->setModal(false);
    QObject::connect(box, &QObject::destroyed, this, [this, text] { errorTexts_.erase(text); });
    box->show();
}

bool MainDialog::event(QEvent* event) {
    if (event->type() == MessageEvent::EventType()) {
        controller_.HandleMessage(static_cast<MessageEvent*>(event)->GetMessage());
        return true;
    }
    return QDialog::event(event);
}

int MainDialog::Run() {
    // exec() would make the window application-modal, which window managers show as a dialog that
    // cannot be minimised.
    setWindowModality(Qt::NonModal);
    QEventLoop loop;
    QObject::connect(this, &QDialog::finished, &loop, &QEventLoop::quit);
    show();
    loop.exec();
    return result();
}

void MainDialog::OnEnterInField() {
    if (connect_->isEnabled())
        OnConnect();
}

void MainDialog::UpdateTitle() {
    QString title = kCaption;
    if (link_.GetState() != VoiceLink::kIdle) {
        const SocketAddress peer = link_.GetCallState().peer;
        if (!peer.IsAny())
            title = QString("%1 - %2").arg(QString::fromStdString(peer.Text())).arg(kCaption);
    }
    if (windowTitle() != title)
        setWindowTitle(title);
}

QString MainDialog::DurationText(qint64 milliseconds) {
    const qint64 seconds = std::max<qint64>(milliseconds, 0) / 1000;
    const QString minutesAndSeconds = QString("%1:%2")
                                          .arg(seconds / 60 % 60, seconds >= 3600 ? 2 : 1, 10, QChar('0'))
                                          .arg(seconds % 60, 2, 10, QChar('0'));
    return seconds >= 3600 ? QString("%1:%2").arg(seconds / 3600).arg(minutesAndSeconds) : minutesAndSeconds;
}

void MainDialog::UpdateCallInfo() {
    QString text;
    if (link_.GetState() != VoiceLink::kIdle) {
        const SocketAddress peer = link_.GetCallState().peer;
        const int port = link_.LocalPort();
        if (peer.IsAny()) {
            callClock_.invalidate();
            text = QString::fromStdString(CallController::ReachableText(port, link_.LocalAddress()));
            if (!reachability_.isEmpty())
                text += "; " + reachability_;
        } else {
            if (!callClock_.isValid())
                callClock_.start();
            text = QString("Peer %1   %2   own port %3")
                       .arg(QString::fromStdString(peer.Text()))
                       .arg(DurationText(callClock_.elapsed()))
                       .arg(port);
        }
    } else {
        callClock_.invalidate();
    }
    if (callInfo_->text() != text)
        callInfo_->setText(text);
}

void MainDialog::OnConnect() {
    if (controller_.OnConnect())
        RememberPeer();
}

void MainDialog::OnListen() {
    if (controller_.OnListen())
        RememberPeer();
}

std::string MainDialog::StartProblem() {
    // The link runs without the secret it was meant to have: no call may start, or it would go unsealed.
    if (!settings_.startProblem.empty())
        return settings_.startProblem + " Then start Q-Parlin again (or clear the private call in Settings).";
    if (soundChecked_)
        return {};
    std::string problem = CheckSoundDevices(settings_);
    soundChecked_ = problem.empty();
    return problem;
}

void MainDialog::RememberPeer() {
    const std::string path = settings_file::Path();
    std::vector<std::string> ignored;  // a damaged file was reported at start and is replaced here
    RememberedSettings remembered = settings_file::Load(path, ignored);
    remembered.host = controller_.Host();
    remembered.port = controller_.Port();
    std::string problem;
    if (!settings_file::Save(path, remembered, problem))
        std::cerr << "qparlin: the last peer is not remembered: " << problem << std::endl;
}

void MainDialog::OnSettings() {
    if (link_.GetState() != VoiceLink::kIdle)
        return;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
    for (const WaveDeviceInfo& device : CurrentWaveBackend().InputDevices())
        inputs.push_back(device.name);
    for (const WaveDeviceInfo& device : CurrentWaveBackend().OutputDevices())
        outputs.push_back(device.name);
    Settings current = settings_;
    // The fields as they stand, so that the window starts again with what the user typed.
    std::string host = controller_.Host();
    int port = controller_.Port();
    bool speakers = false;
    bool microphone = false;
    if (ReadFields(host, port, speakers, microphone)) {
        current.host = host;
        current.port = port;
    }
    SettingsDialog dialog(current, inputs, outputs, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    newSettings_ = dialog.Result();
    newSettings_.startProblem.clear();
    // What the dialog chose, and the last peer, are the next start's too; the command line still wins then.
    std::string problem;
    RememberedSettings chosen = settings_file::FromSettings(newSettings_);
    std::vector<std::string> ignored;  // reported at start
    chosen.otherLines = settings_file::Load(settings_file::Path(), ignored).otherLines;
    if (!settings_file::Save(settings_file::Path(), chosen, problem))
        std::cerr << "qparlin: the settings are used but not remembered: " << problem << std::endl;
    EndProgram();
    done(kRestart);
}

void MainDialog::OnDisconnect() {
    controller_.OnDisconnect();
}

void MainDialog::OnExit() {
    EndProgram();
    done(QDialog::Accepted);
}

void MainDialog::OnMuteSpeakers() {
    controller_.OnMuteSpeakers(muteSpeakers_->isChecked());
}

void MainDialog::OnMuteMicrophone() {
    controller_.OnMuteMicrophone(muteMicrophone_->isChecked());
}

void MainDialog::OnHelp() {
    WindowGuide guide(this);
    guide.exec();
}

void MainDialog::OnAbout() {
    AboutDialog about(versionText_, buildText_, this);
    about.exec();
}

void MainDialog::OnAddressBook() {
    std::string host;
    int port = 0;
    bool speakers = false;
    bool microphone = false;
    // A port that fails its check shows its message, and the address book still opens, with the host
    // just read and the port the window last held.
    host = controller_.Host();
    port = controller_.Port();
    ReadFields(host, port, speakers, microphone);
    // The copies on the LAN are listed while the dialog is open; the source, made after the dialog, ends
    // before the dialog goes.
    ContactsDialog contacts(host, port, this, settings_file::ContactsPath());
    std::unique_ptr<LanCopySource> lan;
    if (controller_.LanDiscoveryAllowed()) {
        lan = makeLanSource_ ? makeLanSource_() : std::make_unique<LanAnnouncer>();
        QPointer<ContactsDialog> dialog(&contacts);
        LanCopySource* browser = lan.get();
        std::string problem;
        lan->Browse(
            [dialog, browser] {
                std::vector<Contact> rows;
                for (const LanCopy& copy : browser->Copies())
                    rows.push_back({copy.name, copy.host, std::to_string(copy.port)});
                QMetaObject::invokeMethod(
                    dialog.data(),
                    [dialog, rows] {
                        if (dialog)
                            dialog->ShowLanCopies(rows);
                    },
                    Qt::QueuedConnection);
            },
            problem);
    }
    if (contacts.exec() != QDialog::Accepted)
        return;
    WriteFields(contacts.Host(), contacts.Port(), speakers, microphone);
}

void MainDialog::OnSysCommand(int command) {
    if (command == kAboutCommand)
        OnAbout();
}

void MainDialog::OnOk() {
    std::string host;
    int port = 0;
    bool speakers = false;
    bool microphone = false;
    if (!ReadFields(host, port, speakers, microphone))
        return;  // the field's message is up; the window stays
    OnExit();
}

void MainDialog::EndProgram() {
    if (ended_)
        return;
    ended_ = true;
    controller_.OnExit();
}

void MainDialog::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
            event->accept();  // the window stays open
            return;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            if (focusWidget() == host_ || focusWidget() == port_) {
                // The field's own returnPressed has connected (or done nothing during a call).
            } else if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
                button->click();
            } else {
                OnOk();
            }
            event->accept();
            return;
        default:
            QDialog::keyPressEvent(event);
    }
}

void MainDialog::timerEvent(QTimerEvent* event) {
    if (event->timerId() == meterTimer_) {
        if (levelsArrived_.isValid() && levelsArrived_.elapsed() >= kMeterHoldMs) {
            // The lowest mark, as the levels' own silence shows it.
            microphoneMeter_->SetValue(std::min(microphoneMeter_->Value(), 1));
            speakerMeter_->SetValue(std::min(speakerMeter_->Value(), 1));
        }
    } else if (event->timerId() == timer_) {
        banner_->Tick();
        UpdateSpeakerToolTip();
        controller_.OnTick();
        UpdateTitle();
        UpdateCallInfo();
    } else {
        QDialog::timerEvent(event);
    }
}

void MainDialog::UpdateSpeakerToolTip() {
    // What the playout has done so far, for a user who wonders how the network is treating the call.
    const VoiceLink::Statistics counts = link_.GetStatistics();
    speakerMeter_->setToolTip(QString("Received: %1 datagrams\nConcealed: %2 frames, late: %3\n"
                                      "Playout depth: %4 ms, jitter: %5 ms")
                                  .arg(counts.datagramsReceived)
                                  .arg(counts.framesConcealed)
                                  .arg(counts.framesLate)
                                  .arg(std::lround(counts.playoutDepthMs))
                                  .arg(std::lround(counts.jitterMs)));
}

void MainDialog::closeEvent(QCloseEvent* event) {
    // Closing the window always ends the program, whatever the fields hold; the worker stops first.
    EndProgram();
    event->accept();
    done(QDialog::Accepted);
}

void MainDialog::reject() {
    // Escape, and anything else that would cancel the dialog, leaves the window open.
}

void MainDialog::ShowReachability(const std::string& text, const std::string& address) {
    reachability_ = QString::fromStdString(text);
    mappedAddress_ = QString::fromStdString(address);
    callInfo_->setToolTip(reachability_);
    UpdateCallInfo();
}

void MainDialog::contextMenuEvent(QContextMenuEvent* event) {
    QMenu menu(this);
    QAction* about = menu.addAction(kAboutItem);
    about->setData(kAboutCommand);
    // The address outside the router, for the user to send to a friend.
    QAction* copy =
        menu.addAction("Copy the address to call (" +
                       (mappedAddress_.isEmpty() ? QString("no mapped address") : mappedAddress_) + ")");
    copy->setObjectName("copyAddress");
    copy->setEnabled(!mappedAddress_.isEmpty());
    QAction* chosen = menu.exec(event->globalPos());
    if (chosen == copy)
        QGuiApplication::clipboard()->setText(mappedAddress_);
    else if (chosen != nullptr)
        OnSysCommand(chosen->data().toInt());
}

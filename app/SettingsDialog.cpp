#include "app/SettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

#include "app/CallController.h"
#include "app/SecretFile.h"
#include "app/SettingsFile.h"
#include "audio/CodecRegistry.h"
#include "audio/FormatCode.h"

namespace {

// A device combo box: the system's default first, then the names offered, the current name selected (added
// when it is not among them).
void FillDevices(QComboBox& box, const std::vector<std::string>& names, const std::string& current) {
    box.setEditable(true);
    box.addItem(SettingsDialog::kSystemDefault, QString());
    for (const std::string& name : names)
        box.addItem(QString::fromStdString(name), QString::fromStdString(name));
    if (current.empty()) {
        box.setCurrentIndex(0);
        return;
    }
    int index = box.findData(QString::fromStdString(current));
    if (index < 0) {
        box.addItem(QString::fromStdString(current), QString::fromStdString(current));
        index = box.count() - 1;
    }
    box.setCurrentIndex(index);
}

// The name a device box stands for: empty for the system's default, else what is shown or typed.
std::string ChosenDevice(const QComboBox& box) {
    const QString text = box.currentText().trimmed();
    if (text.isEmpty() || text == SettingsDialog::kSystemDefault)
        return {};
    return text.toStdString();
}

}  // namespace

SettingsDialog::SettingsDialog(const Settings& settings, const std::vector<std::string>& inputDevices,
                               const std::vector<std::string>& outputDevices, QWidget* parent)
    : QDialog(parent), result_(settings) {
    setWindowTitle(kCaption);
    setObjectName("settingsDialog");
    auto* form = new QFormLayout;

    codec_ = new QComboBox(this);
    codec_->setObjectName("codec");
    for (const NamedFormat& format : NamedFormats()) {
        // Opus goes only to a copy that agrees it in a session.
        if (!settings.session && format_code::IsOpus(format.formatCode))
            continue;
        codec_->addItem(QString::fromStdString(format.name), format.formatCode);
    }
    int codecIndex = codec_->findData(settings.codecFormat);
    if (codecIndex < 0) {
        codec_->addItem(QString::fromStdString(CallController::FormatName(settings.codecFormat)),
                        settings.codecFormat);
        codecIndex = codec_->count() - 1;
    }
    codec_->setCurrentIndex(codecIndex);
    codec_->setToolTip("Both sides must use the same codec (a session agrees it by itself)");
    form->addRow("&Codec", codec_);

    inputDevice_ = new QComboBox(this);
    inputDevice_->setObjectName("inputDevice");
    FillDevices(*inputDevice_, inputDevices, settings.inputDeviceName);
    form->addRow("&Recording device", inputDevice_);
    outputDevice_ = new QComboBox(this);
    outputDevice_->setObjectName("outputDevice");
    FillDevices(*outputDevice_, outputDevices, settings.outputDeviceName);
    form->addRow("&Playback device", outputDevice_);

    privateCall_ = new QCheckBox("Private call with the secret in", this);
    privateCall_->setObjectName("privateCall");
    privateCall_->setChecked(!settings.secretFile.empty());
    secretFile_ = new QLineEdit(QString::fromStdString(settings.secretFile), this);
    secretFile_->setObjectName("secretFile");
    secretFile_->setEnabled(privateCall_->isChecked());
    auto* browse = new QPushButton("&Browse...", this);
    browse->setObjectName("browse");
    browse->setEnabled(privateCall_->isChecked());
    auto* secretRow = new QHBoxLayout;
    secretRow->addWidget(secretFile_, 1);
    secretRow->addWidget(browse);
    form->addRow(privateCall_);
    form->addRow("&Secret file", secretRow);
    QObject::connect(privateCall_, &QCheckBox::toggled, secretFile_, &QWidget::setEnabled);
    QObject::connect(privateCall_, &QCheckBox::toggled, browse, &QWidget::setEnabled);
    QObject::connect(browse, &QPushButton::clicked, this, &SettingsDialog::OnBrowse);

    direction_ = new QComboBox(this);
    direction_->setObjectName("direction");
    direction_->addItem("Send and receive", static_cast<int>(Direction::Both));
    direction_->addItem("Send only", static_cast<int>(Direction::Send));
    direction_->addItem("Receive only", static_cast<int>(Direction::Receive));
    direction_->setCurrentIndex(direction_->findData(static_cast<int>(settings_file::DirectionOf(settings))));
    form->addRow("&Direction", direction_);

    port_ = new QSpinBox(this);
    port_->setObjectName("listenPort");
    port_->setRange(0, 65535);
    port_->setValue(settings.port);
    port_->setToolTip(
        "The port this copy listens on (0: any free one); Connect calls the port in the window");
    form->addRow("&Listen port", port_);

    auto* note = new QLabel(
        "Q-Parlin remembers these settings; options given on its command line win over "
        "them at the next start.",
        this);
    note->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QObject::connect(buttons, &QDialogButtonBox::accepted, this, &SettingsDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note);
    layout->addWidget(buttons);
}

void SettingsDialog::OnBrowse() {
    const QString path = QFileDialog::getOpenFileName(this, "Secret file", secretFile_->text());
    if (!path.isEmpty())
        secretFile_->setText(path);
}

void SettingsDialog::Refuse(const QString& text) {
    if (refusalBox_)
        refusalBox_->close();
    auto* box = new QMessageBox(QMessageBox::Warning, kCaption, text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName("refusalBox");
    refusalBox_ = box;
    box->open();
}

void SettingsDialog::accept() {
    Settings chosen = result_;
    chosen.codecFormat = codec_->currentData().toInt();
    // Left at the default, the codec stays unchosen: a listener then still takes a session caller's.
    chosen.codecChosen = result_.codecChosen || chosen.codecFormat != result_.codecFormat;
    chosen.inputDeviceName = ChosenDevice(*inputDevice_);
    chosen.outputDeviceName = ChosenDevice(*outputDevice_);
    // A device chosen by name replaces one chosen by number on the command line.
    if (chosen.inputDeviceName != result_.inputDeviceName)
        chosen.inputDevice = Settings::kDefaultDevice;
    if (chosen.outputDeviceName != result_.outputDeviceName)
        chosen.outputDevice = Settings::kDefaultDevice;
    settings_file::SetDirection(static_cast<Direction>(direction_->currentData().toInt()), chosen);
    chosen.port = port_->value();
    chosen.secret.clear();
    chosen.secretFile.clear();
    if (privateCall_->isChecked()) {
        const std::string path = secretFile_->text().trimmed().toStdString();
        if (path.empty()) {
            Refuse("A private call needs a secret file. Choose one, or clear \"Private call\".");
            return;
        }
        // Refused here, where the user can choose another, rather than at the next start.
        std::string problem;
        if (!SecretFile::Read(path, problem)) {
            Refuse(QString::fromStdString("Cannot use the secret file " + path + ": " + problem +
                                          ". Choose a file made with qparlin --make-secret=FILE."));
            return;
        }
        chosen.secretFile = path;
    }
    result_ = chosen;
    QDialog::accept();
}

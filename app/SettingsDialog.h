// The settings dialog: codec, recording and playback device by name, a private call's secret file, the
// direction of sound and the listen port. It edits a copy of the settings in effect; the window remembers
// the result and starts again with it.
#pragma once

#include <QDialog>
#include <QMessageBox>
#include <QPointer>

#include "app/Settings.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QSpinBox;

class SettingsDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Q-Parlin settings";
    // The combo boxes' first entry, which leaves the choice to the system.
    static constexpr const char* kSystemDefault = "(the system's default)";

    // `inputDevices` and `outputDevices` are the names offered; any other name may be typed.
    SettingsDialog(const Settings& settings, const std::vector<std::string>& inputDevices,
                   const std::vector<std::string>& outputDevices, QWidget* parent = nullptr);

    // The settings given with the dialog's choices put in; meaningful once it has ended with OK.
    const Settings& Result() const { return result_; }
    // The message of the last OK that was refused (a secret file that cannot be used), while shown.
    QMessageBox* RefusalBox() const { return refusalBox_; }

public slots:
    // Checks the choices (a private call needs a usable secret file); ends the dialog when they pass.
    void accept() override;

private:
    void OnBrowse();
    void Refuse(const QString& text);

    Settings result_;
    QComboBox* codec_ = nullptr;
    QComboBox* inputDevice_ = nullptr;
    QComboBox* outputDevice_ = nullptr;
    QCheckBox* privateCall_ = nullptr;
    QLineEdit* secretFile_ = nullptr;
    QComboBox* direction_ = nullptr;
    QSpinBox* port_ = nullptr;
    QPointer<QMessageBox> refusalBox_;
};

// The About box: the program's name, version and build, a link to its web site, and the command-line help.
#pragma once

#include <QDialog>
#include <string>

class QLabel;
class QPlainTextEdit;

class AboutDialog final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "About Q-Parlin";
    static constexpr const char* kVersionTemplate = "Version [version]   Build [build]";

    AboutDialog(const std::string& versionText, const std::string& buildText, QWidget* parent = nullptr);

    QString VersionLabel() const;
    QString HelpText() const;

private:
    QLabel* version_ = nullptr;
    QPlainTextEdit* help_ = nullptr;
};

// The command-line help as the About box shows it: the embedded text with its CR LF line ends made LF.
QString HelpTextForDisplay();

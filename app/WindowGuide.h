// The "?" button's guide: what each control of the window does and how a call is made, in a few lines. The
// command-line options stay in the About box and --help.
#pragma once

#include <QDialog>
#include <QString>

class WindowGuide final : public QDialog {
    Q_OBJECT
public:
    static constexpr const char* kCaption = "Using Q-Parlin";

    explicit WindowGuide(QWidget* parent = nullptr);

    // The guide's text as HTML, also for the tests.
    static QString Text();
};

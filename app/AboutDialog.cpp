#include "app/AboutDialog.h"

#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/Addresses.h"
#include "toolkit/DialogLook.h"

extern const char kHelpText[];
extern const unsigned long kHelpTextLength;

QString HelpTextForDisplay() {
    QString text = QString::fromLatin1(kHelpText, static_cast<qsizetype>(kHelpTextLength));
    text.replace("\r\n", "\n");
    return text;
}

AboutDialog::AboutDialog(const std::string& versionText, const std::string& buildText, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(kCaption);
    setObjectName("aboutDialog");
    QPalette colors = palette();
    colors.setColor(QPalette::Window, kDialogBackground);
    setPalette(colors);
    setAutoFillBackground(true);

    auto* icon = new QLabel(this);
    icon->setPixmap(QPixmap(":/images/icon-128.png"));
    auto* name = new QLabel("Q-Parlin", this);
    QFont nameFont = name->font();
    nameFont.setBold(true);
    nameFont.setPointSizeF(nameFont.pointSizeF() * 1.4);
    name->setFont(nameFont);

    QString label = kVersionTemplate;
    label.replace("[version]", QString::fromStdString(versionText));
    label.replace("[build]", QString::fromStdString(buildText));
    version_ = new QLabel(label, this);
    version_->setObjectName("version");

    auto* link =
        new QLabel(QString("<a href=\"%1\">%2</a>").arg(addresses::kWebSite, addresses::kProductPage), this);
    link->setObjectName("webSite");
    link->setTextFormat(Qt::RichText);
    link->setTextInteractionFlags(Qt::TextBrowserInteraction);
    link->setOpenExternalLinks(true);

    help_ = new QPlainTextEdit(this);
    help_->setObjectName("helpText");
    help_->setReadOnly(true);
    help_->setPlainText(HelpTextForDisplay());
    help_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    help_->setLineWrapMode(QPlainTextEdit::NoWrap);
    help_->setTabStopDistance(QFontMetricsF(help_->font()).horizontalAdvance(' ') * 8);

    auto* ok = new QPushButton("OK", this);
    ok->setObjectName("ok");
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    auto* titles = new QVBoxLayout;
    titles->addWidget(name);
    titles->addWidget(version_);
    titles->addWidget(link);
    auto* top = new QHBoxLayout;
    top->addWidget(icon, 0, Qt::AlignTop);
    top->addLayout(titles, 1);
    top->addWidget(ok, 0, Qt::AlignTop);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(help_, 1);

    // About 250 by 180 dialog units.
    const QFontMetrics metrics(font());
    resize(250 * metrics.averageCharWidth() / 4, 180 * metrics.height() / 8);
}

QString AboutDialog::VersionLabel() const {
    return version_->text();
}

QString AboutDialog::HelpText() const {
    return help_->toPlainText();
}

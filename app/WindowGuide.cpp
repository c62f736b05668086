#include "app/WindowGuide.h"

#include <QDialogButtonBox>
#include <QTextBrowser>
#include <QVBoxLayout>

WindowGuide::WindowGuide(QWidget* parent) : QDialog(parent) {
    setWindowTitle(kCaption);
    setObjectName("windowGuide");
    auto* layout = new QVBoxLayout(this);
    auto* text = new QTextBrowser(this);
    text->setObjectName("guideText");
    text->setOpenExternalLinks(false);
    text->setHtml(Text());
    layout->addWidget(text);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    QObject::connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(460, 420);
}

QString WindowGuide::Text() {
    return QStringLiteral(
        "<h3>Making a call</h3>"
        "<ol>"
        "<li>One of you listens: leave the port as it is (5007) and press <b>Listen</b>. The status line "
        "says \"Listening...\".</li>"
        "<li>Tell the other person your computer's address and the port (by mail, chat or phone).</li>"
        "<li>The other person types that address into <b>Computer name or IP address</b>, the same port "
        "into <b>Port</b>, and presses <b>Connect</b> (or Enter in either field).</li>"
        "<li>Both windows say \"Connected.\" Speak. <b>Disconnect</b> ends the call.</li>"
        "</ol>"
        "<p>Both of you must use the same codec (<b>Settings...</b>, or the <tt>-a</tt> option); with "
        "different ones you hear nothing or loud noise.</p>"
        "<h3>The controls</h3>"
        "<ul>"
        "<li><b>...</b> opens the address book: pick a contact with a double click, add one with "
        "<b>Add</b>, change a cell with F2.</li>"
        "<li><b>Settings...</b> (between calls) chooses the codec, the devices, a private call's secret "
        "file, the direction and the listen port; they are remembered for the next start.</li>"
        "<li>The left slider is the speaker volume, the right one the microphone level.</li>"
        "<li>The two bars show the sound arriving (green, left) and your microphone (blue, right); "
        "they fall to the bottom when nothing comes.</li>"
        "<li>The buttons under the bars mute the speakers and the microphone.</li>"
        "<li>The status line shows the call; a padlock appears in a private call and turns green once "
        "the peer has proven the secret.</li>"
        "<li><b>Exit</b> or closing the window ends the program.</li>"
        "</ul>"
        "<p>The command-line options are in the About box (right-click the window) and in "
        "<tt>qparlin --help</tt>.</p>");
}

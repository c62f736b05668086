#include "app/GuiFrontEnd.h"

#include <QApplication>

#include "app/MainDialog.h"
#include "platform/wave/Wave.h"

int RunGuiFrontEnd(const Settings& settings, const std::string& versionText, const std::string& buildText, int argc,
                   char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName("Q-Parlin");
    QApplication::setWindowIcon(QIcon(":/images/icon-128.png"));
    MainDialog window(settings, versionText, buildText);
    window.Initialize();
    window.exec();
    return 0;
}

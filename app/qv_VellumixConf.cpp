// qv_VellumixConf: the configuration window of ">quillora< Vellumix".
// One copy per logon session; the program ends with its window.

#include "common/U_Hardening.h"
#include "common/U_Translation.h"
#include "ui/U_Main.h"

#include <QApplication>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // the window holds the password
    QApplication application(argc, argv);
    InstallQtTranslation();
    // The title stays out of the window manager's captions: every box names its own.
    QApplication::setApplicationName(u">quillora< Vellumix"_s);

    TF_Main F_Main;
    if (F_Main.AnotherCopyRuns())
        return 0;

    CentreOnScreen(F_Main);
    F_Main.show();
    return QApplication::exec();
}

// qv_VellumixConf: the configuration window of ">quillora< Vellumix".
// One copy per logon session; the program ends with its window.

#include "common/U_Translation.h"
#include "indexserver/IX_Catalogue.h"
#include "ui/U_Main.h"

#include <QApplication>
#include <QScreen>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    // The Indexserver vocabulary is filled before anything else runs and only read afterwards.
    TTypeRegistry::Instance();

    QApplication application(argc, argv);
    InstallQtTranslation();
    // The title stays out of the window manager's captions: every box names its own.
    QApplication::setApplicationName(u">quillora< Vellumix"_s);

    TF_Main F_Main;
    if (F_Main.AnotherCopyRuns())
        return 0;

    if (const QScreen *screen = F_Main.screen())
        F_Main.move(screen->availableGeometry().center() - F_Main.rect().center());
    F_Main.show();
    return QApplication::exec();
}

// qv_VellumixDemoSettings: writes a settings file for a demonstration of the
// window, through the settings store so the password is stored scrambled.
//   qv_VellumixDemoSettings FILE USER PASSWORD WSDL-LOCATION

#include "common/EFailure.h"
#include "common/U_Hardening.h"
#include "common/U_Output.h"
#include "common/U_Translation.h"
#include "settings/U_Types.h"

#include <QCoreApplication>
#include <QStringList>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // the program holds a password, if only a demonstration's
    QCoreApplication application(argc, argv);
    InstallQtTranslation();
    const QStringList arguments = QCoreApplication::arguments();
    TOutput out(TStandardStream::Output);
    TOutput err(TStandardStream::Error);
    if (arguments.size() == 2 && (arguments.at(1) == u"-V"_s || arguments.at(1) == u"--version"_s)) {
        out << VersionLine(u"qv_VellumixDemoSettings"_s) << '\n';
        return 0;
    }
    if (arguments.size() != 5) {
        err << "usage: qv_VellumixDemoSettings FILE USER PASSWORD WSDL-LOCATION\n"
               "       qv_VellumixDemoSettings --version\n";
        return 2;
    }
    try {
        TGlobalSettings settings(arguments.at(1));
        settings.SetIXUser(arguments.at(2));
        settings.SetIXPasswort(arguments.at(3));
        settings.SetIXWSDLLocation(arguments.at(4));
        QString message;
        if (!settings.SaveToFile(message)) {
            err << message << '\n';
            return 1;
        }
    } catch (const std::exception &e) {
        err << FailureText(e) << '\n';
        return 1;
    }
    return 0;
}

// Prints the five settings that the configuration window edits, read from
// "quilloraGlobal.xml" beside the program. Reads only; the file is not written.
#include "common/EFailure.h"
#include "common/U_Hardening.h"
#include "common/U_Translation.h"
#include "settings/U_Types.h"

#include <QCoreApplication>
#include <QDir>
#include <QTextStream>

#include <exception>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // it reads and prints the password
    QCoreApplication app(argc, argv);
    InstallQtTranslation();
    QTextStream out(stdout);
    QTextStream err(stderr);
    const QString fileName = QDir(QCoreApplication::applicationDirPath()).filePath(u"quilloraGlobal.xml"_s);
    static const QString levelNames[] = {u"kein log"_s, u"Normal"_s, u"Debug"_s};
    QString report;
    try {
        // Everything is read before anything is printed, so a failure leaves
        // no half report on the output.
        const TGlobalSettings settings(fileName);
        const int level = settings.GetLogLevel();
        report = u"Datei:           %1\n"
                 "Benutzer:        %2\n"
                 "Passwort:        %3\n"
                 "WSDL-Adresse:    %4\n"
                 "Log-Verzeichnis: %5\n"
                 "Log-Level:       %6 (%7)\n"_s.arg(QDir::toNativeSeparators(fileName), settings.GetIXUser(),
                                                    settings.GetIXPasswort(), settings.GetIXWSDLLocation(),
                                                    settings.GetLogFileFolder(), QString::number(level),
                                                    levelNames[level]);
    } catch (const std::exception &e) {
        err << u"Fehler: "_s << FailureText(e) << Qt::endl;
        return 1;
    }
    out << report;
    return 0;
}

// Prints the five settings that the configuration window edits, read from
// "quilloraGlobal.xml" beside the program. Reads only; the file is not written.
// A file that cannot be used is reported like qv_VellumixCheck does it, with
// a non-zero exit code.
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
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments == QStringList{u"--help"_s} || arguments == QStringList{u"-h"_s}) {
        out << u"Aufruf: qv_VellumixSettings\n"
               "Zeigt die fünf Einstellungen, die das Konfigurationsfenster bearbeitet, aus der Datei\n"
               "quilloraGlobal.xml neben dem Programm. Die Datei wird nur gelesen.\n"
               "Rückgabewert 0: gelesen; 1: die Datei kann nicht verwendet werden oder ein Wert ist nicht "
               "lesbar;\n"
               "2: unbekannter Aufruf.\n"_s;
        return 0;
    }
    if (!arguments.isEmpty()) {
        err << u"Fehler: unbekannter Parameter „%1“ (siehe --help)"_s.arg(arguments.first()) << Qt::endl;
        return 2;
    }
    const QString fileName = QDir(QCoreApplication::applicationDirPath()).filePath(u"quilloraGlobal.xml"_s);
    static const QString levelNames[] = {u"kein log"_s, u"Normal"_s, u"Debug"_s};
    QString report;
    try {
        // Everything is read before anything is printed, so a failure leaves
        // no half report on the output.
        const TGlobalSettings settings(fileName);
        if (!settings.LoadProblem().isEmpty())
            throw EFailure(settings.LoadProblem());
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

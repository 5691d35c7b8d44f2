// The window's connection test for scripts and monitoring: logs in to the
// Indexserver with the stored (or given) user, password and WSDL location,
// reads what the window's test reads, logs out and reports in one line.
// Exit codes: 0 connected, 1 failed, 2 bad usage. Never writes the settings.

#include "common/EFailure.h"
#include "indexserver/IX_Catalogue.h"
#include "indexserver/U_ELO.h"
#include "settings/U_Types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <exception>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString SSettingsFileName = u"quilloraGlobal.xml"_s;
const QString SUsage =
    u"Aufruf: qv_VellumixCheck [--settings DATEI] [--wsdl-base URL] [--user NAME] [--password TEXT]\n"
    "Prüft die Verbindung zum ELO Indexserver wie der Knopf \"Verbinde\" im Konfigurationsprogramm.\n"
    "Ohne Optionen gelten Benutzer, Passwort und WSDL-Adresse aus \"quilloraGlobal.xml\" neben dem "
    "Programm;\n"
    "Optionen ersetzen die gespeicherten Werte.\n"
    "Ergebnis: 0 verbunden, 1 Fehler, 2 falscher Aufruf.\n"_s;
const QString SMissingSettings = u"Die Einstellungsdatei \"%1\" fehlt"_s;
const QString SSuccess = u"OK Indexserver %1, Eintrag \"1\": %2"_s;

struct TInputs {
    QString WSDLBase;
    QString User;
    QString Password;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    // The vocabulary is complete before the first binding exists.
    TTypeRegistry::Instance();

    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    const QCommandLineOption settingsOption(u"settings"_s, {}, u"DATEI"_s);
    const QCommandLineOption baseOption(u"wsdl-base"_s, {}, u"URL"_s);
    const QCommandLineOption userOption(u"user"_s, {}, u"NAME"_s);
    const QCommandLineOption passwordOption(u"password"_s, {}, u"TEXT"_s);
    const QCommandLineOption helpOption(QStringList{u"h"_s, u"help"_s});
    parser.addOptions({settingsOption, baseOption, userOption, passwordOption, helpOption});
    if (!parser.parse(QCoreApplication::arguments()) || !parser.positionalArguments().isEmpty()) {
        err << (parser.errorText().isEmpty() ? QString() : parser.errorText() + u'\n') << SUsage;
        return 2;
    }
    if (parser.isSet(helpOption)) {
        out << SUsage;
        return 0;
    }
    for (const QCommandLineOption &option : {settingsOption, baseOption, userOption, passwordOption}) {
        if (parser.values(option).size() > 1) {
            err << u"Option --%1 mehrfach angegeben\n"_s.arg(option.names().first()) << SUsage;
            return 2;
        }
    }

    TInputs inputs;
    try {
        const bool allGiven =
            parser.isSet(baseOption) && parser.isSet(userOption) && parser.isSet(passwordOption);
        const QString fileName =
            parser.isSet(settingsOption)
                ? parser.value(settingsOption)
                : QDir(QCoreApplication::applicationDirPath()).filePath(SSettingsFileName);
        // The store only reads here; it writes nothing until SaveToFile, which is never called.
        if (!allGiven) {
            if (!QFileInfo(fileName).isFile())
                throw EFailure(SMissingSettings.arg(QDir::toNativeSeparators(fileName)));
            const TGlobalSettings settings(fileName);
            // Testing with the empty values of a fresh document would only
            // hide why the file cannot be used.
            if (!settings.LoadProblem().isEmpty())
                throw EFailure(settings.LoadProblem());
            inputs.WSDLBase = settings.GetIXWSDLLocation();
            inputs.User = settings.GetIXUser();
            if (!parser.isSet(passwordOption))
                inputs.Password = settings.GetIXPasswort();
        }
        if (parser.isSet(baseOption))
            inputs.WSDLBase = parser.value(baseOption);
        if (parser.isSet(userOption))
            inputs.User = parser.value(userOption);
        if (parser.isSet(passwordOption))
            inputs.Password = parser.value(passwordOption);
    } catch (const std::exception &e) {
        err << u"Fehler: "_s << FailureText(e) << Qt::endl;
        return 1;
    }

    TElo elo;
    elo.WSDLBase = inputs.WSDLBase;
    elo.LoginUser = inputs.User;
    elo.LoginPassword = inputs.Password;
    QString error;
    if (!elo.Connect(error)) {
        err << u"Fehler: "_s << error << Qt::endl;
        return 1;
    }
    const QString report = SSuccess.arg(elo.ServerVersion(), elo.RootEntryName());
    elo.Disconnect();
    out << report << Qt::endl;
    return 0;
}

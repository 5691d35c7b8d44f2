// Shows and sets the five settings that the configuration window edits, in
// "quilloraGlobal.xml" beside the program (or the file --settings names).
// Without a write option it only reads. With one it writes through the
// window's own store and its save: read before write, the lost-update check,
// rights kept, an unusable file replaced only when asked and then kept as a
// backup. Nothing is written when the file already holds the values, so
// rollout tools can run it again and again.
// Exit codes: 0 done, 1 the file (or an input) could not be read or written
// or the connection test failed, 2 bad usage.
#include "check/U_Masker.h"
#include "common/EFailure.h"
#include "common/U_AnsiCodePage.h"
#include "common/U_Console.h"
#include "common/U_Hardening.h"
#include "common/U_Output.h"
#include "common/U_Translation.h"
#include "indexserver/U_ELO.h"
#include "settings/U_Types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringDecoder>

#include <cstdio>
#include <exception>
#include <optional>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SSettingsFileName = u"quilloraGlobal.xml"_s;
const QString SUsage =
    u"Aufruf: qv_VellumixSettings [--settings DATEI] [--json] [--show-password]\n"
    "       qv_VellumixSettings [--settings DATEI] [--user NAME] [--wsdl-location URL]\n"
    "                           [--log-folder VERZEICHNIS] [--log-level 0|1|2]\n"
    "                           [--password-file DATEI | --password-stdin | --clear-password]\n"
    "                           [--check] [--test] [--replace-unusable] [--json]\n"
    "Zeigt oder setzt die fünf Einstellungen, die das Konfigurationsfenster bearbeitet, in der Datei\n"
    "quilloraGlobal.xml neben dem Programm (oder der Datei von --settings).\n"
    "Ohne Option zum Setzen wird die Datei nur gelesen; vom Passwort wird nur \"gesetzt\" oder\n"
    "\"leer\" gezeigt. --show-password zeigt es im Klartext (sichtbar für jeden, der die Ausgabe\n"
    "sieht).\n"
    "Setzen: --user, --wsdl-location, --log-folder (bekommt ein abschließendes Trennzeichen),\n"
    "--log-level (0 kein log, 1 Normal, 2 Debug). Das Passwort kommt nie von der Befehlszeile:\n"
    "--password-file liest die erste Zeile der Datei (UTF-8, UTF-16 mit BOM, unter Windows auch ANSI),\n"
    "--password-stdin die erste Zeile der Standardeingabe; --clear-password leert es.\n"
    "Gespeichert wird wie mit \"OK\" im Fenster, und nur, wenn sich ein Wert ändert: die Ausgabe ist\n"
    "\"unverändert\" oder \"geändert: \" mit den Namen der geänderten Einstellungen.\n"
    "--check     zeigt, was sich ändern würde, und schreibt nichts.\n"
    "--test      prüft vorher die Verbindung mit den neuen Werten wie der Knopf \"Verbinde\";\n"
    "            geschrieben wird nur, wenn sie gelingt.\n"
    "--replace-unusable  ersetzt eine unbrauchbare Datei (nicht wohlgeformt o. ä.); ihr Inhalt\n"
    "            bleibt als Sicherungskopie daneben. Eine Datei, die nicht gelesen werden kann,\n"
    "            wird nie ersetzt.\n"
    "--json      gibt das Ergebnis als ein JSON-Objekt aus (beim Setzen mit \"changed\").\n"
    "-V, --version  zeigt die Version.\n"
    "Rückgabewert 0: erledigt (geändert oder nicht); 1: die Datei oder eine Eingabe kann nicht\n"
    "gelesen oder geschrieben werden, ein Wert ist nicht lesbar oder nicht änderbar, oder der\n"
    "Verbindungstest schlug fehl; 2: falscher Aufruf.\n"_s;
const QString SUnknownArgument = u"unbekannter Parameter „%1“ (siehe --help)"_s;
const QString SBadUsage = u"%1 (siehe --help)"_s;
const QString SOptionTwice = u"Option --%1 mehrfach angegeben"_s;
const QString SExclusive = u"--%1 und --%2 schließen sich aus"_s;
const QString SNeedsWrite = u"--%1 gilt nur zusammen mit einer Option zum Setzen"_s;
const QString SOnlyReading = u"--show-password gilt nur beim Lesen"_s;
const QString SBadLevel = u"Ungültiger Log-Level „%1“: erlaubt sind 0, 1 und 2"_s;
const QString SUnusableNotReplaced =
    u"%1\r\nSie wird nur mit --replace-unusable ersetzt (der alte Inhalt bleibt dann als %2 erhalten)."_s;
const QString SUneditable = u"Die Einstellung „%1“ kann nicht geändert werden: %2"_s;
const QString SPasswordUnreadable = u"Das Passwort aus %1 kann nicht gelesen werden: %2"_s;
const QString SPasswordEmpty =
    u"%1 enthält kein Passwort: die erste Zeile ist leer (leeren mit --clear-password)"_s;
const QString SPasswordNotUtf8 = u"%1 ist weder UTF-8 noch UTF-16 mit BOM; bitte als UTF-8 speichern"_s;
const QString SStandardInput = u"der Standardeingabe"_s;
const QString STestFailed = u"Verbindungstest fehlgeschlagen, nichts geschrieben:\r\n%1"_s;
const QString STestPassed = u"Verbindungstest erfolgreich: Indexserver %1, Eintrag \"1\": %2"_s;
const QString SUnchanged = u"unverändert"_s;
const QString SChanged = u"geändert: %1"_s;
const QString SChangedChecked = u"geändert (nur geprüft, nichts geschrieben): %1"_s;
const QString SCreated = u" (Datei neu angelegt)"_s;
const QString SReplaced = u" (unbrauchbare Datei ersetzt, Sicherungskopie %1)"_s;
const QString SPasswordSet = u"gesetzt"_s;
const QString SPasswordEmptyShown = u"leer"_s;

// A password file is one line; anything much larger is not one.
constexpr qint64 MaxPasswordBytes = 64 * 1024;

const QString LevelNames[] = {u"kein log"_s, u"Normal"_s, u"Debug"_s};

// Every line the program prints goes through here, so that the console
// output can be changed in one place.
// A console gets the text through the console itself, so the umlauts show
// in any code page; a pipe or file gets UTF-8.
void Print(FILE *stream, const QString &text)
{
    TOutput(stream == stderr ? TStandardStream::Error : TStandardStream::Output) << text;
}

void WipeBytes(QByteArray &bytes)
{
    std::fill(bytes.begin(), bytes.end(), '\0');
    bytes.clear();
}

// The first line of bytes read from a password file or standard input, its
// line break removed. A byte-order mark says UTF-8 or UTF-16 (what Windows
// PowerShell writes with ">"); without one it must be UTF-8: a password
// guessed from another encoding would be stored garbled.
QString PasswordLine(QByteArray &bytes, const QString &source)
{
    QString text;
    bool decoded = true;
    const auto decode = [&](QStringConverter::Encoding encoding, qsizetype skip) {
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
        text = decoder.decode(QByteArrayView(bytes).sliced(skip));
        decoded = !decoder.hasError();
    };
    if (bytes.startsWith("\xEF\xBB\xBF"))
        decode(QStringConverter::Utf8, 3);
    else if (bytes.startsWith("\xFF\xFE"))
        decode(QStringConverter::Utf16LE, 2);
    else if (bytes.startsWith("\xFE\xFF"))
        decode(QStringConverter::Utf16BE, 2);
    else {
        decode(QStringConverter::Utf8, 0);
        if (!decoded) {
            // Not UTF-8 and no BOM: on Windows the ANSI code page, as Notepad
            // and Set-Content write it; elsewhere there is none to try.
            std::u16string ansi;
            decoded = DecodeAnsiCodePage(std::string_view(bytes.constData(), size_t(bytes.size())), ansi);
            Wipe(text);
            text = QString::fromUtf16(ansi.data(), qsizetype(ansi.size()));
            std::fill(ansi.begin(), ansi.end(), u'\0');
        }
    }
    WipeBytes(bytes);
    // A replacement character stands for bytes lost, and Qt's UTF-16 decoder
    // lets a lone surrogate through: either would store a wrong password.
    if (decoded && (text.contains(QChar::ReplacementCharacter) || !text.isValidUtf16()))
        decoded = false;
    if (!decoded) {
        Wipe(text);
        throw EFailure(SPasswordNotUtf8.arg(source));
    }
    const qsizetype end = text.indexOf(u'\n');
    // A copy of its own: the whole text is wiped next.
    QString line(text.constData(), end < 0 ? text.size() : end);
    Wipe(text);
    while (line.endsWith(u'\r'))
        line.chop(1);
    if (line.isEmpty())
        throw EFailure(SPasswordEmpty.arg(source));
    return line;
}

QString ReadPasswordFile(const QString &fileName)
{
    QFile file(fileName);
    const QString source = QDir::toNativeSeparators(fileName);
    // Unbuffered: no copy of the bytes stays behind in the device's buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw EFailure(SPasswordUnreadable.arg(source, file.errorString()));
    QByteArray bytes = file.read(MaxPasswordBytes);
    if (file.error() != QFileDevice::NoError)
        throw EFailure(SPasswordUnreadable.arg(source, file.errorString()));
    return PasswordLine(bytes, source);
}

// Reads only up to the first line feed, so a tool that keeps the pipe open
// does not hold the program up.
QString ReadPasswordStdin()
{
    QByteArray bytes;
    for (int c; bytes.size() < MaxPasswordBytes && (c = std::fgetc(stdin)) != EOF;) {
        bytes.append(char(c));
        // UTF-16 line feeds are two bytes (little-endian: 0A 00 at an even
        // offset); UTF-16BE is read to the end, the decoder finds the line.
        if (c == '\n' && !bytes.startsWith("\xFF\xFE") && !bytes.startsWith("\xFE\xFF"))
            break;
        if (c == 0 && bytes.size() % 2 == 0 && bytes.at(bytes.size() - 2) == '\n' &&
            bytes.startsWith("\xFF\xFE"))
            break;
    }
    if (std::ferror(stdin))
        throw EFailure(SPasswordUnreadable.arg(SStandardInput, qt_error_string()));
    return PasswordLine(bytes, SStandardInput);
}

// What the command line asks to set; an empty optional leaves the setting alone.
struct TRequest {
    std::optional<QString> User;
    std::optional<QString> WSDLLocation;
    std::optional<QString> LogFileFolder;
    std::optional<int> LogLevel;
    std::optional<QString> Password;

    bool Any() const { return User || WSDLLocation || LogFileFolder || LogLevel || Password; }
};

// The log folder as the window's folder chooser stores it: with a trailing
// path delimiter, so the other program can put a file name right after it.
QString WithDelimiter(const QString &folder)
{
    if (folder.isEmpty() || folder.endsWith(u'/') || folder.endsWith(QDir::separator()))
        return folder;
    return folder + QDir::separator();
}

std::optional<int> ParseLevel(const QString &text)
{
    for (int level = 0; level < 3; ++level) {
        if (text == QString::number(level) || text.compare(LevelNames[level], Qt::CaseInsensitive) == 0)
            return level;
    }
    return std::nullopt;
}

// The text of a setting as it stands and whether the store's setter can
// change it: a setting whose element holds more than one text keeps its
// element, as in the window.
struct TCurrent {
    QString Value;
    QString Uneditable; // why the setter cannot change it; empty when it can
};

TCurrent Current(const TGlobalSettings &settings, const QString &name)
{
    for (const TUneditableSetting &setting : settings.UneditableSettings()) {
        if (setting.Setting == name)
            return {name == u"IXPasswort"_s ? settings.ReadableIXPasswort() : settings.SettingText(name),
                    setting.Reason};
    }
    if (name == u"IXPasswort"_s)
        return {settings.GetIXPasswort(), {}};
    if (name == u"IXUser"_s)
        return {settings.GetIXUser(), {}};
    if (name == u"IXWSDLLocation"_s)
        return {settings.GetIXWSDLLocation(), {}};
    return {settings.GetLogFileFolder(), {}};
}

// Puts the requested values into the store where they differ from what it
// holds and returns the names of those settings. Throws EFailure when a
// setting that would change cannot be edited; the store is then only
// changed in memory.
QStringList Apply(TGlobalSettings &settings, TRequest &request)
{
    QStringList changed;
    const auto text = [&](const QString &name, const std::optional<QString> &value,
                          void (TGlobalSettings::*setter)(const QString &)) {
        if (!value)
            return;
        TCurrent current = Current(settings, name);
        const bool same = current.Value == *value;
        if (name == u"IXPasswort"_s)
            Wipe(current.Value);
        if (same)
            return;
        if (!current.Uneditable.isEmpty())
            throw EFailure(SUneditable.arg(name, current.Uneditable));
        (settings.*setter)(*value);
        changed << name;
    };
    text(u"IXUser"_s, request.User, &TGlobalSettings::SetIXUser);
    text(u"IXPasswort"_s, request.Password, &TGlobalSettings::SetIXPasswort);
    text(u"IXWSDLLocation"_s, request.WSDLLocation, &TGlobalSettings::SetIXWSDLLocation);
    text(u"LogFileFolder"_s, request.LogFileFolder, &TGlobalSettings::SetLogFileFolder);
    if (request.LogLevel) {
        // Compared as the file would hold it: "5" reads as 0 but is not what
        // the window writes for "kein log", and a missing attribute reads as
        // nothing at all.
        const QByteArray before = settings.ToBytes();
        settings.SetLogLevel(*request.LogLevel);
        if (settings.ToBytes() != before)
            changed << u"LogLevel"_s;
    }
    return changed;
}

} // namespace

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // it reads and may print the password
    QCoreApplication app(argc, argv);
    InstallQtTranslation();
#ifdef Q_OS_WIN
    // The same bytes as elsewhere: no CR LF made of every line feed, and the
    // password read from standard input as it was sent.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
#endif

    QCommandLineParser parser;
    const QCommandLineOption settingsOption(u"settings"_s, {}, u"DATEI"_s);
    const QCommandLineOption userOption(u"user"_s, {}, u"NAME"_s);
    const QCommandLineOption wsdlOption(u"wsdl-location"_s, {}, u"URL"_s);
    const QCommandLineOption folderOption(u"log-folder"_s, {}, u"VERZEICHNIS"_s);
    const QCommandLineOption levelOption(u"log-level"_s, {}, u"STUFE"_s);
    const QCommandLineOption passwordFileOption(u"password-file"_s, {}, u"DATEI"_s);
    const QCommandLineOption passwordStdinOption(u"password-stdin"_s);
    const QCommandLineOption clearPasswordOption(u"clear-password"_s);
    const QCommandLineOption checkOption(u"check"_s);
    const QCommandLineOption testOption(u"test"_s);
    const QCommandLineOption replaceOption(u"replace-unusable"_s);
    const QCommandLineOption showPasswordOption(u"show-password"_s);
    const QCommandLineOption jsonOption(u"json"_s);
    const QCommandLineOption helpOption(QStringList{u"h"_s, u"help"_s});
    const QCommandLineOption versionOption(QStringList{u"V"_s, u"version"_s});
    const QList<QCommandLineOption> valued = {settingsOption, userOption,  wsdlOption,
                                              folderOption,   levelOption, passwordFileOption};
    parser.addOptions(valued);
    parser.addOptions({passwordStdinOption, clearPasswordOption, checkOption, testOption, replaceOption,
                       showPasswordOption, jsonOption, helpOption, versionOption});

    const bool json = QCoreApplication::arguments().contains(u"--json"_s);
    QJsonObject result;
    const auto fail = [&](int code, const QString &text) {
        Print(stderr, u"Fehler: "_s + text + u'\n');
        if (json) {
            result.insert(u"changed"_s, false);
            result.insert(u"error"_s, text);
            Print(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + u'\n');
        }
        return code;
    };
    const auto badUsage = [&](const QString &text) { return fail(2, SBadUsage.arg(text)); };

    if (!parser.parse(QCoreApplication::arguments())) {
        // The name as it was typed, dashes included.
        for (const QString &name : parser.unknownOptionNames()) {
            for (const QString &argument : QCoreApplication::arguments().mid(1)) {
                if (argument.startsWith(u'-') && argument.section(u'=', 0, 0).endsWith(name))
                    return fail(2, SUnknownArgument.arg(argument.section(u'=', 0, 0)));
            }
        }
        return badUsage(parser.errorText());
    }
    if (!parser.positionalArguments().isEmpty())
        return fail(2, SUnknownArgument.arg(parser.positionalArguments().first()));
    if (parser.isSet(helpOption)) {
        Print(stdout, SUsage);
        return 0;
    }
    if (parser.isSet(versionOption)) {
        Print(stdout, VersionLine(u"qv_VellumixSettings"_s) + u'\n');
        return 0;
    }
    for (const QCommandLineOption &option : valued) {
        if (parser.values(option).size() > 1)
            return badUsage(SOptionTwice.arg(option.names().last()));
    }
    const QCommandLineOption *passwordSource = nullptr;
    for (const QCommandLineOption *option :
         {&passwordFileOption, &passwordStdinOption, &clearPasswordOption}) {
        if (!parser.isSet(*option))
            continue;
        if (passwordSource)
            return badUsage(SExclusive.arg(passwordSource->names().last(), option->names().last()));
        passwordSource = option;
    }

    TRequest request;
    if (parser.isSet(userOption))
        request.User = parser.value(userOption);
    if (parser.isSet(wsdlOption))
        request.WSDLLocation = parser.value(wsdlOption);
    if (parser.isSet(folderOption))
        request.LogFileFolder = WithDelimiter(parser.value(folderOption));
    if (parser.isSet(levelOption)) {
        request.LogLevel = ParseLevel(parser.value(levelOption));
        if (!request.LogLevel)
            return badUsage(SBadLevel.arg(parser.value(levelOption)));
    }
    const bool writing = request.Any() || passwordSource;
    for (const QCommandLineOption &option : {checkOption, testOption, replaceOption}) {
        if (parser.isSet(option) && !writing)
            return badUsage(SNeedsWrite.arg(option.names().last()));
    }
    if (writing && parser.isSet(showPasswordOption))
        return badUsage(SOnlyReading);

    const QString fileName = parser.isSet(settingsOption)
                                 ? QFileInfo(parser.value(settingsOption)).absoluteFilePath()
                                 : QDir(QCoreApplication::applicationDirPath()).filePath(SSettingsFileName);
    const QString shownName = QDir::toNativeSeparators(fileName);
    result.insert(u"file"_s, shownName);
    try {
        if (passwordSource == &passwordFileOption)
            request.Password = ReadPasswordFile(parser.value(passwordFileOption));
        else if (passwordSource == &passwordStdinOption)
            request.Password = ReadPasswordStdin();
        else if (passwordSource == &clearPasswordOption)
            request.Password = QString();
    } catch (const std::exception &e) {
        return fail(1, FailureText(e));
    }
    const auto wipePassword = qScopeGuard([&] {
        if (request.Password)
            Wipe(*request.Password);
    });

    const bool existed = QFileInfo::exists(fileName);
    try {
        TGlobalSettings settings(fileName);
        // A file that is there but cannot be read now (rights, another
        // program holding it) is never taken for an unusable one: replacing
        // it would lose settings that are only out of reach.
        if (settings.ReadRefused())
            return fail(1, settings.LoadProblem());
        if (!writing) {
            // Everything is read before anything is printed, so a failure
            // leaves no half report on the output.
            if (!settings.LoadProblem().isEmpty())
                throw EFailure(settings.LoadProblem());
            const int level = settings.GetLogLevel();
            QString password = settings.GetIXPasswort();
            QString shownPassword = password.isEmpty() ? SPasswordEmptyShown : SPasswordSet;
            if (parser.isSet(showPasswordOption))
                shownPassword = password;
            else
                Wipe(password);
            if (json) {
                result.insert(u"IXUser"_s, settings.GetIXUser());
                result.insert(u"IXPasswort"_s, shownPassword);
                result.insert(u"IXWSDLLocation"_s, settings.GetIXWSDLLocation());
                result.insert(u"LogFileFolder"_s, settings.GetLogFileFolder());
                result.insert(u"LogLevel"_s, level);
                Print(stdout,
                      QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + u'\n');
                return 0;
            }
            Print(stdout, u"Datei:           %1\n"
                          "Benutzer:        %2\n"
                          "Passwort:        %3\n"
                          "WSDL-Adresse:    %4\n"
                          "Log-Verzeichnis: %5\n"
                          "Log-Level:       %6 (%7)\n"_s.arg(
                              shownName, settings.GetIXUser(), shownPassword, settings.GetIXWSDLLocation(),
                              settings.GetLogFileFolder(), QString::number(level), LevelNames[level]));
            return 0;
        }

        const bool unusable = !settings.LoadProblem().isEmpty();
        if (unusable && !parser.isSet(replaceOption))
            return fail(1, SUnusableNotReplaced.arg(settings.LoadProblem(),
                                                    QDir::toNativeSeparators(settings.BackupFileName())));
        QStringList changed = Apply(settings, request);
        // A new file, or one put in place of an unusable one, holds every
        // value asked for.
        if (!existed || unusable) {
            changed.clear();
            const std::pair<const char16_t *, bool> asked[] = {
                {u"IXUser", bool(request.User)},
                {u"IXPasswort", bool(request.Password)},
                {u"IXWSDLLocation", bool(request.WSDLLocation)},
                {u"LogFileFolder", bool(request.LogFileFolder)},
                {u"LogLevel", bool(request.LogLevel)}};
            for (const auto &[name, given] : asked) {
                if (given)
                    changed << QString::fromUtf16(name);
            }
        }
        const bool changes = !changed.isEmpty() || !existed || unusable;

        if (parser.isSet(testOption)) {
            TElo elo;
            elo.LoginUser = Current(settings, u"IXUser"_s).Value;
            elo.LoginPassword = Current(settings, u"IXPasswort"_s).Value;
            elo.WSDLBase = Current(settings, u"IXWSDLLocation"_s).Value;
            // The server's text may quote the request back, password and all.
            TMasker mask;
            mask.SetSecret(elo.LoginPassword);
            QString error;
            const bool connected = elo.Connect(error);
            Wipe(elo.LoginPassword);
            if (!connected)
                return fail(1, STestFailed.arg(MaskFailure(error, mask)));
            const QString passed = STestPassed.arg(elo.ServerVersion(), elo.RootEntryName());
            elo.Disconnect();
            result.insert(u"test"_s, passed);
            if (!json)
                Print(stdout, passed + u'\n');
        }

        const bool check = parser.isSet(checkOption);
        QString message;
        if (changes && !check && !settings.SaveToFile(message))
            return fail(1, message);

        QString line = changes ? (check ? SChangedChecked : SChanged).arg(changed.join(u", "_s)) : SUnchanged;
        if (changes && !existed)
            line += SCreated;
        if (changes && unusable)
            line += SReplaced.arg(QDir::toNativeSeparators(settings.BackupFileName()));
        if (json) {
            result.insert(u"changed"_s, changes);
            result.insert(u"settings"_s, QJsonArray::fromStringList(changed));
            result.insert(u"written"_s, changes && !check);
            result.insert(u"created"_s, changes && !existed);
            if (changes && unusable)
                result.insert(u"backup"_s, QDir::toNativeSeparators(settings.BackupFileName()));
            Print(stdout, QString::fromUtf8(QJsonDocument(result).toJson(QJsonDocument::Compact)) + u'\n');
        } else {
            Print(stdout, line + u'\n');
        }
        return 0;
    } catch (const std::exception &e) {
        return fail(1, FailureText(e));
    }
}

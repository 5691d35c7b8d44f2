#include "check/U_Check.h"

#include "check/U_Masker.h"
#include "common/EFailure.h"
#include "common/U_AnsiCodePage.h"
#include "common/U_Output.h"
#include "indexserver/IX_Binding.h"
#include "indexserver/U_ELO.h"
#include "settings/U_Types.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QScopeGuard>
#include <QStringDecoder>
#include <QUrl>

#include <cmath>
#include <exception>
#include <mutex>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString SSettingsFileName = u"quilloraGlobal.xml"_s;
const QString SPasswordVariable = u"VELLUMIX_PASSWORD"_s;
const QString SUsage =
    u"Aufruf: qv_VellumixCheck [--settings DATEI] [--wsdl-base URL] [--user NAME]\n"
    "                        [--password-file DATEI | --password TEXT]\n"
    "                        [--monitoring] [--json] [--warning SEKUNDEN] [--critical SEKUNDEN]\n"
    "                        [--timeout SEKUNDEN] [--certificate-days TAGE]\n"
    "       qv_VellumixCheck --help | --version\n"
    "Prüft die Verbindung zum ELO Indexserver wie der Knopf \"Verbinde\" im Konfigurationsprogramm.\n"
    "Ohne Optionen gelten Benutzer, Passwort und WSDL-Adresse aus \"quilloraGlobal.xml\" neben dem "
    "Programm;\n"
    "Optionen ersetzen die gespeicherten Werte. Ohne Passwort-Option gilt die Umgebungsvariable\n"
    "VELLUMIX_PASSWORD, wenn sie gesetzt ist (leer: keine Anmeldung). --password-file liest die erste\n"
    "Zeile der Datei (UTF-8, UTF-16 mit BOM, unter Windows auch ANSI). --version zeigt die Version.\n"
    "Ergebnis: 0 verbunden, 1 Fehler, 2 falscher Aufruf.\n"
    "Mit --monitoring eine Zeile für Nagios, Icinga und andere: 0 OK, 1 WARNING, 2 CRITICAL, "
    "3 UNKNOWN;\n"
    "--warning und --critical gelten für die Dauer der ganzen Prüfung, --timeout begrenzt sie "
    "(Vorgabe\n"
    "mit --monitoring 10 Sekunden), --certificate-days warnt vor dem Ablauf des Zertifikats.\n"
    "--json gibt dieselben Angaben als ein JSON-Objekt aus.\n"_s;
const QString SMissingSettings = u"Die Einstellungsdatei \"%1\" fehlt"_s;
const QString SPasswordFileUnreadable = u"Die Passwortdatei \"%1\" kann nicht gelesen werden: %2"_s;
const QString SPasswordFileUndecodable =
    u"Die Passwortdatei \"%1\" ist nicht lesbar als %2: als UTF-8 (mit oder ohne BOM) oder UTF-16 mit BOM "
    "speichern"_s;
const QString SPasswordFileEmpty =
    u"Die Passwortdatei \"%1\" enthält kein Passwort: ihre erste Zeile ist leer"_s;
const QString SHelpOnly = u"Nur die Hilfe ausgegeben, keine Prüfung"_s;
const QString SPasswordVariableEmpty =
    u"Die Umgebungsvariable VELLUMIX_PASSWORD ist leer: kein Passwort, keine Anmeldung"_s;
const QString SBadWsdlBase = u"Ungültige WSDL-Adresse \"%1\": sie muss mit http:// oder https:// beginnen"_s;
const QString SPasswordTwice = u"--password und --password-file schließen sich aus"_s;
const QString SOptionTwice = u"Option --%1 mehrfach angegeben"_s;
const QString SBadSeconds = u"Ungültige Sekundenzahl für --%1: %2"_s;
const QString SUnexpectedArgument = u"Unerwartetes Argument: %1"_s;
const QString SBadDays = u"Ungültige Zahl von Tagen für --certificate-days: %1"_s;
const QString SPasswordVisible =
    u"Warnung: Ein Passwort auf der Befehlszeile können andere Benutzer dieses Rechners in der "
    "Prozessliste sehen; --password-file oder VELLUMIX_PASSWORD vermeiden das."_s;
const QString SSlowerThanWarning = u"Dauer %1 s über der Warnschwelle %2 s"_s;
const QString SSlowerThanCritical = u"Dauer %1 s über der kritischen Schwelle %2 s"_s;
const QString SLogoutOverTimeLimit = u"Zeitüberschreitung beim Abmelden: Zeitlimit von %1 s überschritten"_s;
const QString SCertificateProblems = u"Zertifikat: %1"_s;
const QString SCertificateExpiresSoon = u"Zertifikat läuft in %1 Tagen ab (%2)"_s;
const QString SCertificateExpiresToday = u"Zertifikat läuft in weniger als einem Tag ab (%1)"_s;
const QString SCertificateExpiresTomorrow = u"Zertifikat läuft in einem Tag ab (%1)"_s;

// Monitoring mode without --timeout: below the usual 60 s of the monitoring
// systems, so the line says why instead of their "plugin timed out".
constexpr int DefaultMonitoringTimeout = 10000;
// Only the first line counts; no password file is longer, and a device
// given by mistake must not be read without end.
constexpr qint64 MaxPasswordFileBytes = 65536;

struct TInputs {
    QString WSDLBase;
    QString User;
    QString Password;
};

// Qt's own messages in monitoring mode: after the status line, never on
// stderr, which an engine would put before it. Collected from the start,
// before the command line is read; handed back to stderr in the tool's own mode.
// QtNetwork may log from its own thread, hence the lock.
QStringList GEarlyMessages;
QStringList *GNotes = &GEarlyMessages;
std::mutex GNotesMutex;

[[maybe_unused]] void WriteMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    TOutput(TStandardStream::Error) << qFormatLogMessage(type, context, message) + u'\n';
}

void CollectMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    const QString text = qFormatLogMessage(type, context, message);
    const std::lock_guard lock(GNotesMutex);
    if (GNotes)
        GNotes->append(text);
}

// Notes of the program's own, beside Qt's messages in the same list.
void AddNote(QStringList &notes, const QString &text)
{
    const std::lock_guard lock(GNotesMutex);
    notes << text;
}

void SetNotes(QStringList *notes)
{
    const std::lock_guard lock(GNotesMutex);
    GNotes = notes;
}

} // namespace

void CollectEarlyMessages(int argc, char *argv[])
{
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--monitoring") == 0)
            qInstallMessageHandler(CollectMessage);
    }
}

// Seconds as given on the command line: a non-negative decimal with a point.
std::optional<double> ParseSeconds(const QString &text)
{
    bool ok = false;
    const double value = QLocale::c().toDouble(text, &ok);
    if (!ok || !std::isfinite(value) || value < 0)
        return std::nullopt;
    return value;
}

// The first line of the file, without its line break. An empty line is no
// password: logging in with it would only fail and, check after check, lock
// the account. Editors on Windows write UTF-16 or the ANSI code page; a
// guess that garbles the password would fail every login the same way, so
// bytes that cannot be decoded for sure are refused.
QString ReadPasswordFile(const QString &fileName)
{
    const QString shownName = QDir::toNativeSeparators(fileName);
    QFile file(fileName);
    // Qt leaves the file system's texts untranslated; its catalogue has them.
    const auto unreadable = [&] {
        return EFailure(SPasswordFileUnreadable.arg(
            shownName, QCoreApplication::translate("QIODevice", file.errorString().toUtf8().constData())));
    };
    // Unbuffered: no copy of the file's bytes stays behind in the device's buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw unreadable();
    QByteArray bytes = file.read(MaxPasswordFileBytes);
    if (file.error() != QFileDevice::NoError)
        throw unreadable();
    const auto wipeBytes = qScopeGuard([&] { std::fill(bytes.begin(), bytes.end(), '\0'); });

    QString text;
    const auto wipeText = qScopeGuard([&] { Wipe(text); });
    const auto decode = [&](QStringConverter::Encoding encoding, qsizetype bom) {
        QStringDecoder decoder(encoding, QStringConverter::Flag::Stateless);
        text = decoder.decode(QByteArrayView(bytes.constData() + bom, bytes.size() - bom));
        return !decoder.hasError();
    };
    bool decoded = false;
    QString encodingName;
    if (bytes.startsWith("\xEF\xBB\xBF")) {
        encodingName = u"UTF-8"_s;
        decoded = decode(QStringConverter::Utf8, 3);
    } else if (bytes.startsWith("\xFF\xFE")) {
        encodingName = u"UTF-16LE"_s;
        decoded = decode(QStringConverter::Utf16LE, 2);
    } else if (bytes.startsWith("\xFE\xFF")) {
        encodingName = u"UTF-16BE"_s;
        decoded = decode(QStringConverter::Utf16BE, 2);
    } else {
#ifdef Q_OS_WIN
        encodingName = u"UTF-8 oder ANSI-Codepage"_s;
#else
        encodingName = u"UTF-8"_s;
#endif
        decoded = decode(QStringConverter::Utf8, 0);
        if (!decoded) {
            // Without a BOM and not UTF-8: on Windows the system's ANSI
            // code page, as Notepad and Set-Content write it.
            std::u16string ansi;
            decoded = DecodeAnsiCodePage(std::string_view(bytes.constData(), size_t(bytes.size())), ansi);
            Wipe(text);
            text = QString::fromUtf16(ansi.data(), qsizetype(ansi.size()));
            std::fill(ansi.begin(), ansi.end(), u'\0');
        }
    }
    // A replacement character stands for bytes lost; the password sent
    // with it would be wrong.
    // Qt's UTF-16 decoder lets a lone surrogate through.
    if (!decoded || text.contains(QChar::ReplacementCharacter) || !text.isValidUtf16())
        throw EFailure(SPasswordFileUndecodable.arg(shownName, encodingName));

    qsizetype end = text.indexOf(u'\n');
    if (end < 0)
        end = text.size();
    while (end > 0 && text[end - 1] == u'\r')
        --end;
    QString password = text.left(end);
    if (password.trimmed().isEmpty())
        throw EFailure(SPasswordFileEmpty.arg(shownName));
    return password;
}

// Judges a finished test by the thresholds and the certificate.
void Judge(TReport &report, const TElo &elo, const std::optional<int> &timeLimit,
           const std::optional<int> &certificateDays)
{
    report.Ran = true;
    report.Step.fill(std::nullopt, CheckSteps().size());
    // The whole test ends with the last call; the binding counts from the
    // moment the test set its WSDL location.
    for (const TCallTime &call : elo.CallTimes()) {
        const qsizetype index = CheckSteps().indexOf(call.Step);
        if (index >= 0)
            report.Step[index] = report.Step[index].value_or(0) + (call.End - call.Start);
        report.Total = qMax(report.Total, call.End);
    }
    report.Certificate = elo.Certificate();

    if (!report.Connected) {
        report.State = TState::Critical;
        return;
    }
    const double seconds = double(report.Total) / 1e9;
    TState state = TState::Ok;
    const auto raise = [&](TState to, const QString &reason) {
        state = qMax(state, to);
        report.Reasons << reason;
    };
    // After a successful Connect only the logout can have met the limit;
    // the session lets that pass, but the test as a whole broke it.
    if (timeLimit && elo.TimeLimitStruck())
        raise(TState::Critical, SLogoutOverTimeLimit.arg(QString::number(*timeLimit / 1000.0)));
    else if (report.Critical && seconds > *report.Critical)
        raise(TState::Critical,
              SSlowerThanCritical.arg(SecondsText(report.Total), ThresholdText(report.Critical)));
    else if (report.Warning && seconds > *report.Warning)
        raise(TState::Warning,
              SSlowerThanWarning.arg(SecondsText(report.Total), ThresholdText(report.Warning)));
    const TCertificateReport &certificate = report.Certificate;
    if (certificate.Seen && certificate.Problems)
        raise(TState::Warning,
              SCertificateProblems.arg(CertificateProblemTexts(certificate.Problems).join(u", "_s)));
    if (certificate.Seen && certificateDays && certificate.Expires.isValid()) {
        // Days of 24 hours from now, not midnights: six hours left are
        // within one day.
        const qint64 seconds = QDateTime::currentDateTimeUtc().secsTo(certificate.Expires);
        const QString date = certificate.Expires.date().toString(Qt::ISODate);
        // An expired certificate is already named among the problems.
        if (seconds > 0 && seconds < qint64(*certificateDays) * 86400)
            raise(TState::Warning, seconds < 86400 ? SCertificateExpiresToday.arg(date)
                                   : seconds < 2 * 86400
                                       ? SCertificateExpiresTomorrow.arg(date)
                                       : SCertificateExpiresSoon.arg(seconds / 86400).arg(date));
    }
    report.State = state;
}

bool UsableWsdlBase(const QString &base)
{
    const QUrl url(base, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    return url.isValid() && (scheme == u"http"_s || scheme == u"https"_s) && !url.host().isEmpty();
}

int RunCheck(const QStringList &arguments, const QString &programDir)
{
    TOutput out(TStandardStream::Output);
    TOutput err(TStandardStream::Error);

    QCommandLineParser parser;
    const QCommandLineOption settingsOption(u"settings"_s, {}, u"DATEI"_s);
    const QCommandLineOption baseOption(u"wsdl-base"_s, {}, u"URL"_s);
    const QCommandLineOption userOption(u"user"_s, {}, u"NAME"_s);
    const QCommandLineOption passwordOption(u"password"_s, {}, u"TEXT"_s);
    const QCommandLineOption passwordFileOption(u"password-file"_s, {}, u"DATEI"_s);
    const QCommandLineOption monitoringOption(u"monitoring"_s);
    const QCommandLineOption jsonOption(u"json"_s);
    const QCommandLineOption warningOption(QStringList{u"w"_s, u"warning"_s}, {}, u"SEKUNDEN"_s);
    const QCommandLineOption criticalOption(QStringList{u"c"_s, u"critical"_s}, {}, u"SEKUNDEN"_s);
    const QCommandLineOption timeoutOption(QStringList{u"t"_s, u"timeout"_s}, {}, u"SEKUNDEN"_s);
    const QCommandLineOption certificateDaysOption(u"certificate-days"_s, {}, u"TAGE"_s);
    const QCommandLineOption helpOption(QStringList{u"h"_s, u"help"_s});
    const QCommandLineOption versionOption(QStringList{u"V"_s, u"version"_s});
    const QList<QCommandLineOption> valued = {settingsOption, baseOption,         userOption,
                                              passwordOption, passwordFileOption, warningOption,
                                              criticalOption, timeoutOption,      certificateDaysOption};
    parser.addOptions(valued);
    parser.addOptions({monitoringOption, jsonOption, helpOption, versionOption});

    // The options that choose the form of the report count even when the
    // rest of the command line is wrong, so a monitoring system always gets
    // its line.
    const bool parsed = parser.parse(arguments);
    const bool monitoring = parser.isSet(monitoringOption);
    const bool json = parser.isSet(jsonOption);

    // What goes to stderr in the tool's own mode follows the status line in
    // monitoring mode: Icinga 2 merges stderr into the output, ahead of it.
    QStringList notes;
    {
        // In one step, so that no message falls between the two lists.
        const std::lock_guard lock(GNotesMutex);
        notes = GEarlyMessages;
        GNotes = monitoring ? &notes : nullptr;
    }
    if (monitoring) {
        qInstallMessageHandler(CollectMessage);
    } else {
#ifdef Q_OS_WIN
        // Qt's own handler would write its messages to a console in the
        // code page of the C runtime.
        qInstallMessageHandler(WriteMessage);
#else
        qInstallMessageHandler(nullptr);
#endif
        for (const QString &message : std::as_const(GEarlyMessages))
            err << message << '\n';
        notes.clear();
    }
    const auto note = [&](const QString &text) {
        if (monitoring)
            AddNote(notes, text);
        else
            err << text << '\n';
    };

    TMasker mask;
    TReport report;

    const auto finish = [&]() -> int {
        if (json)
            out << JsonReport(report) << '\n';
        if (monitoring) {
            // Messages logged from here on are dropped: nothing may follow
            // on stderr, and the output is written.
            SetNotes(nullptr);
            if (!json)
                out << PluginLine(report) << '\n' << LongOutput(notes);
            return int(report.State);
        }
        if (report.Connected) {
            if (!json)
                out << SuccessLine(report) << '\n';
            return 0;
        }
        if (!json)
            err << u"Fehler: "_s << report.Error << '\n';
        return 1;
    };
    const auto badUsage = [&](const QString &reason) -> int {
        if (monitoring)
            AddNote(notes, SUsage);
        else
            err << (reason.isEmpty() ? QString() : reason + u'\n') << SUsage;
        report.State = TState::Unknown;
        report.Error = reason;
        if (monitoring || json) {
            finish();
            return monitoring ? int(TState::Unknown) : 2;
        }
        return 2;
    };

    if (!parsed)
        return badUsage(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return badUsage(SUnexpectedArgument.arg(parser.positionalArguments().first()));
    if (parser.isSet(helpOption)) {
        // The plugin convention: help is no result, so UNKNOWN.
        if (monitoring) {
            report.State = TState::Unknown;
            report.Error = SHelpOnly;
            AddNote(notes, SUsage);
            return finish();
        }
        out << SUsage;
        return 0;
    }
    if (parser.isSet(versionOption)) {
        // Like help no result: UNKNOWN, the version in the status line.
        const QString version = VersionLine(u"qv_VellumixCheck"_s);
        if (monitoring) {
            report.State = TState::Unknown;
            report.Error = version;
            return finish();
        }
        out << version << '\n';
        return 0;
    }
    for (const QCommandLineOption &option : valued) {
        if (parser.values(option).size() > 1)
            return badUsage(SOptionTwice.arg(option.names().last()));
    }
    if (parser.isSet(passwordOption) && parser.isSet(passwordFileOption))
        return badUsage(SPasswordTwice);
    // An empty number is no number given: a monitoring definition passes
    // its unset arguments as empty texts (Nagios' $ARGn$), and the option's
    // default is what such a definition means.
    const auto given = [&](const QCommandLineOption &option) {
        return parser.isSet(option) && !parser.value(option).isEmpty();
    };
    const auto seconds = [&](const QCommandLineOption &option, bool positive) -> std::optional<double> {
        const std::optional<double> value = ParseSeconds(parser.value(option));
        if (!value || (positive && *value <= 0))
            return std::nullopt;
        return value;
    };
    for (const QCommandLineOption &option : {warningOption, criticalOption, timeoutOption}) {
        if (given(option) && !seconds(option, option.names() == timeoutOption.names()))
            return badUsage(SBadSeconds.arg(option.names().last(), parser.value(option)));
    }
    if (given(warningOption))
        report.Warning = seconds(warningOption, false);
    if (given(criticalOption))
        report.Critical = seconds(criticalOption, false);
    std::optional<int> timeLimit;
    if (given(timeoutOption))
        timeLimit = int(qBound(1.0, std::ceil(*seconds(timeoutOption, true) * 1000), 2147483647.0));
    else if (monitoring)
        timeLimit = DefaultMonitoringTimeout;
    std::optional<int> certificateDays;
    if (given(certificateDaysOption)) {
        bool ok = false;
        const int days = parser.value(certificateDaysOption).toInt(&ok);
        if (!ok || days < 0)
            return badUsage(SBadDays.arg(parser.value(certificateDaysOption)));
        certificateDays = days;
    }
    // A location without http or https would only end in a "file not
    // found" that reads like a broken server.
    if (parser.isSet(baseOption) && !UsableWsdlBase(parser.value(baseOption)))
        return badUsage(SBadWsdlBase.arg(parser.value(baseOption)));
    if (parser.isSet(passwordOption))
        note(SPasswordVisible);

    // Anything that keeps the inputs from being read (settings file,
    // password file) means the test never ran: UNKNOWN to a monitoring system.
    TInputs inputs;
    try {
        std::optional<QString> password;
        if (parser.isSet(passwordFileOption))
            password = ReadPasswordFile(parser.value(passwordFileOption));
        else if (parser.isSet(passwordOption))
            password = parser.value(passwordOption);
        else if (qEnvironmentVariableIsSet(qPrintable(SPasswordVariable)))
            password = qEnvironmentVariable(qPrintable(SPasswordVariable));
        // Set to the empty text is what an engine passes for an unset
        // macro; like the empty password file, no login: it would only
        // fail and, check after check, lock the account.
        if (password && !parser.isSet(passwordFileOption) && !parser.isSet(passwordOption) &&
            password->trimmed().isEmpty())
            throw EFailure(SPasswordVariableEmpty);
        if (password)
            mask.SetSecret(*password);

        const bool allGiven = parser.isSet(baseOption) && parser.isSet(userOption) && password;
        const QString fileName = parser.isSet(settingsOption) ? parser.value(settingsOption)
                                                              : QDir(programDir).filePath(SSettingsFileName);
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
            if (!password) {
                inputs.Password = settings.GetIXPasswort();
                mask.SetSecret(inputs.Password);
            }
        }
        if (parser.isSet(baseOption))
            inputs.WSDLBase = parser.value(baseOption);
        else if (!UsableWsdlBase(inputs.WSDLBase))
            throw EFailure(SBadWsdlBase.arg(inputs.WSDLBase));
        if (parser.isSet(userOption))
            inputs.User = parser.value(userOption);
        if (password)
            inputs.Password = std::move(*password);
    } catch (const std::exception &e) {
        report.State = TState::Unknown;
        report.Error = FailureText(e);
        return finish();
    }

    TElo elo;
    elo.WSDLBase = inputs.WSDLBase;
    elo.LoginUser = inputs.User;
    // One copy of the password from here on, cleared once the login is over.
    elo.LoginPassword = std::move(inputs.Password);
    if (timeLimit)
        elo.SetTimeLimit(*timeLimit);
    QString error;
    report.Connected = elo.Connect(error);
    Wipe(elo.LoginPassword);
    // What the server sent is masked where it enters the report.
    report.Error = MaskFailure(error, mask);
    if (report.Connected) {
        report.Version = mask(elo.ServerVersion());
        report.EntryName = mask(elo.RootEntryName());
        elo.Disconnect();
    }
    Judge(report, elo, timeLimit, certificateDays);
    return finish();
}

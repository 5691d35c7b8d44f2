// The window's connection test for scripts and monitoring: logs in to the
// Indexserver with the stored (or given) user, password and WSDL location,
// reads what the window's test reads, logs out and reports in one line.
// Exit codes by default: 0 connected, 1 failed, 2 bad usage. With
// --monitoring the plugin convention of Nagios and its kin: one status line
// on stdout, 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN. Never writes the settings.

#include "common/EFailure.h"
#include "common/U_Translation.h"
#include "indexserver/IX_Binding.h"
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
#include <QLocale>
#include <QTextStream>
#include <QUrl>

#include <algorithm>
#include <cmath>
#include <exception>
#include <optional>

#ifdef Q_OS_WIN
#include <fcntl.h>
#include <io.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SSettingsFileName = u"quilloraGlobal.xml"_s;
const QString SPasswordVariable = u"VELLUMIX_PASSWORD"_s;
const QString SUsage =
    u"Aufruf: qv_VellumixCheck [--settings DATEI] [--wsdl-base URL] [--user NAME]\n"
    "                        [--password-file DATEI | --password TEXT]\n"
    "                        [--monitoring] [--json] [--warning SEKUNDEN] [--critical SEKUNDEN]\n"
    "                        [--timeout SEKUNDEN] [--certificate-days TAGE]\n"
    "Prüft die Verbindung zum ELO Indexserver wie der Knopf \"Verbinde\" im Konfigurationsprogramm.\n"
    "Ohne Optionen gelten Benutzer, Passwort und WSDL-Adresse aus \"quilloraGlobal.xml\" neben dem "
    "Programm;\n"
    "Optionen ersetzen die gespeicherten Werte. Ohne Passwort-Option gilt die Umgebungsvariable\n"
    "VELLUMIX_PASSWORD, wenn sie gesetzt ist. --password-file liest die erste Zeile der Datei.\n"
    "Ergebnis: 0 verbunden, 1 Fehler, 2 falscher Aufruf.\n"
    "Mit --monitoring eine Zeile für Nagios, Icinga und andere: 0 OK, 1 WARNING, 2 CRITICAL, "
    "3 UNKNOWN;\n"
    "--warning und --critical gelten für die Dauer der ganzen Prüfung, --timeout begrenzt sie "
    "(Vorgabe\n"
    "mit --monitoring 10 Sekunden), --certificate-days warnt vor dem Ablauf des Zertifikats.\n"
    "--json gibt dieselben Angaben als ein JSON-Objekt aus.\n"_s;
const QString SMissingSettings = u"Die Einstellungsdatei \"%1\" fehlt"_s;
const QString SPasswordFileUnreadable = u"Die Passwortdatei \"%1\" kann nicht gelesen werden: %2"_s;
const QString SPasswordTwice = u"--password und --password-file schließen sich aus"_s;
const QString SOptionTwice = u"Option --%1 mehrfach angegeben"_s;
const QString SBadSeconds = u"Ungültige Sekundenzahl für --%1: %2"_s;
const QString SUnexpectedArgument = u"Unerwartetes Argument: %1"_s;
const QString SBadDays = u"Ungültige Zahl von Tagen für --certificate-days: %1"_s;
const QString SPasswordVisible =
    u"Warnung: Ein Passwort auf der Befehlszeile können andere Benutzer dieses Rechners in der "
    "Prozessliste sehen; --password-file oder VELLUMIX_PASSWORD vermeiden das."_s;
const QString SSuccess = u"OK Indexserver %1, Eintrag \"1\": %2"_s;
const QString SPluginSuccess = u"Indexserver %1, Eintrag \"1\": %2"_s;
const QString SSlowerThanWarning = u"Dauer %1 s über der Warnschwelle %2 s"_s;
const QString SSlowerThanCritical = u"Dauer %1 s über der kritischen Schwelle %2 s"_s;
const QString SLogoutOverTimeLimit = u"Zeitüberschreitung beim Abmelden: Zeitlimit von %1 s überschritten"_s;
const QString SCertificateProblems = u"Zertifikat: %1"_s;
const QString SCertificateExpiresSoon = u"Zertifikat läuft in %1 Tagen ab (%2)"_s;
const QString SMasked = u"***"_s;

// Monitoring mode without --timeout: below the usual 60 s of the monitoring
// systems, so the line says why instead of their "plugin timed out".
constexpr int DefaultMonitoringTimeout = 10000;

// The steps in the order the test runs them, named as the binding records them.
const QStringList SSteps = {u"wsdl"_s,         u"login"_s,        u"getServerInfo"_s,
                            u"getConstants"_s, u"checkoutSord"_s, u"logout"_s};

enum class TState { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

QString StateName(TState state)
{
    switch (state) {
    case TState::Ok:
        return u"OK"_s;
    case TState::Warning:
        return u"WARNING"_s;
    case TState::Critical:
        return u"CRITICAL"_s;
    case TState::Unknown:
        break;
    }
    return u"UNKNOWN"_s;
}

struct TInputs {
    QString WSDLBase;
    QString User;
    QString Password;
};

// Everything the report needs, gathered once; the three outputs only format it.
struct TReport {
    TState State = TState::Ok;
    bool Connected = false;
    bool Ran = false;    // false when the test never started (bad usage, unusable settings)
    QString Error;       // the test's failure, or why it never started
    QStringList Reasons; // what made a successful test WARNING or CRITICAL
    QString Version;
    QString EntryName;
    qint64 Total = -1;                 // nanoseconds; -1: not measured
    QList<std::optional<qint64>> Step; // nanoseconds, in the order of SSteps
    TCertificateReport Certificate;
    std::optional<double> Warning; // thresholds in seconds
    std::optional<double> Critical;
};

// Removes the password from every text that leaves the program, also as a
// server would quote it back from a request (XML-escaped or URL-encoded).
class TMasker {
public:
    void SetSecret(const QString &secret)
    {
        FForms.clear();
        if (secret.isEmpty())
            return;
        FForms << secret << secret.toHtmlEscaped() << QString::fromLatin1(QUrl::toPercentEncoding(secret))
               << QString::fromLatin1(QUrl::toPercentEncoding(secret, " ")).replace(u' ', u'+');
        FForms.removeDuplicates();
        // The longest first, so that no shorter form leaves part of a longer one behind.
        std::sort(FForms.begin(), FForms.end(),
                  [](const QString &a, const QString &b) { return a.size() > b.size(); });
    }
    QString operator()(QString text) const
    {
        for (const QString &form : FForms)
            text.replace(form, SMasked);
        return text;
    }

private:
    QStringList FForms;
};

QString Seconds(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e9, 'f', 3);
}

QString ThresholdText(const std::optional<double> &value)
{
    return value ? QString::number(*value, 'g', 15) : QString();
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

// The plugin line must stay one line, and "|" would start the performance data.
QString OneLine(QString text)
{
    text.replace(u"\r\n"_s, u" "_s);
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    text.replace(u'|', u'¦');
    return text.trimmed();
}

QString PerformanceData(const TReport &report)
{
    QStringList items;
    items << u"time=%1s;%2;%3;0"_s.arg(report.Total >= 0 ? Seconds(report.Total) : u"U"_s,
                                       ThresholdText(report.Warning), ThresholdText(report.Critical));
    for (qsizetype i = 0; i < SSteps.size(); ++i) {
        const std::optional<qint64> &step = report.Step[i];
        // "U": the step was not reached, which graphs must not read as zero.
        items << (step ? u"%1=%2s;;;0"_s.arg(SSteps[i], Seconds(*step)) : u"%1=U"_s.arg(SSteps[i]));
    }
    return items.join(u' ');
}

QString PluginLine(const TReport &report, const TMasker &mask)
{
    QString text;
    if (report.Connected) {
        QStringList parts{SPluginSuccess.arg(report.Version, report.EntryName)};
        parts << report.Reasons;
        text = parts.join(u"; "_s);
    } else {
        text = report.Error;
    }
    QString line = u"VELLUMIX %1 - %2"_s.arg(StateName(report.State), OneLine(mask(text)));
    if (report.Ran)
        line += u" | "_s + PerformanceData(report);
    return line;
}

// Microseconds are more than any network step can tell apart.
QJsonValue SecondsValue(qint64 nanoseconds)
{
    return std::round(double(nanoseconds) / 1e3) / 1e6;
}

QByteArray JsonReport(const TReport &report, const TMasker &mask)
{
    QJsonObject steps;
    for (qsizetype i = 0; i < SSteps.size(); ++i)
        steps.insert(SSteps[i], report.Step.value(i) ? SecondsValue(*report.Step[i]) : QJsonValue());
    QJsonArray reasons;
    for (const QString &reason : report.Reasons)
        reasons.append(mask(reason));
    QJsonValue certificate;
    if (report.Certificate.Seen) {
        QJsonArray problems;
        for (const QString &problem : CertificateProblemTexts(report.Certificate.Problems))
            problems.append(problem);
        certificate = QJsonObject{
            {u"problems"_s, problems},
            {u"expires"_s, report.Certificate.Expires.toString(Qt::ISODate)},
            {u"sha256"_s, FingerprintText(report.Certificate.Sha256)},
        };
    }
    const QJsonObject object{
        {u"result"_s, StateName(report.State)},
        {u"error"_s, mask(report.Error)},
        {u"warnings"_s, reasons},
        {u"version"_s, mask(report.Version)},
        {u"entry"_s, mask(report.EntryName)},
        {u"time"_s, report.Total >= 0 ? SecondsValue(report.Total) : QJsonValue()},
        {u"steps"_s, steps},
        {u"certificate"_s, certificate},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The first line of the file, without its line break.
QString ReadPasswordFile(const QString &fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        throw EFailure(SPasswordFileUnreadable.arg(QDir::toNativeSeparators(fileName), file.errorString()));
    QByteArray line = file.readLine();
    if (file.error() != QFileDevice::NoError)
        throw EFailure(SPasswordFileUnreadable.arg(QDir::toNativeSeparators(fileName), file.errorString()));
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    return QString::fromUtf8(line);
}

// Judges a finished test by the thresholds and the certificate.
void Judge(TReport &report, const TElo &elo, const std::optional<int> &timeLimit,
           const std::optional<int> &certificateDays)
{
    report.Ran = true;
    report.Step.fill(std::nullopt, SSteps.size());
    // The whole test ends with the last call; the binding counts from the
    // moment the test set its WSDL location.
    for (const TCallTime &call : elo.CallTimes()) {
        const qsizetype index = SSteps.indexOf(call.Step);
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
              SSlowerThanCritical.arg(Seconds(report.Total), ThresholdText(report.Critical)));
    else if (report.Warning && seconds > *report.Warning)
        raise(TState::Warning, SSlowerThanWarning.arg(Seconds(report.Total), ThresholdText(report.Warning)));
    const TCertificateReport &certificate = report.Certificate;
    if (certificate.Seen && certificate.Problems)
        raise(TState::Warning,
              SCertificateProblems.arg(CertificateProblemTexts(certificate.Problems).join(u", "_s)));
    if (certificate.Seen && certificateDays && certificate.Expires.isValid()) {
        const qint64 days = QDateTime::currentDateTimeUtc().daysTo(certificate.Expires);
        // An expired certificate is already named among the problems.
        if (days >= 0 && days < *certificateDays)
            raise(TState::Warning,
                  SCertificateExpiresSoon.arg(days).arg(certificate.Expires.date().toString(Qt::ISODate)));
    }
    report.State = state;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    InstallQtTranslation();

#ifdef Q_OS_WIN
    // The same bytes as elsewhere. In text mode the C runtime would write
    // every line feed as CR LF, and a message's own CR LF as CR CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
#endif
    QTextStream out(stdout);
    QTextStream err(stderr);

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
    const QList<QCommandLineOption> valued = {settingsOption, baseOption,         userOption,
                                              passwordOption, passwordFileOption, warningOption,
                                              criticalOption, timeoutOption,      certificateDaysOption};
    parser.addOptions(valued);
    parser.addOptions({monitoringOption, jsonOption, helpOption});

    // The options that choose the form of the report count even when the
    // rest of the command line is wrong, so a monitoring system always gets
    // its line.
    const bool parsed = parser.parse(QCoreApplication::arguments());
    const bool monitoring = parser.isSet(monitoringOption);
    const bool json = parser.isSet(jsonOption);

    TMasker mask;
    mask.SetSecret(parser.value(passwordOption));
    TReport report;

    const auto finish = [&]() -> int {
        if (json)
            out << JsonReport(report, mask) << '\n';
        if (monitoring) {
            if (!json)
                out << PluginLine(report, mask) << '\n';
            return int(report.State);
        }
        if (report.Connected) {
            if (!json)
                out << mask(SSuccess.arg(report.Version, report.EntryName)) << Qt::endl;
            return 0;
        }
        if (!json)
            err << u"Fehler: "_s << mask(report.Error) << Qt::endl;
        return 1;
    };
    const auto badUsage = [&](const QString &reason) -> int {
        err << (reason.isEmpty() ? QString() : mask(reason) + u'\n') << SUsage;
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
        out << SUsage;
        return 0;
    }
    for (const QCommandLineOption &option : valued) {
        if (parser.values(option).size() > 1)
            return badUsage(SOptionTwice.arg(option.names().last()));
    }
    if (parser.isSet(passwordOption) && parser.isSet(passwordFileOption))
        return badUsage(SPasswordTwice);
    const auto seconds = [&](const QCommandLineOption &option, bool positive) -> std::optional<double> {
        const std::optional<double> value = ParseSeconds(parser.value(option));
        if (!value || (positive && *value <= 0))
            return std::nullopt;
        return value;
    };
    for (const QCommandLineOption &option : {warningOption, criticalOption, timeoutOption}) {
        if (parser.isSet(option) && !seconds(option, option.names() == timeoutOption.names()))
            return badUsage(SBadSeconds.arg(option.names().last(), parser.value(option)));
    }
    if (parser.isSet(warningOption))
        report.Warning = seconds(warningOption, false);
    if (parser.isSet(criticalOption))
        report.Critical = seconds(criticalOption, false);
    std::optional<int> timeLimit;
    if (parser.isSet(timeoutOption))
        timeLimit = int(qBound(1.0, std::ceil(*seconds(timeoutOption, true) * 1000), 2147483647.0));
    else if (monitoring)
        timeLimit = DefaultMonitoringTimeout;
    std::optional<int> certificateDays;
    if (parser.isSet(certificateDaysOption)) {
        bool ok = false;
        const int days = parser.value(certificateDaysOption).toInt(&ok);
        if (!ok || days < 0)
            return badUsage(SBadDays.arg(parser.value(certificateDaysOption)));
        certificateDays = days;
    }
    if (parser.isSet(passwordOption))
        err << SPasswordVisible << Qt::endl;

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
        if (password)
            mask.SetSecret(*password);

        const bool allGiven = parser.isSet(baseOption) && parser.isSet(userOption) && password;
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
            if (!password) {
                inputs.Password = settings.GetIXPasswort();
                mask.SetSecret(inputs.Password);
            }
        }
        if (parser.isSet(baseOption))
            inputs.WSDLBase = parser.value(baseOption);
        if (parser.isSet(userOption))
            inputs.User = parser.value(userOption);
        if (password)
            inputs.Password = *password;
    } catch (const std::exception &e) {
        report.State = TState::Unknown;
        report.Error = FailureText(e);
        return finish();
    }

    TElo elo;
    elo.WSDLBase = inputs.WSDLBase;
    elo.LoginUser = inputs.User;
    elo.LoginPassword = inputs.Password;
    if (timeLimit)
        elo.SetTimeLimit(*timeLimit);
    report.Connected = elo.Connect(report.Error);
    if (report.Connected) {
        report.Version = elo.ServerVersion();
        report.EntryName = elo.RootEntryName();
        elo.Disconnect();
    }
    Judge(report, elo, timeLimit, certificateDays);
    return finish();
}

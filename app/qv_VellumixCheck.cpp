// The window's connection test for scripts and monitoring: logs in to the
// Indexserver with the stored (or given) user, password and WSDL location,
// reads what the window's test reads, logs out and reports in one line.
// Exit codes by default: 0 connected, 1 failed, 2 bad usage. With
// --monitoring the plugin convention of Nagios and its kin: the status line
// first on stdout, any notes after it, nothing on stderr; 0 OK, 1 WARNING,
// 2 CRITICAL, 3 UNKNOWN. Never writes the settings.

#include "common/EFailure.h"
#include "common/U_Hardening.h"
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
#include <QRegularExpression>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>

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
const QString SPasswordFileEmpty =
    u"Die Passwortdatei \"%1\" enthält kein Passwort: ihre erste Zeile ist leer"_s;
const QString SHelpOnly = u"Nur die Hilfe ausgegeben, keine Prüfung"_s;
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
const QString SCertificateExpiresToday = u"Zertifikat läuft in weniger als einem Tag ab (%1)"_s;
const QString SCertificateExpiresTomorrow = u"Zertifikat läuft in einem Tag ab (%1)"_s;
const QString SMasked = u"***"_s;

// Monitoring mode without --timeout: below the usual 60 s of the monitoring
// systems, so the line says why instead of their "plugin timed out".
constexpr int DefaultMonitoringTimeout = 10000;
// The status text before "|" at most, in UTF-8 bytes: engines keep a few
// KiB of a plugin's output, and a server's fault may be any length.
constexpr qsizetype MaxStatusBytes = 1024;

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

// Case-insensitive hexadecimal digits of value, at least width of them.
QString HexPattern(uint value, int width = 1)
{
    QString pattern;
    for (const QChar digit : QString::number(value, 16).rightJustified(width, u'0')) {
        if (digit.isLetter())
            pattern += u"[%1%2]"_s.arg(digit, digit.toUpper());
        else
            pattern += digit;
    }
    return pattern;
}

// Characters that XML cannot carry: the request leaves them out, so a
// server's quote of it lacks them.
bool LeftOutOfRequest(char32_t c)
{
    return (c < 0x20 && c != U'\t' && c != U'\n' && c != U'\r') || c == 0xFFFE || c == 0xFFFF;
}

// Every form in which one character of the password can come back quoted:
// as markup carries it (the request's own escaping, named and numeric
// references in decimal or hex, also escaped once more as a server quotes
// markup within markup); percent-encoded (also twice); in a JSON string; as
// it is. The escaped forms come first: several begin with the character
// itself ("&amp;", "%25", "\\"), and the raw form alone would leave the
// rest of such a form, and the password's next characters, in the text.
QString CharacterForms(char32_t c)
{
    const QString literal = QString::fromUcs4(&c, 1);
    QStringList forms;
    QString reference = u"#0*%1;|#[xX]0*%2;"_s.arg(uint(c)).arg(HexPattern(c));
    const std::pair<char32_t, QString> named[] = {
        {U'&', u"amp;"_s}, {U'<', u"lt;"_s}, {U'>', u"gt;"_s}, {U'"', u"quot;"_s}, {U'\'', u"apos;"_s}};
    for (const auto &[character, name] : named) {
        if (c == character)
            reference += u'|' + name;
    }
    forms << u"&(?:amp;)*(?:%1)"_s.arg(reference);
    QString percent;
    for (const char byte : literal.toUtf8())
        percent += u"%(?:25)?"_s + HexPattern(uchar(byte), 2);
    forms << percent;
    if (c == U' ')
        forms << u"\\+"_s;
    if (c <= 0xFFFF) {
        forms << u"\\\\u"_s + HexPattern(c, 4);
    } else {
        const QString pair = literal;
        forms << u"\\\\u%1\\\\u%2"_s.arg(HexPattern(pair[0].unicode(), 4), HexPattern(pair[1].unicode(), 4));
    }
    const std::pair<char32_t, QString> escaped[] = {{U'"', u"\""_s}, {U'\\', u"\\\\"_s}, {U'/', u"/"_s},
                                                    {U'\r', u"r"_s}, {U'\n', u"n"_s},    {U'\t', u"t"_s}};
    for (const auto &[character, letter] : escaped) {
        if (c == character)
            forms << u"\\\\"_s + letter;
    }
    forms << QRegularExpression::escape(literal);
    return u"(?:"_s + forms.join(u'|') + u')';
}

// Removes the password from what the server sent, in every form a request
// can carry it and a server can quote it back. Only the server's texts pass
// through it: the program never writes the password into its own, and a
// short password would garble them.
class TMasker {
public:
    void SetSecret(const QString &secret)
    {
        if (secret.isEmpty()) {
            FPattern = QRegularExpression();
            return;
        }
        const QList<uint> characters = secret.toUcs4();
        // Only when something of the password reaches the request can its
        // left-out characters be missing from a quote; else the pattern
        // would match the empty text everywhere.
        const bool anySent = std::any_of(characters.cbegin(), characters.cend(),
                                         [](char32_t c) { return !LeftOutOfRequest(c); });
        QString pattern;
        for (const char32_t c : characters)
            pattern += CharacterForms(c) + (anySent && LeftOutOfRequest(c) ? u"?"_s : QString());
        FPattern = QRegularExpression(pattern);
    }
    QString operator()(QString text) const
    {
        if (!FPattern.pattern().isEmpty())
            text.replace(FPattern, SMasked);
        return text;
    }

private:
    QRegularExpression FPattern;
};

// A failure of the test: the session's own frame around what the server
// sent. Only the server's part is masked; a text of unknown shape is taken
// as the server's throughout.
QString MaskFailure(const QString &text, const TMasker &mask)
{
    using O = QRegularExpression::PatternOption;
    // The WSDL could not be loaded: the location is the user's, the reason
    // nests; a WSDL read from a file holds nothing the server sent.
    static const QRegularExpression wsdl(
        u"^(WSDL-Datei/-Ort kann nicht geladen werden: (.*?)\\.  Fehler \\[)(.*)\\]$"_s,
        O::DotMatchesEverythingOption);
    // No complete HTTP answer: the description is Qt's or the session's own.
    static const QRegularExpression transport(u"^.* - URL:https?://\\S* - SOAPAction:(?:\"[^\"]*\")?$"_s,
                                              O::DotMatchesEverythingOption | O::CaseInsensitiveOption);
    static const QRegularExpression http(u"^https?://"_s, O::CaseInsensitiveOption);
    // A refusing HTTP status: the reason phrase is the server's.
    static const QRegularExpression status(u"^(.*)( \\([0-9]{3}\\) - 'https?://[^'\\s]*')$"_s,
                                           O::DotMatchesEverythingOption | O::CaseInsensitiveOption);
    QRegularExpressionMatch match = wsdl.match(text);
    if (match.hasMatch()) {
        if (!http.match(match.captured(2)).hasMatch())
            return text;
        return match.captured(1) + MaskFailure(match.captured(3), mask) + u']';
    }
    if (transport.match(text).hasMatch())
        return text;
    match = status.match(text);
    if (match.hasMatch())
        return mask(match.captured(1)) + match.captured(2);
    return mask(text);
}

// Overwrites the characters where they lie, in every copy that shares them.
void Wipe(QString &text)
{
    if (!text.isEmpty() && text.data_ptr()->isMutable())
        std::fill_n(const_cast<QChar *>(text.constData()), text.size(), QChar());
    text.clear();
}

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

// Steps the test did not reach are left out: graphs must not read them as
// zero, and Icinga 2 refuses the "U" of the guidelines with a warning per
// value. The whole test's time is always there.
QString PerformanceData(const TReport &report)
{
    QStringList items;
    items << u"time=%1s;%2;%3;0"_s.arg(Seconds(std::max<qint64>(report.Total, 0)),
                                       ThresholdText(report.Warning), ThresholdText(report.Critical));
    for (qsizetype i = 0; i < SSteps.size(); ++i) {
        if (const std::optional<qint64> &step = report.Step[i])
            items << u"%1=%2s;;;0"_s.arg(SSteps[i], Seconds(*step));
    }
    return items.join(u' ');
}

// At most MaxStatusBytes of UTF-8, cut between code points, "…" marking the cut.
QString Bounded(const QString &text)
{
    if (text.toUtf8().size() <= MaxStatusBytes)
        return text;
    const qsizetype room = MaxStatusBytes - QStringLiteral("…").toUtf8().size();
    qsizetype bytes = 0;
    qsizetype end = 0;
    while (end < text.size()) {
        const bool pair =
            text[end].isHighSurrogate() && end + 1 < text.size() && text[end + 1].isLowSurrogate();
        const char16_t unit = text[end].unicode();
        const qsizetype size = pair ? 4 : unit < 0x80 ? 1 : unit < 0x800 ? 2 : 3;
        if (bytes + size > room)
            break;
        bytes += size;
        end += pair ? 2 : 1;
    }
    return text.left(end) + u'…';
}

QString PluginLine(const TReport &report)
{
    QString text;
    if (report.Connected) {
        QStringList parts{SPluginSuccess.arg(report.Version, report.EntryName)};
        parts << report.Reasons;
        text = parts.join(u"; "_s);
    } else {
        text = report.Error;
    }
    QString line = u"VELLUMIX %1 - %2"_s.arg(StateName(report.State), Bounded(OneLine(text)));
    if (report.Ran)
        line += u" | "_s + PerformanceData(report);
    return line;
}

// The lines after the status line. A "|" there would start performance data.
QString LongOutput(const QStringList &notes)
{
    QString text;
    for (const QString &note : notes) {
        QString lines = note;
        lines.replace(u"\r\n"_s, u"\n"_s);
        lines.replace(u'\r', u'\n');
        lines.replace(u'|', u'¦');
        while (lines.endsWith(u'\n'))
            lines.chop(1);
        text += lines + u'\n';
    }
    return text;
}

// Microseconds are more than any network step can tell apart.
QJsonValue SecondsValue(qint64 nanoseconds)
{
    return std::round(double(nanoseconds) / 1e3) / 1e6;
}

QByteArray JsonReport(const TReport &report)
{
    QJsonObject steps;
    for (qsizetype i = 0; i < SSteps.size(); ++i)
        steps.insert(SSteps[i], report.Step.value(i) ? SecondsValue(*report.Step[i]) : QJsonValue());
    QJsonArray reasons;
    for (const QString &reason : report.Reasons)
        reasons.append(reason);
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
        {u"error"_s, report.Error},
        {u"warnings"_s, reasons},
        {u"version"_s, report.Version},
        {u"entry"_s, report.EntryName},
        {u"time"_s, report.Total >= 0 ? SecondsValue(report.Total) : QJsonValue()},
        {u"steps"_s, steps},
        {u"certificate"_s, certificate},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// The first line of the file, without its line break. An empty line is no
// password: logging in with it would only fail and, check after check, lock
// the account.
QString ReadPasswordFile(const QString &fileName)
{
    QFile file(fileName);
    // Qt leaves the file system's texts untranslated; its catalogue has them.
    const auto unreadable = [&] {
        return EFailure(SPasswordFileUnreadable.arg(
            QDir::toNativeSeparators(fileName),
            QCoreApplication::translate("QIODevice", file.errorString().toUtf8().constData())));
    };
    // Unbuffered: no copy of the file's bytes stays behind in the device's buffer.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        throw unreadable();
    QByteArray line = file.readLine();
    if (file.error() != QFileDevice::NoError)
        throw unreadable();
    while (line.endsWith('\n') || line.endsWith('\r'))
        line.chop(1);
    QString password = QString::fromUtf8(line);
    std::fill(line.begin(), line.end(), '\0');
    if (password.trimmed().isEmpty())
        throw EFailure(SPasswordFileEmpty.arg(QDir::toNativeSeparators(fileName)));
    return password;
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

// Qt's own messages in monitoring mode: after the status line, never on
// stderr, which an engine would put before it. Collected from the start,
// before the command line is read; handed back to stderr in the tool's own mode.
// QtNetwork may log from its own thread, hence the lock.
QStringList GEarlyMessages;
QStringList *GNotes = &GEarlyMessages;
std::mutex GNotesMutex;

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

int main(int argc, char *argv[])
{
    DisableCrashDumps(); // the program holds the password
    for (int i = 1; i < argc; ++i) {
        if (qstrcmp(argv[i], "--monitoring") == 0)
            qInstallMessageHandler(CollectMessage);
    }
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
        qInstallMessageHandler(nullptr);
        for (const QString &message : std::as_const(GEarlyMessages))
            err << message << Qt::endl;
        notes.clear();
    }
    const auto note = [&](const QString &text) {
        if (monitoring)
            AddNote(notes, text);
        else
            err << text << Qt::endl;
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
            out.flush();
            return int(report.State);
        }
        if (report.Connected) {
            if (!json)
                out << SSuccess.arg(report.Version, report.EntryName) << Qt::endl;
            return 0;
        }
        if (!json)
            err << u"Fehler: "_s << report.Error << Qt::endl;
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

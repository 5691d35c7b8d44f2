#include "check/U_CheckReport.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

const QString SSuccess = u"OK Indexserver %1, Eintrag \"1\": %2"_s;
const QString SPluginSuccess = u"Indexserver %1, Eintrag \"1\": %2"_s;

// The status text before "|" at most, in UTF-8 bytes: engines keep a few
// KiB of a plugin's output, and a server's fault may be any length.
constexpr qsizetype MaxStatusBytes = 1024;

// The plugin line must stay one line, and "|" would start the performance data.
QString OneLine(QString text)
{
    text.replace(u"\r\n"_s, u" "_s);
    text.replace(u'\r', u' ');
    text.replace(u'\n', u' ');
    text.replace(u'|', u'¦');
    return text.trimmed();
}

// Milliseconds as a rule; a step shorter than that (on a LAN) in
// microseconds, or it would read as 0.
QString PerformanceSeconds(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e9, 'f', nanoseconds < 1000000 ? 6 : 3);
}

// Steps the test did not reach are left out: graphs must not read them as
// zero, and Icinga 2 refuses the "U" of the guidelines with a warning per
// value. The whole test's time is always there.
QString PerformanceData(const TReport &report)
{
    QStringList items;
    items << u"time=%1s;%2;%3;0"_s.arg(PerformanceSeconds(std::max<qint64>(report.Total, 0)),
                                       ThresholdText(report.Warning), ThresholdText(report.Critical));
    for (qsizetype i = 0; i < CheckSteps().size(); ++i) {
        if (const std::optional<qint64> &step = report.Step[i])
            items << u"%1=%2s;;;0"_s.arg(CheckSteps()[i], PerformanceSeconds(*step));
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

// Microseconds are more than any network step can tell apart.
QJsonValue SecondsValue(qint64 nanoseconds)
{
    return std::round(double(nanoseconds) / 1e3) / 1e6;
}

} // namespace

const QStringList &CheckSteps()
{
    static const QStringList steps = {u"wsdl"_s,         u"login"_s,        u"getServerInfo"_s,
                                      u"getConstants"_s, u"checkoutSord"_s, u"logout"_s};
    return steps;
}

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

QString SecondsText(qint64 nanoseconds)
{
    return QString::number(double(nanoseconds) / 1e9, 'f', 3);
}

QString ThresholdText(const std::optional<double> &value)
{
    return value ? QString::number(*value, 'g', 15) : QString();
}

QString SuccessLine(const TReport &report)
{
    return SSuccess.arg(report.Version, report.EntryName);
}

QString PluginLine(const TReport &report)
{
    QString text;
    if (report.Connected) {
        QStringList parts{SPluginSuccess.arg(report.Version, report.EntryName)};
        parts << report.Reasons;
        // Not ";": Nagios turns it into ":" in a plugin's output.
        text = parts.join(u" / "_s);
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

QByteArray JsonReport(const TReport &report)
{
    QJsonObject steps;
    for (qsizetype i = 0; i < CheckSteps().size(); ++i)
        steps.insert(CheckSteps()[i], report.Step.value(i) ? SecondsValue(*report.Step[i]) : QJsonValue());
    QJsonArray reasons;
    for (const QString &reason : report.Reasons)
        reasons.append(reason);
    QJsonValue certificate;
    if (report.Certificate.Seen) {
        QJsonArray problems;
        for (const QString &problem : CertificateProblemTexts(report.Certificate.Problems))
            problems.append(problem);
        // Whole days of 24 hours from now, as --certificate-days counts
        // them; negative once expired. A number, for systems that compare.
        QJsonValue daysLeft;
        if (report.Certificate.Expires.isValid())
            daysLeft = std::floor(double(QDateTime::currentDateTimeUtc().secsTo(report.Certificate.Expires)) /
                                  86400.0);
        certificate = QJsonObject{
            {u"problems"_s, problems},
            {u"expires"_s, report.Certificate.Expires.toString(Qt::ISODate)},
            {u"daysLeft"_s, daysLeft},
            {u"sha256"_s, FingerprintText(report.Certificate.Sha256)},
        };
    }
    const QJsonObject object{
        {u"result"_s, StateName(report.State)},
        {u"state"_s, int(report.State)},
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

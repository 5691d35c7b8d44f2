#pragma once

// The result of one connection test and its three forms: the tool's own
// line, the monitoring plugin's line with performance data, and JSON.
// Gathered once by the check; the formats only read it.

#include "indexserver/IX_Binding.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// The plugin states of Nagios and its kin; the values are the exit codes.
enum class TState { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

QString StateName(TState state);

// The steps in the order the test runs them, named as the binding records them.
const QStringList &CheckSteps();

struct TReport {
    TState State = TState::Ok;
    bool Connected = false;
    bool Ran = false;    // false when the test never started (bad usage, unusable settings)
    QString Error;       // the test's failure, or why it never started
    QStringList Reasons; // what made a successful test WARNING or CRITICAL
    QString Version;
    QString EntryName;
    qint64 Total = -1;                 // nanoseconds; -1: not measured
    QList<std::optional<qint64>> Step; // nanoseconds, in the order of CheckSteps()
    TCertificateReport Certificate;
    std::optional<double> Warning; // thresholds in seconds
    std::optional<double> Critical;
};

// The tool's own success line: "OK Indexserver <version>, Eintrag "1": <name>".
QString SuccessLine(const TReport &report);
// The status line of the plugin convention, with performance data when the test ran.
QString PluginLine(const TReport &report);
// The lines after the status line, one note after the other.
QString LongOutput(const QStringList &notes);
// One JSON object without a line break, UTF-8.
QByteArray JsonReport(const TReport &report);

// Seconds as the status line shows them, and thresholds as they were given.
QString SecondsText(qint64 nanoseconds);
QString ThresholdText(const std::optional<double> &value);

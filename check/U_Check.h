#pragma once

// The connection test of qv_VellumixCheck: reads the command line, gathers
// user, password and WSDL location, runs the window's test, judges it and
// writes the report in the form the command line asks for.

#include "check/U_CheckReport.h"

#include <QString>
#include <QStringList>

#include <optional>

class TElo;

// Collects Qt's messages from the very start when the command line asks for
// monitoring mode, so none reaches stderr before the status line. Call first
// thing in main(), before QCoreApplication exists.
void CollectEarlyMessages(int argc, char *argv[]);

// Runs the whole check as the command line (program name first) says;
// programDir holds the default settings file. Writes the report to stdout
// and stderr and returns the exit code. Never throws.
int RunCheck(const QStringList &arguments, const QString &programDir);

// The first line of the password file without its line break. Throws
// EFailure when the file cannot be read or the line is empty.
QString ReadPasswordFile(const QString &fileName);

// Whether the WSDL base is an http or https location with a host.
bool UsableWsdlBase(const QString &base);

// Seconds as given on the command line: a non-negative decimal with a point.
std::optional<double> ParseSeconds(const QString &text);

// Judges a finished test by the thresholds (in report), the time limit (ms)
// and the days the certificate must still be valid.
void Judge(TReport &report, const TElo &elo, const std::optional<int> &timeLimit,
           const std::optional<int> &certificateDays);

#pragma once

// Qt's texts to the command-line programs' standard output and error, as
// UTF-8 bytes (see U_Console.h). Written at once, so nothing is lost when
// a program ends with EndProcess.

#include "common/U_Console.h"

#include <QByteArray>
#include <QString>

class TOutput {
public:
    explicit TOutput(TStandardStream stream) : FStream(stream) {}
    TOutput &operator<<(const QString &text);
    TOutput &operator<<(const QByteArray &utf8);
    TOutput &operator<<(const char *utf8);
    TOutput &operator<<(char c);

private:
    TStandardStream FStream;
};

// "<program> <version>": what -V and --version print, the project's version.
QString VersionLine(const QString &program);

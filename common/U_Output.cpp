#include "common/U_Output.h"

TOutput &TOutput::operator<<(const QString &text)
{
    return *this << text.toUtf8();
}

TOutput &TOutput::operator<<(const QByteArray &utf8)
{
    WriteStandard(FStream, std::string_view(utf8.constData(), size_t(utf8.size())));
    return *this;
}

TOutput &TOutput::operator<<(const char *utf8)
{
    WriteStandard(FStream, utf8);
    return *this;
}

TOutput &TOutput::operator<<(char c)
{
    WriteStandard(FStream, std::string_view(&c, 1));
    return *this;
}

QString VersionLine(const QString &program)
{
    return program + u' ' + QStringLiteral(VELLUMIX_VERSION);
}

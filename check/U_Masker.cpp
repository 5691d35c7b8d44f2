#include "check/U_Masker.h"

#include <QStringList>

#include <algorithm>
#include <utility>

using namespace Qt::StringLiterals;

namespace {

const QString SMasked = u"***"_s;

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

} // namespace

void TMasker::SetSecret(const QString &secret)
{
    if (secret.isEmpty()) {
        FPattern = QRegularExpression();
        return;
    }
    const QList<uint> characters = secret.toUcs4();
    // Only when something of the password reaches the request can its
    // left-out characters be missing from a quote; else the pattern
    // would match the empty text everywhere.
    const bool anySent =
        std::any_of(characters.cbegin(), characters.cend(), [](char32_t c) { return !LeftOutOfRequest(c); });
    QString pattern;
    for (const char32_t c : characters)
        pattern += CharacterForms(c) + (anySent && LeftOutOfRequest(c) ? u"?"_s : QString());
    FPattern = QRegularExpression(pattern);
}

QString TMasker::operator()(QString text) const
{
    if (!FPattern.pattern().isEmpty())
        text.replace(FPattern, SMasked);
    return text;
}

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

#include "indexserver/IX_PlainXml.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <cstring>
#include <optional>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString STooManyAttributes = u"XML-Dokument abgelehnt: ein Element hat mehr als %1 Attribute"_s;
const QString STooManyNamespaces =
    u"XML-Dokument abgelehnt: mehr als %1 Namensraumdeklarationen gleichzeitig gültig"_s;
const QString SDoctypeInMessage =
    u"SOAP-Antwort abgelehnt: eine SOAP-Nachricht darf keine Dokumenttypdeklaration (DOCTYPE) enthalten"_s;
const QString SInternalSubset = u"XML-Dokument abgelehnt: Dokumenttypdeklaration mit internem Teil "
                                "(Entitäten oder Attributvorgaben) wird nicht gelesen"_s;
const QString SEncodingRefused = u"XML-Dokument abgelehnt: Zeichenkodierung %1 wird nicht gelesen"_s;
const QString SBadlyEncoded = u"XML-Dokument abgelehnt: Inhalt ist nicht korrekt in %1 kodiert"_s;

class TShapeCheck {
public:
    TShapeCheck(QByteArrayView bytes, TReadTicker &ticker, TDoctypeRule rule)
        : FAt(bytes.data()), FEnd(bytes.data() + bytes.size()), FTicker(ticker), FRule(rule)
    {
    }

    // Markup is followed only as far as counting needs; at anything that is
    // not well-formed the pass ends, and the readers word the failure.
    // The start tags seen: all of them when the pass got to the end.
    qsizetype StartTags() const { return FStartTags; }

    void Run()
    {
        while (FAt != FEnd) {
            const char *open = Find('<');
            if (!open)
                return;
            FTicker.Tick();
            FAt = open;
            if (Starts("<!--")) {
                if (!SkipPast("-->", 4))
                    return;
            } else if (Starts("<![CDATA[")) {
                if (!SkipPast("]]>", 9))
                    return;
            } else if (Starts("<?")) {
                if (!SkipPast("?>", 2))
                    return;
            } else if (Starts("<!DOCTYPE")) {
                if (FRule == TDoctypeRule::Refuse)
                    throw EFailure(SDoctypeInMessage);
                if (!SkipDoctype())
                    return;
            } else if (Starts("<!")) {
                return; // no markup declaration stands outside a document type declaration
            } else if (Starts("</")) {
                if (!FOpen.empty()) {
                    FInScope -= FOpen.back();
                    FOpen.pop_back();
                }
                ++FAt;
            } else if (!StartTag()) {
                return;
            }
        }
    }

private:
    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

    template <size_t N> bool Starts(const char (&text)[N]) const
    {
        return FEnd - FAt >= qsizetype(N - 1) && std::memcmp(FAt, text, N - 1) == 0;
    }

    const char *Find(char c) const
    {
        return static_cast<const char *>(std::memchr(FAt, c, size_t(FEnd - FAt)));
    }

    bool SkipPast(QByteArrayView close, qsizetype from)
    {
        const qsizetype at = QByteArrayView(FAt, FEnd - FAt).indexOf(close, from);
        if (at < 0)
            return false;
        FAt += at + close.size();
        return true;
    }

    // A document type declaration without internal subset: a name and
    // quoted identifiers. Before the subset's bracket nothing else may
    // stand, so that a bracket outside quotes opens it.
    bool SkipDoctype()
    {
        for (FAt += 9; FAt != FEnd; ++FAt) {
            const char c = *FAt;
            if (c == '"' || c == '\'') {
                ++FAt;
                const char *close = Find(c);
                if (!close)
                    return false;
                FAt = close;
            } else if (c == '[') {
                throw EFailure(SInternalSubset);
            } else if (c == '<') {
                return false;
            } else if (c == '>') {
                ++FAt;
                return true;
            }
        }
        return false;
    }

    // A start tag at "<": its attributes counted, its declarations kept in
    // force until its end tag.
    bool StartTag()
    {
        int attributes = 0;
        int declarations = 0;
        ++FStartTags;
        FNameFloor = ++FAt;
        for (; FAt != FEnd; ++FAt) {
            const char c = *FAt;
            if (c == '>' || c == '/') {
                if (c == '>') {
                    FOpen.push_back(declarations);
                    FInScope += declarations;
                }
                ++FAt;
                return true;
            }
            if (c == '<')
                return false;
            if (c != '=')
                continue;
            // An attribute: the name before the sign, the value in quotes after it.
            const char *end = FAt;
            while (end != FNameFloor && IsSpace(end[-1]))
                --end;
            const char *begin = end;
            while (begin != FNameFloor && !IsSpace(begin[-1]))
                --begin;
            const QByteArrayView name(begin, end - begin);
            if (name == "xmlns" || name.startsWith("xmlns:"))
                ++declarations;
            if (++attributes > MaxAttributesPerElement)
                throw EFailure(STooManyAttributes.arg(MaxAttributesPerElement));
            if (FInScope + declarations > MaxNamespacesInScope)
                throw EFailure(STooManyNamespaces.arg(MaxNamespacesInScope));
            ++FAt;
            while (FAt != FEnd && IsSpace(*FAt))
                ++FAt;
            if (FAt == FEnd || (*FAt != '"' && *FAt != '\''))
                return false;
            const char quote = *FAt++;
            const char *close = Find(quote);
            if (!close)
                return false;
            FAt = close;
            FTicker.Tick();
            FNameFloor = FAt + 1;
        }
        return false;
    }

    const char *FAt;
    const char *FEnd;
    qsizetype FStartTags = 0;
    const char *FNameFloor = nullptr; // where the next attribute's name begins at the earliest
    TReadTicker &FTicker;
    TDoctypeRule FRule;
    std::vector<int> FOpen; // declarations of each open element
    qsizetype FInScope = 0;
};

} // namespace

qsizetype CheckXmlShape(QByteArrayView bytes, TReadTicker &ticker, TDoctypeRule rule)
{
    TShapeCheck check(bytes, ticker, rule);
    check.Run();
    return check.StartTags();
}

namespace {

// The encoding named in the declaration at the start of bytes: the name,
// and where the pseudo-attribute stands (From < 0 when there is none).
struct TDeclaredEncoding {
    qsizetype From = -1;
    qsizetype To = -1;
    QByteArrayView Name;
};

TDeclaredEncoding DeclaredEncoding(QByteArrayView bytes)
{
    TDeclaredEncoding found;
    const qsizetype start = bytes.startsWith("\xEF\xBB\xBF") ? 3 : 0;
    const QByteArrayView rest = bytes.sliced(start);
    if (!rest.startsWith("<?xml") || rest.size() <= 5 || !TPlainXmlCursor::IsSpace(rest[5]))
        return found;
    const qsizetype end = rest.indexOf("?>");
    if (end < 0)
        return found;
    const QByteArrayView declaration = rest.first(end);
    const qsizetype key = declaration.indexOf("encoding");
    if (key < 0)
        return found;
    qsizetype at = key + 8;
    while (at < end && TPlainXmlCursor::IsSpace(declaration[at]))
        ++at;
    if (at == end || declaration[at] != '=')
        return found;
    ++at;
    while (at < end && TPlainXmlCursor::IsSpace(declaration[at]))
        ++at;
    if (at == end || (declaration[at] != '"' && declaration[at] != '\''))
        return found;
    const qsizetype close = declaration.indexOf(declaration[at], at + 1);
    if (close < 0)
        return found;
    found.From = start + key;
    found.To = start + close + 1;
    found.Name = declaration.sliced(at + 1, close - at - 1);
    return found;
}

// A name XML allows for an encoding, short enough to be a real one.
bool IsEncodingName(QByteArrayView name)
{
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (name.isEmpty() || name.size() > 40 || !letter(name[0]))
        return false;
    for (const char c : name) {
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '.' && c != '_' && c != '-')
            return false;
    }
    return true;
}

// Encodings in which every ASCII byte stands for itself and nothing else
// does: the pass over the bytes sees the markup the readers see.
bool IsAsciiTransparent(QByteArrayView name)
{
    const QByteArray lower = name.toByteArray().toLower();
    if (lower == "utf-8" || lower == "us-ascii")
        return true;
    if (lower.startsWith("iso-8859-")) {
        bool ok = false;
        const int part = lower.sliced(9).toInt(&ok);
        return ok && part >= 1 && part <= 16 && part != 12 && !lower.sliced(9).startsWith('0');
    }
    return lower.size() == 12 && lower.startsWith("windows-125") && lower[11] >= '0' && lower[11] <= '8';
}

} // namespace

QByteArray AsUtf8Document(const QByteArray &bytes)
{
    const std::optional<QStringConverter::Encoding> detected = QStringConverter::encodingForData(bytes, u'<');
    if (!detected || *detected == QStringConverter::Utf8) {
        const TDeclaredEncoding declared = DeclaredEncoding(bytes);
        // A name XML does not allow is the readers' to refuse.
        if (declared.From < 0 || !IsEncodingName(declared.Name) || IsAsciiTransparent(declared.Name))
            return bytes;
        throw EFailure(SEncodingRefused.arg(QLatin1StringView(declared.Name)));
    }
    const QString family = QString::fromLatin1(QStringConverter::nameForEncoding(*detected)).left(6);
    QStringDecoder decoder(*detected); // drops a leading byte order mark
    // The UTF-16 decoder lets a lone surrogate through; the encoder sees it.
    QStringEncoder encoder(QStringConverter::Utf8);
    QByteArray utf8 = encoder(QString(decoder(bytes)));
    if (decoder.hasError() || encoder.hasError())
        throw EFailure(SBadlyEncoded.arg(family));
    const TDeclaredEncoding declared = DeclaredEncoding(utf8);
    if (declared.From < 0 || !IsEncodingName(declared.Name))
        return utf8;
    if (!declared.Name.toByteArray().toUpper().startsWith(family.toLatin1()))
        throw EFailure(SEncodingRefused.arg(QLatin1StringView(declared.Name)));
    // The bytes are UTF-8 now; the declaration must not say otherwise. Blanks
    // keep the columns of whatever a reader reports on that line.
    std::memset(utf8.data() + declared.From, ' ', size_t(declared.To - declared.From));
    return utf8;
}

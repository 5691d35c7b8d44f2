#include "settings/U_FileFormat.h"

#include "common/EFailure.h"
#include "settings/U_CodePage.h"

#include <QDomDocumentType>
#include <QDomNamedNodeMap>
#include <QRegularExpression>
#include <QSet>
#include <QStringDecoder>
#include <QXmlStreamReader>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString SInvalidCharacter = u"Das Zeichen U+%1 kann in XML nicht gespeichert werden"_s;
const QString SNotWellFormed = u"Kein wohlgeformtes XML (%2): %1"_s;
const QString SNoRoot = u"Die Datei enthält kein Wurzelelement"_s;
const QString SLineColumn = u"Zeile %1, Spalte %2"_s;
const QString SBeyondDepth = u"Die Elemente sind tiefer als %1 Ebenen verschachtelt (%2)"_s;
const QString SBeyondNodes = u"Die Datei hat mehr als %1 Knoten (%2)"_s;
const QString SBeyondAttributes = u"Ein Element hat mehr als %1 Attribute (%2)"_s;
const QString SBeyondAttributeWork = u"Die Elemente haben zusammen zu viele Attribute (%1)"_s;
const QString SUndecodable = u"Die Datei enthält Bytes, die in der Kodierung %1 ungültig sind (%2)"_s;
const QString SLoneSurrogate =
    u"Die Datei enthält das einzelne Ersatzzeichen U+%1, das XML nicht zulässt (%2)"_s;
const QString SBeyondSize = u"Die Datei ist größer als %1 MiB"_s;
const QString SNotXmlCharacter = u"Die Datei enthält das Zeichen U+%1, das XML nicht zulässt (%2)"_s;
const QString SPrologNotFound =
    u"Der Anfang der Datei vor dem Wurzelelement (Deklaration, DOCTYPE) ist nicht zu erkennen"_s;

// Every save starts with this declaration: the writer always produces UTF-8
// (without a byte-order mark), whatever the file read said about its encoding.
const QByteArray Declaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"_ba;
const QByteArray DeclarationNotStandalone = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"_ba;
const QString LineBreak = u"\r\n"_s;

constexpr int MaxDepth = 256;
constexpr qint64 MaxNodes = 1'000'000;
// The XML reader compares each attribute of an element with all the others
// before it, so one element with very many of them costs quadratic time.
constexpr qint64 MaxAttributes = 10'000;
// That cost summed over all elements (attributes squared), so that many
// wide elements cannot add up to minutes: two elements at the bound above.
constexpr qint64 MaxAttributeWork = 2 * MaxAttributes * MaxAttributes;

// Counts stop growing here, far beyond every bound, so that sums cannot
// overflow.
constexpr qint64 IntegerCap = qint64(1) << 40;

// Elements whose whole content is white space, by their place in document
// order (the root is 0): the document parser drops such text, but there it
// is a value, not layout. Not by line and column: the elements of one entity
// reference all share the reference's.
using TSpaceContent = QHash<qint64, QString>;

char16_t UnitAt(QByteArrayView text, qsizetype i)
{
    return char16_t(static_cast<unsigned char>(text.at(i)));
}

char16_t UnitAt(QStringView text, qsizetype i)
{
    return text.at(i).unicode();
}

QString ToText(QByteArrayView text)
{
    return QString::fromUtf8(text);
}

QString ToText(QStringView text)
{
    return text.toString();
}

// Bounds the attributes any element can get before the XML reader sees the
// file, because the reader compares each attribute with all before it. Counts
// exactly in the start tags of the document ("=" outside quoted values), so a
// comment, a text or a value with many "=" costs nothing. What an internal
// subset adds is counted generously: an entity reference in text may bring
// every "=" of its replacement text, and each declared default value may be
// added to every element. One pass over the text.
template <typename TView> class TAttributeScan {
public:
    explicit TAttributeScan(TView text) : FText(text) {}

    // Empty when within bounds, else the reason with line and column.
    QString Problem()
    {
        ScanContent();
        return FProblem;
    }

private:
    char16_t At(qsizetype i) const { return i < FText.size() ? UnitAt(FText, i) : char16_t(0); }

    bool StartsWith(qsizetype i, const char *marker) const
    {
        for (; *marker; ++marker, ++i) {
            if (At(i) != char16_t(*marker))
                return false;
        }
        return true;
    }

    // The index just behind the next marker from i on, or the end.
    qsizetype SkipPast(qsizetype i, const char *marker) const
    {
        const char16_t first = char16_t(*marker);
        for (; i < FText.size(); ++i) {
            if (UnitAt(FText, i) == first && StartsWith(i, marker))
                return i + qsizetype(std::strlen(marker));
        }
        return FText.size();
    }

    // The index of the closing quote of the literal opened at i, or the end.
    qsizetype LiteralEnd(qsizetype i) const
    {
        const char16_t quote = At(i);
        for (++i; i < FText.size(); ++i) {
            if (UnitAt(FText, i) == quote)
                return i;
        }
        return FText.size();
    }

    static bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
    static bool EndsName(char16_t c)
    {
        return IsBlank(c) || c == u';' || c == u'"' || c == u'\'' || c == u'>' || c == u'<' || c == u'&' ||
               c == 0;
    }

    bool Exceeds(qint64 count, qsizetype at)
    {
        if (count <= MaxAttributes)
            return false;
        FProblem = SBeyondAttributes.arg(MaxAttributes).arg(LineAndColumn(at));
        return true;
    }

    QString LineAndColumn(qsizetype at) const
    {
        qint64 line = 1;
        qsizetype lineStart = 0;
        for (qsizetype i = 0; i < at && i < FText.size(); ++i) {
            if (UnitAt(FText, i) == u'\n') {
                ++line;
                lineStart = i + 1;
            }
        }
        return SLineColumn.arg(line).arg(at - lineStart + 1);
    }

    void ScanContent()
    {
        qint64 fromEntities = 0; // "=" that entity references put into the current text
        qsizetype i = 0;
        while (i < FText.size() && FProblem.isEmpty()) {
            const char16_t c = UnitAt(FText, i);
            if (c == u'&') {
                qsizetype end = i + 1;
                while (!EndsName(At(end)))
                    ++end;
                if (!FEntityEquals.isEmpty()) {
                    const QString name = ToText(Text(i + 1, end));
                    fromEntities = std::min(fromEntities + FEntityEquals.value(name), IntegerCap);
                    if (Exceeds(fromEntities, i))
                        return;
                }
                i = end;
                continue;
            }
            if (c != u'<') {
                ++i;
                continue;
            }
            fromEntities = 0;
            if (StartsWith(i, "<!--"))
                i = SkipPast(i + 4, "-->");
            else if (StartsWith(i, "<![CDATA["))
                i = SkipPast(i + 9, "]]>");
            else if (StartsWith(i, "<?"))
                i = SkipPast(i + 2, "?>");
            else if (StartsWith(i, "<!DOCTYPE"))
                i = ScanDocumentType(i + 9);
            else if (At(i + 1) == u'!' || At(i + 1) == u'/')
                i = SkipPast(i + 1, ">");
            else
                i = ScanStartTag(i);
        }
    }

    qsizetype ScanStartTag(qsizetype start)
    {
        qint64 count = FDefaults;
        if (Exceeds(count, start))
            return FText.size();
        char16_t quote = 0;
        qsizetype i = start + 1;
        for (; i < FText.size(); ++i) {
            const char16_t c = UnitAt(FText, i);
            if (quote) {
                if (c == quote)
                    quote = 0;
            } else if (c == u'"' || c == u'\'') {
                quote = c;
            } else if (c == u'>' || c == u'<') {
                break;
            } else if (c == u'=' && Exceeds(++count, start)) {
                return FText.size();
            }
        }
        FWork = std::min(FWork + count * count, IntegerCap);
        if (FWork > MaxAttributeWork)
            FProblem = SBeyondAttributeWork.arg(LineAndColumn(start));
        return i;
    }

    qsizetype ScanDocumentType(qsizetype i)
    {
        for (; i < FText.size(); ++i) {
            const char16_t c = UnitAt(FText, i);
            if (c == u'"' || c == u'\'')
                i = LiteralEnd(i);
            else if (c == u'[')
                i = ScanInternalSubset(i + 1);
            else if (c == u'>')
                return i + 1;
        }
        return i;
    }

    qsizetype ScanInternalSubset(qsizetype i)
    {
        while (i < FText.size()) {
            const char16_t c = UnitAt(FText, i);
            if (c == u']')
                return i;
            if (StartsWith(i, "<!--"))
                i = SkipPast(i + 4, "-->");
            else if (StartsWith(i, "<?"))
                i = SkipPast(i + 2, "?>");
            else if (StartsWith(i, "<!ENTITY"))
                i = ScanEntity(i + 8);
            else if (StartsWith(i, "<!ATTLIST"))
                i = ScanAttributeList(i + 9);
            else if (c == u'"' || c == u'\'')
                i = LiteralEnd(i) + 1;
            else if (c == u'%')
                i = ScanParameterReference(i);
            else
                ++i;
        }
        return i;
    }

    qsizetype ScanEntity(qsizetype i)
    {
        while (IsBlank(At(i)))
            ++i;
        const bool parameter = At(i) == u'%';
        if (parameter) {
            ++i;
            while (IsBlank(At(i)))
                ++i;
        }
        const qsizetype nameStart = i;
        while (!EndsName(At(i)))
            ++i;
        const QString name = ToText(Text(nameStart, i));
        for (; i < FText.size(); ++i) {
            const char16_t c = UnitAt(FText, i);
            if (c == u'>')
                return i + 1;
            if (c == u'"' || c == u'\'') {
                const qsizetype end = LiteralEnd(i);
                const QString literal = ToText(Text(i + 1, end));
                if (parameter)
                    FParameterDefaults.insert(name, DefaultsInReplacement(literal));
                else
                    FEntityEquals.insert(name, EqualsInReplacement(literal));
                i = end;
            }
        }
        return i;
    }

    // Each default value may become an attribute of every element.
    qsizetype ScanAttributeList(qsizetype i)
    {
        for (; i < FText.size(); ++i) {
            const char16_t c = UnitAt(FText, i);
            if (c == u'>')
                return i + 1;
            if (c == u'"' || c == u'\'') {
                i = LiteralEnd(i);
                FDefaults = std::min(FDefaults + 1, IntegerCap);
            }
        }
        return i;
    }

    // A parameter entity's text becomes part of the subset where it is
    // referenced, declarations and all.
    qsizetype ScanParameterReference(qsizetype i)
    {
        qsizetype end = i + 1;
        while (!EndsName(At(end)))
            ++end;
        FDefaults = std::min(FDefaults + FParameterDefaults.value(ToText(Text(i + 1, end))), IntegerCap);
        return end;
    }

    // The defaults a parameter entity's text may declare, counted generously:
    // every quote and every character reference (which may stand for a
    // quote) as one, and what the parameter entities it references declare.
    qint64 DefaultsInReplacement(const QString &literal) const
    {
        qint64 count = 0;
        for (qsizetype i = 0; i < literal.size(); ++i) {
            const QChar c = literal.at(i);
            if (c == u'"' || c == u'\'' ||
                (c == u'&' && i + 1 < literal.size() && literal.at(i + 1) == u'#')) {
                ++count;
            } else if (c == u'%') {
                qsizetype end = i + 1;
                while (end < literal.size() && literal.at(end) != u';' && literal.at(end) != u'%')
                    ++end;
                count += FParameterDefaults.value(literal.mid(i + 1, end - i - 1));
                i = end - 1;
            }
            count = std::min(count, IntegerCap);
        }
        return count;
    }

    // A character reference that may stand for "=" counts as one; references
    // to entities declared before bring their own count along.
    qint64 EqualsInReplacement(const QString &literal) const
    {
        qint64 count = 0;
        for (qsizetype i = 0; i < literal.size(); ++i) {
            const QChar c = literal.at(i);
            if (c == u'=') {
                ++count;
            } else if (c == u'&') {
                qsizetype end = i + 1;
                while (end < literal.size() && literal.at(end) != u';' && literal.at(end) != u'&')
                    ++end;
                const QString name = literal.mid(i + 1, end - i - 1);
                if (name.startsWith(u'#'))
                    ++count;
                else
                    count += FEntityEquals.value(name);
                i = end - 1;
            }
            count = std::min(count, IntegerCap);
        }
        return count;
    }

    TView Text(qsizetype from, qsizetype to) const
    {
        to = std::min(to, FText.size());
        return FText.sliced(from, std::max(to - from, qsizetype(0)));
    }

    TView FText;
    QHash<QString, qint64> FEntityEquals;
    QHash<QString, qint64> FParameterDefaults;
    qint64 FDefaults = 0;
    qint64 FWork = 0; // attribute comparisons the reader will make so far
    QString FProblem;
};

// The bytes as the XML reader decodes them: a byte-order mark, else the
// declared encoding, else UTF-8. Sets problem (with line and column) when
// bytes do not decode or the text holds a character XML cannot hold, which
// the reader would silently turn into U+FFFD or keep. Returns nullopt for an
// encoding no decoder takes (the reader refuses those itself). byCodePage is
// set when the system's code pages decoded what Qt cannot: the reader cannot
// take those bytes then, only the text.
std::optional<QString> DecodedText(const QByteArray &bytes, QString &problem, bool &byCodePage)
{
    byCodePage = false;
    QByteArray name = "UTF-8";
    const auto detected = QStringConverter::encodingForData(bytes, u'<');
    if (detected) {
        name = QStringConverter::nameForEncoding(*detected);
    } else {
        static const QRegularExpression declaredEncoding(
            uR"(^<\?xml\s(?:[^>]*?\s)?encoding\s*=\s*["']([^"']*)["'])"_s);
        // A declaration holds no ">" before its end, however much blank it
        // holds; "<?xml-stylesheet" and its kin are no declaration.
        const QRegularExpressionMatch match =
            declaredEncoding.match(QString::fromLatin1(bytes.left(bytes.indexOf('>') + 1)));
        if (match.hasMatch())
            name = match.captured(1).toLatin1();
    }
    QStringDecoder decoder(name.constData());
    QString text;
    ECodePageResult system = ECodePageResult::UnknownEncoding;
    if (decoder.isValid()) {
        text = decoder.decode(bytes);
    } else {
        std::u16string decoded;
        system = DecodeCodePage(name.toStdString(), bytes.toStdString(), decoded);
        if (system == ECodePageResult::UnknownEncoding)
            return std::nullopt;
        text = QString::fromStdU16String(decoded);
        byCodePage = true;
    }
    const auto where = [&text](qsizetype at) {
        qint64 line = 1;
        qsizetype lineStart = 0;
        for (qsizetype i = 0; i < at && i < text.size(); ++i) {
            if (text.at(i) == u'\n') {
                ++line;
                lineStart = i + 1;
            }
        }
        return SLineColumn.arg(line).arg(at - lineStart + 1);
    };
    if (system == ECodePageResult::Undecodable) {
        // The text ends where the undecodable bytes begin.
        problem = SUndecodable.arg(QString::fromLatin1(name), where(text.size()));
        return text;
    }
    if (decoder.isValid() && decoder.hasError()) {
        // Found again byte by byte: the decoder tells that, not where.
        QStringDecoder stepper(name.constData());
        qsizetype decoded = 0;
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            decoded += QString(stepper.decode(QByteArrayView(bytes).sliced(i, 1))).size();
            if (stepper.hasError())
                break;
        }
        problem = SUndecodable.arg(QString::fromLatin1(name), where(std::max<qsizetype>(decoded - 1, 0)));
        return text;
    }
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text.at(i).unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < text.size() &&
            QChar::isLowSurrogate(text.at(i + 1).unicode())) {
            ++i;
            continue;
        }
        if (QChar::isSurrogate(c)) {
            problem = SLoneSurrogate.arg(QString::number(c, 16).toUpper(), where(i));
            return text;
        }
        // Outside XML's Char range; the reader drops some of these unseen
        // (a NUL after "]").
        if ((c < 0x20 && c != u'\t' && c != u'\n' && c != u'\r') || c == 0xFFFE || c == 0xFFFF) {
            problem =
                SNotXmlCharacter.arg(QString::number(c, 16).toUpper().rightJustified(4, u'0'), where(i));
            return text;
        }
    }
    return text;
}

// Where the prolog's markup (DOCTYPE, comments, processing instructions)
// starts and ends in the decoded text, and the standalone value of its
// declaration ("yes", "no" or empty). Assumes a well-formed text.
struct TProlog {
    qsizetype Begin = 0;
    qsizetype End = 0;
    QString Standalone;
    bool HasDocumentType = false;
};

TProlog FindProlog(const QString &text)
{
    TProlog prolog;
    qsizetype i = 0;
    const auto skipPast = [&text](qsizetype from, QStringView marker) {
        const qsizetype at = text.indexOf(marker, from);
        return at < 0 ? text.size() : at + marker.size();
    };
    if (text.startsWith(u"<?xml"_s) && text.size() > 5 && QChar(text.at(5)).isSpace()) {
        const qsizetype end = skipPast(0, u"?>");
        static const QRegularExpression standalone(uR"(\sstandalone\s*=\s*["']([a-z]*)["'])"_s);
        const QRegularExpressionMatch match = standalone.match(QStringView(text).first(end));
        if (match.hasMatch())
            prolog.Standalone = match.captured(1);
        i = end;
    }
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    prolog.Begin = i;
    qsizetype lastEnd = i;
    while (i < text.size()) {
        if (text.at(i).isSpace()) {
            ++i;
            continue;
        }
        if (QStringView(text).sliced(i).startsWith(u"<!--")) {
            i = skipPast(i + 4, u"-->");
        } else if (QStringView(text).sliced(i).startsWith(u"<?")) {
            i = skipPast(i + 2, u"?>");
        } else if (QStringView(text).sliced(i).startsWith(u"<!DOCTYPE")) {
            prolog.HasDocumentType = true;
            // Quoted literals and the subset's comments may hold "]" and ">".
            i += 9;
            bool subset = false;
            while (i < text.size()) {
                const QChar c = text.at(i);
                if (subset && QStringView(text).sliced(i).startsWith(u"<!--")) {
                    i = skipPast(i + 4, u"-->");
                } else if (subset && QStringView(text).sliced(i).startsWith(u"<?")) {
                    i = skipPast(i + 2, u"?>");
                } else if (c == u'"' || c == u'\'') {
                    const qsizetype close = text.indexOf(c, i + 1);
                    i = close < 0 ? text.size() : close + 1;
                } else if (c == u'[') {
                    subset = true;
                    ++i;
                } else if (c == u']') {
                    subset = false;
                    ++i;
                } else if (c == u'>' && !subset) {
                    ++i;
                    break;
                } else {
                    ++i;
                }
            }
        } else {
            break;
        }
        lastEnd = i;
    }
    prolog.End = lastEnd;
    return prolog;
}

// Runs the scan on the text the XML reader will see, or the bytes themselves
// for encodings no decoder takes (the reader refuses those at once).
QString AttributeProblem(const QByteArray &bytes, const std::optional<QString> &text)
{
    if (text)
        return TAttributeScan<QStringView>(*text).Problem();
    return TAttributeScan<QByteArrayView>(bytes).Problem();
}

// Checks that the bytes are well-formed and within the bounds above before the
// document tree is built, and notes the attribute order of each element.
// Returns the reason when they are not, else the empty text.
template <typename TInput>
QString ScanProblem(const TInput &input, TAttributeOrder &attributeOrder, TSpaceContent &spaceContent)
{
    QXmlStreamReader reader(input);
    // The element just opened, while all its content so far is white space.
    qint64 open = 0;
    qint64 elements = 0;
    bool inOpen = false;
    QString spaces;
    reader.setNamespaceProcessing(false); // as the document parser: prefixes are plain names
    int depth = 0;
    qint64 nodes = 0;
    // The reader counts columns from 0, people from 1.
    const auto where = [&reader] {
        return SLineColumn.arg(reader.lineNumber()).arg(reader.columnNumber() + 1);
    };
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::Characters && inOpen && !reader.isCDATA()) {
            const QStringView text = reader.text();
            if (std::all_of(text.begin(), text.end(),
                            [](QChar c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }))
                spaces += text;
            else
                inOpen = false;
        } else if (token == QXmlStreamReader::EndElement && inOpen && !spaces.isEmpty()) {
            spaceContent.insert(open, spaces);
        }
        if (token != QXmlStreamReader::Characters) {
            inOpen = false;
            spaces.clear();
        }
        if (token == QXmlStreamReader::StartElement) {
            open = elements++;
            inOpen = true;
            if (++depth > MaxDepth)
                return SBeyondDepth.arg(MaxDepth).arg(where());
            const QXmlStreamAttributes attributes = reader.attributes();
            nodes += attributes.size();
            if (attributes.size() > 1) {
                QStringList names;
                names.reserve(attributes.size());
                for (const QXmlStreamAttribute &attribute : attributes)
                    names.append(attribute.qualifiedName().toString());
                attributeOrder.insert({int(reader.lineNumber()), int(reader.columnNumber())}, names);
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
        if (++nodes > MaxNodes)
            return SBeyondNodes.arg(MaxNodes).arg(where());
    }
    if (reader.hasError())
        return SNotWellFormed.arg(reader.errorString(), where());
    return {};
}

// Gives the elements that held only white space their text again. Walks the
// elements in document order, as the reader met them; an entity reference
// node, where the parser keeps one, is walked into like an element.
void RestoreSpaceContent(QDomDocument &doc, const TSpaceContent &spaceContent)
{
    QDomNode node = doc.documentElement();
    const QDomNode top = node;
    qint64 index = 0;
    while (!node.isNull()) {
        if (node.isElement()) {
            const auto found = spaceContent.constFind(index++);
            if (found != spaceContent.cend() && !node.hasChildNodes())
                node.appendChild(doc.createTextNode(*found));
        }
        if ((node.isElement() || node.isEntityReference()) && node.hasChildNodes()) {
            node = node.firstChild();
            continue;
        }
        while (!node.isNull() && node != top && node.nextSibling().isNull())
            node = node.parentNode();
        if (node.isNull() || node == top)
            break;
        node = node.nextSibling();
    }
}

} // namespace

// Parses the bytes of a settings file into doc. Returns why they cannot be
// used (not well-formed, beyond the bounds, no root element), else the empty
// text; doc is only changed on success.
QString ParseDocument(const QByteArray &bytes, QDomDocument &doc, TAttributeOrder &attributeOrder,
                      QString &prologText, QString &standalone)
{
    QString problem;
    std::optional<QString> text;
    bool byCodePage = false;
    TSpaceContent spaceContent;
    if (bytes.size() > MaxFileBytes)
        problem = SBeyondSize.arg(MaxFileBytes / (1024 * 1024));
    if (problem.isEmpty())
        text = DecodedText(bytes, problem, byCodePage);
    if (problem.isEmpty())
        problem = AttributeProblem(bytes, text);
    // Given as text, the readers take it as it is and ignore the declared encoding.
    if (problem.isEmpty())
        problem = byCodePage ? ScanProblem(*text, attributeOrder, spaceContent)
                             : ScanProblem(bytes, attributeOrder, spaceContent);
    QDomDocument parsed;
    if (problem.isEmpty()) {
        QString error;
        int line = 0;
        int column = 0;
        const bool parsedFine = byCodePage ? parsed.setContent(*text, false, &error, &line, &column)
                                           : parsed.setContent(bytes, false, &error, &line, &column);
        if (!parsedFine)
            problem = SNotWellFormed.arg(error, SLineColumn.arg(line).arg(column + 1));
        else if (parsed.documentElement().isNull())
            problem = SNoRoot;
    }
    if (problem.isEmpty()) {
        // Written back as read: the parser expands references in the
        // DOCTYPE and lifts its comments out, so its model cannot be saved.
        // Where the prolog ends the root must start; a prolog not found would
        // be saved without its DOCTYPE, and the file might no longer load.
        const TProlog prolog = text ? FindProlog(*text) : TProlog{};
        qsizetype rootAt = prolog.End;
        while (text && rootAt < text->size() && text->at(rootAt).isSpace())
            ++rootAt;
        const bool rootFollows = text && rootAt + 1 < text->size() && text->at(rootAt) == u'<' &&
                                 text->at(rootAt + 1) != u'!' && text->at(rootAt + 1) != u'?';
        if (!rootFollows) {
            problem = SPrologNotFound;
        } else {
            prologText = text->sliced(prolog.Begin, prolog.End - prolog.Begin);
            standalone = prolog.Standalone;
            if (standalone.isEmpty() && !prolog.HasDocumentType)
                standalone = u"yes"_s; // means nothing without a DTD
            if (!spaceContent.isEmpty())
                RestoreSpaceContent(parsed, spaceContent);
            doc = parsed;
        }
    }
    if (!problem.isEmpty())
        attributeOrder.clear();
    return problem;
}

namespace {

// Writes the document as text. Lexical choices: the declaration above, one
// top-level node per line, CR LF after each; elements without content get a
// start and an end tag; attributes in double quotes, in the order read, new
// ones after them by name. White space between elements is not invented: the
// layout is only what the document holds.
class TWriter {
public:
    explicit TWriter(const TAttributeOrder &attributeOrder) : FAttributeOrder(attributeOrder) {}

    // prolog: the markup between the declaration and the root as read, and
    // standalone the declaration's value; nullptr for a document not read
    // from a file, whose prolog the model gives.
    QByteArray Write(const QDomDocument &doc, const QString *prolog, const QString &standalone)
    {
        FOut.clear();
        if (prolog) {
            FOut.append(QString::fromLatin1(DeclarationNotStandalone));
            if (!standalone.isEmpty())
                FOut.insert(FOut.size() - 2, u" standalone=\""_s + standalone + u'"');
            FOut.append(LineBreak);
            if (!prolog->isEmpty()) {
                FOut.append(*prolog);
                FOut.append(LineBreak);
            }
        } else {
            const QDomDocumentType type = doc.doctype();
            // A file that names an external subset may use entities declared
            // there; "standalone" would make those references an error.
            FOut.append(
                QString::fromLatin1(type.systemId().isEmpty() ? Declaration : DeclarationNotStandalone));
            FOut.append(LineBreak);
            if (!type.isNull() && !type.name().isEmpty()) {
                WriteDocumentType(type);
                FOut.append(LineBreak);
            }
        }
        const QDomElement root = doc.documentElement();
        // Before the root the parser's nodes are the prolog's, written above.
        bool beforeRoot = prolog != nullptr;
        for (QDomNode node = doc.firstChild(); !node.isNull(); node = node.nextSibling()) {
            if (node == root)
                beforeRoot = false;
            if (beforeRoot)
                continue;
            if (node.isProcessingInstruction() && node.nodeName() == u"xml"_s)
                continue; // replaced by the declaration above
            if (node.isDocumentType())
                continue;
            WriteSubtree(node);
            FOut.append(LineBreak);
        }
        return FOut.toUtf8();
    }

private:
    // Without recursion, so that the depth of the tree costs no stack.
    void WriteSubtree(const QDomNode &top)
    {
        QDomNode node = top;
        for (;;) {
            if (node.isElement() && node.hasChildNodes()) {
                WriteStartTag(node.toElement());
                node = node.firstChild();
                continue;
            }
            WriteLeaf(node);
            for (;;) {
                if (node == top)
                    return;
                const QDomNode next = node.nextSibling();
                if (!next.isNull()) {
                    node = next;
                    break;
                }
                node = node.parentNode();
                WriteEndTag(node.toElement());
            }
        }
    }

    void WriteLeaf(const QDomNode &node)
    {
        switch (node.nodeType()) {
        case QDomNode::ElementNode:
            WriteStartTag(node.toElement());
            WriteEndTag(node.toElement());
            break;
        case QDomNode::TextNode:
            WriteText(node.nodeValue(), node.previousSibling().isNull() && node.nextSibling().isNull() &&
                                            node.parentNode().isElement());
            break;
        case QDomNode::CDATASectionNode:
            WriteCData(node.nodeValue());
            break;
        case QDomNode::CommentNode:
            CheckCharacters(node.nodeValue());
            FOut.append(u"<!--"_s + node.nodeValue() + u"-->"_s);
            break;
        case QDomNode::ProcessingInstructionNode: {
            const QString data = node.nodeValue();
            CheckCharacters(data);
            FOut.append(u"<?"_s + node.nodeName() + (data.isEmpty() ? QString() : u" "_s + data) + u"?>"_s);
            break;
        }
        case QDomNode::EntityReferenceNode:
            FOut.append(u'&' + node.nodeName() + u';');
            break;
        default:
            break; // nothing else can sit inside an element
        }
    }

    void WriteStartTag(const QDomElement &element)
    {
        FOut.append(u'<' + element.tagName());
        const QDomNamedNodeMap attributes = element.attributes();
        if (attributes.length() == 1) {
            const QDomNode attribute = attributes.item(0);
            WriteAttribute(attribute.nodeName(), attribute.nodeValue());
        } else if (attributes.length() > 1) {
            // Looking attributes up by name is cheap, walking the map by index
            // is not; the recorded order normally names every attribute.
            QStringList names;
            const QStringList recorded =
                FAttributeOrder.value({element.lineNumber(), element.columnNumber()});
            for (const QString &name : recorded) {
                if (element.hasAttribute(name))
                    names.append(name);
            }
            if (names.size() != attributes.length()) {
                const QSet<QString> known(names.cbegin(), names.cend());
                QStringList added;
                for (int i = 0; i < attributes.length(); ++i) {
                    const QString name = attributes.item(i).nodeName();
                    if (!known.contains(name))
                        added.append(name);
                }
                std::sort(added.begin(), added.end());
                names.append(added);
            }
            for (const QString &name : std::as_const(names))
                WriteAttribute(name, element.attribute(name));
        }
        FOut.append(u'>');
    }

    void WriteEndTag(const QDomElement &element) { FOut.append(u"</"_s + element.tagName() + u'>'); }

    void WriteAttribute(const QString &name, const QString &value)
    {
        CheckCharacters(value);
        FOut.append(u' ' + name + u"=\""_s);
        AppendEscaped(value, true, false);
        FOut.append(u'"');
    }

    // soleContent: the element holds nothing else, so even white space is
    // its value and must read back as it is.
    void WriteText(const QString &text, bool soleContent = false)
    {
        CheckCharacters(text);
        // Layout (white space only) goes out as it is, CR LF included; in a
        // value a CR is a reference so that it reads back as a CR.
        const bool layout = !soleContent && std::all_of(text.begin(), text.end(), [](QChar c) {
            return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
        });
        AppendEscaped(text, false, layout);
    }

    // Markup characters always become references. In an attribute the quote
    // does too, and so do tabs and line breaks, which a reader would turn
    // into blanks there.
    void AppendEscaped(const QString &text, bool attribute, bool literalCR)
    {
        for (QChar c : text) {
            const char16_t u = c.unicode();
            if (u == u'&')
                FOut.append(u"&amp;"_s);
            else if (u == u'<')
                FOut.append(u"&lt;"_s);
            else if (u == u'>')
                FOut.append(u"&gt;"_s);
            else if (attribute && u == u'"')
                FOut.append(u"&quot;"_s);
            else if (attribute && u == u'\t')
                FOut.append(u"&#x9;"_s);
            else if (attribute && u == u'\n')
                FOut.append(u"&#xA;"_s);
            else if (u == u'\r' && !literalCR)
                FOut.append(u"&#xD;"_s);
            else
                FOut.append(c);
        }
    }

    void WriteCData(const QString &text)
    {
        // A section can hold neither "]]>" nor a CR that survives reading;
        // splitting it would turn the value into several nodes, which no
        // longer read as a setting. Such a value goes out as plain text.
        if (text.contains(u'\r') || text.contains(u"]]>"_s)) {
            WriteText(text, true);
            return;
        }
        CheckCharacters(text);
        FOut.append(u"<![CDATA["_s + text + u"]]>"_s);
    }

    void WriteDocumentType(const QDomDocumentType &type)
    {
        FOut.append(u"<!DOCTYPE "_s + type.name());
        if (!type.publicId().isEmpty())
            FOut.append(u" PUBLIC "_s + Literal(type.publicId()) + u' ' + Literal(type.systemId()));
        else if (!type.systemId().isEmpty())
            FOut.append(u" SYSTEM "_s + Literal(type.systemId()));
        if (!type.internalSubset().isEmpty())
            FOut.append(u" ["_s + type.internalSubset() + u']');
        FOut.append(u'>');
    }

    // A literal knows no references: it is quoted with a character it does
    // not hold (XML allows no literal with both).
    static QString Literal(const QString &text)
    {
        const QChar quote = text.contains(u'"') ? u'\'' : u'"';
        return quote + text + quote;
    }

    // XML cannot hold every character, not even as a reference. Saving such a
    // value would leave a file that no longer parses, and the next start would
    // throw all settings away; refuse the save instead.
    static void CheckCharacters(const QString &text)
    {
        for (qsizetype i = 0; i < text.size(); ++i) {
            const char16_t c = text.at(i).unicode();
            bool allowed = c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xFFFD);
            if (QChar::isHighSurrogate(c)) {
                allowed = i + 1 < text.size() && QChar::isLowSurrogate(text.at(i + 1).unicode());
                if (allowed) {
                    ++i;
                    continue;
                }
            } else if (QChar::isLowSurrogate(c)) {
                allowed = false;
            }
            if (!allowed)
                throw EFailure(
                    SInvalidCharacter.arg(QString::number(c, 16).toUpper().rightJustified(4, u'0')));
        }
    }

    const TAttributeOrder &FAttributeOrder;
    QString FOut;
};

} // namespace

QString BeyondSizeProblem()
{
    return SBeyondSize.arg(MaxFileBytes / (1024 * 1024));
}

QByteArray WriteDocument(const QDomDocument &doc, const TAttributeOrder &attributeOrder,
                         const QString *prolog, const QString &standalone)
{
    return TWriter(attributeOrder).Write(doc, prolog, standalone);
}

#include "indexserver/IX_Encoding.h"

#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_PlainXml.h"

#include <QDomDocument>
#include <QHash>
#include <QTextStream>
#include <QXmlStreamReader>

#include <array>
#include <cstring>
#include <limits>
#include <type_traits>
#include <unordered_map>
#include <vector>

using namespace Qt::StringLiterals;

// Reading answers: ReadAnswer and what it needs.

namespace {

const QString SEnvelopeNamespace = u"http://schemas.xmlsoap.org/soap/envelope/"_s;
const QString SEncodingNamespace = u"http://schemas.xmlsoap.org/soap/encoding/"_s;
const QString SSchemaNamespace = u"http://www.w3.org/2001/XMLSchema"_s;
const QString SXmlNamespace = u"http://www.w3.org/XML/1998/namespace"_s;
const QString SSchemaInstance2001 = u"http://www.w3.org/2001/XMLSchema-instance"_s;
const QString SSchemaInstance1999 = u"http://www.w3.org/1999/XMLSchema-instance"_s;
const QString SSchemaInstance2000 = u"http://www.w3.org/2000/10/XMLSchema-instance"_s;

const QString STypeNotRegistered = u"Typ %1 ist nicht registriert"_s;
const QString SWrongDocumentElement = u"Dokumentelement %1:%2 erwartet, %3:%4 gefunden"_s;
const QString SInvalidAnswer = u"Ungültige SOAP-Antwort"_s;
const QString SInvalidRequest = u"Ungültige SOAP-Anforderung"_s;
const QString SMustUnderstand = u"SOAP-Header %1 mit Attribut 'mustUnderstand' true wurde nicht behandelt"_s;
const QString SNotAnInteger = u"'%1' ist kein gültiger Integerwert"_s;
const QString SNotABoolean = u"'%1' ist kein gültiger Boolescher Wert"_s;
const QString SCyclicReference =
    u"Zyklischer Verweis \"%1\" in der SOAP-Antwort: das Objekt wird gerade noch gelesen"_s;
const QString STooDeep = u"SOAP-Antwort ist zu tief verschachtelt (mehr als %1 Ebenen)"_s;
const QString STooManyReferences = u"SOAP-Antwort enthält zu viele Verweise"_s;

// Far beyond what a real answer nests, far below what the stack can take.
constexpr int MaxDepth = 256;

// ---------------------------------------------------------------- reading

// One element of the answer. Text of an element is the slice of the
// document's character data between its start and its end.
struct TNode {
    qint32 Name = 0;      // interned local name
    qint32 Namespace = 0; // interned namespace URI
    qint32 FirstChild = -1;
    qint32 NextSibling = -1;
    qint32 TypeNamespace = -1; // interned, from xsi:type
    qint32 TypeName = -1;      // interned, from xsi:type
    qint32 Href = -1;          // index into the reference texts
    qint32 TextBegin = 0;
    qint32 TextEnd = 0;
    quint8 Flags = 0;
};

enum : quint8 {
    HasChildNodes = 1,
    IsNil = 2,
    MustUnderstand = 4,
    InProgress = 8,
    Skipped = 16, // an element of an unread type: its content was not kept
};

// An id registered inside a skipped element: the element it names was not kept.
constexpr qint32 InsideSkipped = -2;

// Thrown when a reading needs an element that the first, skipping parse did
// not keep; the answer is then parsed again in full.
struct TNeedFullParse {};

bool IsTrue(QStringView value)
{
    return value == u"1" || value.compare(u"true", Qt::CaseInsensitive) == 0;
}

// Names numbered in the order they were added, found by an open-addressing
// table. Names are short; a seeded FNV-1a is far cheaper here than the
// general string hash and, with a seed unknown to the server, as hard to
// flood. Latin-1 bytes hash as the UTF-16 text they stand for.
class TNameTable {
public:
    // The names every answer uses: SOAP's, the namespaces of XML Schema, and
    // the catalogue's type names and the member names of the types read.
    // Built on first use, read-only afterwards.
    static const TNameTable &Known();

    qint32 Size() const { return qint32(FNames.size()); }
    const QString &At(qint32 index) const { return FNames[index]; }

    template <class TView> size_t Hash(TView text) const
    {
        quint64 hash = 14695981039346656037ULL ^ FSeed;
        for (const auto c : text) {
            if constexpr (std::is_same_v<TView, QLatin1StringView>)
                hash ^= quint64(uchar(c));
            else
                hash ^= c.unicode();
            hash *= 1099511628211ULL;
        }
        return size_t(hash ^ (hash >> 29));
    }

    template <class TView> qint32 Find(TView text, size_t hash) const
    {
        if (FBuckets.empty())
            return -1;
        const size_t mask = FBuckets.size() - 1;
        for (size_t at = hash & mask;; at = (at + 1) & mask) {
            const qint32 index = FBuckets[at];
            if (index < 0)
                return -1;
            if (FNames[index] == text)
                return index;
        }
    }

    // The number of the name, added when new.
    template <class TView> qint32 Add(TView text, size_t hash)
    {
        if (FBuckets.empty())
            FBuckets.assign(64, -1);
        size_t mask = FBuckets.size() - 1;
        size_t at = hash & mask;
        for (;; at = (at + 1) & mask) {
            const qint32 index = FBuckets[at];
            if (index < 0)
                break;
            if (FNames[index] == text)
                return index;
        }
        const qint32 index = qint32(FNames.size());
        FNames.append(text.toString());
        FBuckets[at] = index;
        if (FNames.size() * 2 > qsizetype(FBuckets.size())) {
            std::vector<qint32> grown(FBuckets.size() * 2, -1);
            mask = grown.size() - 1;
            for (qint32 each = 0; each < qint32(FNames.size()); ++each) {
                size_t slot = Hash(QStringView(FNames[each])) & mask;
                while (grown[slot] >= 0)
                    slot = (slot + 1) & mask;
                grown[slot] = each;
            }
            FBuckets.swap(grown);
        }
        return index;
    }

    // Of the known names only: the numbered member names of a type read, and
    // the type a name names.
    const std::vector<qint32> *WireNames(const TTypeInfo &type) const
    {
        const auto found = FWireNames.find(&type);
        return found == FWireNames.end() ? nullptr : &found->second;
    }
    const TTypeInfo *TypeNamed(qint32 index) const
    {
        return size_t(index) < FTypes.size() ? FTypes[size_t(index)] : nullptr;
    }

private:
    QStringList FNames;
    std::vector<qint32> FBuckets;
    // One seed for the known and every answer's names: both are hashed alike.
    quint64 FSeed = QHashSeed::globalSeed();
    std::unordered_map<const TTypeInfo *, std::vector<qint32>> FWireNames;
    std::vector<const TTypeInfo *> FTypes; // by number
};

const TNameTable &TNameTable::Known()
{
    static const TNameTable table = [] {
        TNameTable names;
        const auto add = [&](const QString &name) {
            return names.Add(QStringView(name), names.Hash(QStringView(name)));
        };
        add(QString()); // number 0: no namespace
        for (const QString &name :
             {u"Envelope"_s, u"Header"_s, u"Body"_s, u"Fault"_s, u"faultcode"_s, u"faultstring"_s,
              u"faultactor"_s, u"detail"_s, u"multiRef"_s, u"item"_s, u"return"_s, u"result"_s,
              SEnvelopeNamespace, SEncodingNamespace, SSchemaNamespace, SSchemaInstance2001,
              SSchemaInstance1999, SSchemaInstance2000})
            add(name);
        const TTypeRegistry &registry = TTypeRegistry::Instance();
        for (const TTypeInfo *type : registry.ObjectTypes()) {
            const qint32 index = add(type->Name);
            if (size_t(index) >= names.FTypes.size())
                names.FTypes.resize(size_t(index) + 1, nullptr);
            names.FTypes[size_t(index)] = type;
        }
        for (const QString &name : registry.ArrayTypeNames())
            add(name);
        for (const TTypeInfo *type : registry.ObjectTypes()) {
            if (type->Unread)
                continue; // skipped unread, their members never looked up
            std::vector<qint32> wire;
            wire.reserve(size_t(type->Members.size()));
            for (const TMemberInfo &member : type->Members)
                wire.push_back(add(member.WireName));
            names.FWireNames.emplace(type, std::move(wire));
        }
        return names;
    }();
    return table;
}

class TAnswerReader {
public:
    // skipUnread: keep nothing of the elements whose type the session never
    // reads (Read then throws TNeedFullParse if something used needs them).
    TAnswerReader(const QByteArray &body, bool skipUnread, const TReadGuard *guard = nullptr)
        : FBody(body), FGuard(guard), FTicker(guard), FSkipUnread(skipUnread)
    {
    }

    std::shared_ptr<TRemotable> Read(const QString &resultType,
                                     TAnswerParser parser = TAnswerParser::Automatic)
    {
        const TTypeInfo *expected = nullptr;
        if (!resultType.isEmpty()) {
            expected = TTypeRegistry::Instance().FindType(resultType);
            if (!expected)
                throw EFailure(STypeNotRegistered.arg(resultType));
        }
        Parse(parser);
        if (FNodes.empty())
            throw EFailure(SInvalidAnswer);
        const TNode &envelope = FNodes[0];
        if (Name(envelope) != u"Envelope" || NameAt(envelope.Namespace) != SEnvelopeNamespace) {
            throw EFailure(SWrongDocumentElement.arg(SEnvelopeNamespace, u"Envelope"_s,
                                                     NameAt(envelope.Namespace), Name(envelope)));
        }
        if (!(envelope.Flags & HasChildNodes))
            throw EFailure(SInvalidRequest);

        std::shared_ptr<TRemotable> result;
        bool headerSeen = false;
        bool bodySeen = false;
        for (qint32 child = envelope.FirstChild; child >= 0; child = FNodes[child].NextSibling) {
            const QString &name = Name(FNodes[child]);
            if (name == u"Header") {
                if (headerSeen)
                    throw EFailure(SInvalidAnswer);
                headerSeen = true;
                CheckHeader(child);
            } else if (name == u"Body") {
                if (bodySeen)
                    throw EFailure(SInvalidAnswer);
                bodySeen = true;
                result = ReadBody(child, expected);
            }
        }
        return result;
    }

    // The table as text, to compare the parsers: every element with its
    // links, flags and text, then the ids. Null when the quick parser left
    // the body to the full one.
    QString Outline(TAnswerParser parser)
    {
        Parse(parser);
        if (parser == TAnswerParser::Quick && !FQuick)
            return {};
        QString out;
        for (size_t i = 0; i < FNodes.size(); ++i) {
            const TNode &node = FNodes[i];
            out += QString::number(i) + u' ' + u'{' + NameAt(node.Namespace) + u'}' + Name(node);
            if (node.TypeName >= 0)
                out += u" type={"_s + NameAt(node.TypeNamespace) + u'}' + NameAt(node.TypeName);
            if (node.Href >= 0)
                out += u" href="_s + ReferenceText(node.Href);
            out += u" flags="_s + QString::number(node.Flags) + u" child="_s +
                   QString::number(node.FirstChild) + u" next="_s + QString::number(node.NextSibling) +
                   u" text=["_s + Text(node).toString() + u"]\n"_s;
        }
        QStringList ids;
        for (auto id = FIds.cbegin(); id != FIds.cend(); ++id)
            ids << NameAt(id.key()) + u'=' + QString::number(id.value());
        ids.sort();
        out += ids.join(u'\n');
        return out;
    }

private:
    // ---- parsing into the node table

    // Names repeat endlessly in an answer; each distinct one is kept once and
    // compared by its number afterwards. The names of the catalogue and of
    // SOAP are numbered once for all answers (the known names); an answer's
    // other names follow them in a table of its own. The quick scanner
    // interns names straight from the bytes (ASCII there), the full reader
    // from UTF-16.
    template <class TView> qint32 Intern(TView text)
    {
        const TNameTable &known = TNameTable::Known();
        const size_t hash = known.Hash(text);
        const qint32 found = known.Find(text, hash);
        if (found >= 0)
            return found;
        return known.Size() + FLocalNames.Add(text, hash);
    }

    const QString &NameAt(qint32 index) const
    {
        const TNameTable &known = TNameTable::Known();
        return index < known.Size() ? known.At(index) : FLocalNames.At(index - known.Size());
    }

    // The interned wire names of a type's members, in member order.
    const std::vector<qint32> &WireNames(const TTypeInfo &type)
    {
        if (const std::vector<qint32> *names = TNameTable::Known().WireNames(type))
            return *names;
        auto found = FWireNames.find(&type);
        if (found == FWireNames.end()) {
            std::vector<qint32> names;
            names.reserve(size_t(type.Members.size()));
            for (const TMemberInfo &member : type.Members)
                names.push_back(Intern(QStringView(member.WireName)));
            found = FWireNames.emplace(&type, std::move(names)).first;
        }
        return found->second;
    }

    void Parse(TAnswerParser parser)
    {
        // Reserved at once: grown by doubling, the table of an answer of
        // empty elements took half as much again at its peak.
        FNodes.reserve(size_t(CheckXmlShape(FBody, FTicker, TDoctypeRule::Refuse)));
        Intern(QStringView(u"")); // index 0: no namespace
        FText.reserve(FBody.size() / 8);
        FOpen.reserve(64);
        if (parser != TAnswerParser::Full) {
            FQuick = ScanPlain();
            if (FQuick || parser == TAnswerParser::Quick)
                return;
            // Whatever the quick scanner leaves, the full reader reads from
            // the start; it also words every failure.
            FNodes.clear();
            FText.resize(0);
            FIds.clear();
            FReferences.clear();
            FOpen.clear();
            FSkipping = 0;
        }
        ReadFull();
    }

    // ---- the node table, as both parsers fill it

    struct TOpen {
        qint32 Node;
        qint32 LastChild;
        qsizetype Scopes; // namespace scopes in force before the element (full reader)
    };

    // Takes in a start tag whose attributes are read into node, or starts
    // skipping it when nothing read ever needs its content.
    void OpenElement(TNode node, qsizetype scopes)
    {
        if (FOpen.size() >= size_t(MaxDepth))
            throw EFailure(STooDeep.arg(MaxDepth));
        const qint32 index = qint32(FNodes.size());
        // The answer element decides between result and fault: never skipped.
        const bool answerElement = FOpen.size() == 2 && FOpen.back().LastChild < 0;
        if (!FOpen.empty()) {
            TOpen &parent = FOpen.back();
            FNodes[parent.Node].Flags |= HasChildNodes;
            if (parent.LastChild < 0)
                FNodes[parent.Node].FirstChild = index;
            else
                FNodes[parent.LastChild].NextSibling = index;
            parent.LastChild = index;
        } else if (index != 0) {
            throw EFailure(SInvalidAnswer); // both parsers refuse a second root themselves
        }
        node.TextBegin = node.TextEnd = qint32(FText.size());
        if (FSkipUnread && FOpen.size() >= 2 && !answerElement && IsUnread(node)) {
            node.Flags |= Skipped;
            FSkipping = 1;
        }
        FNodes.push_back(node);
        FOpen.push_back({index, -1, scopes});
    }

    // A start tag inside a skipped element. Only its id is noted (a key, or
    // -1), so that a reference into it asks for the full parse.
    void OpenSkipped(qint32 id)
    {
        if (FOpen.size() + size_t(++FSkipping) > size_t(MaxDepth))
            throw EFailure(STooDeep.arg(MaxDepth));
        if (id >= 0 && !FIds.contains(id))
            FIds.insert(id, InsideSkipped);
        NoteContent();
    }

    // An end tag; true when it closed an element of the table.
    bool CloseElement()
    {
        if (FSkipping > 0 && --FSkipping > 0) {
            NoteContent();
            return false;
        }
        FNodes[FOpen.back().Node].TextEnd = qint32(FText.size());
        FOpen.pop_back();
        return true;
    }

    // Text, a comment or anything else inside the element at hand.
    void NoteContent()
    {
        if (!FOpen.empty())
            FNodes[FOpen.back().Node].Flags |= HasChildNodes;
    }

    void CheckTextSize() const
    {
        if (FText.size() > std::numeric_limits<qint32>::max() / 2)
            throw EFailure(SInvalidAnswer);
    }

    // The first element carrying an id keeps it.
    void NoteId(qint32 id)
    {
        if (!FIds.contains(id))
            FIds.insert(id, qint32(FNodes.size()));
    }

    // Ids and references are compared without regard to case: an id is
    // found under "#" and the id in lower case, a reference under its text
    // in lower case. Both are interned like names.
    qint32 IdKey(QStringView id) { return Intern(QStringView((u'#' + id.toString()).toLower())); }
    qint32 ReferenceKey(QStringView reference) { return Intern(QStringView(reference.toString().toLower())); }

    // The text of a reference as the answer wrote it.
    QString ReferenceText(qint32 href) const
    {
        const TReference &reference = FReferences[size_t(href)];
        if (reference.RawBegin < 0)
            return reference.Text;
        QString text;
        Decode(QByteArrayView(FBody.constData() + reference.RawBegin, reference.RawEnd - reference.RawBegin),
               false, text);
        return text;
    }

    // An element whose xsi:type names a type the session never reads.
    bool IsUnread(const TNode &node)
    {
        if (node.TypeName < 0 || !IsTypeNamespace(node.TypeNamespace))
            return false;
        const TTypeInfo *type = FindType(node.TypeName);
        return type && type->Unread;
    }

    const TTypeInfo *FindType(qint32 name)
    {
        if (const auto known = FTypes.constFind(name); known != FTypes.cend())
            return known.value();
        if (const TTypeInfo *known = TNameTable::Known().TypeNamed(name))
            return known;
        const TTypeInfo *type = TTypeRegistry::Instance().FindType(NameAt(name));
        FTypes.insert(name, type);
        return type;
    }

    // How strongly an attribute's namespace names the schema instance: the
    // newest namespace wins over older ones and over an unqualified "type".
    static int SchemaInstanceRank(QStringView uri)
    {
        if (uri == SSchemaInstance2001)
            return 0;
        if (uri == SSchemaInstance1999)
            return 1;
        if (uri == SSchemaInstance2000)
            return 2;
        return -1;
    }

    // ---- the full reader

    QString ResolvePrefix(QStringView prefix) const
    {
        if (prefix == u"xml")
            return SXmlNamespace;
        for (auto it = FScopes.crbegin(); it != FScopes.crend(); ++it) {
            if (it->first == prefix)
                return it->second;
        }
        return {};
    }

    void ReadFull()
    {
        // The whole answer at once: fed in pieces, the reader scans a token
        // that a piece ends inside from its start again with every further
        // piece, and a single long token costs time by the square of its
        // length. The size bound on answers bounds the copy it decodes.
        QXmlStreamReader reader(FBody);
        // No document type declaration reaches this reader; should one, its
        // entities still expand only this far.
        reader.setEntityExpansionLimit(4096);
        FScopes.clear();

        for (;;) {
            FTicker.Tick();
            const QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::Invalid || token == QXmlStreamReader::EndDocument)
                break;
            switch (token) {
            case QXmlStreamReader::StartElement: {
                if (FSkipping > 0) {
                    FTicker.Tick(unsigned(reader.attributes().size()));
                    const QStringView id = reader.attributes().value("id"_L1);
                    OpenSkipped(id.isNull() ? -1 : IdKey(id));
                    break;
                }
                // The reader compares each attribute with the earlier ones:
                // a tag with many weighs more.
                FTicker.Tick(unsigned(reader.attributes().size()));
                const qsizetype scopes = FScopes.size();
                for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
                    FScopes.emplace_back(declaration.prefix().toString(),
                                         declaration.namespaceUri().toString());
                TNode node;
                node.Name = Intern(reader.name());
                node.Namespace = Intern(reader.namespaceUri());
                ReadAttributes(reader, node);
                OpenElement(node, scopes);
                break;
            }
            case QXmlStreamReader::EndElement: {
                const qsizetype scopes = FOpen.back().Scopes;
                if (CloseElement())
                    FScopes.resize(scopes);
                break;
            }
            case QXmlStreamReader::Characters:
                NoteContent();
                if (!FOpen.empty() && FSkipping == 0) {
                    FText += reader.text();
                    CheckTextSize();
                }
                break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
            case QXmlStreamReader::EntityReference:
                NoteContent();
                break;
            default:
                break;
            }
        }
        // No element at all (an empty body, blanks, a declaration alone) is no
        // SOAP answer rather than a broken document.
        if (FNodes.empty() && reader.error() == QXmlStreamReader::PrematureEndOfDocumentError &&
            !HasElementStart(FBody))
            throw EFailure(SInvalidAnswer);
        // One token may have taken long: the guard decides before anything is read from the table.
        FTicker.Check();
        if (reader.hasError())
            throw EFailure(reader.errorString());
    }

    // Whether the bytes hold the start of an element at all, beyond a
    // declaration, processing instructions and comments.
    static bool HasElementStart(const QByteArray &body)
    {
        for (qsizetype at = body.indexOf('<'); at >= 0; at = body.indexOf('<', at + 1)) {
            if (at + 1 == body.size() || (body[at + 1] != '?' && body[at + 1] != '!'))
                return true;
        }
        return false;
    }

    void ReadAttributes(const QXmlStreamReader &reader, TNode &node)
    {
        const QXmlStreamAttributes attributes = reader.attributes();
        QStringView typeValue;
        int typeRank = 4;
        for (const QXmlStreamAttribute &attribute : attributes) {
            const QStringView name = attribute.name();
            const QStringView uri = attribute.namespaceUri();
            if (uri.isEmpty()) {
                if (name == u"id") {
                    NoteId(IdKey(attribute.value()));
                } else if (name == u"href") {
                    node.Href = qint32(FReferences.size());
                    FReferences.push_back(
                        {ReferenceKey(attribute.value()), -1, -1, attribute.value().toString()});
                } else if (name == u"type" && attribute.qualifiedName() == u"type" && typeRank > 3) {
                    typeValue = attribute.value();
                    typeRank = 3;
                } else if (name == u"mustUnderstand" && attribute.qualifiedName() == u"mustUnderstand" &&
                           IsTrue(attribute.value())) {
                    node.Flags |= MustUnderstand;
                }
                continue;
            }
            const int rank = SchemaInstanceRank(uri);
            if (rank < 0)
                continue;
            if (name == u"type") {
                if (rank < typeRank) {
                    typeValue = attribute.value();
                    typeRank = rank;
                }
            } else if ((name == u"nil" || name == u"NULL" || name == u"null") && IsTrue(attribute.value())) {
                node.Flags |= IsNil;
            }
        }
        if (typeRank > 3)
            return;
        const qsizetype colon = typeValue.indexOf(u':');
        const QStringView prefix = colon < 0 ? QStringView() : typeValue.left(colon);
        node.TypeName = Intern(colon < 0 ? typeValue : typeValue.mid(colon + 1));
        node.TypeNamespace = Intern(QStringView(ResolvePrefix(prefix)));
    }

    // ---- the quick scanner

    // Reads the plain answers that servers write (see TPlainXmlCursor),
    // in UTF-8, with the predefined and character references. Within that
    // subset it checks well-formedness and namespaces as strictly as the
    // full reader and fills the same table; anything outside it, and any
    // fault, makes it give up so that the full reader decides and words the
    // message. It exists because the full reader costs about 150
    // instructions a byte, most of what a connection test spent decoding.
    bool ScanPlain()
    {
        if (!CheckCharacters())
            return false;
        // The scanner's pieces, each taken in by the reader.
        struct THandler {
            TAnswerReader &Reader;
            bool Text(QByteArrayView raw, bool plain, bool ascii)
            {
                return Reader.ScannedText(raw, plain, ascii);
            }
            bool Start(QByteArrayView name, qsizetype colon) { return Reader.ScannedStart(name, colon); }
            void End() { Reader.ScannedEnd(); }
            void Comment() { Reader.NoteContent(); }
        } handler{*this};
        TPlainXmlCursor xml(FBody, FGuard);
        if (xml.Starts("\xEF\xBB\xBF"))
            xml.Skip("\xEF\xBB\xBF");
        FScanner = &xml;
        const bool read = xml.Read(handler);
        FScanner = nullptr;
        return read;
    }

    using TAttribute = TPlainXmlCursor::TAttribute;
    const std::vector<TAttribute> &Attributes() const { return FScanner->Attributes(); }

    static bool IsXmlChar(char32_t c)
    {
        return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
               (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
    }
    template <size_t N> static bool Is(QByteArrayView bytes, const char (&text)[N])
    {
        return TPlainXmlCursor::Is(bytes, text);
    }
    static QLatin1StringView Latin1(QByteArrayView bytes) { return TPlainXmlCursor::Latin1(bytes); }

    // The whole body is well-formed UTF-8 of characters XML allows. Eight
    // bytes at a time while they are printable ASCII, which is nearly always.
    bool CheckCharacters()
    {
        const auto *at = reinterpret_cast<const uchar *>(FBody.constData());
        const auto *end = at + FBody.size();
        for (;;) {
            while (end - at >= 8) {
                quint64 word;
                std::memcpy(&word, at, 8);
                const quint64 high = word & 0x8080808080808080ULL;
                const quint64 control = (word - 0x2020202020202020ULL) & ~word & 0x8080808080808080ULL;
                if ((high | control) != 0)
                    break;
                at += 8;
            }
            if (at == end)
                return true;
            const uchar c = *at;
            if (c < 0x80) {
                if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    return false;
                ++at;
                continue;
            }
            int length = 0;
            char32_t code = 0;
            if (c >= 0xC2 && c <= 0xDF) {
                length = 2;
                code = c & 0x1F;
            } else if (c >= 0xE0 && c <= 0xEF) {
                length = 3;
                code = c & 0x0F;
            } else if (c >= 0xF0 && c <= 0xF4) {
                length = 4;
                code = c & 0x07;
            } else {
                return false;
            }
            if (end - at < length)
                return false;
            for (int i = 1; i < length; ++i) {
                if ((at[i] & 0xC0) != 0x80)
                    return false;
                code = (code << 6) | (at[i] & 0x3F);
            }
            if ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) || !IsXmlChar(code))
                return false;
            at += length;
        }
    }

    // Appends the characters that raw stands for: references replaced, line
    // ends in text made "\n" as XML reads them. ascii: raw holds no byte
    // beyond ASCII, so that it needs no decoding. ticker, when given,
    // counts the references: one text may hold millions of them.
    static bool Decode(QByteArrayView raw, bool ascii, QString &out, TReadTicker *ticker = nullptr)
    {
        const char *at = raw.data();
        const char *end = at + raw.size();
        while (at != end) {
            const char *plain = at;
            while (at != end && *at != '&' && *at != '\r')
                ++at;
            if (at != plain) {
                const QByteArrayView piece(plain, at - plain);
                if (ascii)
                    out.append(Latin1(piece));
                else
                    AppendUtf8(piece, out);
            }
            if (at == end)
                break;
            if (ticker)
                ticker->Tick();
            if (*at == '\r') {
                out.append(u'\n');
                ++at;
                if (at != end && *at == '\n')
                    ++at;
                continue;
            }
            const char *semicolon = static_cast<const char *>(std::memchr(at, ';', size_t(end - at)));
            if (!semicolon)
                return false;
            const QByteArrayView name(at + 1, semicolon - at - 1);
            at = semicolon + 1;
            if (Is(name, "lt"))
                out.append(u'<');
            else if (Is(name, "gt"))
                out.append(u'>');
            else if (Is(name, "amp"))
                out.append(u'&');
            else if (Is(name, "quot"))
                out.append(u'"');
            else if (Is(name, "apos"))
                out.append(u'\'');
            else if (!CharacterReference(name, out))
                return false;
        }
        return true;
    }

    // Appends bytes already checked to be UTF-8. A byte order mark stays,
    // as the full reader keeps it inside a document; QString::fromUtf8
    // would drop one at the start of the piece.
    static void AppendUtf8(QByteArrayView bytes, QString &out)
    {
        const qsizetype had = out.size();
        out.resize(had + bytes.size()); // never more UTF-16 units than bytes
        char16_t *to = reinterpret_cast<char16_t *>(out.data()) + had;
        const auto *at = reinterpret_cast<const uchar *>(bytes.data());
        const auto *end = at + bytes.size();
        while (at != end) {
            const uchar c = *at;
            char32_t code;
            if (c < 0x80) {
                code = c;
                at += 1;
            } else if (c < 0xE0) {
                code = char32_t(c & 0x1F) << 6 | (at[1] & 0x3F);
                at += 2;
            } else if (c < 0xF0) {
                code = char32_t(c & 0x0F) << 12 | char32_t(at[1] & 0x3F) << 6 | (at[2] & 0x3F);
                at += 3;
            } else {
                code = char32_t(c & 0x07) << 18 | char32_t(at[1] & 0x3F) << 12 | char32_t(at[2] & 0x3F) << 6 |
                       (at[3] & 0x3F);
                at += 4;
            }
            if (code >= 0x10000) {
                *to++ = QChar::highSurrogate(code);
                *to++ = QChar::lowSurrogate(code);
            } else {
                *to++ = char16_t(code);
            }
        }
        out.resize(to - reinterpret_cast<char16_t *>(out.data()));
    }

    // "#65" or "#x41", without the ampersand and the semicolon.
    static bool CharacterReference(QByteArrayView name, QString &out)
    {
        if (name.size() < 2 || name[0] != '#')
            return false;
        const bool hex = name[1] == 'x';
        const QByteArrayView digits = name.sliced(hex ? 2 : 1);
        if (digits.isEmpty())
            return false;
        char32_t code = 0;
        for (const char c : digits) {
            int digit;
            if (c >= '0' && c <= '9')
                digit = c - '0';
            else if (hex && c >= 'a' && c <= 'f')
                digit = c - 'a' + 10;
            else if (hex && c >= 'A' && c <= 'F')
                digit = c - 'A' + 10;
            else
                return false;
            code = code * (hex ? 16 : 10) + char32_t(digit);
            if (code > 0x10FFFF)
                return false;
        }
        if (!IsXmlChar(code))
            return false;
        // Appended as it is: QString::fromUcs4 would take a leading U+FEFF
        // for a byte order mark and drop it.
        if (code >= 0x10000) {
            out.append(QChar(QChar::highSurrogate(code)));
            out.append(QChar(QChar::lowSurrogate(code)));
        } else {
            out.append(QChar(char16_t(code)));
        }
        return true;
    }

    // Character data inside the document element.
    bool ScannedText(QByteArrayView raw, bool plain, bool ascii)
    {
        NoteContent();
        if (FSkipping > 0) {
            // Not kept, but its references must be sound all the same.
            if (!plain) {
                FValue.resize(0);
                return Decode(raw, ascii, FValue, &FTicker);
            }
            return true;
        }
        if (plain && ascii) {
            FText.append(Latin1(raw));
        } else if (!Decode(raw, ascii, FText, &FTicker)) {
            return false;
        }
        CheckTextSize();
        return true;
    }

    // The namespace bound to a prefix ("" for the default one); -1 when none is.
    qint32 Bound(QByteArrayView prefix) const
    {
        for (auto binding = FBindings.rbegin(); binding != FBindings.rend(); ++binding) {
            if (TPlainXmlCursor::Same(binding->first, prefix))
                return binding->second;
        }
        return prefix.isEmpty() ? 0 : -1;
    }

    // Takes in a start tag; its attributes are in Attributes().
    bool ScannedStart(QByteArrayView name, qsizetype nameColon)
    {
        const std::vector<TAttribute> &attributes = Attributes();
        for (const TAttribute &attribute : attributes) {
            if (!attribute.Plain && Value(attribute).isNull())
                return false;
        }
        FBindingMarks.push_back(FBindings.size());
        for (const TAttribute &attribute : attributes) {
            bool declares = false;
            QByteArrayView prefix;
            if (!TPlainXmlCursor::NamespaceDeclaration(attribute, declares, prefix))
                return false;
            if (!declares)
                continue;
            const QStringView uri = Value(attribute);
            if (TPlainXmlCursor::IsReservedNamespace(uri))
                return false;
            FBindings.emplace_back(prefix, Intern(uri));
        }
        const QByteArrayView elementPrefix = nameColon < 0 ? QByteArrayView() : name.first(nameColon);
        const qint32 elementNamespace = Bound(elementPrefix);
        if (elementNamespace < 0 || Is(elementPrefix, "xml") || Is(elementPrefix, "xmlns"))
            return false;
        // The namespace of each qualified attribute; the declarations have none.
        FAttributeNamespaces.clear();
        for (const TAttribute &attribute : attributes) {
            const QByteArrayView prefix = attribute.Prefix();
            qint32 uri = 0;
            if (Is(attribute.Name, "xmlns") || Is(prefix, "xmlns")) {
                uri = -1;
            } else if (!prefix.isEmpty()) {
                uri = Bound(prefix);
                if (uri < 0 || Is(prefix, "xml"))
                    return false;
            }
            FAttributeNamespaces.push_back(uri);
        }
        // The same name in the same namespace twice, through two prefixes.
        const auto qualified = [&](qsizetype i) { return FAttributeNamespaces[size_t(i)] > 0; };
        const auto hash = [&](qsizetype i) {
            return qHash(attributes[size_t(i)].Local(), TDuplicateCheck::Seed()) ^
                   size_t(FAttributeNamespaces[size_t(i)]) * 0x9E3779B9U;
        };
        const auto same = [&](qsizetype i, qsizetype j) {
            return FAttributeNamespaces[size_t(i)] == FAttributeNamespaces[size_t(j)] &&
                   TPlainXmlCursor::Same(attributes[size_t(i)].Local(), attributes[size_t(j)].Local());
        };
        if (FDuplicates.Any(qsizetype(attributes.size()), qualified, hash, same))
            return false;

        if (FSkipping > 0) {
            qint32 id = -1;
            for (const TAttribute &attribute : attributes) {
                if (Is(attribute.Name, "id")) {
                    id = LoweredKey(attribute, true);
                    break;
                }
            }
            OpenSkipped(id);
        } else {
            TNode node;
            node.Name = Intern(Latin1(nameColon < 0 ? name : name.sliced(nameColon + 1)));
            node.Namespace = elementNamespace;
            ReadAttributes(node);
            OpenElement(node, 0);
        }
        return true;
    }

    void ScannedEnd()
    {
        FBindings.resize(FBindingMarks.back());
        FBindingMarks.pop_back();
        CloseElement();
    }

    // The value of an attribute as text, valid until the next call; a null
    // view for a reference the scanner does not take.
    QStringView Value(const TAttribute &attribute)
    {
        FValue.resize(0);
        if (attribute.Plain && attribute.Ascii)
            FValue.append(Latin1(attribute.Value));
        else if (!Decode(attribute.Value, attribute.Ascii, FValue))
            return {};
        return FValue.isNull() ? QStringView(u"") : QStringView(FValue);
    }

    // The key of an id ("#" in front) or of a reference (nothing in front),
    // straight from the bytes where they are plain ASCII.
    qint32 LoweredKey(const TAttribute &attribute, bool id)
    {
        const QByteArrayView raw = attribute.Value;
        char lowered[64];
        if (!attribute.Plain || !attribute.Ascii || raw.size() >= qsizetype(sizeof lowered))
            return id ? IdKey(Value(attribute)) : ReferenceKey(Value(attribute));
        qsizetype at = 0;
        if (id)
            lowered[at++] = '#';
        for (const char c : raw)
            lowered[at++] = c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
        return Intern(QLatin1StringView(lowered, at));
    }

    // What the table keeps of the attributes of the start tag at hand.
    void ReadAttributes(TNode &node)
    {
        const TAttribute *type = nullptr;
        int typeRank = 4;
        for (size_t i = 0; i < Attributes().size(); ++i) {
            const TAttribute &attribute = Attributes()[i];
            const qint32 uri = FAttributeNamespaces[i];
            if (uri < 0)
                continue;
            if (uri == 0) {
                if (Is(attribute.Name, "id")) {
                    NoteId(LoweredKey(attribute, true));
                } else if (Is(attribute.Name, "href")) {
                    node.Href = qint32(FReferences.size());
                    const qint32 begin = qint32(attribute.Value.data() - FBody.constData());
                    FReferences.push_back({LoweredKey(attribute, false), begin,
                                           begin + qint32(attribute.Value.size()), QString()});
                } else if (Is(attribute.Name, "type") && typeRank > 3) {
                    type = &attribute;
                    typeRank = 3;
                } else if (Is(attribute.Name, "mustUnderstand") && IsTrue(Value(attribute))) {
                    node.Flags |= MustUnderstand;
                }
                continue;
            }
            const int rank = SchemaInstanceRank(NameAt(uri));
            if (rank < 0)
                continue;
            const QByteArrayView local = attribute.Local();
            if (Is(local, "type")) {
                if (rank < typeRank) {
                    type = &attribute;
                    typeRank = rank;
                }
            } else if ((Is(local, "nil") || Is(local, "NULL") || Is(local, "null")) &&
                       IsTrue(Value(attribute))) {
                node.Flags |= IsNil;
            }
        }
        if (!type)
            return;
        // A qualified name as written; its prefix is looked up as it stands.
        const QStringView value = Value(*type);
        const qsizetype colon = value.indexOf(u':');
        node.TypeName = Intern(colon < 0 ? value : value.mid(colon + 1));
        const QStringView prefix = colon < 0 ? QStringView(u"") : value.left(colon);
        node.TypeNamespace = 0;
        if (prefix == u"xml") {
            node.TypeNamespace = Intern(QStringView(SXmlNamespace));
            return;
        }
        for (auto binding = FBindings.rbegin(); binding != FBindings.rend(); ++binding) {
            if (Latin1(binding->first) == prefix) {
                node.TypeNamespace = binding->second;
                break;
            }
        }
    }

    // ---- the envelope

    const QString &Name(const TNode &node) const { return NameAt(node.Name); }

    QStringView Text(const TNode &node) const
    {
        return QStringView(FText).mid(node.TextBegin, node.TextEnd - node.TextBegin);
    }

    void CheckHeader(qint32 header)
    {
        for (qint32 entry = FNodes[header].FirstChild; entry >= 0; entry = FNodes[entry].NextSibling) {
            if (FNodes[entry].Flags & MustUnderstand)
                throw EFailure(SMustUnderstand.arg(Name(FNodes[entry])));
        }
    }

    std::shared_ptr<TRemotable> ReadBody(qint32 body, const TTypeInfo *expected)
    {
        const qint32 answer = FNodes[body].FirstChild;
        if (answer < 0)
            return nullptr;
        if (Name(FNodes[answer]) == u"Fault")
            ThrowFault(answer);
        if (!expected)
            return nullptr;

        qint32 result = -1;
        const qint32 first = FNodes[answer].FirstChild;
        if (first >= 0 && FNodes[first].NextSibling < 0) {
            result = first;
        } else {
            for (qint32 child = first; child >= 0; child = FNodes[child].NextSibling) {
                const QString &name = Name(FNodes[child]);
                if (name.compare(u"Result", Qt::CaseInsensitive) == 0 ||
                    name.compare(u"Return", Qt::CaseInsensitive) == 0) {
                    result = child;
                    break;
                }
            }
        }
        if (result < 0)
            return nullptr;
        // Every element is read about once; more work than this means a
        // document built to multiply references.
        FBudget = 4 * qint64(FNodes.size()) + 64;
        FObjects.clear();
        return ReadObject(result, *expected);
    }

    [[noreturn]] void ThrowFault(qint32 fault)
    {
        QString faultString, faultCode, faultActor;
        bool hasDetail = false;
        for (qint32 child = FNodes[fault].FirstChild; child >= 0; child = FNodes[child].NextSibling) {
            const QString &name = Name(FNodes[child]);
            if (name.compare(u"faultstring", Qt::CaseInsensitive) == 0)
                faultString = Text(FNodes[child]).toString();
            else if (name.compare(u"faultcode", Qt::CaseInsensitive) == 0)
                faultCode = Text(FNodes[child]).toString();
            else if (name.compare(u"faultactor", Qt::CaseInsensitive) == 0)
                faultActor = Text(FNodes[child]).toString();
            else if (name.compare(u"detail", Qt::CaseInsensitive) == 0)
                hasDetail = true;
        }
        throw ESOAPFault(faultString, faultCode, faultActor, hasDetail ? FBody : QByteArray());
    }

    // ---- values

    void Spend()
    {
        FTicker.Tick();
        if (--FBudget < 0)
            throw EFailure(STooManyReferences);
    }

    // The element a reading lands on. Throws TNeedFullParse when the
    // skipping parse did not keep it.
    qint32 Resolve(qint32 index) const
    {
        qint32 target = index;
        if (const TNode &node = FNodes[index]; node.Href >= 0)
            target = FIds.value(FReferences[size_t(node.Href)].Key, index);
        if (target == InsideSkipped || (FNodes[target].Flags & Skipped))
            throw TNeedFullParse();
        return target;
    }

    bool IsAbsent(const TNode &node) const
    {
        return (node.Flags & IsNil) || (!(node.Flags & HasChildNodes) && node.Href < 0);
    }

    const TTypeInfo &TypeOf(const TNode &node, const TTypeInfo &expected)
    {
        if (node.TypeName < 0 || !IsTypeNamespace(node.TypeNamespace))
            return expected;
        const TTypeInfo *named = FindType(node.TypeName);
        return named && named->Is(expected) ? *named : expected;
    }

    bool IsTypeNamespace(qint32 interned)
    {
        if (const auto known = FTypeNamespaces.constFind(interned); known != FTypeNamespaces.cend())
            return known.value();
        // The server's type namespace is the same in every answer of a
        // connection; checking it takes a URL parse.
        thread_local QString lastTypeNamespace;
        const QString &uri = NameAt(interned);
        bool is = !lastTypeNamespace.isNull() && uri == lastTypeNamespace;
        if (!is && TTypeRegistry::IsTypeNamespace(uri)) {
            is = true;
            lastTypeNamespace = uri;
        }
        FTypeNamespaces.insert(interned, is);
        return is;
    }

    std::shared_ptr<TRemotable> ReadObject(qint32 referring, const TTypeInfo &expected)
    {
        Spend();
        const qint32 index = Resolve(referring);
        TNode &node = FNodes[index]; // the table no longer grows while values are read
        if (IsAbsent(node))
            return nullptr;
        if (node.Flags & InProgress)
            throw EFailure(SCyclicReference.arg(ReferenceText(FNodes[referring].Href)));
        if (const auto known = FObjects.find(index);
            known != FObjects.end() && known->second->TypeInfo()->Is(expected))
            return known->second;

        const TTypeInfo &type = TypeOf(node, expected);
        std::shared_ptr<TRemotable> object = type.Create();
        // The children go on one stack shared by all nesting levels; indexes
        // stay valid when deeper levels push theirs.
        const size_t base = FChildren.size();
        const TLevel level(*this, index, base);

        for (qint32 child = node.FirstChild; child >= 0; child = FNodes[child].NextSibling)
            FChildren.push_back({child, false});
        const size_t end = FChildren.size();
        size_t low = base; // children before it are all taken
        const std::vector<qint32> &wireNames = WireNames(type);
        for (qsizetype m = 0; m < type.Members.size(); ++m) {
            while (low < end && FChildren[low].second)
                ++low;
            for (size_t at = low; at < end; ++at) {
                if (FChildren[at].second || FNodes[FChildren[at].first].Name != wireNames[size_t(m)])
                    continue;
                FChildren[at].second = true;
                const TMemberInfo &member = type.Members[m];
                if (member.Used) {
                    ReadMember(FChildren[at].first, member, member.Slot(*object));
                } else if (!member.ElementType || !member.ElementType->Unread) {
                    // What the session never uses must not fail the call:
                    // a member that does not read keeps its initial value.
                    // Every reading writes its slot only when it succeeded.
                    try {
                        ReadMember(FChildren[at].first, member, member.Slot(*object));
                    } catch (const EFailure &) {
                    }
                }
                break;
            }
        }
        FObjects.emplace(index, object); // the first object read from an element stays
        return object;
    }

    // Marks one element as being read and undoes the marks of its level when
    // the reading ends, also by a failure that an unused member swallows.
    class TLevel {
    public:
        TLevel(TAnswerReader &reader, qint32 index, size_t children)
            : FReader(reader), FIndex(index), FChildren(children)
        {
            if (++FReader.FDepth > MaxDepth) {
                --FReader.FDepth;
                throw EFailure(STooDeep.arg(MaxDepth));
            }
            FReader.FNodes[size_t(FIndex)].Flags |= InProgress;
        }
        ~TLevel()
        {
            FReader.FNodes[size_t(FIndex)].Flags &= quint8(~InProgress);
            FReader.FChildren.resize(FChildren);
            --FReader.FDepth;
        }
        Q_DISABLE_COPY(TLevel)

    private:
        TAnswerReader &FReader;
        qint32 FIndex;
        size_t FChildren;
    };

    void ReadMember(qint32 child, const TMemberInfo &member, void *slot)
    {
        switch (member.Kind) {
        case TMemberKind::Object:
            member.ElementType->SetObject(slot, ReadObject(child, *member.ElementType));
            return;
        case TMemberKind::Array:
        case TMemberKind::IntArray:
        case TMemberKind::StringArray:
            ReadArray(child, member, slot);
            return;
        default:
            ReadScalar(child, member.Kind, slot);
            return;
        }
    }

    void ReadArray(qint32 referring, const TMemberInfo &member, void *slot)
    {
        Spend();
        const qint32 index = Resolve(referring);
        const TNode &node = FNodes[index];
        if (IsAbsent(node))
            return;
        if (node.Flags & InProgress)
            throw EFailure(SCyclicReference.arg(ReferenceText(FNodes[referring].Href)));
        const TLevel level(*this, index, FChildren.size());
        // All items or none: the slot is written only when every item read.
        std::vector<std::shared_ptr<TRemotable>> objects;
        QList<qint32> numbers;
        QList<QString> texts;
        for (qint32 item = node.FirstChild; item >= 0; item = FNodes[item].NextSibling) {
            switch (member.Kind) {
            case TMemberKind::Array:
                objects.push_back(ReadObject(item, *member.ElementType));
                break;
            case TMemberKind::IntArray: {
                qint32 value = 0;
                ReadScalar(item, TMemberKind::Int, &value);
                numbers.append(value);
                break;
            }
            default: {
                QString value;
                ReadScalar(item, TMemberKind::String, &value);
                texts.append(std::move(value));
                break;
            }
            }
        }
        for (std::shared_ptr<TRemotable> &object : objects)
            member.ElementType->ListAppend(slot, std::move(object));
        if (member.Kind == TMemberKind::IntArray)
            static_cast<QList<qint32> *>(slot)->append(numbers);
        else if (member.Kind == TMemberKind::StringArray)
            static_cast<QList<QString> *>(slot)->append(texts);
    }

    void ReadScalar(qint32 referring, TMemberKind kind, void *slot)
    {
        Spend();
        const TNode &node = FNodes[Resolve(referring)];
        if (IsAbsent(node))
            return;
        const QStringView text = Text(node);
        switch (kind) {
        case TMemberKind::Long: {
            bool ok = false;
            const qint64 value = text.trimmed().toLongLong(&ok);
            if (!ok)
                throw EFailure(SNotAnInteger.arg(text));
            *static_cast<qint64 *>(slot) = value;
            break;
        }
        case TMemberKind::Int: {
            bool ok = false;
            const qint32 value = text.trimmed().toInt(&ok);
            if (!ok)
                throw EFailure(SNotAnInteger.arg(text));
            *static_cast<qint32 *>(slot) = value;
            break;
        }
        case TMemberKind::Bool: {
            const QStringView trimmed = text.trimmed();
            if (IsTrue(trimmed))
                *static_cast<bool *>(slot) = true;
            else if (trimmed == u"0" || trimmed.compare(u"false", Qt::CaseInsensitive) == 0)
                *static_cast<bool *>(slot) = false;
            else
                throw EFailure(SNotABoolean.arg(text));
            break;
        }
        case TMemberKind::String:
            *static_cast<QString *>(slot) = text.toString();
            break;
        case TMemberKind::Bytes:
            *static_cast<QByteArray *>(slot) = QByteArray::fromBase64(text.toLatin1());
            break;
        default:
            break;
        }
    }

    QByteArray FBody;
    const TReadGuard *FGuard;
    TReadTicker FTicker;
    TDuplicateCheck FDuplicates;
    std::vector<TNode> FNodes;
    QString FText;
    TNameTable FLocalNames; // the answer's names beyond the known ones
    std::unordered_map<const TTypeInfo *, std::vector<qint32>> FWireNames;
    std::vector<std::pair<QString, QString>> FScopes; // prefix and URI, for the full reader
    std::vector<TOpen> FOpen;
    int FSkipping = 0;                       // depth inside the element being skipped; 0 when none is
    QHash<qint32, const TTypeInfo *> FTypes; // by interned name
    // the quick scanner
    bool FQuick = false;                       // the quick scanner read the body
    std::vector<qsizetype> FBindingMarks;      // per open element: the bindings in force before it
    const TPlainXmlCursor *FScanner = nullptr; // while the quick scanner reads
    std::vector<std::pair<QByteArrayView, qint32>> FBindings; // prefix ("" for the default) and interned URI
    std::vector<qint32> FAttributeNamespaces; // per attribute: interned URI, 0 for none, -1 for a declaration
    QString FValue;                           // the attribute value at hand
    QHash<qint32, qint32> FIds;               // key of an id -> first element carrying it
    // The references in document order: the key they look up and their
    // text, as a stretch of the body (quick scanner) or as read (full reader).
    struct TReference {
        qint32 Key;
        qint32 RawBegin;
        qint32 RawEnd;
        QString Text;
    };
    std::vector<TReference> FReferences;
    QHash<qint32, bool> FTypeNamespaces;
    // Per element read, the object read from it; by element, not one slot
    // per element: an answer of millions of empty elements needs none.
    std::unordered_map<qint32, std::shared_ptr<TRemotable>> FObjects;
    std::vector<std::pair<qint32, bool>> FChildren; // element and whether a member took it
    qint64 FBudget = 0;
    int FDepth = 0;
    bool FSkipUnread = false;
};

} // namespace

QString AnswerOutline(const QByteArray &body, TAnswerParser parser, bool skipUnread)
{
    return TAnswerReader(AsUtf8Document(body), skipUnread).Outline(parser);
}

std::shared_ptr<TRemotable> ReadAnswer(const QByteArray &body, const QString &resultType,
                                       const TReadGuard *guard)
{
    const QByteArray utf8 = AsUtf8Document(body);
    // Most answers never refer into what the session leaves unread; the
    // rare one that does is read again with everything kept.
    try {
        return TAnswerReader(utf8, true, guard).Read(resultType);
    } catch (const TNeedFullParse &) {
        return TAnswerReader(utf8, false, guard).Read(resultType);
    }
}

const QString &ESOAPFault::Detail() const
{
    if (FDetail)
        return *FDetail;
    FDetail.emplace();
    QDomDocument document;
    if (FAnswer.isNull() || !document.setContent(FAnswer, true))
        return *FDetail;
    QDomElement body;
    for (QDomElement child = document.documentElement().firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (child.localName() == u"Body") {
            body = child;
            break;
        }
    }
    QDomElement detail;
    for (QDomElement child = body.firstChildElement().firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (child.localName().compare(u"detail", Qt::CaseInsensitive) == 0)
            detail = child;
    }
    QTextStream stream(&*FDetail);
    detail.save(stream, -1);
    return *FDetail;
}

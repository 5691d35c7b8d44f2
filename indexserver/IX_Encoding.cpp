#include "indexserver/IX_Encoding.h"

#include "indexserver/IX_Catalogue.h"

#include <QDomDocument>
#include <QHash>
#include <QTextStream>
#include <QXmlStreamReader>

#include <typeinfo>
#include <unordered_map>
#include <vector>
#if defined(__GNUC__) || defined(__clang__)
#include <cstdlib>
#include <cxxabi.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SEnvelopeNamespace = u"http://schemas.xmlsoap.org/soap/envelope/"_s;
const QString SEncodingNamespace = u"http://schemas.xmlsoap.org/soap/encoding/"_s;
const QString SSchemaNamespace = u"http://www.w3.org/2001/XMLSchema"_s;
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

// The name of a type that is not in the catalogue, for the failure message.
QString ForeignTypeName(const TRemotable &object)
{
    const char *raw = typeid(object).name();
#if defined(__GNUC__) || defined(__clang__)
    int status = 0;
    char *demangled = abi::__cxa_demangle(raw, nullptr, nullptr, &status);
    if (demangled) {
        QString name = QString::fromUtf8(demangled);
        std::free(demangled);
        return name;
    }
#endif
    QString name = QString::fromUtf8(raw);
    if (name.startsWith(u"struct "_s))
        name.remove(0, 7);
    else if (name.startsWith(u"class "_s))
        name.remove(0, 6);
    return name;
}

// ---------------------------------------------------------------- writing

// XML 1.0 cannot carry most control characters (U+0000 above all), lone
// surrogates, U+FFFE and U+FFFF, not even as references; they are left out
// so that the request stays well-formed. Line ends and tabs in attribute
// values and carriage returns in text are written as references so that they
// arrive unchanged.
void AppendEscaped(QString &out, QStringView text, bool attribute)
{
    const qsizetype count = text.size();
    for (qsizetype i = 0; i < count; ++i) {
        const QChar c = text[i];
        const char16_t u = c.unicode();
        switch (u) {
        case u'&':
            out += u"&amp;"_s;
            continue;
        case u'<':
            out += u"&lt;"_s;
            continue;
        case u'>':
            out += u"&gt;"_s;
            continue;
        case u'"':
            if (attribute)
                out += u"&quot;"_s;
            else
                out += c;
            continue;
        case u'\r':
            out += u"&#13;"_s;
            continue;
        case u'\n':
            if (attribute)
                out += u"&#10;"_s;
            else
                out += c;
            continue;
        case u'\t':
            if (attribute)
                out += u"&#9;"_s;
            else
                out += c;
            continue;
        default:
            break;
        }
        if (u < 0x20 || u == 0xFFFE || u == 0xFFFF)
            continue;
        if (c.isHighSurrogate()) {
            if (i + 1 < count && text[i + 1].isLowSurrogate()) {
                out += c;
                out += text[i + 1];
                ++i;
            }
            continue;
        }
        if (c.isLowSurrogate())
            continue;
        out += c;
    }
}

class TRequestWriter {
public:
    TRequestWriter(const QString &operationNamespace, const QString &typeNamespace)
        : FOperationNamespace(operationNamespace), FTypeNamespace(typeNamespace)
    {
    }

    QByteArray Write(const QString &operation, const QList<TSoapArgument> &arguments)
    {
        const QString operationPrefix = NewPrefix();
        QString call;
        call += u'<' + operationPrefix + u':' + operation + u" xmlns:"_s + operationPrefix + u"=\""_s;
        AppendEscaped(call, FOperationNamespace, true);
        call += u"\">"_s;
        for (const TSoapArgument &argument : arguments)
            WriteArgument(call, argument);
        call += u"</"_s + operationPrefix + u':' + operation + u'>';

        QString document =
            u"<?xml version=\"1.0\"?>"
            "<SOAP-ENV:Envelope"
            " xmlns:SOAP-ENV=\"http://schemas.xmlsoap.org/soap/envelope/\""
            " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
            " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
            " xmlns:SOAP-ENC=\"http://schemas.xmlsoap.org/soap/encoding/\">"
            "<SOAP-ENV:Body SOAP-ENV:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""_s;
        if (!FTypePrefix.isEmpty()) {
            document += u" xmlns:"_s + FTypePrefix + u"=\""_s;
            AppendEscaped(document, FTypeNamespace, true);
            document += u'"';
        }
        document += u'>';
        document += call;
        for (const QString &element : FMultiRefs)
            document += element;
        document += u"</SOAP-ENV:Body></SOAP-ENV:Envelope>"_s;
        return document.toUtf8();
    }

private:
    QString NewPrefix() { return u"NS"_s + QString::number(FNextPrefix++); }

    const QString &TypePrefix()
    {
        if (FTypePrefix.isEmpty())
            FTypePrefix = NewPrefix();
        return FTypePrefix;
    }

    static void WriteScalar(QString &out, const QString &name, QStringView xsdType, QStringView text)
    {
        out += u'<';
        out += name;
        out += u" xsi:type=\"xsd:"_s;
        out += xsdType;
        out += u'"';
        // Decided after escaping: a text of characters that XML cannot carry
        // leaves an element without content, like an empty text.
        const qsizetype start = out.size();
        out += u'>';
        AppendEscaped(out, text, false);
        if (out.size() == start + 1) {
            out.truncate(start);
            out += u"/>"_s;
            return;
        }
        out += u"</"_s + name + u'>';
    }

    static void WriteNil(QString &out, const QString &name) { out += u'<' + name + u" xsi:nil=\"true\"/>"_s; }

    void WriteReference(QString &out, const QString &name, const std::shared_ptr<TRemotable> &object,
                        const QString &multiRefName)
    {
        if (!object) {
            WriteNil(out, name);
            return;
        }
        const int id = WriteObject(*object, multiRefName);
        out += u'<' + name + u" href=\"#"_s + QString::number(id) + u"\"/>"_s;
    }

    void WriteArgument(QString &out, const TSoapArgument &argument)
    {
        const QString &name = argument.Name;
        if (const auto *text = std::get_if<QString>(&argument.Value))
            WriteScalar(out, name, u"string", *text);
        else if (const auto *value = std::get_if<qint32>(&argument.Value))
            WriteScalar(out, name, u"int", QString::number(*value));
        else if (const auto *value = std::get_if<qint64>(&argument.Value))
            WriteScalar(out, name, u"long", QString::number(*value));
        else if (const auto *value = std::get_if<bool>(&argument.Value))
            WriteScalar(out, name, u"boolean", *value ? u"true" : u"false");
        else if (const auto *bytes = std::get_if<QByteArray>(&argument.Value))
            WriteScalar(out, name, u"base64Binary", QString::fromLatin1(bytes->toBase64()));
        else if (const auto *object = std::get_if<std::shared_ptr<TRemotable>>(&argument.Value))
            WriteReference(out, name, *object, {});
    }

    // Writes the object's multi-reference element, once per message, and
    // gives its id. An empty elementName names the element after the type.
    int WriteObject(const TRemotable &object, const QString &elementName)
    {
        if (const auto found = FWritten.constFind(&object); found != FWritten.cend())
            return found.value();
        const TTypeInfo *type = object.TypeInfo();
        if (!type)
            throw EFailure(STypeNotRegistered.arg(ForeignTypeName(object)));

        const int id = FNextId++;
        FWritten.insert(&object, id);
        const QString prefix = TypePrefix();
        const QString name = prefix + u':' + (elementName.isEmpty() ? type->Name : elementName);
        // The slot keeps the element's place before the elements of its
        // members, which are written while its own text is still growing.
        const size_t slot = FMultiRefs.size();
        FMultiRefs.emplace_back();

        QString element;
        element += u'<' + name + u" id=\""_s + QString::number(id) + u"\" xsi:type=\""_s + prefix + u':' +
                   type->Name + u"\">"_s;
        auto &mutableObject = const_cast<TRemotable &>(object); // the slots are only read here
        for (const TMemberInfo &member : type->Members)
            WriteMember(element, member, member.Slot(mutableObject));
        element += u"</"_s + name + u'>';
        FMultiRefs[slot] = std::move(element);
        return id;
    }

    void WriteMember(QString &out, const TMemberInfo &member, const void *slot)
    {
        const QString &name = member.WireName;
        switch (member.Kind) {
        case TMemberKind::Long:
            WriteScalar(out, name, u"long", QString::number(*static_cast<const qint64 *>(slot)));
            break;
        case TMemberKind::Int:
            WriteScalar(out, name, u"int", QString::number(*static_cast<const qint32 *>(slot)));
            break;
        case TMemberKind::Bool:
            WriteScalar(out, name, u"boolean", *static_cast<const bool *>(slot) ? u"true" : u"false");
            break;
        case TMemberKind::String:
            WriteScalar(out, name, u"string", *static_cast<const QString *>(slot));
            break;
        case TMemberKind::Bytes:
            WriteScalar(out, name, u"base64Binary",
                        QString::fromLatin1(static_cast<const QByteArray *>(slot)->toBase64()));
            break;
        case TMemberKind::Object:
            WriteReference(out, name, member.ElementType->GetObject(slot), name);
            break;
        case TMemberKind::Array: {
            const TTypeInfo &element = *member.ElementType;
            const qsizetype count = element.ListSize(slot);
            if (count == 0) {
                WriteNil(out, name); // no items and no array are the same
                break;
            }
            WriteArrayStart(out, name, TypePrefix() + u':' + element.Name, count);
            for (qsizetype i = 0; i < count; ++i)
                WriteReference(out, u"item"_s, element.ListAt(slot, i), {});
            out += u"</"_s + name + u'>';
            break;
        }
        case TMemberKind::IntArray: {
            const auto &list = *static_cast<const QList<qint32> *>(slot);
            if (list.isEmpty()) {
                WriteNil(out, name);
                break;
            }
            WriteArrayStart(out, name, u"xsd:int"_s, list.size());
            for (qint32 value : list)
                WriteScalar(out, u"item"_s, u"int", QString::number(value));
            out += u"</"_s + name + u'>';
            break;
        }
        case TMemberKind::StringArray: {
            const auto &list = *static_cast<const QList<QString> *>(slot);
            if (list.isEmpty()) {
                WriteNil(out, name);
                break;
            }
            WriteArrayStart(out, name, u"xsd:string"_s, list.size());
            for (const QString &value : list)
                WriteScalar(out, u"item"_s, u"string", value);
            out += u"</"_s + name + u'>';
            break;
        }
        }
    }

    static void WriteArrayStart(QString &out, const QString &name, const QString &itemType, qsizetype count)
    {
        out += u'<' + name + u" xsi:type=\"SOAP-ENC:Array\" SOAP-ENC:arrayType=\""_s + itemType + u'[' +
               QString::number(count) + u"]\">"_s;
    }

    QString FOperationNamespace;
    QString FTypeNamespace;
    QString FTypePrefix;
    int FNextPrefix = 1;
    int FNextId = 1;
    QHash<const TRemotable *, int> FWritten;
    std::vector<QString> FMultiRefs; // children of the Body after the operation element, in order
};

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

class TAnswerReader {
public:
    // skipUnread: keep nothing of the elements whose type the session never
    // reads (Read then throws TNeedFullParse if something used needs them).
    TAnswerReader(const QByteArray &body, bool skipUnread) : FBody(body), FSkipUnread(skipUnread) {}

    std::shared_ptr<TRemotable> Read(const QString &resultType)
    {
        const TTypeInfo *expected = nullptr;
        if (!resultType.isEmpty()) {
            expected = TTypeRegistry::Instance().FindType(resultType);
            if (!expected)
                throw EFailure(STypeNotRegistered.arg(resultType));
        }
        Parse();
        if (FNodes.empty())
            throw EFailure(SInvalidAnswer);
        const TNode &envelope = FNodes[0];
        if (Name(envelope) != u"Envelope" || FNames[envelope.Namespace] != SEnvelopeNamespace) {
            throw EFailure(SWrongDocumentElement.arg(SEnvelopeNamespace, u"Envelope"_s,
                                                     FNames[envelope.Namespace], Name(envelope)));
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

private:
    // ---- parsing into the node table

    // Names repeat endlessly in an answer; each distinct one is kept once and
    // compared by its number afterwards. Open addressing keeps the lookup
    // free of allocations for names already seen.
    qint32 Intern(QStringView text)
    {
        if (FBuckets.empty())
            FBuckets.assign(256, -1);
        size_t mask = FBuckets.size() - 1;
        size_t at = Hash(text) & mask;
        for (;; at = (at + 1) & mask) {
            const qint32 index = FBuckets[at];
            if (index < 0)
                break;
            if (QStringView(FNames[index]) == text)
                return index;
        }
        const qint32 index = qint32(FNames.size());
        FNames.append(text.toString());
        FBuckets[at] = index;
        if (FNames.size() * 2 > qsizetype(FBuckets.size())) {
            std::vector<qint32> grown(FBuckets.size() * 2, -1);
            mask = grown.size() - 1;
            for (qint32 each = 0; each < qint32(FNames.size()); ++each) {
                size_t slot = Hash(FNames[each]) & mask;
                while (grown[slot] >= 0)
                    slot = (slot + 1) & mask;
                grown[slot] = each;
            }
            FBuckets.swap(grown);
        }
        return index;
    }

    // Names are short; a seeded FNV-1a is far cheaper here than the general
    // string hash and, with a seed unknown to the server, as hard to flood.
    size_t Hash(QStringView text) const
    {
        quint64 hash = 14695981039346656037ULL ^ FSeed;
        for (const QChar c : text) {
            hash ^= c.unicode();
            hash *= 1099511628211ULL;
        }
        return size_t(hash ^ (hash >> 29));
    }

    // The interned wire names of a type's members, in member order.
    const std::vector<qint32> &WireNames(const TTypeInfo &type)
    {
        auto found = FWireNames.find(&type);
        if (found == FWireNames.end()) {
            std::vector<qint32> names;
            names.reserve(size_t(type.Members.size()));
            for (const TMemberInfo &member : type.Members)
                names.push_back(Intern(member.WireName));
            found = FWireNames.emplace(&type, std::move(names)).first;
        }
        return found->second;
    }

    QString ResolvePrefix(QStringView prefix) const
    {
        if (prefix == u"xml")
            return u"http://www.w3.org/XML/1998/namespace"_s;
        for (auto it = FScopes.crbegin(); it != FScopes.crend(); ++it) {
            if (it->first == prefix)
                return it->second;
        }
        return {};
    }

    void Parse()
    {
        // Fed piece by piece, the reader decodes only the piece at hand
        // instead of a second copy of the whole answer.
        constexpr qsizetype Piece = 256 * 1024;
        QXmlStreamReader reader;
        qsizetype fed = 0;
        const auto feed = [&] {
            const qsizetype size = std::min(Piece, FBody.size() - fed);
            reader.addData(QByteArray::fromRawData(FBody.constData() + fed, size));
            fed += size;
        };
        feed();
        // Internal entities may expand only this far; external ones are never fetched.
        reader.setEntityExpansionLimit(4096);
        Intern(u""); // index 0: no namespace

        struct TOpen {
            qint32 Node;
            qint32 LastChild;
            qsizetype Scopes;
        };
        std::vector<TOpen> open;
        open.reserve(64);

        FText.reserve(FBody.size() / 8);
        // Depth inside the element being skipped; 0 when none is.
        int skipping = 0;
        for (;;) {
            const QXmlStreamReader::TokenType token = reader.readNext();
            if (token == QXmlStreamReader::Invalid) {
                if (reader.error() == QXmlStreamReader::PrematureEndOfDocumentError && fed < FBody.size()) {
                    feed();
                    continue;
                }
                break;
            }
            if (token == QXmlStreamReader::EndDocument)
                break;
            if (skipping > 0) {
                // The reader still checks the skipped content; only its ids are noted,
                // so that a reference into it asks for the full parse.
                if (token == QXmlStreamReader::StartElement) {
                    if (open.size() + size_t(++skipping) > size_t(MaxDepth))
                        throw EFailure(STooDeep.arg(MaxDepth));
                    const QXmlStreamAttributes attributes = reader.attributes();
                    const QStringView id = attributes.value("id"_L1);
                    if (!id.isNull()) {
                        const QString key = (u'#' + id.toString()).toLower();
                        if (!FIds.contains(key))
                            FIds.insert(key, InsideSkipped);
                    }
                }
                if (token != QXmlStreamReader::EndElement || --skipping > 0) {
                    FNodes[open.back().Node].Flags |= HasChildNodes;
                    continue;
                }
            }
            switch (token) {
            case QXmlStreamReader::StartElement: {
                if (open.size() >= size_t(MaxDepth))
                    throw EFailure(STooDeep.arg(MaxDepth));
                const qint32 index = qint32(FNodes.size());
                // The answer element decides between result and fault: never skipped.
                const bool answerElement = open.size() == 2 && open.back().LastChild < 0;
                if (!open.empty()) {
                    TOpen &parent = open.back();
                    FNodes[parent.Node].Flags |= HasChildNodes;
                    if (parent.LastChild < 0)
                        FNodes[parent.Node].FirstChild = index;
                    else
                        FNodes[parent.LastChild].NextSibling = index;
                    parent.LastChild = index;
                } else if (index != 0) {
                    throw EFailure(SInvalidAnswer); // the reader refuses a second root itself
                }
                const qsizetype scopes = FScopes.size();
                for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
                    FScopes.emplace_back(declaration.prefix().toString(),
                                         declaration.namespaceUri().toString());
                TNode node;
                node.Name = Intern(reader.name());
                node.Namespace = Intern(reader.namespaceUri());
                node.TextBegin = node.TextEnd = qint32(FText.size());
                ReadAttributes(reader, node);
                if (FSkipUnread && open.size() >= 2 && !answerElement && IsUnread(node)) {
                    node.Flags |= Skipped;
                    skipping = 1;
                }
                FNodes.push_back(node);
                open.push_back({index, -1, scopes});
                break;
            }
            case QXmlStreamReader::EndElement: {
                TNode &node = FNodes[open.back().Node];
                node.TextEnd = qint32(FText.size());
                FScopes.resize(open.back().Scopes);
                open.pop_back();
                break;
            }
            case QXmlStreamReader::Characters:
                if (!open.empty()) {
                    FNodes[open.back().Node].Flags |= HasChildNodes;
                    FText += reader.text();
                    if (FText.size() > std::numeric_limits<qint32>::max() / 2)
                        throw EFailure(SInvalidAnswer);
                }
                break;
            case QXmlStreamReader::Comment:
            case QXmlStreamReader::ProcessingInstruction:
            case QXmlStreamReader::EntityReference:
                if (!open.empty())
                    FNodes[open.back().Node].Flags |= HasChildNodes;
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

    // An element whose xsi:type names a type the session never reads.
    bool IsUnread(const TNode &node)
    {
        if (node.TypeName < 0 || !IsTypeNamespace(node.TypeNamespace))
            return false;
        const TTypeInfo *type = TTypeRegistry::Instance().FindType(FNames[node.TypeName]);
        return type && type->Unread;
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
                    const QString key = (u'#' + attribute.value().toString()).toLower();
                    if (!FIds.contains(key))
                        FIds.insert(key, qint32(FNodes.size()));
                } else if (name == u"href") {
                    node.Href = qint32(FReferences.size());
                    FReferences.append(attribute.value().toString());
                } else if (name == u"type" && attribute.qualifiedName() == u"type" && typeRank > 3) {
                    typeValue = attribute.value();
                    typeRank = 3;
                } else if (name == u"mustUnderstand" && attribute.qualifiedName() == u"mustUnderstand" &&
                           IsTrue(attribute.value())) {
                    node.Flags |= MustUnderstand;
                }
                continue;
            }
            int rank = -1;
            if (uri == SSchemaInstance2001)
                rank = 0;
            else if (uri == SSchemaInstance1999)
                rank = 1;
            else if (uri == SSchemaInstance2000)
                rank = 2;
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
        node.TypeNamespace = Intern(ResolvePrefix(prefix));
    }

    // ---- the envelope

    const QString &Name(const TNode &node) const { return FNames[node.Name]; }

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
        FObjects.assign(FNodes.size(), nullptr);
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
        throw ESOAPFault(faultString, faultCode, faultActor, hasDetail ? DetailXml() : QString());
    }

    // The detail of the fault as XML. Only faults need the document's markup
    // itself, so only they pay for a second parse.
    QString DetailXml() const
    {
        QDomDocument document;
        if (!document.setContent(FBody, true))
            return {};
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
        QString xml;
        QTextStream stream(&xml);
        detail.save(stream, -1);
        return xml;
    }

    // ---- values

    void Spend()
    {
        if (--FBudget < 0)
            throw EFailure(STooManyReferences);
    }

    // The element a reading lands on. Throws TNeedFullParse when the
    // skipping parse did not keep it.
    qint32 Resolve(qint32 index) const
    {
        qint32 target = index;
        if (const TNode &node = FNodes[index]; node.Href >= 0)
            target = FIds.value(FReferences[node.Href].toLower(), index);
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
        const TTypeInfo *named = TTypeRegistry::Instance().FindType(FNames[node.TypeName]);
        return named && named->Is(expected) ? *named : expected;
    }

    bool IsTypeNamespace(qint32 interned)
    {
        if (const auto known = FTypeNamespaces.constFind(interned); known != FTypeNamespaces.cend())
            return known.value();
        const bool is = TTypeRegistry::IsTypeNamespace(FNames[interned]);
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
            throw EFailure(SCyclicReference.arg(FReferences.value(FNodes[referring].Href)));
        if (const std::shared_ptr<TRemotable> &known = FObjects[index];
            known && known->TypeInfo()->Is(expected))
            return known;

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
        if (!FObjects[index])
            FObjects[index] = object;
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
            throw EFailure(SCyclicReference.arg(FReferences.value(FNodes[referring].Href)));
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
    std::vector<TNode> FNodes;
    QString FText;
    QStringList FNames;
    std::vector<qint32> FBuckets;            // open-addressing table over FNames
    quint64 FSeed = QHashSeed::globalSeed(); // names chosen to collide must not slow the table down
    std::unordered_map<const TTypeInfo *, std::vector<qint32>> FWireNames;
    std::vector<std::pair<QString, QString>> FScopes;
    QHash<QString, qint32> FIds; // "#id" in lower case -> first element carrying it
    QStringList FReferences;
    QHash<qint32, bool> FTypeNamespaces;
    std::vector<std::shared_ptr<TRemotable>> FObjects; // per element, the object read from it
    std::vector<std::pair<qint32, bool>> FChildren;    // element and whether a member took it
    qint64 FBudget = 0;
    int FDepth = 0;
    bool FSkipUnread = false;
};

} // namespace

ESOAPFault::ESOAPFault(const QString &faultString, const QString &faultCode, const QString &faultActor,
                       const QString &detail)
    : EFailure(faultString), FFaultCode(faultCode), FFaultActor(faultActor), FDetail(detail)
{
}

QByteArray WriteRequest(const QString &operation, const QList<TSoapArgument> &arguments,
                        const QString &operationNamespace, const QString &typeNamespace)
{
    return TRequestWriter(operationNamespace, typeNamespace).Write(operation, arguments);
}

std::shared_ptr<TRemotable> ReadAnswer(const QByteArray &body, const QString &resultType)
{
    // Most answers never refer into what the session leaves unread; the
    // rare one that does is read again with everything kept.
    try {
        return TAnswerReader(body, true).Read(resultType);
    } catch (const TNeedFullParse &) {
        return TAnswerReader(body, false).Read(resultType);
    }
}

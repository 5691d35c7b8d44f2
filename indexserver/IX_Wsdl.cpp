#include "indexserver/IX_Wsdl.h"

#include "common/EFailure.h"
#include "indexserver/IX_Catalogue.h"

#include <QUrl>
#include <QXmlStreamReader>

#include <utility>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

const QString SWsdlNamespace = u"http://schemas.xmlsoap.org/wsdl/"_s;
const QString SWsdlSoapNamespace = u"http://schemas.xmlsoap.org/wsdl/soap/"_s;
const QString SInterfacePath = u"/wsdl/IndexServer"_s;
const QString SParseFailure = u"%1 (Zeile %2, Spalte %3)"_s;

bool HasPath(const QString &namespaceUri, const QString &path)
{
    if (!namespaceUri.endsWith(path))
        return false;
    const QUrl url(namespaceUri, QUrl::StrictMode);
    return url.isValid() && url.path() == path;
}

// Collects what the binding uses from the start tags of one document, in
// document order, whichever reader found them.
class TWsdlCollector {
public:
    TWsdlCollector(TWsdlDocument &document, QString &typeNamespace, QString &interfaceNamespace)
        : FDocument(document), FTypeNamespace(typeNamespace), FInterfaceNamespace(interfaceNamespace)
    {
    }

    bool WantsNamespaces() const { return FTypeNamespace.isEmpty() || FInterfaceNamespace.isEmpty(); }

    void Note(QStringView candidate)
    {
        if (FTypeNamespace.isEmpty() && candidate.endsWith(u"/types/IndexServer") &&
            TTypeRegistry::IsTypeNamespace(candidate.toString()))
            FTypeNamespace = candidate.toString();
        if (FInterfaceNamespace.isEmpty() && candidate.endsWith(SInterfacePath) &&
            HasPath(candidate.toString(), SInterfacePath))
            FInterfaceNamespace = candidate.toString();
    }

    // depth counts from 1 for the document element; value(name) gives the
    // attribute with that qualified name, empty when there is none.
    template <class TValue>
    void Start(int depth, QStringView namespaceUri, QStringView name, const TValue &value)
    {
        if (depth < 2 || depth > 5)
            return;
        const bool wsdl = namespaceUri == SWsdlNamespace;
        const bool soap = namespaceUri == SWsdlSoapNamespace;
        switch (depth) {
        case 2:
            FService = nullptr;
            FBinding = nullptr;
            if (wsdl && name == u"service") {
                FDocument.Services.append({value("name"_L1), {}});
                FService = &FDocument.Services.last();
            } else if (wsdl && name == u"binding") {
                FDocument.Bindings.append({value("name"_L1), {}});
                FBinding = &FDocument.Bindings.last();
            } else if (wsdl && name == u"import") {
                FDocument.Imports << value("location"_L1);
            }
            break;
        case 3:
            FPort = nullptr;
            FOperation = nullptr;
            if (FService && wsdl && name == u"port") {
                FService->Ports.append({value("name"_L1), value("binding"_L1), false, {}});
                FPort = &FService->Ports.last();
            } else if (FBinding && wsdl && name == u"operation") {
                FBinding->Operations.append(TWsdlDocument::TOperation());
                FOperation = &FBinding->Operations.last();
                FOperation->Name = value("name"_L1);
            }
            break;
        case 4:
            FInInput = false;
            if (FPort && soap && name == u"address" && !FPort->HasAddress) {
                FPort->HasAddress = true;
                FPort->Address = value("location"_L1);
            } else if (FOperation && soap && name == u"operation" && !FOperation->HasSoapOperation) {
                FOperation->HasSoapOperation = true;
                FOperation->SoapAction = value("soapAction"_L1);
            } else if (FOperation && wsdl && name == u"input" && !FOperation->HasInput) {
                FOperation->HasInput = true;
                FInInput = true;
            }
            break;
        case 5:
            if (FInInput && soap && name == u"body" && !FOperation->HasBody) {
                FOperation->HasBody = true;
                FOperation->BodyNamespace = value("namespace"_L1);
            }
            break;
        default:
            break;
        }
    }

private:
    TWsdlDocument &FDocument;
    QString &FTypeNamespace;
    QString &FInterfaceNamespace;
    TWsdlDocument::TService *FService = nullptr;
    TWsdlDocument::TPort *FPort = nullptr;
    TWsdlDocument::TBinding *FBinding = nullptr;
    TWsdlDocument::TOperation *FOperation = nullptr;
    bool FInInput = false;
};

// A reader for the plain documents that servers write: ASCII only, no
// entity or character references, no DTD, CDATA section or processing
// instruction, attribute values without line breaks or tabs (which XML
// would normalise). Within that subset it checks well-formedness and
// namespaces as strictly as the full reader; anything outside it, and any
// fault, makes it give up so that the full reader decides and words the
// message. It exists because the full reader costs about 150 instructions
// a byte, which a cold check pays for the whole WSDL.
class TPlainScanner {
public:
    TPlainScanner(const QByteArray &content, TWsdlCollector &collector)
        : FBegin(content.constData()), FEnd(content.constData() + content.size()), FAt(FBegin),
          FCollector(collector)
    {
    }

    bool Scan()
    {
        for (const char *at = FBegin; at != FEnd; ++at) {
            const unsigned char c = static_cast<unsigned char>(*at);
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c > 0x7e || c == '&')
                return false;
        }
        if (Starts("<?xml") && FEnd - FAt > 5 && IsSpace(FAt[5]) && !Declaration())
            return false;
        bool rootSeen = false;
        while (FAt != FEnd) {
            if (*FAt != '<') {
                if (!Text(FFrames.empty()))
                    return false;
                continue;
            }
            if (Starts("<!--")) {
                if (!Comment())
                    return false;
            } else if (Starts("</")) {
                if (FFrames.empty() || !EndTag())
                    return false;
            } else if (Starts("<!") || Starts("<?")) {
                return false;
            } else {
                if (FFrames.empty() && rootSeen)
                    return false;
                rootSeen = true;
                if (!StartTag())
                    return false;
            }
        }
        return rootSeen && FFrames.empty();
    }

private:
    struct TFrame {
        QByteArrayView Name;
        qsizetype Bindings; // namespace bindings in force before this element
    };
    struct TAttribute {
        QByteArrayView Name;
        QByteArrayView Value;
    };

    static bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
    static bool IsNameStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
    static bool IsNameChar(char c)
    {
        return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-';
    }

    bool Starts(QByteArrayView text) const
    {
        return FEnd - FAt >= text.size() && QByteArrayView(FAt, text.size()) == text;
    }

    bool SkipSpace()
    {
        const char *from = FAt;
        while (FAt != FEnd && IsSpace(*FAt))
            ++FAt;
        return FAt != from;
    }

    // A qualified name: NCName, or NCName ':' NCName.
    bool Name(QByteArrayView &name)
    {
        const char *from = FAt;
        if (FAt == FEnd || !IsNameStart(*FAt))
            return false;
        bool colon = false;
        while (FAt != FEnd && (IsNameChar(*FAt) || *FAt == ':')) {
            if (*FAt == ':') {
                if (colon || FAt + 1 == FEnd || !IsNameStart(FAt[1]))
                    return false;
                colon = true;
            }
            ++FAt;
        }
        name = QByteArrayView(from, FAt - from);
        return true;
    }

    static QByteArrayView Prefix(QByteArrayView name)
    {
        const qsizetype colon = name.indexOf(':');
        return colon < 0 ? QByteArrayView() : name.first(colon);
    }
    static QByteArrayView Local(QByteArrayView name)
    {
        const qsizetype colon = name.indexOf(':');
        return colon < 0 ? name : name.sliced(colon + 1);
    }

    // version="1.0", then optionally encoding UTF-8 and standalone, in that order.
    bool Declaration()
    {
        FAt += 5;
        SkipSpace();
        if (!Starts("version=\"1.0\""))
            return false;
        FAt += 13;
        bool encoding = false;
        bool standalone = false;
        for (;;) {
            const bool space = SkipSpace();
            if (Starts("?>")) {
                FAt += 2;
                return true;
            }
            if (!space)
                return false;
            if (!encoding && !standalone && (Starts("encoding=\"UTF-8\"") || Starts("encoding=\"utf-8\""))) {
                encoding = true;
                FAt += 16;
            } else if (!standalone && (Starts("standalone=\"yes\"") || Starts("standalone=\"no\""))) {
                standalone = true;
                FAt += Starts("standalone=\"no\"") ? 15 : 16;
            } else {
                return false;
            }
        }
    }

    // Character data up to the next markup; outside the document element only blanks.
    bool Text(bool outside)
    {
        for (; FAt != FEnd && *FAt != '<'; ++FAt) {
            if (outside && !IsSpace(*FAt))
                return false;
            if (*FAt == '>' && FAt - FBegin >= 2 && FAt[-1] == ']' && FAt[-2] == ']')
                return false;
        }
        return true;
    }

    bool Comment()
    {
        const QByteArrayView rest(FAt + 4, FEnd - FAt - 4);
        const qsizetype close = rest.indexOf("-->");
        if (close < 0)
            return false;
        const QByteArrayView body = rest.first(close);
        if (body.contains("--") || body.endsWith('-'))
            return false;
        FAt += 4 + close + 3;
        return true;
    }

    bool StartTag()
    {
        ++FAt;
        QByteArrayView name;
        if (!Name(name))
            return false;
        FAttributes.clear();
        bool empty = false;
        for (;;) {
            const bool space = SkipSpace();
            if (FAt == FEnd)
                return false;
            if (*FAt == '>') {
                ++FAt;
                break;
            }
            if (*FAt == '/') {
                if (FAt + 1 == FEnd || FAt[1] != '>')
                    return false;
                FAt += 2;
                empty = true;
                break;
            }
            TAttribute attribute;
            if (!space || !Name(attribute.Name))
                return false;
            SkipSpace();
            if (FAt == FEnd || *FAt != '=')
                return false;
            ++FAt;
            SkipSpace();
            if (FAt == FEnd || (*FAt != '"' && *FAt != '\''))
                return false;
            const char quote = *FAt++;
            const char *from = FAt;
            while (FAt != FEnd && *FAt != quote) {
                if (*FAt == '<' || *FAt == '\t' || *FAt == '\n' || *FAt == '\r')
                    return false;
                ++FAt;
            }
            if (FAt == FEnd)
                return false;
            attribute.Value = QByteArrayView(from, FAt - from);
            ++FAt;
            // Same local name twice is refused even where XML would allow it.
            for (const TAttribute &other : FAttributes) {
                if (Local(other.Name) == Local(attribute.Name))
                    return false;
            }
            FAttributes.push_back(attribute);
        }

        const qsizetype bindings = FBindings.size();
        const bool wantsNamespaces = FCollector.WantsNamespaces();
        QStringList declared;
        for (const TAttribute &attribute : FAttributes) {
            QByteArrayView prefix;
            if (attribute.Name == "xmlns") {
                prefix = QByteArrayView("");
            } else if (Prefix(attribute.Name) == "xmlns") {
                prefix = Local(attribute.Name);
                if (prefix == "xml" || prefix == "xmlns" || attribute.Value.isEmpty())
                    return false;
            } else {
                continue;
            }
            const QString uri = QString::fromLatin1(attribute.Value);
            if (uri == u"http://www.w3.org/XML/1998/namespace"_s || uri == u"http://www.w3.org/2000/xmlns/"_s)
                return false;
            FBindings.push_back({prefix, uri});
            if (wantsNamespaces)
                declared << uri;
        }
        QString namespaceUri;
        if (!Resolve(Prefix(name), true, namespaceUri))
            return false;
        for (const TAttribute &attribute : FAttributes) {
            const QByteArrayView prefix = Prefix(attribute.Name);
            QString unused;
            if (attribute.Name != "xmlns" && prefix != "xmlns" && !prefix.isEmpty() &&
                !Resolve(prefix, false, unused))
                return false;
        }

        const auto value = [this](QLatin1StringView qualifiedName) {
            for (const TAttribute &attribute : FAttributes) {
                if (attribute.Name == QByteArrayView(qualifiedName.data(), qualifiedName.size()) &&
                    attribute.Name != "xmlns" && Prefix(attribute.Name) != "xmlns")
                    return QString::fromLatin1(attribute.Value);
            }
            return QString();
        };
        const int depth = int(FFrames.size()) + 1;
        if (wantsNamespaces) {
            for (const QString &uri : std::as_const(declared))
                FCollector.Note(uri);
            FCollector.Note(value("targetNamespace"_L1));
            FCollector.Note(value("namespace"_L1));
        }
        const QString localName = QString::fromLatin1(Local(name));
        FCollector.Start(depth, namespaceUri, localName, value);
        if (empty)
            FBindings.resize(bindings);
        else
            FFrames.push_back({name, bindings});
        return true;
    }

    // The namespace of a prefix; an element without prefix takes the default namespace.
    bool Resolve(QByteArrayView prefix, bool element, QString &uri) const
    {
        if (prefix == "xml" || prefix == "xmlns")
            return false;
        if (prefix.isEmpty() && !element)
            return true;
        for (auto binding = FBindings.rbegin(); binding != FBindings.rend(); ++binding) {
            if (binding->first == prefix) {
                uri = binding->second;
                return true;
            }
        }
        return prefix.isEmpty();
    }

    bool EndTag()
    {
        FAt += 2;
        QByteArrayView name;
        if (!Name(name))
            return false;
        SkipSpace();
        if (FAt == FEnd || *FAt != '>' || name != FFrames.back().Name)
            return false;
        ++FAt;
        FBindings.resize(FFrames.back().Bindings);
        FFrames.pop_back();
        return true;
    }

    const char *FBegin;
    const char *FEnd;
    const char *FAt;
    TWsdlCollector &FCollector;
    std::vector<TFrame> FFrames;
    std::vector<TAttribute> FAttributes;                       // of the start tag being read
    std::vector<std::pair<QByteArrayView, QString>> FBindings; // prefix ("" for the default) and URI
};

} // namespace

void ParseWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
               QString &interfaceNamespace)
{
    if (!ScanPlainWsdl(content, document, typeNamespace, interfaceNamespace))
        ReadWsdl(content, document, typeNamespace, interfaceNamespace);
}

bool ScanPlainWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
                   QString &interfaceNamespace)
{
    TWsdlDocument scanned = document;
    QString typeFound = typeNamespace;
    QString interfaceFound = interfaceNamespace;
    TWsdlCollector collector(scanned, typeFound, interfaceFound);
    if (!TPlainScanner(content, collector).Scan())
        return false;
    document = std::move(scanned);
    typeNamespace = typeFound;
    interfaceNamespace = interfaceFound;
    return true;
}

void ReadWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
              QString &interfaceNamespace)
{
    TWsdlCollector collector(document, typeNamespace, interfaceNamespace);
    QXmlStreamReader reader(content);
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        const QXmlStreamAttributes attributes = reader.attributes();
        if (collector.WantsNamespaces()) {
            for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
                collector.Note(declaration.namespaceUri());
            collector.Note(attributes.value("targetNamespace"_L1));
            collector.Note(attributes.value("namespace"_L1));
        }
        collector.Start(depth, reader.namespaceUri(), reader.name(),
                        [&](QLatin1StringView name) { return attributes.value(name).toString(); });
    }
    if (reader.hasError())
        throw EFailure(
            SParseFailure.arg(reader.errorString(), QString::number(reader.lineNumber()),
                          QString::number(reader.columnNumber())));
}

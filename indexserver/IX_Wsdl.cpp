#include "indexserver/IX_Wsdl.h"

#include "common/EFailure.h"
#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_PlainXml.h"

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

// A reader for the plain documents that servers write (see
// TPlainXmlCursor), in ASCII without references. Within that subset it
// checks well-formedness and namespaces as strictly as the full reader;
// anything outside it, and any fault, makes it give up so that the full
// reader decides and words the message. It exists because the full reader
// costs about 150 instructions a byte, which a cold check pays for the
// whole WSDL.
class TPlainScanner {
public:
    TPlainScanner(const QByteArray &content, TWsdlCollector &collector, const TReadGuard *guard)
        : FContent(content), FCollector(collector), FGuard(guard)
    {
    }

    bool Scan()
    {
        for (const char c : FContent) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && u != '\t' && u != '\n' && u != '\r') || u > 0x7e || u == '&')
                return false;
        }
        TPlainXmlCursor xml(FContent, FGuard);
        FScanner = &xml;
        const bool read = xml.Read(*this);
        FScanner = nullptr;
        return read;
    }

    // The scanner's pieces; text and comments say nothing the binding uses.
    bool Text(QByteArrayView, bool, bool) { return true; }
    void Comment() {}
    void End()
    {
        FBindings.resize(FBindingMarks.back());
        FBindingMarks.pop_back();
    }

    bool Start(QByteArrayView name, qsizetype nameColon)
    {
        const std::vector<TAttribute> &attributes = FScanner->Attributes();
        // Same local name twice is refused even where XML would allow it.
        if (FDuplicates.Any(
                qsizetype(attributes.size()), [](qsizetype) { return true; },
                [&](qsizetype i) { return qHash(attributes[size_t(i)].Local(), TDuplicateCheck::Seed()); },
                [&](qsizetype i, qsizetype j) {
                    return TPlainXmlCursor::Same(attributes[size_t(i)].Local(),
                                                 attributes[size_t(j)].Local());
                }))
            return false;
        const int depth = int(FBindingMarks.size()) + 1;
        FBindingMarks.push_back(FBindings.size());
        const bool wantsNamespaces = FCollector.WantsNamespaces();
        QStringList declared;
        for (const TAttribute &attribute : attributes) {
            bool declares = false;
            QByteArrayView prefix;
            if (!TPlainXmlCursor::NamespaceDeclaration(attribute, declares, prefix))
                return false;
            if (!declares)
                continue;
            const QString uri = QString::fromLatin1(attribute.Value);
            if (TPlainXmlCursor::IsReservedNamespace(uri))
                return false;
            FBindings.push_back({prefix, uri});
            if (wantsNamespaces)
                declared << uri;
        }
        QString namespaceUri;
        if (!Resolve(nameColon < 0 ? QByteArrayView() : name.first(nameColon), true, namespaceUri))
            return false;
        for (const TAttribute &attribute : attributes) {
            const QByteArrayView prefix = attribute.Prefix();
            QString unused;
            if (!Is(attribute.Name, "xmlns") && !Is(prefix, "xmlns") && !prefix.isEmpty() &&
                !Resolve(prefix, false, unused))
                return false;
        }

        const auto value = [&attributes](QLatin1StringView qualifiedName) {
            for (const TAttribute &attribute : attributes) {
                if (TPlainXmlCursor::Same(attribute.Name,
                                          QByteArrayView(qualifiedName.data(), qualifiedName.size())) &&
                    !Is(attribute.Name, "xmlns") && !Is(attribute.Prefix(), "xmlns"))
                    return QString::fromLatin1(attribute.Value);
            }
            return QString();
        };
        if (wantsNamespaces) {
            for (const QString &uri : std::as_const(declared))
                FCollector.Note(uri);
            FCollector.Note(value("targetNamespace"_L1));
            FCollector.Note(value("namespace"_L1));
        }
        const QString localName = QString::fromLatin1(nameColon < 0 ? name : name.sliced(nameColon + 1));
        FCollector.Start(depth, namespaceUri, localName, value);
        return true;
    }

private:
    using TAttribute = TPlainXmlCursor::TAttribute;

    template <size_t N> static bool Is(QByteArrayView bytes, const char (&text)[N])
    {
        return TPlainXmlCursor::Is(bytes, text);
    }

    // The namespace of a prefix; an element without prefix takes the default namespace.
    bool Resolve(QByteArrayView prefix, bool element, QString &uri) const
    {
        if (Is(prefix, "xml") || Is(prefix, "xmlns"))
            return false;
        if (prefix.isEmpty() && !element)
            return true;
        for (auto binding = FBindings.rbegin(); binding != FBindings.rend(); ++binding) {
            if (TPlainXmlCursor::Same(binding->first, prefix)) {
                uri = binding->second;
                return true;
            }
        }
        return prefix.isEmpty();
    }

    const QByteArray &FContent;
    TWsdlCollector &FCollector;
    const TReadGuard *FGuard;
    TDuplicateCheck FDuplicates;
    const TPlainXmlCursor *FScanner = nullptr; // while it reads
    std::vector<qsizetype> FBindingMarks;      // per open element: the bindings in force before it
    std::vector<std::pair<QByteArrayView, QString>> FBindings; // prefix ("" for the default) and URI
};

} // namespace

void ParseWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
               QString &interfaceNamespace, const TReadGuard *guard)
{
    TReadTicker ticker(guard);
    const QByteArray utf8 = AsUtf8Document(content);
    CheckXmlShape(utf8, ticker, TDoctypeRule::RefuseInternalSubset);
    if (!ScanPlainWsdl(utf8, document, typeNamespace, interfaceNamespace, guard))
        ReadWsdl(utf8, document, typeNamespace, interfaceNamespace, guard);
}

bool ScanPlainWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
                   QString &interfaceNamespace, const TReadGuard *guard)
{
    TWsdlDocument scanned = document;
    QString typeFound = typeNamespace;
    QString interfaceFound = interfaceNamespace;
    TWsdlCollector collector(scanned, typeFound, interfaceFound);
    if (!TPlainScanner(content, collector, guard).Scan())
        return false;
    document = std::move(scanned);
    typeNamespace = typeFound;
    interfaceNamespace = interfaceFound;
    return true;
}

void ReadWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
              QString &interfaceNamespace, const TReadGuard *guard)
{
    TWsdlCollector collector(document, typeNamespace, interfaceNamespace);
    QXmlStreamReader reader(content);
    TReadTicker ticker(guard);
    int depth = 0;
    while (!reader.atEnd()) {
        ticker.Tick();
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::EndElement) {
            --depth;
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;
        ++depth;
        const QXmlStreamAttributes attributes = reader.attributes();
        // The reader compares each attribute with the earlier ones: a tag with many weighs more.
        ticker.Tick(unsigned(attributes.size()));
        if (collector.WantsNamespaces()) {
            for (const QXmlStreamNamespaceDeclaration &declaration : reader.namespaceDeclarations())
                collector.Note(declaration.namespaceUri());
            collector.Note(attributes.value("targetNamespace"_L1));
            collector.Note(attributes.value("namespace"_L1));
        }
        collector.Start(depth, reader.namespaceUri(), reader.name(),
                        [&](QLatin1StringView name) { return attributes.value(name).toString(); });
    }
    // One token may have taken long.
    ticker.Check();
    if (reader.hasError())
        throw EFailure(SParseFailure.arg(reader.errorString(), QString::number(reader.lineNumber()),
                                         QString::number(reader.columnNumber())));
}

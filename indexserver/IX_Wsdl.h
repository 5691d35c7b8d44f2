#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

struct TReadGuard;

// What the binding needs of one WSDL document.
struct TWsdlDocument {
    struct TPort {
        QString Name;
        QString Binding;
        bool HasAddress = false;
        QString Address; // location of the first SOAP address
    };
    struct TService {
        QString Name;
        QList<TPort> Ports;
    };
    struct TOperation {
        QString Name;
        bool HasSoapOperation = false;
        QString SoapAction;
        bool HasInput = false;
        bool HasBody = false;
        QString BodyNamespace;
    };
    struct TBinding {
        QString Name;
        QList<TOperation> Operations;
    };
    QString Location; // as named, after trimming
    QList<TService> Services;
    QList<TBinding> Bindings;
    QStringList Imports; // locations as named
};

// Reads the parts of a WSDL document that the binding uses into document,
// and notes in typeNamespace and interfaceNamespace (when still empty) the
// first namespaces with the type and interface paths. Throws EFailure with
// the XML parser's message for a document that is not well-formed, with a
// German message for one beyond the bounds of CheckXmlShape (a document
// type declaration with an internal subset among them) or in an encoding
// AsUtf8Document refuses, and the guard's failure when it ends the reading.
void ParseWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
               QString &interfaceNamespace, const TReadGuard *guard = nullptr);

// The two readers behind ParseWsdl. The quick one reads plain documents
// only (ASCII, no references, DTD, CDATA or processing instructions) and
// returns false, leaving everything as it was, for anything else and for
// anything not well-formed; the full one reads every document. Neither
// bounds the document's shape: ParseWsdl does that first.
[[nodiscard]] bool ScanPlainWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
                                 QString &interfaceNamespace, const TReadGuard *guard = nullptr);
void ReadWsdl(const QByteArray &content, TWsdlDocument &document, QString &typeNamespace,
              QString &interfaceNamespace, const TReadGuard *guard = nullptr);

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "common/EFailure.h"

#include <memory>
#include <optional>
#include <variant>

struct TRemotable;
struct TReadGuard;

// One argument of a call: its parameter name and its value. A null object
// pointer is sent as an absent object.
using TSoapValue = std::variant<QString, qint32, qint64, bool, QByteArray, std::shared_ptr<TRemotable>>;
struct TSoapArgument {
    QString Name;
    TSoapValue Value;
};

// The failure for a SOAP fault in an answer: its message is the fault's
// faultstring; the other parts are kept for whoever wants them.
class ESOAPFault : public EFailure {
public:
    // answer: the whole answer, from which the detail is taken; null when
    // the fault has no detail.
    ESOAPFault(const QString &faultString, const QString &faultCode, const QString &faultActor,
               const QByteArray &answer);

    const QString &FaultCode() const noexcept { return FFaultCode; }
    const QString &FaultActor() const noexcept { return FFaultActor; }
    // The detail element as XML text. Taken from the answer on first use:
    // it costs a parse of the whole answer into a document tree, many times
    // the first reading, and only a caller that asks for it needs it.
    const QString &Detail() const;

private:
    QString FFaultCode;
    QString FFaultActor;
    QByteArray FAnswer;
    mutable std::optional<QString> FDetail;
};

// Namespaces used when the server's WSDL does not name its own.
QString DefaultOperationNamespace(); // path /wsdl/IndexServer
QString DefaultTypeNamespace();      // path /types/IndexServer

// The request body (UTF-8, no BOM) of one RPC call. Throws EFailure for an
// argument whose type is not registered.
QByteArray WriteRequest(const QString &operation, const QList<TSoapArgument> &arguments,
                        const QString &operationNamespace, const QString &typeNamespace);

// Reads an answer body. resultType is the XML type name of the expected
// result object, or empty when nothing is read (a fault still throws).
// Returns the result (owned by the caller; nullptr when absent) or throws
// EFailure with the message text (ESOAPFault for a SOAP fault). Only the
// members the catalogue lists as used can fail the call: any other member
// that does not read keeps its initial value, and the constants nobody
// reads are skipped without building them. The object graph it returns
// never contains a cycle: a reference back into an object still being read
// fails the call, or in an unused member leaves that member empty.
// An answer with a document type declaration, beyond the shape bounds or
// in an encoding no pass over the bytes can follow is refused with a
// German message before it is read; one in UTF-16 or UTF-32 is read as
// UTF-8. guard, when given, may end the reading with its failure.
std::shared_ptr<TRemotable> ReadAnswer(const QByteArray &body, const QString &resultType,
                                       const TReadGuard *guard = nullptr);

// The two parsers behind ReadAnswer: a quick one for the plain answers that
// servers write (UTF-8, no DTD, CDATA section or processing instruction,
// ASCII names) and the full XML reader for everything else and for the
// wording of every failure. Automatic is what ReadAnswer uses.
enum class TAnswerParser { Automatic, Quick, Full };

// For tests: the element table that a parser builds from body, as text
// (names, namespaces, types, references, flags, texts and ids); a null
// string when the quick parser leaves body to the full one. skipUnread as
// in ReadAnswer's first pass. Throws EFailure as ReadAnswer does for a body
// that is not well-formed.
QString AnswerOutline(const QByteArray &body, TAnswerParser parser, bool skipUnread);

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <variant>

struct TRemotable;

// One argument of a call: its parameter name and its value. A null object
// pointer is sent as an absent object.
using TSoapValue = std::variant<QString, qint32, qint64, bool, QByteArray, std::shared_ptr<TRemotable>>;
struct TSoapArgument {
    QString Name;
    TSoapValue Value;
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
// EFailure with the message text.
std::shared_ptr<TRemotable> ReadAnswer(const QByteArray &body, const QString &resultType);

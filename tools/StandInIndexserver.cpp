#include "tools/StandInIndexserver.h"

#include <QDomDocument>
#include <QHostAddress>
#include <QMutexLocker>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

extern const char StandInCertificatePem[];
extern const char StandInPrivateKeyPem[];

using namespace Qt::StringLiterals;

namespace {

const QString SEnvelopeNamespace = u"http://schemas.xmlsoap.org/soap/envelope/"_s;
const QString SEncodingNamespace = u"http://schemas.xmlsoap.org/soap/encoding/"_s;
const QString SSchemaInstance = u"http://www.w3.org/2001/XMLSchema-instance"_s;
// Older SOAP stacks still write the instance namespaces of the schema drafts.
const QStringList SSchemaInstances = {SSchemaInstance, u"http://www.w3.org/1999/XMLSchema-instance"_s,
                                      u"http://www.w3.org/2000/10/XMLSchema-instance"_s};

const QString SLoginRefused = u"Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s;
const QString SBadTicket = u"Ungültiges Ticket"_s;
const QString SEntryNotFound = u"Eintrag nicht gefunden: '%1'"_s;
const QString SBadEditInfoZ = u"Ungültige Auswahl in EditInfoZ_3"_s;
const QString SBadLockZ = u"Ungültige Sperrauswahl in LockZ_4"_s;
const QString SForeignNamespace = u"Unbekannter Namensraum '%1'"_s;
const QString SUnknownOperation = u"Unbekannte Operation '%1'"_s;
const QString SBadRequest = u"Ungültige SOAP-Anforderung: %1"_s;

QByteArray ReasonFor(int status)
{
    switch (status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

QString Escaped(const QString &text)
{
    return text.toHtmlEscaped();
}

// A parsed SOAP request: the operation element and every element with an id.
// Namespaces are resolved here, not by the DOM, because SOAP names types in
// attribute values ("xsi:type") whose prefixes the DOM leaves alone.
// Everything is found by local name, so any prefix works; objects may be
// multi-reference elements of any name or embedded in their accessors.
struct TRequestView {
    QByteArray Raw; // the request's body as it arrived
    QDomDocument Document;
    QDomElement Operation;
    QHash<QString, QDomElement> Ids;

    static QString PrefixOf(const QString &qualifiedName)
    {
        const qsizetype colon = qualifiedName.indexOf(u':');
        return colon < 0 ? QString() : qualifiedName.left(colon);
    }
    static QString LocalOf(const QString &qualifiedName)
    {
        return qualifiedName.mid(qualifiedName.indexOf(u':') + 1);
    }
    // The namespace a prefix stands for where the element stands; empty when undeclared.
    static QString NamespaceFor(const QDomElement &element, const QString &prefix)
    {
        if (prefix == u"xml"_s)
            return u"http://www.w3.org/XML/1998/namespace"_s;
        const QString declaration = prefix.isEmpty() ? u"xmlns"_s : u"xmlns:"_s + prefix;
        for (QDomNode node = element; node.isElement(); node = node.parentNode()) {
            const QDomElement scope = node.toElement();
            if (scope.hasAttribute(declaration))
                return scope.attribute(declaration);
        }
        return {};
    }
    static QString NamespaceOf(const QDomElement &element)
    {
        return NamespaceFor(element, PrefixOf(element.tagName()));
    }
    static QString LocalName(const QDomElement &element) { return LocalOf(element.tagName()); }
    // The namespace of the element's xsi:type; false when it has none.
    static bool TypeNamespaceOf(const QDomElement &element, QString &typeNamespace)
    {
        const QDomNamedNodeMap attributes = element.attributes();
        for (int i = 0; i < attributes.count(); ++i) {
            const QDomAttr attribute = attributes.item(i).toAttr();
            const QString name = attribute.name();
            if (LocalOf(name) != u"type"_s || PrefixOf(name).isEmpty() ||
                !SSchemaInstances.contains(NamespaceFor(element, PrefixOf(name))))
                continue;
            typeNamespace = NamespaceFor(element, PrefixOf(attribute.value().trimmed()));
            return true;
        }
        return false;
    }

    QDomElement Resolve(const QDomElement &element) const
    {
        const QString href = element.attribute(u"href"_s);
        if (href.startsWith(u'#'))
            return Ids.value(href.mid(1));
        return element;
    }
    static QDomElement ChildOf(const QDomElement &parent, const QString &name)
    {
        for (QDomElement child = parent.firstChildElement(); !child.isNull();
             child = child.nextSiblingElement()) {
            if (LocalName(child) == name)
                return child;
        }
        return {};
    }
    // The call in a Body: its first element that is not an independent
    // element (one with an id, or marked as no root), wherever those stand.
    static QDomElement OperationIn(const QDomElement &body)
    {
        for (QDomElement child = body.firstChildElement(); !child.isNull();
             child = child.nextSiblingElement()) {
            bool root = true;
            const QDomNamedNodeMap attributes = child.attributes();
            for (int i = 0; i < attributes.count(); ++i) {
                const QDomAttr attribute = attributes.item(i).toAttr();
                if (LocalOf(attribute.name()) == u"root"_s && attribute.value().trimmed() == u"0"_s &&
                    NamespaceFor(child, PrefixOf(attribute.name())) == SEncodingNamespace)
                    root = false;
            }
            if (root && !child.hasAttribute(u"id"_s))
                return child;
        }
        return body.firstChildElement();
    }
    QDomElement Argument(const QString &name) const { return Resolve(ChildOf(Operation, name)); }
    QDomElement Member(const QDomElement &object, const QString &name) const
    {
        return Resolve(ChildOf(object, name));
    }
    QString Text(const QDomElement &object, const QString &name) const { return Member(object, name).text(); }
};

void CollectIds(const QDomElement &element, QHash<QString, QDomElement> &ids)
{
    for (QDomElement child = element.firstChildElement(); !child.isNull();
         child = child.nextSiblingElement()) {
        if (child.hasAttribute(u"id"_s) && !ids.contains(child.attribute(u"id"_s)))
            ids.insert(child.attribute(u"id"_s), child);
        CollectIds(child, ids);
    }
}

// Builds one multi-reference answer the way a Java SOAP stack writes it.
class TAnswerWriter {
public:
    TAnswerWriter(const QString &typeNamespace, const QString &operationNamespace)
        : FTypeNamespace(typeNamespace), FOperationNamespace(operationNamespace)
    {
    }

    // Adds an object element and gives its reference ("#ID<n>").
    QString Object(const QString &type, const QString &members)
    {
        const QString id = u"ID"_s + QString::number(++FNext);
        FObjects += u"<ns0:%1 id=\"%2\" xsi:type=\"ns0:%1\">%3</ns0:%1>"_s.arg(type, id, members);
        return u"#"_s + id;
    }
    // Adds an element of its own making; %1 in it is its id. Gives its reference.
    QString Raw(const QString &element)
    {
        const QString id = u"ID"_s + QString::number(++FNext);
        FObjects += QString(element).replace(u"%1"_s, id);
        return u"#"_s + id;
    }

    QByteArray Finish(const QString &operation, const QString &resultReference) const
    {
        QString answer;
        if (resultReference.isEmpty())
            answer = u"<ns1:%1Response xmlns:ns1=\"%2\"/>"_s.arg(operation, FOperationNamespace);
        else
            answer = u"<ns1:%1Response xmlns:ns1=\"%2\"><result href=\"%3\"/></ns1:%1Response>"_s.arg(
                operation, FOperationNamespace, resultReference);
        return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
                "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\""
                " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
                " xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\""
                " xmlns:enc=\"http://schemas.xmlsoap.org/soap/encoding/\""
                " xmlns:ns0=\""_s +
                FTypeNamespace +
                u"\" env:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><env:Body>"_s + answer +
                FObjects + u"</env:Body></env:Envelope>"_s)
            .toUtf8();
    }

    static QString Long(const QString &name, qint64 value)
    {
        return u"<%1 xsi:type=\"xsd:long\">%2</%1>"_s.arg(name, QString::number(value));
    }
    static QString Int(const QString &name, qint32 value)
    {
        return u"<%1 xsi:type=\"xsd:int\">%2</%1>"_s.arg(name, QString::number(value));
    }
    static QString Bool(const QString &name, bool value)
    {
        return u"<%1 xsi:type=\"xsd:boolean\">%2</%1>"_s.arg(name, value ? u"true"_s : u"false"_s);
    }
    static QString String(const QString &name, const QString &value)
    {
        return u"<%1 xsi:type=\"xsd:string\">%2</%1>"_s.arg(name, Escaped(value));
    }
    static QString Ref(const QString &name, const QString &reference)
    {
        return u"<%1 href=\"%2\"/>"_s.arg(name, reference);
    }
    static QString Nil(const QString &name) { return u"<%1 xsi:nil=\"1\"/>"_s.arg(name); }

private:
    QString FTypeNamespace;
    QString FOperationNamespace;
    QString FObjects;
    int FNext = 0;
};

struct TFault {
    QString Text;
};

} // namespace

QByteArray TRecordedRequest::Header(const QByteArray &name) const
{
    for (const auto &header : Headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

// The server itself; lives in the stand-in's thread.
class TStandInWorker : public QTcpServer {
public:
    explicit TStandInWorker(TStandInIndexserver &owner) : FOwner(owner) {}

protected:
    void incomingConnection(qintptr handle) override;

private:
    struct TConnection {
        int Number = 0;
        QByteArray Buffer;
        bool Silenced = false;
    };

    void Feed(QTcpSocket *socket, TConnection &connection);
    void Answer(QTcpSocket *socket, TConnection &connection, TRecordedRequest &&request);
    void Send(QTcpSocket *socket, int status, const QByteArray &reason, const QByteArray &contentType,
              const QByteArray &body, bool close);
    QByteArray Soap(const TRecordedRequest &request, QString &operation, int &status);
    QByteArray Login(const TRequestView &view, TAnswerWriter &writer);
    QByteArray ServerInfo(TAnswerWriter &writer);
    QByteArray Constants(TAnswerWriter &writer);
    QByteArray CheckoutSord(const TRequestView &view, TAnswerWriter &writer);
    void RequireTicket(const TRequestView &view);

    TStandInIndexserver &FOwner;
};

void TStandInWorker::incomingConnection(qintptr handle)
{
    QTcpSocket *socket = nullptr;
    if (FOwner.FScheme == TStandInIndexserver::TScheme::Https) {
        auto *ssl = new QSslSocket(this);
        QByteArray certificate(StandInCertificatePem);
        QByteArray key(StandInPrivateKeyPem);
        {
            QMutexLocker lock(&FOwner.FMutex);
            if (!FOwner.FCertificatePem.isEmpty()) {
                certificate = FOwner.FCertificatePem;
                key = FOwner.FPrivateKeyPem;
            }
        }
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(QSslCertificate(certificate, QSsl::Pem));
        configuration.setPrivateKey(QSslKey(key, QSsl::Rsa, QSsl::Pem));
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        ssl->setSslConfiguration(configuration);
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
    }
    if (!socket->setSocketDescriptor(handle)) {
        delete socket;
        return;
    }
    auto connection = std::make_shared<TConnection>();
    {
        QMutexLocker lock(&FOwner.FMutex);
        connection->Number = ++FOwner.FAccepted;
    }
    connect(socket, &QTcpSocket::readyRead, socket,
            [this, socket, connection] { Feed(socket, *connection); });
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    if (auto *ssl = qobject_cast<QSslSocket *>(socket))
        ssl->startServerEncryption();
}

void TStandInWorker::Feed(QTcpSocket *socket, TConnection &connection)
{
    connection.Buffer += socket->readAll();
    while (!connection.Silenced) {
        const qsizetype headEnd = connection.Buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = connection.Buffer.left(headEnd).split('\n');
        TRecordedRequest request;
        request.Connection = connection.Number;
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.Method = requestLine.value(0);
        request.Target = requestLine.value(1);
        qsizetype length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines[i].trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0)
                continue;
            request.Headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
        }
        length = request.Header("Content-Length").toLongLong();
        if (connection.Buffer.size() < headEnd + 4 + length)
            return;
        request.Body = connection.Buffer.mid(headEnd + 4, length);
        connection.Buffer.remove(0, headEnd + 4 + length);
        Answer(socket, connection, std::move(request));
    }
    connection.Buffer.clear();
}

void TStandInWorker::Send(QTcpSocket *socket, int status, const QByteArray &reason,
                          const QByteArray &contentType, const QByteArray &body, bool close)
{
    QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' +
                      (reason.isEmpty() ? ReasonFor(status) : reason) + "\r\nServer: vellumix-standin\r\n";
    if (!contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    if (close)
        head += "Connection: close\r\n";
    socket->write(head + "\r\n" + body);
    if (close)
        socket->disconnectFromHost();
}

void TStandInWorker::Answer(QTcpSocket *socket, TConnection &connection, TRecordedRequest &&request)
{
    const bool close = request.Header("Connection").compare("close", Qt::CaseInsensitive) == 0;
    QString key;
    QString operation;
    int status = 200;
    QByteArray body;
    QByteArray contentType = "text/xml; charset=utf-8";
    bool known = true;

    if (request.Method == "GET") {
        QMutexLocker lock(&FOwner.FMutex);
        if (request.Target.compare("/ix?WSDL", Qt::CaseInsensitive) == 0) {
            key = u"wsdl"_s;
        } else if (FOwner.FDocuments.contains(request.Target)) {
            const auto &document = FOwner.FDocuments[request.Target];
            body = document.Body;
            contentType = document.ContentType;
        } else {
            known = false;
        }
    } else if (request.Method == "POST" && request.Target == "/ix") {
        // Parse first so that the operation is known for the script and the record.
        QDomDocument document;
        if (document.setContent(request.Body, false)) {
            const QDomElement bodyElement = TRequestView::ChildOf(document.documentElement(), u"Body"_s);
            operation = TRequestView::LocalName(TRequestView::OperationIn(bodyElement));
        }
        request.Operation = operation;
        key = operation;
    } else {
        known = false;
    }

    TScriptedAnswer scripted;
    bool useScript = false;
    int delay = 0;
    {
        QMutexLocker lock(&FOwner.FMutex);
        FOwner.FRequests.append(request);
        delay = FOwner.FDelays.value(key) + FOwner.FLatency;
        auto it = FOwner.FScripts.find(key);
        if (!key.isEmpty() && it != FOwner.FScripts.end()) {
            scripted = it->Answer;
            useScript = true;
            if (it->Remaining > 0 && --it->Remaining == 0)
                FOwner.FScripts.erase(it);
        }
    }

    // A held-back answer goes out later on the same connection, unless it closes meanwhile.
    auto reply = [this, socket, close, delay](int status, const QByteArray &reason,
                                              const QByteArray &contentType, const QByteArray &body) {
        if (delay <= 0)
            Send(socket, status, reason, contentType, body, close);
        else
            QTimer::singleShot(delay, socket,
                               [=, this] { Send(socket, status, reason, contentType, body, close); });
    };

    if (useScript) {
        switch (scripted.Kind) {
        case TScriptedAnswer::TKind::NeverAnswer:
            connection.Silenced = true;
            return;
        case TScriptedAnswer::TKind::CloseMidAnswer: {
            QByteArray head = "HTTP/1.1 " + QByteArray::number(scripted.Status) + ' ' +
                              (scripted.Reason.isEmpty() ? ReasonFor(scripted.Status) : scripted.Reason) +
                              "\r\nContent-Type: " + scripted.ContentType +
                              "\r\nContent-Length: " + QByteArray::number(scripted.Body.size() + 64) +
                              "\r\n\r\n";
            socket->write(head + scripted.Body.left(scripted.Body.size() / 2));
            socket->flush();
            connection.Silenced = true;
            socket->disconnectFromHost();
            return;
        }
        case TScriptedAnswer::TKind::Reply:
            reply(scripted.Status, scripted.Reason, scripted.ContentType, scripted.Body);
            return;
        case TScriptedAnswer::TKind::Endless: {
            // No length: the body ends only with the connection, which the client has to close.
            connection.Silenced = true;
            socket->write("HTTP/1.1 " + QByteArray::number(scripted.Status) + ' ' +
                          (scripted.Reason.isEmpty() ? ReasonFor(scripted.Status) : scripted.Reason) +
                          "\r\nContent-Type: " + scripted.ContentType + "\r\nConnection: close\r\n\r\n");
            const QByteArray piece = scripted.Body.isEmpty() ? QByteArray(64 * 1024, ' ') : scripted.Body;
            const auto more = [socket, piece] {
                while (socket->state() == QAbstractSocket::ConnectedState &&
                       socket->bytesToWrite() < 1024 * 1024)
                    socket->write(piece);
            };
            connect(socket, &QTcpSocket::bytesWritten, socket, more);
            more();
            return;
        }
        case TScriptedAnswer::TKind::Trickle: {
            connection.Silenced = true;
            socket->write("HTTP/1.1 " + QByteArray::number(scripted.Status) + ' ' +
                          (scripted.Reason.isEmpty() ? ReasonFor(scripted.Status) : scripted.Reason) +
                          "\r\nContent-Type: " + scripted.ContentType +
                          "\r\nContent-Length: " + QByteArray::number(scripted.Body.size()) + "\r\n\r\n");
            auto *timer = new QTimer(socket);
            auto sent = std::make_shared<qsizetype>(0);
            connect(timer, &QTimer::timeout, socket, [socket, timer, sent, body = scripted.Body] {
                if (*sent >= body.size()) {
                    timer->stop();
                    return;
                }
                socket->write(body.mid((*sent)++, 1));
            });
            timer->start(scripted.TrickleInterval);
            return;
        }
        }
    }

    if (!known) {
        reply(404, {}, "text/html", "<html><body>Not Found</body></html>");
        return;
    }
    if (key == u"wsdl"_s)
        body = FOwner.WsdlDocument();
    else if (!operation.isNull() || request.Method == "POST")
        body = Soap(request, operation, status);
    reply(status, {}, contentType, body);
}

QByteArray TStandInWorker::Soap(const TRecordedRequest &request, QString &operation, int &status)
{
    QString typeNamespace;
    QString operationNamespace;
    bool strict = true;
    {
        QMutexLocker lock(&FOwner.FMutex);
        typeNamespace = FOwner.FAuthority + u"/types/IndexServer"_s;
        operationNamespace = FOwner.FAuthority + u"/wsdl/IndexServer"_s;
        strict = FOwner.FStrict;
    }
    TAnswerWriter writer(typeNamespace, operationNamespace);
    try {
        TRequestView view;
        view.Raw = request.Body;
        QString parseError;
        if (!view.Document.setContent(request.Body, false, &parseError))
            throw TFault{SBadRequest.arg(parseError)};
        const QDomElement envelope = view.Document.documentElement();
        if (TRequestView::LocalName(envelope) != u"Envelope"_s ||
            TRequestView::NamespaceOf(envelope) != SEnvelopeNamespace)
            throw TFault{SBadRequest.arg(u"kein SOAP-1.1-Umschlag"_s)};
        CollectIds(envelope, view.Ids);
        view.Operation = TRequestView::OperationIn(TRequestView::ChildOf(envelope, u"Body"_s));
        if (view.Operation.isNull())
            throw TFault{SBadRequest.arg(u"keine Operation"_s)};
        if (strict && TRequestView::NamespaceOf(view.Operation) != operationNamespace)
            throw TFault{SForeignNamespace.arg(TRequestView::NamespaceOf(view.Operation))};
        const QDomElement clientInfo = view.Argument(u"ClientInfo_1"_s);
        if (strict) {
            // An object may carry its type in its name, in xsi:type, or
            // leave it to the WSDL part; whichever names a type namespace
            // must name the server's own.
            const QDomElement editInfoZ = view.Argument(u"EditInfoZ_3"_s);
            const QList<QDomElement> objects = {clientInfo, editInfoZ, view.Member(editInfoZ, u"sordZ"_s),
                                                view.Argument(u"LockZ_4"_s)};
            for (const QDomElement &object : objects) {
                if (object.isNull())
                    continue;
                const QString elementNamespace = TRequestView::NamespaceOf(object);
                if (!elementNamespace.isEmpty() && elementNamespace != typeNamespace &&
                    elementNamespace != operationNamespace && elementNamespace != SEncodingNamespace)
                    throw TFault{SForeignNamespace.arg(elementNamespace)};
                QString declaredNamespace;
                if (TRequestView::TypeNamespaceOf(object, declaredNamespace) &&
                    declaredNamespace != typeNamespace)
                    throw TFault{SForeignNamespace.arg(declaredNamespace)};
            }
        }

        if (operation == u"login"_s)
            return Login(view, writer);
        if (operation == u"getServerInfo"_s) {
            RequireTicket(view);
            return ServerInfo(writer);
        }
        if (operation == u"getConstants"_s) {
            RequireTicket(view);
            return Constants(writer);
        }
        if (operation == u"checkoutSord"_s) {
            RequireTicket(view);
            return CheckoutSord(view, writer);
        }
        if (operation == u"logout"_s) {
            RequireTicket(view);
            QMutexLocker lock(&FOwner.FMutex);
            FOwner.FTickets.removeAll(view.Text(clientInfo, u"ticket"_s));
            ++FOwner.FLogouts;
            return writer.Finish(operation, {});
        }
        throw TFault{SUnknownOperation.arg(operation)};
    } catch (const TFault &fault) {
        status = 500;
        return TStandInIndexserver::FaultEnvelope(fault.Text);
    }
}

void TStandInWorker::RequireTicket(const TRequestView &view)
{
    const QString ticket = view.Text(view.Argument(u"ClientInfo_1"_s), u"ticket"_s);
    QMutexLocker lock(&FOwner.FMutex);
    if (ticket.isEmpty() || !FOwner.FTickets.contains(ticket))
        throw TFault{SBadTicket};
}

QByteArray TStandInWorker::Login(const TRequestView &view, TAnswerWriter &writer)
{
    const QString user = view.Argument(u"String_2"_s).text();
    const QString password = view.Argument(u"String_3"_s).text();
    const QDomElement clientInfo = view.Argument(u"ClientInfo_1"_s);
    QString ticket;
    int lifetime = 0;
    {
        QMutexLocker lock(&FOwner.FMutex);
        ++FOwner.FLogins;
        if (FOwner.FFailLogin)
            throw TFault{FOwner.FLoginFault + (FOwner.FEchoRequest ? QString::fromUtf8(view.Raw) : QString())};
        if (user != FOwner.FUser || password != FOwner.FPassword)
            throw TFault{SLoginRefused};
        ticket = u"T%1-%2"_s.arg(++FOwner.FTicketCounter).arg(FOwner.FPort);
        FOwner.FTickets.append(ticket);
        lifetime = FOwner.FTicketLifetime;
    }
    using W = TAnswerWriter;
    const QString info = writer.Object(
        u"ClientInfo"_s, W::Long(u"changedMembers"_s, 0) + W::String(u"callId"_s, {}) +
                             W::String(u"country"_s, view.Text(clientInfo, u"country"_s)) +
                             W::String(u"language"_s, view.Text(clientInfo, u"language"_s)) +
                             W::String(u"ticket"_s, ticket) + W::String(u"timeZone"_s, u"Europe/Berlin"_s));
    const QString session = writer.Object(
        u"SessionInfo"_s, W::Long(u"changedMembers"_s, 0) + W::String(u"clientComputer"_s, u"127.0.0.1"_s) +
                              W::Int(u"userId"_s, 7) + W::Int(u"validSeconds"_s, lifetime));
    const QString userInfo = writer.Object(
        u"UserInfo"_s,
        W::Long(u"changedMembers"_s, 0) + W::String(u"desc"_s, {}) + W::Int(u"flags"_s, 0) +
            u"<groupList xsi:type=\"ns0:ArrayOfint\" enc:arrayType=\"xsd:int[2]\">"
            "<item xsi:type=\"xsd:int\">0</item><item xsi:type=\"xsd:int\">12</item></groupList>"_s +
            W::Int(u"id"_s, 7) + W::Nil(u"keylist"_s) + W::String(u"name"_s, user) + W::Int(u"parent"_s, 0) +
            W::String(u"pwd"_s, {}) +
            u"<sessions xsi:type=\"ns0:ArrayOfSessionInfo\" enc:arrayType=\"ns0:SessionInfo[1]\">"
            "<item href=\"%1\"/></sessions>"_s.arg(session) +
            W::Int(u"type"_s, 0) + W::Nil(u"userProps"_s));
    const QString result = writer.Object(
        u"LoginResult"_s, W::Long(u"changedMembers"_s, 0) + W::Ref(u"clientInfo"_s, info) +
                              W::Int(u"ticketLifetime"_s, lifetime) + W::Ref(u"user"_s, userInfo));
    return writer.Finish(u"login"_s, result);
}

QByteArray TStandInWorker::ServerInfo(TAnswerWriter &writer)
{
    QString version;
    {
        QMutexLocker lock(&FOwner.FMutex);
        version = FOwner.FVersion;
    }
    using W = TAnswerWriter;
    const QString archive = writer.Object(
        u"IndexServerForArchive"_s, W::Long(u"changedMembers"_s, 0) + W::String(u"arcName"_s, u"Archiv"_s) +
                                        W::String(u"url"_s, FOwner.EndpointUrl()));
    const QString license = writer.Object(u"License"_s, W::Long(u"changedMembers"_s, 0));
    const QString info = writer.Object(
        u"ServerInfo"_s,
        W::Long(u"changedMembers"_s, 0) +
            u"<indexServers xsi:type=\"ns0:ArrayOfIndexServerForArchive\""
            " enc:arrayType=\"ns0:IndexServerForArchive[1]\"><item href=\"%1\"/></indexServers>"_s.arg(
                archive) +
            W::Ref(u"license"_s, license) + W::String(u"version"_s, version));
    return writer.Finish(u"getServerInfo"_s, info);
}

QByteArray TStandInWorker::Constants(TAnswerWriter &writer)
{
    using W = TAnswerWriter;
    auto selector = [&](qint64 bset) {
        return writer.Object(u"LockZ"_s, W::Long(u"changedMembers"_s, 0) + W::Long(u"bset"_s, bset));
    };
    auto editSelector = [&](qint64 bset, qint64 sordBset) {
        const QString sordZ =
            writer.Object(u"SordZ"_s, W::Long(u"changedMembers"_s, 0) + W::Long(u"bset"_s, sordBset));
        return writer.Object(u"EditInfoZ"_s, W::Long(u"changedMembers"_s, 0) + W::Long(u"bset"_s, bset) +
                                                 W::Ref(u"sordZ"_s, sordZ));
    };
    const QString all = editSelector(-1, -1);
    const QString sord = editSelector(0x100, 0x7FFFFFFFFFFFLL);
    const QString lean =
        editSelector(TStandInIndexserver::SordLeanBset, TStandInIndexserver::SordLeanSordZBset);
    const QString editInfo = writer.Object(
        u"EditInfoC"_s, W::Ref(u"mbAll"_s, all) + W::Long(u"mbAllMembers"_s, -1) + W::Ref(u"mbSord"_s, sord) +
                            W::Ref(u"mbSordLean"_s, lean) + W::Long(u"mbSordTypesJPG"_s, 0x800));
    const QString lock = writer.Object(
        u"LockC"_s, W::Ref(u"FORCE"_s, selector(3)) + W::Ref(u"IF_FREE"_s, selector(2)) +
                        W::Ref(u"NO"_s, selector(TStandInIndexserver::LockNoBset)) +
                        W::Ref(u"YES"_s, selector(1)) + W::Long(u"bsetFORCE"_s, 3) +
                        W::Long(u"bsetIF_FREE"_s, 2) + W::Long(u"bsetNO"_s, TStandInIndexserver::LockNoBset) +
                        W::Long(u"bsetYES"_s, 1));
    bool variants = false;
    {
        QMutexLocker lock(&FOwner.FMutex);
        variants = FOwner.FVariants;
    }
    if (!variants) {
        const QString sortOrder = writer.Object(u"SortOrderC"_s, W::Int(u"DEFAULT"_s, 0));
        const QString constants =
            writer.Object(u"IXServicePortC"_s, W::Ref(u"EDIT_INFO"_s, editInfo) + W::Ref(u"LOCK"_s, lock) +
                                                   W::Ref(u"SORT_ORDER"_s, sortOrder));
        return writer.Finish(u"getConstants"_s, constants);
    }

    // Every constant, as a real server sends them. The members of the 50
    // constants the client never reads take every form SOAP allows; the
    // renamed ones (DEFAULT, READONLY, WRITE, AND, OR) too.
    static const QList<QPair<QString, QString>> others = {
        {u"ACCESS"_s, u"AccessC"_s},
        {u"ACL_ITEM"_s, u"AclItemC"_s},
        {u"ACTIVITY"_s, u"ActivityC"_s},
        {u"ACTIVITY_PROJECT"_s, u"ActivityProjectC"_s},
        {u"ALERT"_s, u"AlertC"_s},
        {u"ARCHIVING_MODE"_s, u"ArchivingModeC"_s},
        {u"CHECKIN_USERS"_s, u"CheckinUsersC"_s},
        {u"CHECKOUT_USERS"_s, u"CheckoutUsersC"_s},
        {u"COLOR"_s, u"ColorDataC"_s},
        {u"CONFIG_FILE"_s, u"ConfigFileC"_s},
        {u"COPY_SORD"_s, u"CopySordC"_s},
        {u"COUNTER_INFO"_s, u"CounterInfoC"_s},
        {u"DOC_MASK"_s, u"DocMaskC"_s},
        {u"DOC_MASK_LINE"_s, u"DocMaskLineC"_s},
        {u"DOC_VERSION"_s, u"DocVersionC"_s},
        {u"EXPORT_OPTIONS"_s, u"ExportOptionsC"_s},
        {u"IMPORT_OPTIONS"_s, u"ImportOptionsC"_s},
        {u"IXEXCEPTION"_s, u"IXExceptionC"_s},
        {u"KEYWORD"_s, u"KeywordC"_s},
        {u"LINK_SORD"_s, u"LinkSordC"_s},
        {u"NAV_INFO"_s, u"NavigationInfoC"_s},
        {u"NOTE"_s, u"NoteC"_s},
        {u"OBJ_KEY"_s, u"ObjKeyC"_s},
        {u"PROCESS_INFO"_s, u"ProcessInfoC"_s},
        {u"REMINDER"_s, u"ReminderC"_s},
        {u"REPL_SET_NAME"_s, u"ReplSetNameC"_s},
        {u"REPORT"_s, u"ReportC"_s},
        {u"REPORT_INFO"_s, u"ReportInfoC"_s},
        {u"REPORT_MODE"_s, u"ReportModeC"_s},
        {u"REPORT_OPTIONS"_s, u"ReportOptionsC"_s},
        {u"SEARCH_MODE"_s, u"SearchModeC"_s},
        {u"SERVER_STATE"_s, u"ServerStateC"_s},
        {u"SESSION_OPTIONS"_s, u"SessionOptionsC"_s},
        {u"SORD"_s, u"SordC"_s},
        {u"SORD_HIST"_s, u"SordHistC"_s},
        {u"SORD_HIST_KEY"_s, u"SordHistKeyC"_s},
        {u"SORD_TYPE"_s, u"SordTypeC"_s},
        {u"SORT_ORDER"_s, u"SortOrderC"_s},
        {u"STORE_INFO"_s, u"StoreInfoC"_s},
        {u"TAKE_NODE"_s, u"WFTakeNodeC"_s},
        {u"THESAURUS"_s, u"ThesaurusC"_s},
        {u"USER_INFO"_s, u"UserInfoC"_s},
        {u"USER_PROFILE"_s, u"UserProfileC"_s},
        {u"USER_TASK_PRIORITY"_s, u"UserTaskPriorityC"_s},
        {u"USER_TASK_SORT_ORDER"_s, u"UserTaskSortOrderC"_s},
        {u"VT_DOC"_s, u"VtDocC"_s},
        {u"WORKFLOW"_s, u"WFDiagramC"_s},
        {u"WORKFLOW_NODE"_s, u"WFNodeC"_s},
        {u"WORKFLOW_NODE_ASSOC_TYPE"_s, u"WFNodeMatrixC"_s},
        {u"WORKFLOW_TYPE"_s, u"WFTypeC"_s},
    };
    // One shared number, referred to from many places as a real server does.
    const QString shared = writer.Raw(u"<multiRef id=\"%1\" xsi:type=\"xsd:long\">4294967296</multiRef>"_s);
    // Forms chosen by position, so that each renamed member meets several of them.
    const auto variant = [&](const QString &name, int form) -> QString {
        switch (form % 8) {
        case 0:
            return W::String(name, u"Vorgabe für »%1«"_s.arg(name));
        case 1:
            return W::Long(name, Q_INT64_C(9223372036854775807));
        case 2:
            return u"<%1 xsi:type=\"xsd:decimal\">18446744073709551616.5</%1>"_s.arg(name);
        case 3:
            return W::Ref(name,
                          writer.Object(u"SordZ"_s, W::Long(u"changedMembers"_s, 0) +
                                                        W::Long(u"bset"_s, Q_INT64_C(0x7FFF000000000000))));
        case 4:
            return u"<%1 xsi:type=\"enc:Array\" enc:arrayType=\"xsd:string[2]\"><item>eins</item>"
                   "<item>zwei</item></%1>"_s.arg(name);
        case 5:
            return W::Nil(name);
        case 6:
            return W::Ref(name, shared);
        default:
            return u"<%1 xsi:type=\"ns0:LockZ\"><changedMembers>x</changedMembers><bset>-</bset></%1>"_s.arg(
                name);
        }
    };
    QString members = W::Ref(u"EDIT_INFO"_s, editInfo) + W::Ref(u"LOCK"_s, lock);
    int form = 0;
    for (const auto &[member, type] : others) {
        QString content;
        for (const QString &name : {u"DEFAULT"_s, u"READONLY"_s, u"WRITE"_s, u"AND"_s, u"OR"_s, u"mbAction"_s,
                                    u"mbAll"_s, u"mbLineCount"_s, u"LIMIT"_s, u"NAME"_s})
            content += variant(name, form++);
        members += W::Ref(member, writer.Object(type, content));
    }
    // Where the catalogue expects numbers, members of the constants the
    // client does read may hold anything too, as long as the client never uses them.
    const QString wideEditInfo = writer.Object(
        u"EditInfoC"_s,
        W::Ref(u"mbAll"_s, all) + W::String(u"mbAllMembers"_s, u"alle"_s) + W::Ref(u"mbSordLean"_s, lean) +
            u"<mbSordTypesJPG xsi:type=\"xsd:integer\">18446744073709551616</mbSordTypesJPG>"_s);
    members.replace(W::Ref(u"EDIT_INFO"_s, editInfo), W::Ref(u"EDIT_INFO"_s, wideEditInfo));
    return writer.Finish(u"getConstants"_s, writer.Object(u"IXServicePortC"_s, members));
}

QByteArray TStandInWorker::CheckoutSord(const TRequestView &view, TAnswerWriter &writer)
{
    const QString id = view.Argument(u"String_2"_s).text();
    if (id != u"1"_s)
        throw TFault{SEntryNotFound.arg(id)};
    const QDomElement editInfoZ = view.Argument(u"EditInfoZ_3"_s);
    const QDomElement sordZ = view.Member(editInfoZ, u"sordZ"_s);
    if (view.Text(editInfoZ, u"bset"_s).toLongLong() != TStandInIndexserver::SordLeanBset ||
        view.Text(sordZ, u"bset"_s).toLongLong() != TStandInIndexserver::SordLeanSordZBset)
        throw TFault{SBadEditInfoZ};
    const QDomElement lockZ = view.Argument(u"LockZ_4"_s);
    if (lockZ.isNull() || view.Text(lockZ, u"bset"_s).toLongLong() != TStandInIndexserver::LockNoBset)
        throw TFault{SBadLockZ};
    QString name;
    {
        QMutexLocker lock(&FOwner.FMutex);
        name = FOwner.FRootName;
    }
    bool variants = false;
    {
        QMutexLocker lock(&FOwner.FMutex);
        variants = FOwner.FVariants;
    }
    using W = TAnswerWriter;
    if (variants) {
        // A large archive: counts beyond 32 bits, and members in forms the
        // catalogue's kinds do not hold.
        const QString sord = writer.Object(
            u"Sord"_s, W::Long(u"changedMembers"_s, Q_INT64_C(0x7FFFFFFFFFFFFFFF)) +
                           W::String(u"access"_s, u"voll"_s) +
                           W::Long(u"childCount"_s, Q_INT64_C(4294967296)) +
                           W::String(u"deleted"_s, u"nein"_s) + W::String(u"details"_s, u"keine"_s) +
                           u"<docVersion xsi:type=\"enc:Array\" enc:arrayType=\"xsd:int[1]\"><item>1</item>"
                           "</docVersion>"_s +
                           W::Long(u"id"_s, Q_INT64_C(4294967297)) + W::String(u"name"_s, name) +
                           W::Ref(u"parentId"_s, writer.Object(u"IdName"_s, W::Int(u"id"_s, 0))) +
                           W::Nil(u"type"_s) + u"<vtRep>1.5e3</vtRep>"_s);
        const QString editInfo =
            writer.Object(u"EditInfo"_s, W::String(u"changedMembers"_s, u"-"_s) +
                                             W::String(u"document"_s, u"keines"_s) + W::Ref(u"sord"_s, sord) +
                                             u"<sordTypes xsi:type=\"xsd:string\">Ordner</sordTypes>"_s);
        return writer.Finish(u"checkoutSord"_s, editInfo);
    }
    const QString sord =
        writer.Object(u"Sord"_s, W::Long(u"changedMembers"_s, 0) + W::String(u"guid"_s, u"(00000001)"_s) +
                                     W::Int(u"id"_s, 1) + W::String(u"name"_s, name) +
                                     W::Int(u"parentId"_s, 0) + W::Int(u"type"_s, 1));
    const QString editInfo = writer.Object(
        u"EditInfo"_s, W::Long(u"changedMembers"_s, 0) + W::Nil(u"document"_s) + W::Ref(u"sord"_s, sord));
    return writer.Finish(u"checkoutSord"_s, editInfo);
}

// ---------------------------------------------------------------- owner

TStandInIndexserver::TStandInIndexserver(TScheme scheme, quint16 port)
    : FScheme(scheme), FAuthority(u"http://standin.vellumix.invalid"_s), FUser(u"Administrator"_s),
      FPassword(u"geheim"_s), FVersion(u"20.0.0.000"_s), FRootName(u"Archiv"_s)
{
    FThread = std::make_unique<QThread>();
    FThread->setObjectName(u"StandInIndexserver"_s);
    FWorker = new TStandInWorker(*this);
    FWorker->moveToThread(FThread.get());
    // Deleted in its own thread when that ends, with its sockets (its children).
    QObject::connect(FThread.get(), &QThread::finished, FWorker, &QObject::deleteLater);
    FThread->start();
    QMetaObject::invokeMethod(
        FWorker,
        [this, port] {
            const bool listening = FWorker->listen(QHostAddress::LocalHost, port);
            QMutexLocker lock(&FMutex);
            FListening = listening;
            FPort = FWorker->serverPort();
            if (!listening)
                FError = FWorker->errorString();
        },
        Qt::BlockingQueuedConnection);
}

TStandInIndexserver::~TStandInIndexserver()
{
    QMetaObject::invokeMethod(
        FWorker, [this] { FWorker->close(); }, Qt::BlockingQueuedConnection);
    FThread->quit();
    FThread->wait();
}

bool TStandInIndexserver::IsListening() const
{
    QMutexLocker lock(&FMutex);
    return FListening;
}

QString TStandInIndexserver::ErrorString() const
{
    QMutexLocker lock(&FMutex);
    return FError;
}

quint16 TStandInIndexserver::Port() const
{
    QMutexLocker lock(&FMutex);
    return FPort;
}

QString TStandInIndexserver::BaseUrl() const
{
    return u"%1://127.0.0.1:%2/"_s.arg(FScheme == TScheme::Https ? u"https"_s : u"http"_s).arg(Port());
}

QString TStandInIndexserver::WsdlUrl() const
{
    return BaseUrl() + u"ix?WSDL"_s;
}

QString TStandInIndexserver::EndpointUrl() const
{
    return BaseUrl() + u"ix"_s;
}

void TStandInIndexserver::SetNamespaceAuthority(const QString &authority)
{
    QMutexLocker lock(&FMutex);
    FAuthority = authority;
}

QString TStandInIndexserver::OperationNamespace() const
{
    QMutexLocker lock(&FMutex);
    return FAuthority + u"/wsdl/IndexServer"_s;
}

QString TStandInIndexserver::TypeNamespace() const
{
    QMutexLocker lock(&FMutex);
    return FAuthority + u"/types/IndexServer"_s;
}

void TStandInIndexserver::SetStrictNamespaces(bool strict)
{
    QMutexLocker lock(&FMutex);
    FStrict = strict;
}

void TStandInIndexserver::SetUser(const QString &user)
{
    QMutexLocker lock(&FMutex);
    FUser = user;
}

void TStandInIndexserver::SetPassword(const QString &password)
{
    QMutexLocker lock(&FMutex);
    FPassword = password;
}

void TStandInIndexserver::SetLoginFault(const QString &faultString)
{
    QMutexLocker lock(&FMutex);
    FLoginFault = faultString;
    FFailLogin = true;
}

void TStandInIndexserver::SetLoginFaultEchoesRequest(bool on)
{
    QMutexLocker lock(&FMutex);
    FEchoRequest = on;
}

void TStandInIndexserver::SetTicketLifetime(int seconds)
{
    QMutexLocker lock(&FMutex);
    FTicketLifetime = seconds;
}

void TStandInIndexserver::SetServerVersion(const QString &version)
{
    QMutexLocker lock(&FMutex);
    FVersion = version;
}

void TStandInIndexserver::SetRootEntryName(const QString &name)
{
    QMutexLocker lock(&FMutex);
    FRootName = name;
}

void TStandInIndexserver::SetVariantAnswers(bool on)
{
    QMutexLocker lock(&FMutex);
    FVariants = on;
}

void TStandInIndexserver::Script(const QString &key, const TScriptedAnswer &answer, int times)
{
    QMutexLocker lock(&FMutex);
    FScripts.insert(key, TScript{answer, times});
}

void TStandInIndexserver::ClearScripts()
{
    QMutexLocker lock(&FMutex);
    FScripts.clear();
}

void TStandInIndexserver::SetDelay(const QString &key, int milliseconds)
{
    QMutexLocker lock(&FMutex);
    if (milliseconds > 0)
        FDelays.insert(key, milliseconds);
    else
        FDelays.remove(key);
}

void TStandInIndexserver::SetLatency(int milliseconds)
{
    QMutexLocker lock(&FMutex);
    FLatency = qMax(0, milliseconds);
}

void TStandInIndexserver::SetCertificate(const QByteArray &certificatePem, const QByteArray &privateKeyPem)
{
    QMutexLocker lock(&FMutex);
    FCertificatePem = certificatePem;
    FPrivateKeyPem = privateKeyPem;
}

void TStandInIndexserver::SetDocument(const QByteArray &path, const QByteArray &body,
                                      const QByteArray &contentType)
{
    QMutexLocker lock(&FMutex);
    FDocuments.insert(path, TDocument{contentType, body});
}

QByteArray TStandInIndexserver::WsdlDocument(const TWsdlShape &shape) const
{
    const QString operationNamespace = OperationNamespace();
    const QString typeNamespace = TypeNamespace();
    const QString endpoint = shape.Endpoint.isEmpty() ? EndpointUrl() : shape.Endpoint;
    struct TOperation {
        QString Name;
        QStringList Parts; // name:type
        QString Result;
    };
    const QList<TOperation> operations = {
        {u"login"_s,
         {u"ClientInfo_1:ns2:ClientInfo"_s, u"String_2:xsd:string"_s, u"String_3:xsd:string"_s,
          u"String_4:xsd:string"_s, u"String_5:xsd:string"_s},
         u"ns2:LoginResult"_s},
        {u"getServerInfo"_s, {u"ClientInfo_1:ns2:ClientInfo"_s}, u"ns2:ServerInfo"_s},
        {u"getConstants"_s, {u"ClientInfo_1:ns2:ClientInfo"_s}, u"ns2:IXServicePortC"_s},
        {u"checkoutSord"_s,
         {u"ClientInfo_1:ns2:ClientInfo"_s, u"String_2:xsd:string"_s, u"EditInfoZ_3:ns2:EditInfoZ"_s,
          u"LockZ_4:ns2:LockZ"_s},
         u"ns2:EditInfo"_s},
        {u"logout"_s, {u"ClientInfo_1:ns2:ClientInfo"_s}, {}},
    };
    QString messages;
    QString portType;
    QString binding;
    for (const TOperation &operation : operations) {
        QString parts;
        QStringList order;
        for (const QString &part : operation.Parts) {
            const qsizetype colon = part.indexOf(u':');
            order << part.left(colon);
            parts += u"<part name=\"%1\" type=\"%2\"/>"_s.arg(part.left(colon), part.mid(colon + 1));
        }
        messages += u"<message name=\"IXServicePortIF_%1\">%2</message>"_s.arg(operation.Name, parts);
        messages += u"<message name=\"IXServicePortIF_%1Response\">%2</message>"_s.arg(
            operation.Name, operation.Result.isEmpty()
                                ? QString()
                                : u"<part name=\"result\" type=\"%1\"/>"_s.arg(operation.Result));
        portType +=
            u"<operation name=\"%1\" parameterOrder=\"%2\"><input message=\"tns:IXServicePortIF_%1\"/>"
            "<output message=\"tns:IXServicePortIF_%1Response\"/></operation>"_s.arg(operation.Name,
                                                                                     order.join(u' '));
        const QString body =
            u"<soap:body encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\" use=\"encoded\""_s +
            (shape.WithBodyNamespace ? u" namespace=\"%1\""_s.arg(operationNamespace) : QString()) + u"/>"_s;
        binding += u"<operation name=\"%1\">"_s.arg(operation.Name) +
                   (shape.WithSoapAction ? u"<soap:operation soapAction=\"urn:%1\"/>"_s.arg(operation.Name)
                                         : u"<soap:operation/>"_s) +
                   u"<input>"_s + body + u"</input><output>"_s + body + u"</output></operation>"_s;
    }
    QString service;
    if (shape.WithService) {
        service = u"<service name=\"%1\"><port name=\"%2\" binding=\"tns:IXServicePortIFBinding\">"
                  "<soap:address location=\"%3\"/></port>"_s.arg(shape.ServiceName, shape.PortName,
                                                                 Escaped(endpoint));
        if (!shape.SecondPortName.isEmpty())
            service +=
                u"<port name=\"%1\" binding=\"tns:IXServicePortIFBinding\">"
                "<soap:address location=\"%2\"/></port>"_s.arg(shape.SecondPortName, Escaped(endpoint));
        service += u"</service>"_s;
    }
    const QString import = shape.ImportLocation.isEmpty()
                               ? QString()
                               : u"<import namespace=\"%1\" location=\"%2\"/>"_s.arg(
                                     operationNamespace, Escaped(shape.ImportLocation));
    return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<definitions xmlns=\"http://schemas.xmlsoap.org/wsdl/\" xmlns:tns=\"%1\" xmlns:ns2=\"%2\""
            " xmlns:soap=\"http://schemas.xmlsoap.org/wsdl/soap/\" "
            "xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\""
            " xmlns:soap11-enc=\"http://schemas.xmlsoap.org/soap/encoding/\" name=\"IndexServer\""
            " targetNamespace=\"%1\">"_s.arg(operationNamespace, typeNamespace) +
            import +
            u"<types><schema xmlns=\"http://www.w3.org/2001/XMLSchema\" targetNamespace=\"%1\">"
            "<complexType name=\"ClientInfo\"><sequence><element name=\"changedMembers\" type=\"long\"/>"
            "<element name=\"callId\" type=\"string\" nillable=\"true\"/>"
            "<element name=\"country\" type=\"string\" nillable=\"true\"/>"
            "<element name=\"language\" type=\"string\" nillable=\"true\"/>"
            "<element name=\"ticket\" type=\"string\" nillable=\"true\"/>"
            "<element name=\"timeZone\" type=\"string\" nillable=\"true\"/></sequence></complexType>"
            "</schema></types>"_s.arg(typeNamespace) +
            messages + u"<portType name=\"IXServicePortIF\">"_s + portType +
            u"</portType><binding name=\"IXServicePortIFBinding\" type=\"tns:IXServicePortIF\">"
            "<soap:binding transport=\"http://schemas.xmlsoap.org/soap/http\" style=\"rpc\"/>"_s +
            binding + u"</binding>"_s + service + u"</definitions>"_s)
        .toUtf8();
}

QByteArray TStandInIndexserver::FaultEnvelope(const QString &faultString)
{
    const QString text =
        faultString.isNull() ? QString() : u"<faultstring>%1</faultstring>"_s.arg(Escaped(faultString));
    return (u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
            "<env:Envelope xmlns:env=\"http://schemas.xmlsoap.org/soap/envelope/\"><env:Body><env:Fault>"
            "<faultcode>env:Server</faultcode>"_s +
            text + u"</env:Fault></env:Body></env:Envelope>"_s)
        .toUtf8();
}

QList<TRecordedRequest> TStandInIndexserver::Requests() const
{
    QMutexLocker lock(&FMutex);
    return FRequests;
}

QStringList TStandInIndexserver::Operations() const
{
    QMutexLocker lock(&FMutex);
    QStringList operations;
    for (const TRecordedRequest &request : FRequests) {
        if (request.Method == "POST")
            operations << request.Operation;
    }
    return operations;
}

int TStandInIndexserver::AcceptedConnections() const
{
    QMutexLocker lock(&FMutex);
    return FAccepted;
}

int TStandInIndexserver::LoginCount() const
{
    QMutexLocker lock(&FMutex);
    return FLogins;
}

int TStandInIndexserver::LogoutCount() const
{
    QMutexLocker lock(&FMutex);
    return FLogouts;
}

int TStandInIndexserver::LiveTickets() const
{
    QMutexLocker lock(&FMutex);
    return int(FTickets.size());
}

void TStandInIndexserver::ClearRecords()
{
    QMutexLocker lock(&FMutex);
    FRequests.clear();
}

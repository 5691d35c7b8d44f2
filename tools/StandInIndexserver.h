#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <memory>

class QThread;
class TStandInWorker;

// One HTTP request as the stand-in received it.
struct TRecordedRequest {
    int Connection = 0; // number of the accepted connection it arrived on, counted from 1
    QByteArray Method;
    QByteArray Target;                            // path and query
    QList<QPair<QByteArray, QByteArray>> Headers; // in arrival order, names as sent
    QByteArray Body;
    QString Operation; // local name of the SOAP operation element; empty for a GET

    // The value of the first header with this name, compared without regard to case.
    QByteArray Header(const QByteArray &name) const;
};

// An answer that replaces the stand-in's own for one kind of request.
struct TScriptedAnswer {
    enum class TKind {
        Reply,          // send Status, Reason, ContentType and Body
        NeverAnswer,    // read the request and never answer; the connection stays open
        CloseMidAnswer, // send the head and half the body, then close the connection
        Endless,        // send the head without a length, then Body again and again until the client leaves
        Trickle         // send the head and then the body one byte every TrickleInterval ms
    };
    TKind Kind = TKind::Reply;
    int Status = 200;
    QByteArray Reason; // empty: the usual phrase for Status
    QByteArray ContentType = "text/xml; charset=utf-8";
    QByteArray Body;
    int TrickleInterval = 100;
};

// The shape of a WSDL document the stand-in writes for itself.
struct TWsdlShape {
    QString Endpoint; // empty: the stand-in's own endpoint
    QString ServiceName = QStringLiteral("IndexServer");
    QString PortName = QStringLiteral("IXServicePortIFPort");
    bool WithService = true;
    bool WithSoapAction = true;    // soapAction="urn:<operation>" on each binding operation
    bool WithBodyNamespace = true; // namespace="<operation namespace>" on each input body
    QString ImportLocation;        // adds a wsdl:import of this location when not empty
    QString SecondPortName;        // adds a second port to the service when not empty
};

// A stand-in for the ELO Indexserver, for tests and demonstrations: a small
// HTTP/1.1 server on 127.0.0.1 with its own thread, so that a client may
// block the thread that made it. It serves its WSDL at BaseUrl() + "ix?WSDL"
// and answers login, getServerInfo, getConstants, checkoutSord and logout at
// BaseUrl() + "ix" with multi-reference SOAP answers. It checks tickets,
// selectors and the entry id and answers a SOAP fault when something is
// wrong. Every request is recorded; answers can be scripted. Stops in its
// destructor. All members may be called from any thread.
class TStandInIndexserver {
public:
    enum class TScheme { Http, Https };

    // Starts listening at once; port 0 takes a free port. See IsListening().
    explicit TStandInIndexserver(TScheme scheme = TScheme::Http, quint16 port = 0);
    ~TStandInIndexserver();
    Q_DISABLE_COPY(TStandInIndexserver)

    bool IsListening() const;
    QString ErrorString() const; // why listening failed
    quint16 Port() const;
    // "http://127.0.0.1:<port>/" (or https); BaseUrl() + "ix?WSDL" is the WSDL.
    QString BaseUrl() const;
    QString WsdlUrl() const;     // BaseUrl() + "ix?WSDL"
    QString EndpointUrl() const; // BaseUrl() + "ix"

    // The namespaces the stand-in uses in its WSDL and answers and expects in
    // requests: <authority>/wsdl/IndexServer and <authority>/types/IndexServer.
    void SetNamespaceAuthority(const QString &authority); // default "http://standin.vellumix.invalid"
    QString OperationNamespace() const;
    QString TypeNamespace() const;
    // When on (the default), a request whose operation element or objects are
    // in other namespaces is answered with a fault.
    void SetStrictNamespaces(bool strict);

    // The accepted login; default user "Administrator", password "geheim".
    void SetUser(const QString &user);
    void SetPassword(const QString &password);
    // Every login fails with a SOAP fault carrying this faultstring.
    void SetLoginFault(const QString &faultString);
    // When on, that faultstring goes on with the login request's body as it
    // arrived, as some servers quote a request they refuse. Default off.
    void SetLoginFaultEchoesRequest(bool on);
    void SetTicketLifetime(int seconds);           // default 600
    void SetServerVersion(const QString &version); // default "20.0.0.000"
    void SetRootEntryName(const QString &name);    // the name of entry "1"; default "Archiv"
    // When on, getConstants answers all 52 constants, the 50 the client
    // never reads with members in every form a server may choose (texts,
    // numbers beyond 64 bits, objects, arrays, nil, references to shared
    // elements), and entry "1" carries values beyond the catalogue's kinds
    // in members the client never reads. Default off.
    void SetVariantAnswers(bool on);

    // Replaces the answer to the WSDL request (key "wsdl") or to an operation
    // (key = operation name, e.g. "login") until cleared; times > 0 limits it
    // to that many requests.
    void Script(const QString &key, const TScriptedAnswer &answer, int times = -1);
    void ClearScripts();
    // Holds back the answer to the WSDL request or an operation (keys as for
    // Script) by this many milliseconds; 0 answers at once again.
    void SetDelay(const QString &key, int milliseconds);
    // Holds back every whole answer by this many more milliseconds, as the network
    // between a client and a real server does; default 0. Tests that count
    // connections need it: Qt 6.4's plain-HTTP client looks for an early
    // answer once more right after sending, and where that whole answer has
    // been read meanwhile (a server in the same process, Windows' event
    // order), the second look finds no request and closes the connection.
    void SetLatency(int milliseconds);
    // Replaces the built-in TLS identity for connections accepted from now
    // on (PEM, RSA key); empty texts bring the built-in one back.
    void SetCertificate(const QByteArray &certificatePem, const QByteArray &privateKeyPem);
    // Serves body at a path of its own (for example a WSDL that is imported).
    void SetDocument(const QByteArray &path, const QByteArray &body,
                     const QByteArray &contentType = "text/xml; charset=utf-8");

    // A WSDL document of the given shape, pointing at this server unless the
    // shape names another endpoint.
    QByteArray WsdlDocument(const TWsdlShape &shape = TWsdlShape()) const;
    // A SOAP 1.1 envelope with a fault; no faultstring element when faultString is null.
    static QByteArray FaultEnvelope(const QString &faultString);

    QList<TRecordedRequest> Requests() const;
    QStringList Operations() const; // the operations received, in order
    int AcceptedConnections() const;
    int LoginCount() const;
    int LogoutCount() const;
    int LiveTickets() const; // tickets handed out by login and not yet logged out
    void ClearRecords();     // forgets the requests; counts stay

    // The selector values the constants carry and checkoutSord expects back.
    static constexpr qint64 SordLeanBset = Q_INT64_C(0x0001000000000105);
    static constexpr qint64 SordLeanSordZBset = Q_INT64_C(0x0002000000000021);
    static constexpr qint64 LockNoBset = Q_INT64_C(0x0004000000000000);

private:
    friend class TStandInWorker;

    struct TScript {
        TScriptedAnswer Answer;
        int Remaining = -1;
    };
    struct TDocument {
        QByteArray ContentType;
        QByteArray Body;
    };

    // Guarded by FMutex: everything below is shared with the server's thread.
    mutable QMutex FMutex;
    TScheme FScheme;
    quint16 FPort = 0;
    bool FListening = false;
    QString FError;
    QString FAuthority;
    bool FStrict = true;
    QString FUser;
    QString FPassword;
    QString FLoginFault;
    bool FFailLogin = false;
    bool FEchoRequest = false;
    int FTicketLifetime = 600;
    bool FVariants = false;
    QString FVersion;
    QString FRootName;
    QHash<QString, TScript> FScripts;
    QHash<QString, int> FDelays;
    int FLatency = 0;
    QByteArray FCertificatePem;
    QByteArray FPrivateKeyPem;
    QHash<QByteArray, TDocument> FDocuments;
    QList<TRecordedRequest> FRequests;
    int FAccepted = 0;
    int FLogins = 0;
    int FLogouts = 0;
    int FTicketCounter = 0;
    QStringList FTickets;

    std::unique_ptr<QThread> FThread;
    TStandInWorker *FWorker = nullptr; // lives in FThread, deleted there
};

#pragma once

#include "indexserver/IX_Service.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QFlags>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <mutex>

class QByteArray;
class QEventLoop;
class QNetworkAccessManager;
class QNetworkReply;
class QSslError;
class QUrl;
struct TRemotable;
struct TSoapArgument;

// Transport options of the binding.
enum class TInvokeOption {
    soIgnoreInvalidCerts = 0x1,          // https: ignore untrusted issuer, name mismatch, expiry
    soAutoCheckAccessPointViaUDDI = 0x2, // accepted for completeness; no UDDI is ever configured
    soNoValueForEmptySOAPAction = 0x4,   // an empty action: no SOAPAction line (QtNetwork drops empty values)
    soNoSOAPActionHeader = 0x8,          // send no SOAPAction header at all
};
Q_DECLARE_FLAGS(TInvokeOptions, TInvokeOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TInvokeOptions)

// Conversion options; they name the message form the encoder writes (RPC,
// SOAP encoding, multi-reference objects, UTF-8) and are kept as given.
enum class TConversionOption {
    soSendMultiRefObj = 0x1,
    soSendMultiRefArray = 0x2,
    soSendUntyped = 0x4,
    soDocument = 0x8,
    soLiteralParams = 0x10,
    soDontSendEmptyNodes = 0x20,
    soTryAllSchema = 0x40,
    soRootRefNodesToBody = 0x80,
    soCacheMimeResponse = 0x100,
    soUTF8EncodeXML = 0x200,
};
Q_DECLARE_FLAGS(TConversionOptions, TConversionOption)
Q_DECLARE_OPERATORS_FOR_FLAGS(TConversionOptions)

// One exchange of a connection test as the binding timed it. Times count in
// nanoseconds from the moment the WSDL location was set.
struct TCallTime {
    QString Step; // "wsdl" for loading the WSDL with its imports, else the operation's name
    qint64 Start = 0;
    qint64 End = 0;
    bool Succeeded = false;
};

// Certificate problems that soIgnoreInvalidCerts let pass.
enum class TCertificateProblem {
    UntrustedIssuer = 0x1,
    Expired = 0x2,
    NotYetValid = 0x4,
    HostNameMismatch = 0x8,
    SelfSigned = 0x10,
    Other = 0x20, // revoked, wrong purpose, bad signature and the like
};
Q_DECLARE_FLAGS(TCertificateProblems, TCertificateProblem)
Q_DECLARE_OPERATORS_FOR_FLAGS(TCertificateProblems)

// What a connection test over https learned of the server's certificate.
struct TCertificateReport {
    bool Seen = false; // false until an https answer arrived, so always false over http
    TCertificateProblems Problems;
    QDateTime Expires; // UTC
    QByteArray Sha256; // the digest of the DER form, raw bytes
};

// The problems as the user reads them, in a fixed order.
QStringList CertificateProblemTexts(TCertificateProblems problems);
// "AB:CD:..." as certificate viewers show it.
QString FingerprintText(const QByteArray &digest);

// The SOAP binding of the Indexserver service: finds the endpoint in the
// server's WSDL and carries every call over HTTP or HTTPS, blocking the
// calling thread until the answer is read. The operations throw EFailure with
// the text the user sees; their results belong to the caller. Use it from
// one thread only; that thread needs a QCoreApplication.
class TIXBinding : public IXServicePortIF {
public:
    // The options a session uses.
    static TInvokeOptions DefaultInvokeOptions();
    static TConversionOptions DefaultConversionOptions();

    TIXBinding(TInvokeOptions invokeOptions, TConversionOptions options);
    ~TIXBinding() override;
    Q_DISABLE_COPY(TIXBinding)

    // Setting the location drops the loaded WSDL, Port and Service, and for a
    // non-empty location the open connection too.
    void SetWSDLLocation(const QString &location);
    const QString &WSDLLocation() const { return FWSDLLocation; }
    void SetPort(const QString &port) { FPort = port; }
    const QString &Port() const { return FPort; }
    void SetService(const QString &service) { FService = service; }
    const QString &Service() const { return FService; }
    TInvokeOptions InvokeOptions() const { return FInvokeOptions; }
    TConversionOptions Options() const { return FOptions; }

    // Time-outs in milliseconds (must be positive): for reaching the server
    // and sending the request, and for each wait on the answer's next bytes.
    void SetConnectTimeout(int milliseconds);
    void SetReceiveTimeout(int milliseconds);
    int ConnectTimeout() const { return FConnectTimeout; }
    int ReceiveTimeout() const { return FReceiveTimeout; }
    // The overall limit of one call in milliseconds (must be positive; 2
    // minutes unless set), from the first byte sent to the last one read,
    // however the server paces its answer.
    void SetCallTimeout(int milliseconds);
    int CallTimeout() const { return FCallTimeout; }
    // The largest answer in bytes that a call or the WSDL download accepts
    // (must be positive; 64 MiB unless set). A larger one ends the call as
    // soon as the bound is passed, without reading the rest.
    void SetMaxAnswerSize(qint64 bytes);
    qint64 MaxAnswerSize() const { return FMaxAnswerSize; }

    // A hard limit for all exchanges from now on, so a stalled server cannot
    // hold the caller longer than that in total; 0 removes it. Milliseconds.
    void SetTimeLimit(int milliseconds);

    // Callable from any thread: the wait under way ends at once with a
    // failure, and so does every exchange after it until ResetCancel. Setting
    // the location keeps it: a cancel that met the step before must not be
    // lost when the next one sets up.
    void Cancel();
    void ResetCancel() { FCancelled = false; }
    bool Cancelled() const { return FCancelled; }

    // The record of the current connection test; both start afresh when the
    // WSDL location is set. Keeping it costs one timer read per exchange.
    const QList<TCallTime> &CallTimes() const { return FCallTimes; }
    const TCertificateReport &Certificate() const { return FCertificate; }
    // true when an exchange of the current test was cut off by the time limit.
    bool TimeLimitStruck() const { return FTimeLimitStruck; }

    // The user agent sent with every request.
    static QString Agent();

    std::shared_ptr<LoginResult> login(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                       const QString &String_2, const QString &String_3,
                                       const QString &String_4, const QString &String_5) override;
    std::shared_ptr<ServerInfo> getServerInfo(const std::shared_ptr<ClientInfo> &ClientInfo_1) override;
    std::shared_ptr<IXServicePortC> getConstants(const std::shared_ptr<ClientInfo> &ClientInfo_1) override;
    std::shared_ptr<EditInfo> checkoutSord(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                           const QString &String_2,
                                           const std::shared_ptr<EditInfoZ> &EditInfoZ_3,
                                           const std::shared_ptr<LockZ> &LockZ_4) override;
    void logout(const std::shared_ptr<ClientInfo> &ClientInfo_1) override;

private:
    struct TWsdl;
    struct TLookup;
    struct TParsedDocument;

    // Runs one call and reads its answer; resultType is empty when nothing is read.
    std::shared_ptr<TRemotable> Invoke(const QString &operation, const QList<TSoapArgument> &arguments,
                                       const QString &resultType);
    TWsdl &LoadedWsdl();
    // Loads one document into wsdl; throws the WSDL message naming locationAsNamed.
    void LoadDocument(TWsdl &wsdl, const QString &locationAsNamed, const QString &location);
    TLookup Lookup(const QString &operation);
    // One HTTP exchange: a GET without body, a POST with it. Throws the transport texts.
    QByteArray Transfer(const QUrl &url, const QByteArray *body, const QByteArray &action);
    void DropConnection();
    void Record(const QString &step, qint64 start, bool succeeded);
    void NoteCertificate(QNetworkReply &reply, const QList<QSslError> *errors);
    // Reads a document that arrived from url with read, under the limits
    // of the call under way and the cancel flag; notes a struck time limit.
    template <class TRead> void ReadUnderLimits(const QString &url, const QByteArray &action, TRead read);

    TInvokeOptions FInvokeOptions;
    TConversionOptions FOptions;
    QString FWSDLLocation;
    QString FPort;
    QString FService;
    QString FSOAPAction; // the action of the last call that found its binding
    int FConnectTimeout;
    int FReceiveTimeout;
    int FTimeLimit = 0;
    QDeadlineTimer FDeadline = QDeadlineTimer(QDeadlineTimer::Forever);
    bool FTimeLimitStruck = false;
    QElapsedTimer FRecordClock;
    QList<TCallTime> FCallTimes;
    TCertificateReport FCertificate;
    int FCallTimeout;
    qint64 FMaxAnswerSize;
    QDeadlineTimer FCallDeadline; // of the call under way
    // Set to end the call under way, also in the middle of reading its answer.
    std::atomic<bool> FCancelled{false};
    std::unique_ptr<TWsdl> FWsdl;
    // The documents the last WSDL load read: a test downloads them again,
    // and bytes that did not change are not parsed again.
    QList<TParsedDocument> FParsed;
    QList<TParsedDocument> FParsing;
    std::unique_ptr<QNetworkAccessManager> FTransport;
    // The wait under way, for Cancel; guarded by FWaitMutex.
    std::mutex FWaitMutex;
    QEventLoop *FWaitLoop = nullptr;
};

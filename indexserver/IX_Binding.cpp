#include "indexserver/IX_Binding.h"

#include "common/EFailure.h"
#include "indexserver/IX_Catalogue.h"
#include "indexserver/IX_Encoding.h"
#include "indexserver/IX_ReadGuard.h"
#include "indexserver/IX_Wsdl.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSet>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QTimer>
#include <QUrl>

#include <algorithm>

using namespace Qt::StringLiterals;

namespace {

const QString SWsdlNotLoaded = u"WSDL-Datei/-Ort kann nicht geladen werden: %1.  Fehler [%2]"_s;
const QString SEmptyDocument = u"Leeres Dokument"_s;
const QString SNoEndpoint =
    u"URL-Endpunkt für Service/Port '%1'/'%2' kann nicht von WSDL '%3' gelesen werden"_s;
const QString SBadScheme = u"Ungültige URL '%1' - unterstützt nur Schemata 'http' und 'https'"_s;
const QString SAborted = u"Operation abgebrochen"_s;
const QString STransportFailure = u"%1 - URL:%2 - SOAPAction:%3"_s;
const QString SStatusFailure = u"%1 (%2) - '%3'"_s;
const QString SWrongContentType =
    u"Empfang von Inhalt mit ungültigen Einstellungen für Inhaltstyp: %1 - SOAP erwartet \"text/xml\""_s;
const QString SConnectTimedOut = u"Zeitüberschreitung: keine Verbindung zum Server innerhalb von %1"_s;
const QString SReceiveTimedOut = u"Zeitüberschreitung: keine Antwort vom Server innerhalb von %1"_s;
const QString STimeLimitExceeded = u"Zeitüberschreitung: Zeitlimit von %1 überschritten"_s;
const QString SCallTimedOut = u"Zeitüberschreitung: Antwort vom Server nicht vollständig innerhalb von %1"_s;
const QString SAnswerTooLarge = u"Antwort des Servers größer als %1; Empfang abgebrochen"_s;
const QString SProxyAuthentication = u"Proxy Authentication Required"_s;
const QString SImportsTooDeep = u"WSDL-Importe zu tief verschachtelt: %1"_s;
const QString SWsdlStep = u"wsdl"_s;

const QString SCertificateUntrusted = u"Aussteller nicht vertrauenswürdig"_s;
const QString SCertificateExpired = u"abgelaufen"_s;
const QString SCertificateNotYetValid = u"noch nicht gültig"_s;
const QString SCertificateHostName = u"Hostname passt nicht"_s;
const QString SCertificateSelfSigned = u"selbst signiert"_s;
const QString SCertificateOther = u"sonstiger Zertifikatsfehler"_s;

// Defaults of the platform HTTP client on the program's home platform.
constexpr int DefaultConnectTimeout = 60000;
constexpr int DefaultReceiveTimeout = 30000;
// A whole call, however the server paces its bytes.
constexpr int DefaultCallTimeout = 120000;
// Far beyond any real answer (the constants are the largest), far below what
// a client machine can hold.
constexpr qint64 DefaultMaxAnswerSize = qint64(64) * 1024 * 1024;
// What the reply may hold before it is read.
constexpr qint64 ReadAhead = 1024 * 1024;
// Imports nest this deep at most; a deeper chain fails the load.
constexpr int MaxImportDepth = 16;

QString SizeText(qint64 bytes)
{
    if (bytes % (1024 * 1024) == 0)
        return QString::number(bytes / (1024 * 1024)) + u" MiB"_s;
    if (bytes % 1024 == 0)
        return QString::number(bytes / 1024) + u" KiB"_s;
    return QString::number(bytes) + u" Bytes"_s;
}

QString DurationText(int milliseconds)
{
    if (milliseconds % 1000 == 0)
        return QString::number(milliseconds / 1000) + u" s"_s;
    return QString::number(milliseconds) + u" ms"_s;
}

// Blanks and control characters at either end, as a pasted location may carry them.
QString TrimmedLocation(const QString &location)
{
    qsizetype begin = 0;
    qsizetype end = location.size();
    while (begin < end && location[begin].unicode() <= 0x20)
        ++begin;
    while (end > begin && location[end - 1].unicode() <= 0x20)
        --end;
    return location.mid(begin, end - begin);
}

bool IsHttpLocation(const QString &location)
{
    return location.startsWith(u"http://"_s, Qt::CaseInsensitive) ||
           location.startsWith(u"https://"_s, Qt::CaseInsensitive);
}

QString LocalName(const QString &qualifiedName)
{
    const qsizetype colon = qualifiedName.indexOf(u':');
    return colon < 0 ? qualifiedName : qualifiedName.mid(colon + 1);
}

TCertificateProblem ProblemOf(QSslError::SslError error)
{
    switch (error) {
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::InvalidCaCertificate:
        return TCertificateProblem::UntrustedIssuer;
    case QSslError::CertificateExpired:
        return TCertificateProblem::Expired;
    case QSslError::CertificateNotYetValid:
        return TCertificateProblem::NotYetValid;
    case QSslError::HostNameMismatch:
        return TCertificateProblem::HostNameMismatch;
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
        return TCertificateProblem::SelfSigned;
    default:
        return TCertificateProblem::Other;
    }
}

// The platform's proxy configuration; the loopback host never goes through a proxy.
class TSystemProxyFactory : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override
    {
        const QString host = query.peerHostName();
        if (host == u"localhost"_s || host.startsWith(u"127."_s) || host == u"::1"_s || host == u"[::1]"_s)
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

// A reply owned for exactly one request.
struct TReplyDeleter {
    void operator()(QNetworkReply *reply) const { reply->deleteLater(); }
};
using TReplyPtr = std::unique_ptr<QNetworkReply, TReplyDeleter>;

} // namespace

// The loaded WSDL: the document at the location and the documents it
// imports, each loaded once.
struct TIXBinding::TWsdl {
    QList<TWsdlDocument> Documents; // the main document first
    QString TypeNamespace;          // first namespace with the type path in any document; empty when none
    QString InterfaceNamespace;     // likewise for the interface path
};

// One document as read, with the namespaces it offers to a load that has
// none yet.
struct TIXBinding::TParsedDocument {
    QByteArray Content;
    TWsdlDocument Document;
    QString TypeNamespace;
    QString InterfaceNamespace;
};

// What one call needs from the WSDL.
struct TIXBinding::TLookup {
    QUrl Endpoint;
    QString OperationNamespace;
    QString TypeNamespace;
};

QStringList CertificateProblemTexts(TCertificateProblems problems)
{
    QStringList texts;
    const std::pair<TCertificateProblem, const QString &> names[] = {
        {TCertificateProblem::Expired, SCertificateExpired},
        {TCertificateProblem::NotYetValid, SCertificateNotYetValid},
        {TCertificateProblem::HostNameMismatch, SCertificateHostName},
        {TCertificateProblem::SelfSigned, SCertificateSelfSigned},
        {TCertificateProblem::UntrustedIssuer, SCertificateUntrusted},
        {TCertificateProblem::Other, SCertificateOther},
    };
    for (const auto &[problem, text] : names) {
        if (problems.testFlag(problem))
            texts << text;
    }
    return texts;
}

QString FingerprintText(const QByteArray &digest)
{
    return QString::fromLatin1(digest.toHex(':').toUpper());
}

TInvokeOptions TIXBinding::DefaultInvokeOptions()
{
    return TInvokeOption::soIgnoreInvalidCerts | TInvokeOption::soAutoCheckAccessPointViaUDDI;
}

TConversionOptions TIXBinding::DefaultConversionOptions()
{
    return TConversionOption::soSendMultiRefObj | TConversionOption::soTryAllSchema |
           TConversionOption::soRootRefNodesToBody | TConversionOption::soCacheMimeResponse |
           TConversionOption::soUTF8EncodeXML;
}

TIXBinding::TIXBinding(TInvokeOptions invokeOptions, TConversionOptions options)
    : FInvokeOptions(invokeOptions), FOptions(options), FConnectTimeout(DefaultConnectTimeout),
      FReceiveTimeout(DefaultReceiveTimeout), FCallTimeout(DefaultCallTimeout),
      FMaxAnswerSize(DefaultMaxAnswerSize), FTransport(std::make_unique<QNetworkAccessManager>())
{
    FTransport->setProxyFactory(new TSystemProxyFactory); // the manager owns it
    FTransport->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    FRecordClock.start();
}

TIXBinding::~TIXBinding() = default;

QString TIXBinding::Agent()
{
    return u"qv_VellumixConf SOAP-Client/1.0"_s;
}

void TIXBinding::Cancel()
{
    FCancelled = true;
    const std::lock_guard lock(FWaitMutex);
    // Posted, not called: the loop belongs to the waiting thread. Should the
    // wait end first, the loop's end drops the posted call.
    if (FWaitLoop)
        QMetaObject::invokeMethod(FWaitLoop, &QEventLoop::quit, Qt::QueuedConnection);
}

void TIXBinding::SetWSDLLocation(const QString &location)
{
    FWSDLLocation = location;
    FWsdl.reset();
    FPort.clear();
    FService.clear();
    if (!location.isEmpty())
        DropConnection();
    // A new test begins; the dropped connection makes its first request
    // shake hands again, so the certificate is seen afresh.
    FCallTimes.clear();
    FCertificate = TCertificateReport();
    FTimeLimitStruck = false;
    FRecordClock.restart();
    // The limit counts from the test's start, after the clock that times
    // it: the test never records less time than the limit that ended it.
    if (FTimeLimit > 0)
        FDeadline = QDeadlineTimer(FTimeLimit, Qt::PreciseTimer);
}

void TIXBinding::SetConnectTimeout(int milliseconds)
{
    Q_ASSERT(milliseconds > 0);
    FConnectTimeout = milliseconds;
}

void TIXBinding::SetReceiveTimeout(int milliseconds)
{
    Q_ASSERT(milliseconds > 0);
    FReceiveTimeout = milliseconds;
}

void TIXBinding::SetTimeLimit(int milliseconds)
{
    Q_ASSERT(milliseconds >= 0);
    FTimeLimit = milliseconds;
    FDeadline = milliseconds > 0 ? QDeadlineTimer(milliseconds, Qt::PreciseTimer)
                                 : QDeadlineTimer(QDeadlineTimer::Forever);
}

void TIXBinding::Record(const QString &step, qint64 start, bool succeeded)
{
    FCallTimes.append({step, start, FRecordClock.nsecsElapsed(), succeeded});
}

void TIXBinding::NoteCertificate(QNetworkReply &reply, const QList<QSslError> *errors)
{
    if (errors) {
        for (const QSslError &error : *errors)
            FCertificate.Problems |= ProblemOf(error.error());
    }
    // A reused connection shakes no hands; its replies still carry the peer.
    const QSslCertificate peer = reply.sslConfiguration().peerCertificate();
    if (peer.isNull())
        return;
    FCertificate.Seen = true;
    FCertificate.Expires = peer.expiryDate().toUTC();
    FCertificate.Sha256 = peer.digest(QCryptographicHash::Sha256);
}

void TIXBinding::SetCallTimeout(int milliseconds)
{
    Q_ASSERT(milliseconds > 0);
    FCallTimeout = milliseconds;
}

void TIXBinding::SetMaxAnswerSize(qint64 bytes)
{
    Q_ASSERT(bytes > 0);
    FMaxAnswerSize = bytes;
}

template <class TRead>
void TIXBinding::ReadUnderLimits(const QString &url, const QByteArray &action, TRead read)
{
    // The limit timers cannot strike while this thread reads; the reader
    // itself looks at whichever deadline ends first.
    const bool testLimitFirst = FDeadline.deadline() <= FCallDeadline.deadline();
    const QString actionText = QString::fromUtf8(action);
    TReadGuard guard;
    guard.Deadline = testLimitFirst ? FDeadline : FCallDeadline;
    guard.DeadlineText =
        STransportFailure.arg(testLimitFirst ? STimeLimitExceeded.arg(DurationText(FTimeLimit))
                                             : SCallTimedOut.arg(DurationText(FCallTimeout)),
                              url, actionText);
    guard.Cancelled = &FCancelled;
    guard.CancelText = STransportFailure.arg(SAborted, url, actionText);
    // As while waiting for the answer: a click on the window's cancel button
    // or its close box must end the reading, not wait for its end.
    guard.Pump = [] { QCoreApplication::processEvents(); };
    try {
        read(guard);
    } catch (const EFailure &) {
        if (guard.Struck && testLimitFirst)
            FTimeLimitStruck = true;
        throw;
    }
}

void TIXBinding::DropConnection()
{
    FTransport->clearConnectionCache();
}

QByteArray TIXBinding::Transfer(const QUrl &url, const QByteArray *body, const QByteArray &action)
{
    if (FCancelled)
        throw EFailure(STransportFailure.arg(SAborted, url.toString(), QString::fromUtf8(action)));
    if (FDeadline.hasExpired()) {
        FTimeLimitStruck = true;
        throw EFailure(STransportFailure.arg(STimeLimitExceeded.arg(DurationText(FTimeLimit)), url.toString(),
                                             QString::fromUtf8(action)));
    }
    QNetworkRequest request(url);
    if (body) {
        if (!FInvokeOptions.testFlag(TInvokeOption::soNoSOAPActionHeader))
            request.setRawHeader("SOAPAction", action);
        request.setRawHeader("Content-Type", "text/xml; charset=\"utf-8\"");
    } else {
        request.setRawHeader("Accept", "*/*");
    }
    request.setHeader(QNetworkRequest::UserAgentHeader, Agent());
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);

    TReplyPtr reply(body ? FTransport->post(request, *body) : FTransport->get(request));
    // Unbounded, the HTTP thread reads ahead into the reply as fast as the
    // network delivers, whatever this thread takes.
    reply->setReadBufferSize(ReadAhead);
    const QString urlText = url.toString();
    const QString actionText = QString::fromUtf8(action);

    if (FInvokeOptions.testFlag(TInvokeOption::soIgnoreInvalidCerts))
        QObject::connect(reply.get(), &QNetworkReply::sslErrors, reply.get(),
                         [this, r = reply.get()](const QList<QSslError> &errors) {
                             // Let them pass as the main program does, but keep them for the report.
                             NoteCertificate(*r, &errors);
                             r->ignoreSslErrors();
                         });

    // QtNetwork waits for ever on its own; a server that accepts and never
    // answers, or trickles its answer, must not freeze the caller.
    enum class TTimeout { None, Connect, Receive, Call, Limit } timedOut = TTimeout::None;
    QEventLoop loop;
    QTimer connectTimer;
    QTimer receiveTimer;
    // One timer for the call's own limit and the test's time limit, set to
    // whichever ends first; the one that ends first names the failure.
    QTimer limitTimer;
    const bool testLimitFirst = FDeadline.deadline() <= FCallDeadline.deadline();
    connectTimer.setSingleShot(true);
    receiveTimer.setSingleShot(true);
    limitTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; a limit must never strike
    // before its time, so a timer that comes early waits out the rest.
    limitTimer.setTimerType(Qt::PreciseTimer);
    const QDeadlineTimer &firstLimit = testLimitFirst ? FDeadline : FCallDeadline;
    QObject::connect(&limitTimer, &QTimer::timeout, &loop, [&] {
        if (!firstLimit.hasExpired()) {
            limitTimer.start(int(std::max<qint64>(1, firstLimit.remainingTime())));
            return;
        }
        timedOut = testLimitFirst ? TTimeout::Limit : TTimeout::Call;
        reply->abort();
    });

    // The answer is taken from the reply as it arrives and never grows past
    // the bound: an endless answer is cut off there.
    QByteArray answer;
    bool tooLarge = false;
    const auto overflow = [&] {
        tooLarge = true;
        reply->abort();
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, [&] {
        // Again now that the HTTP side of the reply surely exists: a bound
        // set before may reach it too early and be lost.
        reply->setReadBufferSize(ReadAhead);
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > FMaxAnswerSize)
            overflow();
        else if (length.isValid() && length.toLongLong() > 0)
            answer.reserve(length.toLongLong());
    });
    QObject::connect(reply.get(), &QIODevice::readyRead, &loop, [&] {
        if (tooLarge)
            return;
        const qint64 available = reply->bytesAvailable();
        if (qint64(answer.size()) + available > FMaxAnswerSize) {
            overflow();
            return;
        }
        const qint64 had = answer.size();
        const qint64 needed = had + available;
        if (needed > answer.capacity())
            answer.reserve(std::min(std::max(2 * qint64(answer.capacity()), needed), FMaxAnswerSize));
        // Straight into the answer, without a copy in between.
        answer.resize(needed);
        const qint64 read = reply->read(answer.data() + had, available);
        answer.resize(had + std::max<qint64>(read, 0));
    });
    QObject::connect(&connectTimer, &QTimer::timeout, &loop, [&] {
        timedOut = TTimeout::Connect;
        reply->abort();
    });
    QObject::connect(&receiveTimer, &QTimer::timeout, &loop, [&] {
        timedOut = TTimeout::Receive;
        reply->abort();
    });
    QObject::connect(reply.get(), &QNetworkReply::uploadProgress, &loop, [&] {
        if (connectTimer.isActive())
            connectTimer.start(FConnectTimeout);
    });
    QObject::connect(reply.get(), &QNetworkReply::requestSent, &loop, [&] {
        connectTimer.stop();
        receiveTimer.start(FReceiveTimeout);
    });
    const auto progress = [&] {
        connectTimer.stop();
        receiveTimer.start(FReceiveTimeout);
    };
    QObject::connect(reply.get(), &QNetworkReply::metaDataChanged, &loop, progress);
    QObject::connect(reply.get(), &QNetworkReply::downloadProgress, &loop, progress);
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished()) {
        connectTimer.start(FConnectTimeout);
        const QDeadlineTimer &first = testLimitFirst ? FDeadline : FCallDeadline;
        limitTimer.start(int(std::max<qint64>(1, first.remainingTime())));
        {
            const std::lock_guard lock(FWaitMutex);
            FWaitLoop = &loop;
        }
        // User input is delivered during the wait: held back, a window's
        // close request or clicks would act only after the test. The window
        // keeps its own controls quiet meanwhile.
        if (!FCancelled)
            loop.exec();
        const std::lock_guard lock(FWaitMutex);
        FWaitLoop = nullptr;
    }
    connectTimer.stop();
    receiveTimer.stop();
    limitTimer.stop();
    if (url.scheme().compare(u"https"_s, Qt::CaseInsensitive) == 0)
        NoteCertificate(*reply, nullptr);

    const auto fail = [&](const QString &message) {
        DropConnection();
        throw EFailure(message);
    };
    if (FCancelled && !reply->isFinished()) {
        reply->abort();
        fail(STransportFailure.arg(SAborted, urlText, actionText));
    }
    if (timedOut == TTimeout::Connect)
        fail(STransportFailure.arg(SConnectTimedOut.arg(DurationText(FConnectTimeout)), urlText, actionText));
    if (timedOut == TTimeout::Receive)
        fail(STransportFailure.arg(SReceiveTimedOut.arg(DurationText(FReceiveTimeout)), urlText, actionText));
    if (timedOut == TTimeout::Limit) {
        FTimeLimitStruck = true;
        fail(STransportFailure.arg(STimeLimitExceeded.arg(DurationText(FTimeLimit)), urlText, actionText));
    }
    if (timedOut == TTimeout::Call)
        fail(STransportFailure.arg(SCallTimedOut.arg(DurationText(FCallTimeout)), urlText, actionText));
    if (tooLarge)
        fail(STransportFailure.arg(SAnswerTooLarge.arg(SizeText(FMaxAnswerSize)), urlText, actionText));

    const QNetworkReply::NetworkError error = reply->error();
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    switch (error) {
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::BackgroundRequestNotAllowedError:
        fail(SAborted);
        break;
    default:
        break;
    }
    // A proxy that wants credentials answered with a status line of its own;
    // none are ever offered, so it is reported like any refusing status.
    if (error == QNetworkReply::ProxyAuthenticationRequiredError) {
        QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        if (reason.isEmpty())
            reason = SProxyAuthentication;
        fail(SStatusFailure.arg(reason, QString::number(status.isValid() ? status.toInt() : 407), urlText));
    }
    // Network, proxy and protocol failures (no complete HTTP answer); the
    // content and server ranges only restate the status code.
    const bool transportError = (error > QNetworkReply::NoError && error < 200) ||
                                (error >= QNetworkReply::ProtocolUnknownError && error < 400) ||
                                error == QNetworkReply::UnknownNetworkError;
    // Qt names some refusing statuses (400, 418) protocol failures and puts
    // the reason into an English text of its own; they are the server's
    // answer all the same, and its reason must stay recognisable as such.
    const int code = status.isValid() ? status.toInt() : 0;
    const bool refused = code >= 300 && code != 500 &&
                         (error == QNetworkReply::ProtocolInvalidOperationError ||
                          error == QNetworkReply::ProtocolUnknownError);
    if ((transportError && !refused) || !status.isValid()) {
        QString description = reply->errorString();
        while (description.endsWith(u'\r') || description.endsWith(u'\n'))
            description.chop(1);
        fail(STransportFailure.arg(description, urlText, actionText));
    }
    if (code >= 300 && code != 500) {
        const QString reason = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        // One substitution pass: the server's reason may contain "%2".
        fail(SStatusFailure.arg(reason, QString::number(code), urlText));
    }
    const QByteArray contentType = reply->rawHeader("Content-Type");
    if (qint64(answer.size()) + reply->bytesAvailable() > FMaxAnswerSize)
        fail(STransportFailure.arg(SAnswerTooLarge.arg(SizeText(FMaxAnswerSize)), urlText, actionText));
    answer += reply->readAll();
    if (body && (contentType.compare("text/plain", Qt::CaseInsensitive) == 0 ||
                 contentType.compare("text/html", Qt::CaseInsensitive) == 0))
        fail(SWrongContentType.arg(QString::fromLatin1(contentType)));
    return answer;
}

namespace {

// A location named inside a document, taken relative to that document.
QString ResolvedLocation(const QString &base, const QString &named)
{
    const QString location = TrimmedLocation(named);
    if (IsHttpLocation(location))
        return location;
    if (IsHttpLocation(base))
        return QUrl(base, QUrl::TolerantMode).resolved(QUrl(location, QUrl::TolerantMode)).toString();
    if (QFileInfo(location).isAbsolute())
        return location;
    return QFileInfo(base).dir().filePath(location);
}

} // namespace

void TIXBinding::LoadDocument(TWsdl &wsdl, const QString &locationAsNamed, const QString &location)
{
    try {
        QByteArray content;
        if (IsHttpLocation(location)) {
            content = Transfer(QUrl(location, QUrl::TolerantMode), nullptr, "\"\"");
        } else {
            // Qt leaves the file system's texts untranslated; its catalogue has them.
            QFile file(location);
            if (!file.open(QIODevice::ReadOnly))
                throw EFailure(
                    QCoreApplication::translate("QIODevice", file.errorString().toUtf8().constData()));
            content = file.readAll();
            if (file.error() != QFileDevice::NoError)
                throw EFailure(
                    QCoreApplication::translate("QIODevice", file.errorString().toUtf8().constData()));
        }
        if (content.isEmpty())
            throw EFailure(SEmptyDocument);
        const auto same = std::find_if(FParsed.cbegin(), FParsed.cend(), [&](const TParsedDocument &parsed) {
            return parsed.Document.Location == location && parsed.Content == content;
        });
        TParsedDocument parsed;
        if (same != FParsed.cend()) {
            parsed = *same;
        } else {
            parsed.Content = content;
            parsed.Document.Location = location;
            ReadUnderLimits(location, "\"\"", [&](const TReadGuard &guard) {
                ParseWsdl(content, parsed.Document, parsed.TypeNamespace, parsed.InterfaceNamespace, &guard);
            });
        }
        // The first document that names a namespace decides it.
        if (wsdl.TypeNamespace.isEmpty())
            wsdl.TypeNamespace = parsed.TypeNamespace;
        if (wsdl.InterfaceNamespace.isEmpty())
            wsdl.InterfaceNamespace = parsed.InterfaceNamespace;
        wsdl.Documents.append(parsed.Document);
        FParsing.append(std::move(parsed));
    } catch (const EFailure &failure) {
        throw EFailure(SWsdlNotLoaded.arg(locationAsNamed, failure.Message()));
    }
}

TIXBinding::TWsdl &TIXBinding::LoadedWsdl()
{
    if (!FWsdl) {
        auto wsdl = std::make_unique<TWsdl>();
        if (!FParsing.isEmpty()) {
            FParsed = std::move(FParsing);
            FParsing.clear();
        }
        LoadDocument(*wsdl, FWSDLLocation, TrimmedLocation(FWSDLLocation));
        FWsdl = std::move(wsdl);
    }
    return *FWsdl;
}

TIXBinding::TLookup TIXBinding::Lookup(const QString &operation)
{
    TWsdl &wsdl = LoadedWsdl();

    // Service and port, in the document and then depth first in its imports.
    qsizetype portDocument = -1;
    QString bindingName;
    QString endpoint;
    QSet<QString> visited;
    std::function<bool(qsizetype, int)> search = [&](qsizetype index, int depth) -> bool {
        const QString location = wsdl.Documents[index].Location;
        if (visited.contains(location))
            return false;
        visited.insert(location);
        const TWsdlDocument &document = wsdl.Documents[index];
        if (FService.isEmpty() && document.Services.size() == 1)
            FService = document.Services.first().Name;
        for (const TWsdlDocument::TService &service : document.Services) {
            if (service.Name != FService)
                continue;
            if (FPort.isEmpty() && service.Ports.size() == 1)
                FPort = service.Ports.first().Name;
            for (const TWsdlDocument::TPort &port : service.Ports) {
                if (port.Name != FPort)
                    continue;
                if (port.HasAddress) {
                    portDocument = index;
                    bindingName = LocalName(port.Binding);
                    endpoint = port.Address;
                    return true;
                }
                break;
            }
            break;
        }
        if (depth >= MaxImportDepth)
            throw EFailure(SImportsTooDeep.arg(location));
        const QStringList imports = document.Imports; // the list of documents grows below
        for (const QString &named : imports) {
            if (named.isEmpty())
                continue;
            const QString resolved = ResolvedLocation(location, named);
            qsizetype next = -1;
            for (qsizetype i = 0; i < wsdl.Documents.size() && next < 0; ++i) {
                if (wsdl.Documents[i].Location == resolved)
                    next = i;
            }
            if (next < 0) {
                LoadDocument(wsdl, named, resolved);
                next = wsdl.Documents.size() - 1;
            }
            if (search(next, depth + 1))
                return true;
        }
        return false;
    };
    if (!search(0, 0) || endpoint.isEmpty())
        throw EFailure(SNoEndpoint.arg(FService, FPort, FWSDLLocation));

    TLookup lookup;
    lookup.Endpoint = QUrl(endpoint, QUrl::TolerantMode);
    const QString scheme = lookup.Endpoint.scheme().toLower();
    if (!lookup.Endpoint.isValid() || (scheme != u"http"_s && scheme != u"https"_s))
        throw EFailure(SBadScheme.arg(endpoint));

    // SOAP action and operation namespace from the port's binding, looked
    // for in the port's document first.
    const TWsdlDocument::TBinding *binding = nullptr;
    const auto findBinding = [&](const TWsdlDocument &document) {
        for (const TWsdlDocument::TBinding &candidate : document.Bindings) {
            if (candidate.Name == bindingName)
                return &candidate;
        }
        return static_cast<const TWsdlDocument::TBinding *>(nullptr);
    };
    binding = findBinding(wsdl.Documents[portDocument]);
    for (qsizetype i = 0; !binding && i < wsdl.Documents.size(); ++i)
        binding = findBinding(wsdl.Documents[i]);
    QString bodyNamespace;
    if (binding) {
        FSOAPAction.clear();
        for (const TWsdlDocument::TOperation &candidate : binding->Operations) {
            if (candidate.Name == operation) {
                FSOAPAction = candidate.SoapAction;
                bodyNamespace = candidate.BodyNamespace;
                break;
            }
        }
    }
    // The server's WSDL names the authority of both namespaces; the built-in
    // ones are only the last resort.
    lookup.OperationNamespace = !bodyNamespace.isEmpty()             ? bodyNamespace
                                : !wsdl.InterfaceNamespace.isEmpty() ? wsdl.InterfaceNamespace
                                                                     : DefaultOperationNamespace();
    lookup.TypeNamespace = wsdl.TypeNamespace.isEmpty() ? DefaultTypeNamespace() : wsdl.TypeNamespace;
    return lookup;
}

std::shared_ptr<TRemotable>
TIXBinding::Invoke(const QString &operation, const QList<TSoapArgument> &arguments, const QString &resultType)
{
    // The limit covers the whole call, the WSDL download within it included.
    FCallDeadline = QDeadlineTimer(FCallTimeout);
    // Loading the WSDL counts as a step of its own, so that a slow WSDL
    // download is not charged to the first operation.
    if (!FWsdl) {
        const qint64 start = FRecordClock.nsecsElapsed();
        try {
            Lookup(operation);
        } catch (...) {
            Record(SWsdlStep, start, false);
            throw;
        }
        Record(SWsdlStep, start, true);
    }
    const qint64 start = FRecordClock.nsecsElapsed();
    try {
        const TLookup lookup = Lookup(operation);
        const QByteArray body =
            WriteRequest(operation, arguments, lookup.OperationNamespace, lookup.TypeNamespace);
        QByteArray action = '"' + FSOAPAction.toUtf8() + '"';
        if (FSOAPAction.isEmpty() && FInvokeOptions.testFlag(TInvokeOption::soNoValueForEmptySOAPAction))
            action.clear();
        const QByteArray answer = Transfer(lookup.Endpoint, &body, action);
        std::shared_ptr<TRemotable> result;
        ReadUnderLimits(lookup.Endpoint.toString(), action,
                        [&](const TReadGuard &guard) { result = ReadAnswer(answer, resultType, &guard); });
        Record(operation, start, true);
        return result;
    } catch (...) {
        Record(operation, start, false);
        throw;
    }
}

namespace {

TSoapArgument Argument(const QString &name, const std::shared_ptr<TRemotable> &object)
{
    return TSoapArgument{name, TSoapValue(object)};
}

TSoapArgument Argument(const QString &name, const QString &text)
{
    return TSoapArgument{name, TSoapValue(text)};
}

template <class T> std::shared_ptr<T> As(const std::shared_ptr<TRemotable> &object)
{
    return std::dynamic_pointer_cast<T>(object);
}

} // namespace

std::shared_ptr<LoginResult> TIXBinding::login(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                               const QString &String_2, const QString &String_3,
                                               const QString &String_4, const QString &String_5)
{
    return As<LoginResult>(Invoke(u"login"_s,
                                  {Argument(u"ClientInfo_1"_s, ClientInfo_1),
                                   Argument(u"String_2"_s, String_2), Argument(u"String_3"_s, String_3),
                                   Argument(u"String_4"_s, String_4), Argument(u"String_5"_s, String_5)},
                                  u"LoginResult"_s));
}

std::shared_ptr<ServerInfo> TIXBinding::getServerInfo(const std::shared_ptr<ClientInfo> &ClientInfo_1)
{
    return As<ServerInfo>(
        Invoke(u"getServerInfo"_s, {Argument(u"ClientInfo_1"_s, ClientInfo_1)}, u"ServerInfo"_s));
}

std::shared_ptr<IXServicePortC> TIXBinding::getConstants(const std::shared_ptr<ClientInfo> &ClientInfo_1)
{
    return As<IXServicePortC>(
        Invoke(u"getConstants"_s, {Argument(u"ClientInfo_1"_s, ClientInfo_1)}, u"IXServicePortC"_s));
}

std::shared_ptr<EditInfo> TIXBinding::checkoutSord(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                                   const QString &String_2,
                                                   const std::shared_ptr<EditInfoZ> &EditInfoZ_3,
                                                   const std::shared_ptr<LockZ> &LockZ_4)
{
    return As<EditInfo>(Invoke(u"checkoutSord"_s,
                               {Argument(u"ClientInfo_1"_s, ClientInfo_1), Argument(u"String_2"_s, String_2),
                                Argument(u"EditInfoZ_3"_s, EditInfoZ_3), Argument(u"LockZ_4"_s, LockZ_4)},
                               u"EditInfo"_s));
}

void TIXBinding::logout(const std::shared_ptr<ClientInfo> &ClientInfo_1)
{
    Invoke(u"logout"_s, {Argument(u"ClientInfo_1"_s, ClientInfo_1)}, QString());
}

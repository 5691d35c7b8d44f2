// The floor for a cold connection test: a process that sends the six HTTP
// exchanges of one test (WSDL, login, server information, constants, entry
// "1", logout) with canned bodies over one QNetworkAccessManager connection
// and does nothing else. Only the ticket is carried over from the login
// answer, as the server demands. Over https it lets certificate problems
// pass, as the check does.
//   cold_exchanges BASE-URL CANNED-FILE
// CANNED-FILE holds the client's recorded requests (see bench_cold).
// Exit code 0 when every exchange got a complete answer, 1 otherwise.

#include <QCoreApplication>
#include <QDataStream>
#include <QEventLoop>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslError>

#include <cstdio>

namespace {

struct TCanned {
    QByteArray Method;
    QByteArray Target;
    QByteArray SoapAction;
    QByteArray ContentType;
    QByteArray Body;
};

QByteArray TicketIn(const QByteArray &xml)
{
    static const QByteArray start = "<ticket xsi:type=\"xsd:string\">";
    const qsizetype from = xml.indexOf(start);
    if (from < 0)
        return {};
    const qsizetype begin = from + start.size();
    return xml.mid(begin, xml.indexOf("</ticket>", begin) - begin);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 3) {
        std::fputs("usage: cold_exchanges BASE-URL CANNED-FILE\n", stderr);
        return 2;
    }
    const QByteArray base = argv[1];
    QList<TCanned> canned;
    QByteArray recordedTicket;
    {
        QFile file(QString::fromLocal8Bit(argv[2]));
        if (!file.open(QIODevice::ReadOnly))
            return 2;
        QDataStream in(&file);
        qint32 count = 0;
        in >> recordedTicket >> count;
        for (qint32 i = 0; i < count; ++i) {
            TCanned request;
            in >> request.Method >> request.Target >> request.SoapAction >> request.ContentType >>
                request.Body;
            canned << request;
        }
        if (in.status() != QDataStream::Ok || canned.isEmpty())
            return 2;
    }

    QNetworkAccessManager manager;
    // The check goes through certificate problems (the stand-in's
    // certificate is self-signed), so the floor does the same.
    QObject::connect(&manager, &QNetworkAccessManager::sslErrors,
                     [](QNetworkReply *reply, const QList<QSslError> &) { reply->ignoreSslErrors(); });
    QByteArray ticket;
    for (const TCanned &exchange : std::as_const(canned)) {
        QNetworkRequest request(QUrl(QString::fromLatin1(base + exchange.Target.mid(1))));
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
        QNetworkReply *reply = nullptr;
        if (exchange.Method == "POST") {
            request.setRawHeader("SOAPAction", exchange.SoapAction);
            request.setRawHeader("Content-Type", exchange.ContentType);
            QByteArray body = exchange.Body;
            if (!ticket.isEmpty())
                body.replace(recordedTicket, ticket);
            reply = manager.post(request, body);
        } else {
            reply = manager.get(request);
        }
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        if (!reply->isFinished())
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        const QByteArray answer = reply->readAll();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        reply->deleteLater();
        if (status != 200)
            return 1;
        if (ticket.isEmpty() && exchange.Method == "POST")
            ticket = TicketIn(answer);
    }
    return 0;
}

#include "tools/StandInIndexserver.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QRegularExpression>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// Requests as other SOAP stacks write them, by hand from the SOAP 1.1
// encoding rules. $WSDL and $TYPES stand for the server's two namespaces,
// $TICKET for a ticket of a login before.
const QString SEnvelope = u"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<soapenv:Envelope xmlns:soapenv=\"http://schemas.xmlsoap.org/soap/envelope/\""
                          " xmlns:xsd=\"http://www.w3.org/2001/XMLSchema\" "
                          "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
                          " <soapenv:Body>\n%1\n </soapenv:Body>\n</soapenv:Envelope>\n"_s;

const QString SLoginStrings = u"   <String_2 xsi:type=\"xsd:string\">Administrator</String_2>\n"
                              "   <String_3 xsi:type=\"xsd:string\">geheim</String_3>\n"
                              "   <String_4 xsi:type=\"xsd:string\">Ledgerwick</String_4>\n"
                              "   <String_5 xsi:type=\"xsd:string\"></String_5>\n"_s;

const QString SClientMembers = u"<changedMembers xsi:type=\"xsd:long\">0</changedMembers>"
                               "<country xsi:type=\"xsd:string\">DE</country>"
                               "<language xsi:type=\"xsd:string\">de</language>"
                               "<ticket xsi:type=\"xsd:string\">$TICKET</ticket>"_s;

// A login whose ClientInfo is embedded in its accessor, typed by xsi:type.
QString EmbeddedTypedLogin(const QString &typeNamespace)
{
    return SEnvelope.arg(u"  <ix:login soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
                         " xmlns:ix=\"$WSDL\">\n"
                         "   <ClientInfo_1 xsi:type=\"t:ClientInfo\" xmlns:t=\""_s +
                         typeNamespace + u"\">"_s + SClientMembers + u"</ClientInfo_1>\n"_s + SLoginStrings +
                         u"  </ix:login>"_s);
}

QString Post(QNetworkAccessManager &manager, const QString &url, const QString &body, int &status)
{
    QNetworkRequest request{QUrl(url)};
    request.setRawHeader("Content-Type", "text/xml; charset=utf-8");
    request.setRawHeader("SOAPAction", "\"\"");
    QNetworkReply *reply = manager.post(request, body.toUtf8());
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();
    status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString answer = QString::fromUtf8(reply->readAll());
    reply->deleteLater();
    return answer;
}

QString Between(const QString &text, const QString &element)
{
    const QRegularExpression pattern(u"<%1[^>]*>([^<]*)</%1>"_s.arg(element));
    return pattern.match(text).captured(1);
}

} // namespace

class tst_StandInIndexserver : public QObject {
    Q_OBJECT

private slots:
    void readsEveryRequestForm_data();
    void readsEveryRequestForm();
};

void tst_StandInIndexserver::readsEveryRequestForm_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<QString>("fault"); // the faultstring expected; empty: a regular answer

    QTest::newRow("embedded-typed") << EmbeddedTypedLogin(u"$TYPES"_s) << QString();
    QTest::newRow("embedded-untyped")
        << SEnvelope.arg(u"  <m:login xmlns:m=\"$WSDL\">\n"
                         "   <ClientInfo_1><country>DE</country><language>de</language></ClientInfo_1>\n"
                         "   <String_2>Administrator</String_2><String_3>geheim</String_3>"
                         "<String_4>Ledgerwick</String_4><String_5/>\n  </m:login>"_s)
        << QString();
    QTest::newRow("multiref-named-multiRef")
        << SEnvelope.arg(
               u"  <ns1:login soapenv:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\""
               " xmlns:ns1=\"$WSDL\">\n   <ClientInfo_1 href=\"#id0\"/>\n"_s +
               SLoginStrings +
               u"  </ns1:login>\n"
               "  <multiRef id=\"id0\" soapenc:root=\"0\" soapenv:encodingStyle="
               "\"http://schemas.xmlsoap.org/soap/encoding/\" xsi:type=\"ns2:ClientInfo\""
               " xmlns:soapenc=\"http://schemas.xmlsoap.org/soap/encoding/\" xmlns:ns2=\"$TYPES\">"_s +
               SClientMembers + u"</multiRef>"_s)
        << QString();
    QTest::newRow("multiref-before-operation-1999-schema")
        << u"<E:Envelope xmlns:E=\"http://schemas.xmlsoap.org/soap/envelope/\""
           " xmlns:i=\"http://www.w3.org/1999/XMLSchema-instance\" "
           "xmlns:d=\"http://www.w3.org/1999/XMLSchema\""
           " E:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><E:Body>"
           "<types:ClientInfo id=\"c\" xmlns:types=\"$TYPES\"><country i:type=\"d:string\">DE</country>"
           "</types:ClientInfo><a:login xmlns:a=\"$WSDL\"><ClientInfo_1 href=\"#c\"/>"
           "<String_2 i:type=\"d:string\">Administrator</String_2><String_3>geheim</String_3><String_4/>"
           "<String_5/></a:login></E:Body></E:Envelope>"_s
        << QString();
    QTest::newRow("foreign-type-in-xsi-type")
        << EmbeddedTypedLogin(u"http://other.example/types/IndexServer"_s)
        << u"Unbekannter Namensraum 'http://other.example/types/IndexServer'"_s;
    QTest::newRow("foreign-authority-in-name")
        << SEnvelope.arg(
               u"  <ns1:login xmlns:ns1=\"$WSDL\"><ClientInfo_1 href=\"#1\"/>"_s + SLoginStrings +
               u"</ns1:login><o:ClientInfo id=\"1\" xmlns:o=\"http://127.0.0.1:1/types/IndexServer\">"
               "<country>DE</country></o:ClientInfo>"_s)
        << u"Unbekannter Namensraum 'http://127.0.0.1:1/types/IndexServer'"_s;
    QTest::newRow("foreign-operation-namespace")
        << QString(EmbeddedTypedLogin(u"$TYPES"_s)).replace(u"xmlns:ix=\"$WSDL\""_s, u"xmlns:ix=\"urn:ix\""_s)
        << u"Unbekannter Namensraum 'urn:ix'"_s;

    // Entry "1" with the selectors embedded, as the constants gave them.
    const QString checkout =
        u"  <q:checkoutSord xmlns:q=\"$WSDL\" xmlns:t=\"$TYPES\">\n"
        "   <ClientInfo_1 xsi:type=\"t:ClientInfo\">"_s +
        SClientMembers +
        u"</ClientInfo_1>\n"
        "   <String_2>1</String_2>\n"
        "   <EditInfoZ_3 xsi:type=\"t:EditInfoZ\"><changedMembers>0</changedMembers><bset>%1</bset>"
        "<sordZ "
        "xsi:type=\"t:SordZ\"><changedMembers>0</changedMembers><bset>%2</bset></sordZ></EditInfoZ_3>\n"
        "   <LockZ_4><bset>%3</bset><changedMembers>0</changedMembers></LockZ_4>\n  </q:checkoutSord>"_s;
    const QString lean = QString::number(TStandInIndexserver::SordLeanBset);
    const QString leanSord = QString::number(TStandInIndexserver::SordLeanSordZBset);
    const QString lockNo = QString::number(TStandInIndexserver::LockNoBset);
    QTest::newRow("checkout-embedded") << SEnvelope.arg(checkout.arg(lean, leanSord, lockNo)) << QString();
    QTest::newRow("checkout-wrong-selector")
        << SEnvelope.arg(checkout.arg(lean, u"1"_s, lockNo)) << u"Ungültige Auswahl in EditInfoZ_3"_s;
    QTest::newRow("checkout-wrong-lock")
        << SEnvelope.arg(checkout.arg(lean, leanSord, u"0"_s)) << u"Ungültige Sperrauswahl in LockZ_4"_s;
}

void tst_StandInIndexserver::readsEveryRequestForm()
{
    QFETCH(QString, request);
    QFETCH(QString, fault);
    TStandInIndexserver server;
    server.SetNamespaceAuthority(u"http://archiv.example:8080"_s);
    QNetworkAccessManager manager;
    int status = 0;
    QString ticket;
    if (request.contains(u"$TICKET"_s) && request.contains(u"checkoutSord"_s)) {
        const QString login = Post(manager, server.EndpointUrl(),
                                   EmbeddedTypedLogin(server.TypeNamespace())
                                       .replace(u"$WSDL"_s, server.OperationNamespace())
                                       .replace(u"$TICKET"_s, QString()),
                                   status);
        ticket = Between(login, u"ticket"_s);
        QVERIFY2(!ticket.isEmpty(), qPrintable(login));
    }
    request.replace(u"$WSDL"_s, server.OperationNamespace())
        .replace(u"$TYPES"_s, server.TypeNamespace())
        .replace(u"$TICKET"_s, ticket);
    const QString answer = Post(manager, server.EndpointUrl(), request, status);
    QCOMPARE(Between(answer, u"faultstring"_s), fault);
    QCOMPARE(status, fault.isEmpty() ? 200 : 500);
    if (!fault.isEmpty())
        return;
    if (request.contains(u"checkoutSord"_s))
        QCOMPARE(Between(answer, u"name"_s), u"Archiv"_s);
    else
        QCOMPARE(server.LiveTickets(), 1);
}

QTEST_GUILESS_MAIN(tst_StandInIndexserver)
#include "tst_StandInIndexserver.moc"

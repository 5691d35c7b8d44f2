#include "indexserver/IX_Binding.h"
#include "indexserver/IX_Catalogue.h"
#include "indexserver/U_ELO.h"
#include "tests/indexserver/UnderWine.h"
#include "tools/StandInIndexserver.h"

#include <QDomDocument>
#include <QSslSocket>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

// The arguments of one recorded request, by parameter name, with objects
// resolved through their href.
QHash<QString, QDomElement> Arguments(const QByteArray &body, QDomDocument &document)
{
    document.setContent(body, true);
    QHash<QString, QDomElement> ids;
    const QDomElement soapBody = document.documentElement().firstChildElement();
    for (QDomElement e = soapBody.firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
        if (e.hasAttribute(u"id"_s))
            ids.insert(u"#"_s + e.attribute(u"id"_s), e);
    }
    QHash<QString, QDomElement> arguments;
    for (QDomElement e = soapBody.firstChildElement().firstChildElement(); !e.isNull();
         e = e.nextSiblingElement())
        arguments.insert(e.localName(), e.hasAttribute(u"href"_s) ? ids.value(e.attribute(u"href"_s)) : e);
    return arguments;
}

QString MemberText(const QDomElement &object, const QString &name)
{
    return object.firstChildElement(name).text();
}

// The ticket a recorded call carried.
QString TicketOf(const TRecordedRequest &request)
{
    QDomDocument document;
    return MemberText(Arguments(request.Body, document).value(u"ClientInfo_1"_s), u"ticket"_s);
}

// The session's inputs for the stand-in's own user at base.
void PointAt(TElo &elo, const QString &base)
{
    elo.WSDLBase = base;
    elo.LoginUser = u"Administrator"_s;
    elo.LoginPassword = u"geheim"_s;
}

QList<TRecordedRequest> Posts(const TStandInIndexserver &server)
{
    QList<TRecordedRequest> posts;
    for (const TRecordedRequest &request : server.Requests()) {
        if (request.Method == "POST")
            posts << request;
    }
    return posts;
}

// Each request as "<connection>:<method or operation>", in arrival order, to
// show which request went over a connection of its own.
QString ConnectionTrail(const TStandInIndexserver &server)
{
    QStringList trail;
    for (const TRecordedRequest &request : server.Requests())
        trail << QString::number(request.Connection) + u':' +
                     (request.Operation.isEmpty() ? QString::fromLatin1(request.Method) : request.Operation);
    return trail.join(u' ');
}

} // namespace

class tst_U_ELO : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void connectRunsTheFourCalls_data();
    void connectRunsTheFourCalls();
    void loginSendsTheAgreedArguments();
    void wsdlAddressFromBase_data();
    void wsdlAddressFromBase();
    void emptyBaseReadsLocalFile();
    void failingStepLeavesResults_data();
    void failingStepLeavesResults();
    void missingObjectsFail_data();
    void missingObjectsFail();
    void onlyUsedMembersFail_data();
    void onlyUsedMembersFail();
    void expiryRuleDecidesLogout_data();
    void expiryRuleDecidesLogout();
    void disconnectLogsOutAtMostOnce_data();
    void disconnectLogsOutAtMostOnce();
    void disconnectIgnoresFailingLogout();
    void limitedDisconnectGivesUp();
    void destructionSendsNoLogout();
    void successAfterFailureClearsError();
    void secondConnectReplacesResults();
    void oneConnectionPerConnect();
    void recordsEachCallOfTheTest_data();
    void recordsEachCallOfTheTest();
    void cancelEndsConnectAtEveryStep_data();
    void cancelEndsConnectAtEveryStep();
    void cancelBeforeConnectIsForgotten();
};

void tst_U_ELO::initTestCase()
{
    TTypeRegistry::Instance();
}

void tst_U_ELO::connectRunsTheFourCalls_data()
{
    QTest::addColumn<bool>("https");
    QTest::newRow("http") << false;
    QTest::newRow("https") << true;
}

void tst_U_ELO::connectRunsTheFourCalls()
{
    QFETCH(bool, https);
    if (https && !QSslSocket::supportsSsl())
        QSKIP("no TLS backend");
    if (https && RunsUnderWine())
        QSKIP(SWineServesNoHttps);
    TStandInIndexserver server(https ? TStandInIndexserver::TScheme::Https
                                     : TStandInIndexserver::TScheme::Http);
    server.SetRootEntryName(u"Wurzel äöü"_s);
    server.SetServerVersion(u"23.1.0.042"_s);
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error = u"vorher"_s;
    QVERIFY(elo.Connect(error));
    QCOMPARE(error, QString());
    QCOMPARE(server.Operations(),
             QStringList({u"login"_s, u"getServerInfo"_s, u"getConstants"_s, u"checkoutSord"_s}));
    QVERIFY(elo.FConnected);
    QCOMPARE(elo.FRootEntryName, u"Wurzel äöü"_s);
    QCOMPARE(elo.RootEntryName(), u"Wurzel äöü"_s);
    QCOMPARE(elo.ServerVersion(), u"23.1.0.042"_s);
    QVERIFY(elo.FLoginResult && elo.FServerInfo && elo.FConstants);
    QCOMPARE(elo.FClientInfo, elo.FLoginResult->clientInfo);
    QCOMPARE(elo.FTicketLifetime, 600);
    // Every call after the login carries the login's ticket.
    const QString ticket = elo.FLoginResult->clientInfo->ticket;
    QVERIFY(!ticket.isEmpty());
    for (const TRecordedRequest &call : Posts(server).mid(1))
        QCOMPARE(TicketOf(call), ticket);
    QCOMPARE(server.LogoutCount(), 0);

    elo.Disconnect();
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(TicketOf(Posts(server).last()), ticket);
    QCOMPARE(server.LiveTickets(), 0);
}

void tst_U_ELO::loginSendsTheAgreedArguments()
{
    TStandInIndexserver server;
    server.SetUser(u"Jürgen <Admin>"_s);
    server.SetPassword(u"p&ss \"wort\""_s);
    TElo elo;
    elo.WSDLBase = server.BaseUrl();
    elo.LoginUser = u"Jürgen <Admin>"_s;
    elo.LoginPassword = u"p&ss \"wort\""_s;
    QString error;
    QVERIFY2(elo.Connect(error), qPrintable(error));

    QDomDocument document;
    const auto arguments = Arguments(Posts(server).first().Body, document);
    const QDomElement info = arguments.value(u"ClientInfo_1"_s);
    QCOMPARE(MemberText(info, u"language"_s), u"de"_s);
    QCOMPARE(MemberText(info, u"country"_s), u"DE"_s);
    QCOMPARE(MemberText(info, u"ticket"_s), QString());
    QCOMPARE(MemberText(info, u"callId"_s), QString());
    QCOMPARE(arguments.value(u"String_2"_s).text(), u"Jürgen <Admin>"_s);
    QCOMPARE(arguments.value(u"String_3"_s).text(), u"p&ss \"wort\""_s);
    QCOMPARE(arguments.value(u"String_4"_s).text(), u"Ledgerwick"_s);
    // The one-character text U+0000 cannot travel in XML; the element is still sent as a string.
    const QDomElement fifth = arguments.value(u"String_5"_s);
    QVERIFY(!fifth.isNull());
    QCOMPARE(fifth.attributeNS(u"http://www.w3.org/2001/XMLSchema-instance"_s, u"type"_s), u"xsd:string"_s);
    QVERIFY(!fifth.hasAttributeNS(u"http://www.w3.org/2001/XMLSchema-instance"_s, u"nil"_s));
}

void tst_U_ELO::wsdlAddressFromBase_data()
{
    QTest::addColumn<QString>("suffix"); // appended to "http://127.0.0.1:<port>"
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("with-slash") << u"/"_s << QByteArray("/ix?WSDL");
    QTest::newRow("without-slash") << QString() << QByteArray("/ix?WSDL");
    QTest::newRow("path-without-slash") << u"/ix/services"_s << QByteArray("/ix/services/ix?WSDL");
    QTest::newRow("path-with-slash") << u"/ix/services/"_s << QByteArray("/ix/services/ix?WSDL");
    QTest::newRow("double-slash-kept") << u"/ix//"_s << QByteArray("/ix//ix?WSDL");
    QTest::newRow("backslash") << u"/ix\\"_s << QByteArray("/ix%5C/ix?WSDL");
}

void tst_U_ELO::wsdlAddressFromBase()
{
    QFETCH(QString, suffix);
    QFETCH(QByteArray, target);
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, u"http://127.0.0.1:%1"_s.arg(server.Port()) + suffix);
    QString error;
    const bool connected = elo.Connect(error);
    QCOMPARE(server.Requests().first().Target, target);
    QCOMPARE(elo.FBinding->WSDLLocation(),
             elo.WSDLBase + (suffix.endsWith(u'/') ? u""_s : u"/"_s) + u"ix?WSDL"_s);
    QCOMPARE(connected, target == "/ix?WSDL");
}

void tst_U_ELO::emptyBaseReadsLocalFile()
{
    TElo elo;
    elo.LoginUser = u"Administrator"_s;
    elo.LoginPassword = u"geheim"_s;
    QString error;
    QVERIFY(!elo.Connect(error));
    QCOMPARE(elo.FBinding->WSDLLocation(), u"ix?WSDL"_s);
    QVERIFY2(error.startsWith(u"WSDL-Datei/-Ort kann nicht geladen werden: ix?WSDL.  Fehler ["_s),
             qPrintable(error));
    QVERIFY(error.endsWith(u"]"_s));
    QVERIFY(!elo.FConnected);
}

void tst_U_ELO::failingStepLeavesResults_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<bool>("newLogin");
    QTest::addColumn<bool>("newServerInfo");
    QTest::addColumn<bool>("newConstants");
    QTest::newRow("login") << u"login"_s << false << false << false;
    QTest::newRow("getServerInfo") << u"getServerInfo"_s << true << false << false;
    QTest::newRow("getConstants") << u"getConstants"_s << true << true << false;
    QTest::newRow("checkoutSord") << u"checkoutSord"_s << true << true << true;
}

void tst_U_ELO::failingStepLeavesResults()
{
    QFETCH(QString, operation);
    QFETCH(bool, newLogin);
    QFETCH(bool, newServerInfo);
    QFETCH(bool, newConstants);
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    const auto oldLogin = elo.FLoginResult;
    const auto oldServerInfo = elo.FServerInfo;
    const auto oldConstants = elo.FConstants;

    server.Script(operation,
                  TScriptedAnswer{TScriptedAnswer::TKind::Reply,
                                  500,
                                  {},
                                  "text/xml",
                                  TStandInIndexserver::FaultEnvelope(u"Fehler bei "_s + operation)});
    QVERIFY(!elo.Connect(error));
    QCOMPARE(error, u"Fehler bei "_s + operation);
    QVERIFY(!elo.FConnected);
    QCOMPARE(elo.FLoginResult != oldLogin, newLogin);
    QCOMPARE(elo.FServerInfo != oldServerInfo, newServerInfo);
    QCOMPARE(elo.FConstants != oldConstants, newConstants);
    QVERIFY(elo.FLoginResult && elo.FServerInfo && elo.FConstants);
    if (newLogin)
        QCOMPARE(elo.FClientInfo, elo.FLoginResult->clientInfo);
    else
        QCOMPARE(elo.FClientInfo, nullptr);
    // The old ticket was logged out before the new login; a new login stays live.
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(server.LiveTickets(), newLogin ? 1 : 0);

    // Neither Disconnect nor the next Connect logs that login out.
    elo.Disconnect();
    QCOMPARE(server.LogoutCount(), 1);
    server.ClearScripts();
    QVERIFY(elo.Connect(error));
    QCOMPARE(server.LogoutCount(), 1);
}

void tst_U_ELO::missingObjectsFail_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QByteArray>("result"); // the members of the answer's result, or "-" for no result
    QTest::addColumn<QString>("expected");
    QTest::newRow("no-login-result") << u"login"_s << QByteArray("-")
                                     << u"Der Indexserver hat auf die Anmeldung kein Ergebnis geliefert"_s;
    QTest::newRow("constants-without-lock")
        << u"getConstants"_s << QByteArray("<EDIT_INFO><mbSordLean><bset>1</bset></mbSordLean></EDIT_INFO>")
        << u"Die Konstanten des Indexservers enthalten kein EDIT_INFO oder kein LOCK"_s;
    QTest::newRow("constants-without-edit-info")
        << u"getConstants"_s << QByteArray("<LOCK><NO><bset>1</bset></NO></LOCK>")
        << u"Die Konstanten des Indexservers enthalten kein EDIT_INFO oder kein LOCK"_s;
    QTest::newRow("no-edit-info") << u"checkoutSord"_s << QByteArray("-")
                                  << u"Der Indexserver hat den Eintrag \"1\" nicht geliefert"_s;
    QTest::newRow("no-sord") << u"checkoutSord"_s << QByteArray("<changedMembers>0</changedMembers>")
                             << u"Der Indexserver hat den Eintrag \"1\" nicht geliefert"_s;
}

void tst_U_ELO::missingObjectsFail()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, result);
    QFETCH(QString, expected);
    TStandInIndexserver server;
    const QByteArray answer = "<?xml version=\"1.0\"?><e:Envelope "
                              "xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><r:" +
                              operation.toUtf8() + "Response xmlns:r=\"urn:r\">" +
                              (result == "-" ? QByteArray() : "<result>" + result + "</result>") +
                              "</r:" + operation.toUtf8() + "Response></e:Body></e:Envelope>";
    server.Script(operation, TScriptedAnswer{TScriptedAnswer::TKind::Reply, 200, {}, "text/xml", answer});
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(!elo.Connect(error));
    QCOMPARE(error, expected);
    QVERIFY(!elo.FConnected);
    QCOMPARE(elo.FClientInfo == nullptr, operation == u"login"_s);
}

void tst_U_ELO::onlyUsedMembersFail_data()
{
    QTest::addColumn<QString>("operation"); // the answer replaced, or empty
    QTest::addColumn<QByteArray>("result"); // the members of the replacing answer's result
    QTest::addColumn<QString>("expected");  // the error text; empty: the test passes
    QTest::newRow("real-server-forms") << QString() << QByteArray() << QString();
    QTest::newRow("bad-ticket-lifetime") << u"login"_s << QByteArray("<ticketLifetime>lang</ticketLifetime>")
                                         << u"'lang' ist kein gültiger Integerwert"_s;
    QTest::newRow("bad-lean-selector")
        << u"getConstants"_s
        << QByteArray("<EDIT_INFO><mbSordLean><bset>x1</bset></mbSordLean></EDIT_INFO>"
                      "<LOCK><NO><bset>1</bset></NO></LOCK>")
        << u"'x1' ist kein gültiger Integerwert"_s;
    QTest::newRow("bad-lock-selector")
        << u"getConstants"_s
        << QByteArray("<EDIT_INFO><mbSordLean><bset>1</bset></mbSordLean></EDIT_INFO>"
                      "<LOCK><NO><changedMembers>18446744073709551616</changedMembers></NO></LOCK>")
        << u"'18446744073709551616' ist kein gültiger Integerwert"_s;
}

void tst_U_ELO::onlyUsedMembersFail()
{
    QFETCH(QString, operation);
    QFETCH(QByteArray, result);
    QFETCH(QString, expected);
    // Constants and entry "1" in every form a real server may use.
    TStandInIndexserver server;
    server.SetVariantAnswers(true);
    if (!operation.isEmpty()) {
        const QByteArray answer = "<?xml version=\"1.0\"?><e:Envelope "
                                  "xmlns:e=\"http://schemas.xmlsoap.org/soap/envelope/\"><e:Body><r:" +
                                  operation.toUtf8() + "Response xmlns:r=\"urn:r\"><result>" + result +
                                  "</result></r:" + operation.toUtf8() + "Response></e:Body></e:Envelope>";
        server.Script(operation, TScriptedAnswer{TScriptedAnswer::TKind::Reply, 200, {}, "text/xml", answer});
    }
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QCOMPARE(elo.Connect(error), expected.isEmpty());
    QCOMPARE(error, expected);
    if (expected.isEmpty()) {
        QCOMPARE(elo.RootEntryName(), u"Archiv"_s);
        QCOMPARE(server.Operations().last(), u"checkoutSord"_s);
    }
}

void tst_U_ELO::expiryRuleDecidesLogout_data()
{
    QTest::addColumn<int>("lifetime");   // seconds, as the server hands it out
    QTest::addColumn<qint64>("laterMs"); // time of the second Connect after the first login
    QTest::addColumn<bool>("logsOut");
    QTest::newRow("expires-in-10s") << 10 << qint64(0) << true;
    QTest::newRow("1.9s-before") << 600 << qint64(598100) << false;
    QTest::newRow("1s-before") << 600 << qint64(599000) << false;
    QTest::newRow("2s-before") << 600 << qint64(598000) << true;
    QTest::newRow("at-expiry") << 600 << qint64(600000) << false;
    QTest::newRow("1.9s-after") << 600 << qint64(601900) << false;
    QTest::newRow("2s-after") << 600 << qint64(602000) << true;
    QTest::newRow("long-after") << 60 << qint64(86400000) << true;
    QTest::newRow("lifetime-0-at-once") << 0 << qint64(1500) << false;
    QTest::newRow("lifetime-0-2s-later") << 0 << qint64(2000) << true;
}

void tst_U_ELO::expiryRuleDecidesLogout()
{
    QFETCH(int, lifetime);
    QFETCH(qint64, laterMs);
    QFETCH(bool, logsOut);
    TStandInIndexserver server;
    server.SetTicketLifetime(lifetime);
    const QDateTime start(QDate(2026, 3, 29), QTime(1, 59, 30));
    QDateTime now = start;
    TElo elo([&now] { return now; });
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    QCOMPARE(elo.FTicketExpires, start.addSecs(lifetime));
    const QString firstTicket = elo.FClientInfo->ticket;

    now = start.addMSecs(laterMs);
    QVERIFY(elo.Connect(error));
    QStringList expected = {u"login"_s, u"getServerInfo"_s, u"getConstants"_s, u"checkoutSord"_s};
    QStringList operations = expected;
    if (logsOut)
        operations << u"logout"_s;
    operations << expected;
    QCOMPARE(server.Operations(), operations);
    if (logsOut)
        QCOMPARE(TicketOf(Posts(server).at(4)), firstTicket);
    QCOMPARE(elo.FTicketExpires, now.addSecs(lifetime));
}

void tst_U_ELO::disconnectLogsOutAtMostOnce_data()
{
    QTest::addColumn<QString>("state");
    QTest::addColumn<int>("logouts");
    QTest::newRow("new") << u"new"_s << 0;
    QTest::newRow("connected") << u"connected"_s << 1;
    QTest::newRow("failed") << u"failed"_s << 0;
}

void tst_U_ELO::disconnectLogsOutAtMostOnce()
{
    QFETCH(QString, state);
    QFETCH(int, logouts);
    TStandInIndexserver server;
    TElo elo;
    elo.WSDLBase = server.BaseUrl();
    elo.LoginUser = u"Administrator"_s;
    elo.LoginPassword = state == u"failed"_s ? u"falsch"_s : u"geheim"_s;
    QString error;
    if (state != u"new"_s)
        QCOMPARE(elo.Connect(error), state == u"connected"_s);
    elo.Disconnect();
    elo.Disconnect();
    QCOMPARE(server.LogoutCount(), logouts);
    QVERIFY(!elo.FConnected);
    QCOMPARE(elo.FClientInfo, nullptr);
    // The kept results stay until they are replaced or the session ends.
    QCOMPARE(elo.FLoginResult != nullptr, state == u"connected"_s);
}

void tst_U_ELO::disconnectIgnoresFailingLogout()
{
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    server.Script(u"logout"_s,
                  TScriptedAnswer{TScriptedAnswer::TKind::Reply, 404, {}, "text/html", "<html/>"});
    elo.Disconnect();
    QVERIFY(!elo.FConnected);
    QCOMPARE(elo.FClientInfo, nullptr);
    QCOMPARE(server.Operations().last(), u"logout"_s);
    elo.Disconnect();
    QCOMPARE(server.Operations().count(u"logout"_s), 1);
}

// A logout the server never answers ends after the limit, and the next
// Connect waits as long as usual again.
void tst_U_ELO::limitedDisconnectGivesUp()
{
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    const int connectTimeout = elo.FBinding->ConnectTimeout();
    const int receiveTimeout = elo.FBinding->ReceiveTimeout();
    TScriptedAnswer silent;
    silent.Kind = TScriptedAnswer::TKind::NeverAnswer;
    server.Script(u"logout"_s, silent);

    QElapsedTimer clock;
    clock.start();
    elo.Disconnect(200);
    // Far below the binding's own wait for an answer.
    QVERIFY2(clock.elapsed() < receiveTimeout / 3, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(server.Operations().last(), u"logout"_s);
    QVERIFY(!elo.FConnected);
    QCOMPARE(elo.FBinding->ConnectTimeout(), connectTimeout);
    QCOMPARE(elo.FBinding->ReceiveTimeout(), receiveTimeout);

    server.ClearScripts();
    QVERIFY2(elo.Connect(error), qPrintable(error));
}

void tst_U_ELO::destructionSendsNoLogout()
{
    TStandInIndexserver server;
    std::weak_ptr<LoginResult> login;
    std::weak_ptr<IXServicePortC> constants;
    {
        TElo elo;
        PointAt(elo, server.BaseUrl());
        QString error;
        QVERIFY(elo.Connect(error));
        login = elo.FLoginResult;
        constants = elo.FConstants;
    }
    QCOMPARE(server.LogoutCount(), 0);
    QCOMPARE(server.LiveTickets(), 1);
    QVERIFY(login.expired());
    QVERIFY(constants.expired());
}

void tst_U_ELO::successAfterFailureClearsError()
{
    TStandInIndexserver server;
    server.SetLoginFault(u"[ELOIX:2001]Benutzer oder Passwort falsch."_s);
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(!elo.Connect(error));
    QCOMPARE(error, u"[ELOIX:2001]Benutzer oder Passwort falsch."_s);

    TStandInIndexserver second;
    elo.WSDLBase = second.BaseUrl();
    QVERIFY(elo.Connect(error));
    QCOMPARE(error, QString());
    QCOMPARE(second.LoginCount(), 1);
}

void tst_U_ELO::secondConnectReplacesResults()
{
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    std::weak_ptr<LoginResult> login = elo.FLoginResult;
    std::weak_ptr<ClientInfo> info = elo.FClientInfo;
    std::weak_ptr<ServerInfo> serverInfo = elo.FServerInfo;
    std::weak_ptr<IXServicePortC> constants = elo.FConstants;
    QVERIFY(elo.Connect(error));
    QVERIFY(login.expired());
    QVERIFY(info.expired());
    QVERIFY(serverInfo.expired());
    QVERIFY(constants.expired());
    QCOMPARE(server.LogoutCount(), 1);
    QCOMPARE(server.LoginCount(), 2);
}

void tst_U_ELO::oneConnectionPerConnect()
{
    TStandInIndexserver server;
    // Answers no sooner than over a network; see SetLatency.
    server.SetLatency(30);
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    QVERIFY2(server.AcceptedConnections() == 1, qPrintable(ConnectionTrail(server)));
    // Every Connect fetches the WSDL anew, over a new connection.
    QVERIFY(elo.Connect(error));
    QVERIFY2(server.AcceptedConnections() == 2, qPrintable(ConnectionTrail(server)));
    int gets = 0;
    for (const TRecordedRequest &request : server.Requests())
        gets += request.Method == "GET" ? 1 : 0;
    QCOMPARE(gets, 2);
}

void tst_U_ELO::recordsEachCallOfTheTest_data()
{
    QTest::addColumn<QString>("failing");  // the request answered with a fault; empty: none
    QTest::addColumn<QString>("expected"); // each step with "+" succeeded or "-" failed
    QTest::newRow("none") << QString()
                          << u"wsdl+ login+ getServerInfo+ getConstants+ checkoutSord+ logout+"_s;
    QTest::newRow("wsdl") << u"wsdl"_s << u"wsdl-"_s;
    QTest::newRow("getConstants") << u"getConstants"_s << u"wsdl+ login+ getServerInfo+ getConstants-"_s;
}

void tst_U_ELO::recordsEachCallOfTheTest()
{
    QFETCH(QString, failing);
    QFETCH(QString, expected);
    TStandInIndexserver server;
    server.SetDelay(u"getServerInfo"_s, 200);
    if (!failing.isEmpty()) {
        TScriptedAnswer fault;
        fault.Status = 500;
        fault.Body = TStandInIndexserver::FaultEnvelope(u"kaputt"_s);
        server.Script(failing, fault);
    }
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    // The record of this first test must not leak into the second one's.
    QCOMPARE(elo.Connect(error), failing.isEmpty());
    QCOMPARE(elo.Connect(error), failing.isEmpty());
    elo.Disconnect();

    QStringList steps;
    qint64 previousEnd = 0;
    for (const TCallTime &call : elo.CallTimes()) {
        steps << call.Step + (call.Succeeded ? u"+"_s : u"-"_s);
        QVERIFY2(call.Start >= previousEnd && call.End >= call.Start, qPrintable(call.Step));
        previousEnd = call.End;
        // The server's delay is charged to its own step.
        if (call.Step == u"getServerInfo"_s)
            QVERIFY(call.End - call.Start >= 200000000);
    }
    QCOMPARE(steps.join(u' '), expected);
    QVERIFY(!elo.TimeLimitStruck());
    QVERIFY(!elo.Certificate().Seen); // plain http
}

void tst_U_ELO::cancelEndsConnectAtEveryStep_data()
{
    QTest::addColumn<QString>("held");         // the call the server holds when the cancel comes
    QTest::addColumn<bool>("keepsSession");    // Disconnect then logs out a session
    QTest::addColumn<QString>("loggedOutWith"); // "old" or "new" ticket; empty: no logout
    // The logout of the first test's session that opens the second test.
    QTest::newRow("logout-of-old-session") << u"logout"_s << true << u"old"_s;
    QTest::newRow("login") << u"login"_s << false << QString();
    QTest::newRow("getServerInfo") << u"getServerInfo"_s << true << u"new"_s;
    QTest::newRow("checkoutSord") << u"checkoutSord"_s << true << u"new"_s;
}

// A second test cancelled while the server holds one of its calls: it ends
// at once without another call, and the following Disconnect logs out
// whichever session is still open.
void tst_U_ELO::cancelEndsConnectAtEveryStep()
{
    QFETCH(QString, held);
    QFETCH(bool, keepsSession);
    QFETCH(QString, loggedOutWith);
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    QString error;
    QVERIFY(elo.Connect(error));
    const QString oldTicket = elo.FClientInfo->ticket;
    server.SetDelay(held, 60000);
    const qsizetype heldBefore = server.Operations().count(held);
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (server.Operations().count(held) > heldBefore) {
            poll.stop();
            server.SetDelay(held, 0);
            elo.Cancel();
        }
    });
    poll.start();

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!elo.Connect(error));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(error.contains(u"abgebrochen"_s), qPrintable(error));
    QCOMPARE(server.Operations().last(), held);
    QCOMPARE(elo.FConnected, keepsSession);

    const qsizetype posts = Posts(server).size();
    elo.Disconnect();
    QVERIFY(!elo.FConnected);
    if (loggedOutWith.isEmpty()) {
        QCOMPARE(Posts(server).size(), posts);
    } else {
        QCOMPARE(Posts(server).size(), posts + 1);
        QCOMPARE(server.Operations().last(), u"logout"_s);
        const QString ticket = TicketOf(Posts(server).last());
        QCOMPARE(ticket == oldTicket, loggedOutWith == u"old"_s);
    }
}

// A cancel that came before a test belongs to no test: the next one runs.
void tst_U_ELO::cancelBeforeConnectIsForgotten()
{
    TStandInIndexserver server;
    TElo elo;
    PointAt(elo, server.BaseUrl());
    elo.Cancel();
    QString error;
    QVERIFY2(elo.Connect(error), qPrintable(error));
    QVERIFY(elo.Connect(error));
    QCOMPARE(server.LogoutCount(), 1);
}

QTEST_GUILESS_MAIN(tst_U_ELO)
#include "tst_U_ELO.moc"

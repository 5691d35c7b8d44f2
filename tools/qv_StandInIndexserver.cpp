// A stand-in Indexserver on 127.0.0.1 for trying the tools without a real
// server: prints the WSDL base URL to give as IXWSDLLocation and serves until
// it is stopped.

#include "tools/StandInIndexserver.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

using namespace Qt::StringLiterals;

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(u"qv_StandInIndexserver"_s);

    QCommandLineParser parser;
    parser.setApplicationDescription(
        u"Stand-in ELO Indexserver on 127.0.0.1 for tests and demonstrations."_s);
    parser.addHelpOption();
    const QCommandLineOption port(u"port"_s, u"Port to listen on (0: a free one)."_s, u"port"_s, u"0"_s);
    const QCommandLineOption user(u"user"_s, u"Accepted user name."_s, u"name"_s, u"Administrator"_s);
    const QCommandLineOption password(u"password"_s, u"Accepted password."_s, u"text"_s, u"geheim"_s);
    const QCommandLineOption https(u"https"_s, u"Serve https with a self-signed certificate."_s);
    const QCommandLineOption root(u"root-name"_s, u"Name of entry \"1\"."_s, u"name"_s, u"Archiv"_s);
    const QCommandLineOption slow(u"slow"_s,
                                  u"Hold every answer back this many seconds, as a slow server does."_s,
                                  u"seconds"_s, u"0"_s);
    const QCommandLineOption variants(
        u"variants"_s, u"Answer all constants and entry \"1\" in every form a real server may use."_s);
    parser.addOptions({port, user, password, https, root, slow, variants});
    parser.process(app);

    bool slowOk = false;
    const double slowSeconds = parser.value(slow).toDouble(&slowOk);
    if (!slowOk || slowSeconds < 0 || slowSeconds > 3600) {
        QTextStream(stderr) << "Ungültige Verzögerung: " << parser.value(slow) << '\n';
        return 2;
    }

    bool portOk = false;
    const uint portNumber = parser.value(port).toUInt(&portOk);
    if (!portOk || portNumber > 65535) {
        QTextStream(stderr) << "Ungültiger Port: " << parser.value(port) << '\n';
        return 2;
    }

    TStandInIndexserver server(parser.isSet(https) ? TStandInIndexserver::TScheme::Https
                                                   : TStandInIndexserver::TScheme::Http,
                               quint16(portNumber));
    if (!server.IsListening()) {
        QTextStream(stderr) << server.ErrorString() << '\n';
        return 1;
    }
    server.SetUser(parser.value(user));
    server.SetPassword(parser.value(password));
    server.SetRootEntryName(parser.value(root));
    for (const QString &key :
         {u"wsdl"_s, u"login"_s, u"getServerInfo"_s, u"getConstants"_s, u"checkoutSord"_s, u"logout"_s})
        server.SetDelay(key, qRound(slowSeconds * 1000));
    server.SetVariantAnswers(parser.isSet(variants));

    QTextStream out(stdout);
    out << server.BaseUrl() << Qt::endl;
    return app.exec();
}

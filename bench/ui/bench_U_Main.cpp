// Start-up and connection-test times of the configuration window, offscreen,
// against the stand-in Indexserver on the loopback interface.
//   QT_QPA_PLATFORM=offscreen build/release/bench/ui/bench_U_Main

#include "settings/U_Types.h"
#include "tools/StandInIndexserver.h"
#include "ui/U_Main.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

TF_MainHooks QuietHooks(const QString &dir, int &boxes)
{
    TF_MainHooks hooks;
    hooks.AppDir = dir;
    hooks.MessageBox = [&boxes](const TMessage &) {
        ++boxes;
        return TMsgDlgBtn::mbOK;
    };
    hooks.ClaimInstance = [] { return TInstanceClaim{}; };
    return hooks;
}

void StoreLogin(const QString &path, const QString &wsdl)
{
    TGlobalSettings settings(path);
    settings.SetIXUser(u"Administrator"_s);
    settings.SetIXPasswort(u"geheim"_s);
    settings.SetIXWSDLLocation(wsdl);
    QString message;
    if (!settings.SaveToFile(message))
        qFatal("%s", qPrintable(message));
}

} // namespace

class bench_U_Main : public QObject {
    Q_OBJECT
private slots:
    void showWithoutLogin();
    void showWithStoredLogin();
    void connectButton();
};

// Creation, first show and close with a file that holds no login: no server call.
void bench_U_Main::showWithoutLogin()
{
    QTemporaryDir dir;
    int boxes = 0;
    QBENCHMARK
    {
        TF_Main window(QuietHooks(dir.path(), boxes));
        window.show();
        window.close();
    }
    QCOMPARE(boxes, 0);
}

// The same with a stored login: the first show runs the whole connection test.
void bench_U_Main::showWithStoredLogin()
{
    TStandInIndexserver server;
    QTemporaryDir dir;
    StoreLogin(dir.filePath(u"quilloraGlobal.xml"_s), server.BaseUrl());
    int boxes = 0;
    QBENCHMARK
    {
        TF_Main window(QuietHooks(dir.path(), boxes));
        window.show();
        window.close();
    }
    QCOMPARE(boxes, 0);
    QVERIFY(server.LoginCount() > 0);
    QCOMPARE(server.LogoutCount(), server.LoginCount());
}

// One press of "Verbinde" on an open window: logout of the old ticket, WSDL, login and the three probes.
void bench_U_Main::connectButton()
{
    TStandInIndexserver server;
    QTemporaryDir dir;
    StoreLogin(dir.filePath(u"quilloraGlobal.xml"_s), server.BaseUrl());
    int boxes = 0;
    TF_Main window(QuietHooks(dir.path(), boxes));
    window.show();
    auto button = window.findChild<QPushButton *>(u"B_IXConection"_s);
    QBENCHMARK
    {
        button->click();
    }
    QCOMPARE(boxes, 0);
    window.close();
}

QTEST_MAIN(bench_U_Main)
#include "bench_U_Main.moc"

// Start-up and connection-test times of the configuration window, offscreen,
// against the stand-in Indexserver on the loopback interface.
//   QT_QPA_PLATFORM=offscreen build/release/bench/ui/bench_U_Main
// firstPaint() prints the time from creation to the first paint with a
// stored login and a server that never answers, as a ratio against the same
// start without a stored login.

#include "settings/U_Types.h"
#include "tools/StandInIndexserver.h"
#include "ui/U_Main.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QGuiApplication>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>

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

// Without a password no test runs at first show; the file is the same size.
void StoreLogin(const QString &path, const QString &wsdl, const QString &password = u"geheim"_s)
{
    TGlobalSettings settings(path);
    settings.SetIXUser(u"Administrator"_s);
    settings.SetIXPasswort(password);
    settings.SetIXWSDLLocation(wsdl);
    QString message;
    if (!settings.SaveToFile(message))
        qFatal("%s", qPrintable(message));
}

// Shows the window and runs events until its first-show test has ended (the
// wait cursor is gone).
void ShowAndWait(TF_Main &window)
{
    window.show();
    while (QGuiApplication::overrideCursor())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

// Ends a local event loop at the first paint of the watched window.
class TFirstPaint : public QObject {
public:
    explicit TFirstPaint(QEventLoop &loop) : FLoop(loop) {}
    bool Painted = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !Painted) {
            Painted = true;
            FLoop.quit();
        }
        return false;
    }

private:
    QEventLoop &FLoop;
};

// Nanoseconds from creating the window to its first paint. The window is
// gone before a first-show test it has queued could start.
qint64 NsToFirstPaint(const TF_MainHooks &hooks)
{
    QElapsedTimer clock;
    clock.start();
    TF_Main window(hooks);
    QEventLoop loop;
    TFirstPaint watch(loop);
    window.installEventFilter(&watch);
    window.show();
    if (!watch.Painted)
        loop.exec();
    return clock.nsecsElapsed();
}

} // namespace

class bench_U_Main : public QObject {
    Q_OBJECT
private slots:
    void showWithoutLogin();
    void showWithStoredLogin();
    void connectButton();
    void firstPaint();
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
        ShowAndWait(window);
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
    ShowAndWait(window);
    auto button = window.findChild<QPushButton *>(u"B_IXConection"_s);
    QBENCHMARK
    {
        button->click();
    }
    QCOMPARE(boxes, 0);
    window.close();
}

// The window must be on screen at once, however the server behaves: with a
// stored login and a server that never answers, the time to the first paint
// is set against the same start with no password stored (no test).
void bench_U_Main::firstPaint()
{
    TStandInIndexserver server;
    TScriptedAnswer silent;
    silent.Kind = TScriptedAnswer::TKind::NeverAnswer;
    server.Script(u"wsdl"_s, silent);
    QTemporaryDir hungDir;
    QTemporaryDir plainDir;
    StoreLogin(hungDir.filePath(u"quilloraGlobal.xml"_s), server.BaseUrl());
    StoreLogin(plainDir.filePath(u"quilloraGlobal.xml"_s), server.BaseUrl(), QString());
    int boxes = 0;
    const TF_MainHooks hung = QuietHooks(hungDir.path(), boxes);
    const TF_MainHooks plain = QuietHooks(plainDir.path(), boxes);

    // Short alternating rounds, so that load from elsewhere falls on both
    // alike; the median round decides.
    constexpr int Rounds = 21;
    constexpr int PerRound = 5;
    QList<double> ratios;
    qint64 hungNs = 0;
    qint64 plainNs = 0;
    NsToFirstPaint(plain); // warm-up: fonts, images, the platform plugin
    for (int round = 0; round < Rounds; ++round) {
        qint64 hungRound = 0;
        qint64 plainRound = 0;
        for (int i = 0; i < PerRound; ++i) {
            plainRound += NsToFirstPaint(plain);
            hungRound += NsToFirstPaint(hung);
        }
        hungNs += hungRound;
        plainNs += plainRound;
        ratios << double(hungRound) / double(plainRound);
    }
    std::sort(ratios.begin(), ratios.end());
    const double count = Rounds * PerRound;
    qInfo("start to first paint: stored login, server never answers %.2f ms; no stored login %.2f ms "
          "(median ratio %.3f, difference %.2f ms)",
          hungNs / count / 1e6, plainNs / count / 1e6, ratios[Rounds / 2], (hungNs - plainNs) / count / 1e6);
    QCOMPARE(boxes, 0);
    // No window got as far as asking the server.
    QCOMPARE(server.Requests().size(), 0);
}

QTEST_MAIN(bench_U_Main)
#include "bench_U_Main.moc"

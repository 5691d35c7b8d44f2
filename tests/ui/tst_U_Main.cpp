// The configuration window driven through its controls, offscreen, against
// the stand-in Indexserver on the loopback interface.

#include "common/EFailure.h"
#include "settings/U_Types.h"
#include "tools/StandInIndexserver.h"
#include "ui/U_Main.h"
#include "ui/U_Platform.h"

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QApplication>
#include <QBitArray>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QDialogButtonBox>
#include <QDir>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProxyStyle>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSslCertificate>
#include <QSslSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <optional>
#include <tuple>

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#ifdef VELLUMIX_HAVE_XCB
#include <xcb/xcb.h>
#endif

using namespace Qt::StringLiterals;

namespace {

const QString SDemoUser = u"Administrator"_s;
const QString SDemoPassword = u"geheim#1"_s;
const QString SRefused = u"Anmeldung fehlgeschlagen: Benutzer oder Passwort ungültig"_s;

// The stand-in Indexserver with the demo login.
class TStandInServer {
public:
    TStandInServer()
    {
        FServer.SetUser(SDemoUser);
        FServer.SetPassword(SDemoPassword);
    }
    QString WsdlBase() const { return FServer.BaseUrl(); }
    int Logins() const { return FServer.LoginCount(); }
    int Logouts() const { return FServer.LogoutCount(); }
    int Requests() const { return int(FServer.Requests().size()); }
    QStringList Operations() const { return FServer.Operations(); }
    // Holds the stand-in's own answer to operation back for delay milliseconds.
    void HoldBack(const QString &operation, int delay) { FServer.SetDelay(operation, delay); }
    void NeverAnswer(const QString &operation)
    {
        TScriptedAnswer silent;
        silent.Kind = TScriptedAnswer::TKind::NeverAnswer;
        FServer.Script(operation, silent);
    }

private:
    TStandInIndexserver FServer;
};

// Records every message box instead of showing it, and answers with the
// first of Answers still left, then with Answer.
struct TBoxes {
    QList<TMessage> Shown;
    TMsgDlgBtn Answer = TMsgDlgBtn::mbOK;
    QList<TMsgDlgBtn> Answers;
};

struct TChooserCall {
    QString Title, Root, Start;
    bool ShowEditBox = false, IncludeFiles = true, AllowNewFolder = false;
};

TF_MainHooks HooksFor(const QString &dir, TBoxes &boxes)
{
    TF_MainHooks hooks;
    hooks.AppDir = dir;
    hooks.MessageBox = [&boxes](const TMessage &message) {
        boxes.Shown.append(message);
        return boxes.Answers.isEmpty() ? boxes.Answer : boxes.Answers.takeFirst();
    };
    hooks.ClaimInstance = [] { return TInstanceClaim{}; };
    hooks.ChooseFolder = [](const QString &, const QString &, QString &, bool, bool, bool) {
        qWarning("the folder chooser was not expected here");
        return false;
    };
    return hooks;
}

QString SettingsPath(const QTemporaryDir &dir)
{
    return dir.filePath(u"quilloraGlobal.xml"_s);
}

// Writes a settings file through the store, so the password is stored the way the program stores it.
void StoreSettings(const QString &path, const QString &user, const QString &password, const QString &wsdl,
                   int logLevel = 0, const QString &logFolder = QString())
{
    TGlobalSettings settings(path);
    settings.SetIXUser(user);
    settings.SetIXPasswort(password);
    settings.SetIXWSDLLocation(wsdl);
    settings.SetLogLevel(logLevel);
    settings.SetLogFileFolder(logFolder);
    QString message;
    QVERIFY2(settings.SaveToFile(message), qPrintable(message));
}

// Puts bytes into the settings file as an administrator's editor would.
[[nodiscard]] bool WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

QByteArray FileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

template <typename T> T *Control(const QWidget &window, const QString &name)
{
    T *control = window.findChild<T *>(name);
    if (!control)
        qWarning("no control %s", qPrintable(name));
    return control;
}

QColor LampColor(const QWidget &window)
{
    return Control<QWidget>(window, u"JvLED_IXConnection"_s)->property("color").value<QColor>();
}

// Shows the window and waits until its first-show work is done, a connection
// test included: the wait cursor is gone.
[[nodiscard]] bool ShowAndSettle(QWidget &window)
{
    window.show();
    return QTest::qWaitFor([] { return QGuiApplication::overrideCursor() == nullptr; }) &&
           QTest::qWaitForWindowExposed(&window);
}

// Notes what probe says when the watched widget is painted for the first time.
class TFirstPaint : public QObject {
public:
    TFirstPaint(QWidget &watched, std::function<int()> probe) : FProbe(std::move(probe))
    {
        watched.installEventFilter(this);
    }
    int AtFirstPaint = -1;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && AtFirstPaint < 0)
            AtFirstPaint = FProbe();
        return false;
    }

private:
    std::function<int()> FProbe;
};

const QColor SGrey(128, 128, 128);
const QColor SGreen(0, 255, 0);
const QColor SRed(255, 0, 0);

// Asks the window to close the way a window manager does: a WM_DELETE_WINDOW
// message through the X server, from a connection of its own. true once the
// server has taken the message.
bool SendDeleteWindow(const QWidget &window)
{
#ifdef VELLUMIX_HAVE_XCB
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection)) {
        xcb_disconnect(connection);
        return false;
    }
    const auto atom = [&](const char *name) {
        xcb_intern_atom_reply_t *reply = xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(qstrlen(name)), name), nullptr);
        const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
        free(reply);
        return result;
    };
    xcb_client_message_event_t message{};
    message.response_type = XCB_CLIENT_MESSAGE;
    message.format = 32;
    message.window = xcb_window_t(window.winId());
    message.type = atom("WM_PROTOCOLS");
    message.data.data32[0] = atom("WM_DELETE_WINDOW");
    message.data.data32[1] = XCB_CURRENT_TIME;
    // Checked, which waits for the server: a connection closed right after
    // its last request may have that request dropped unread (the X server
    // takes the hang-up first), and the window never hears of the close.
    // A window manager keeps its connection, so this is the test's own
    // hazard; unchecked, about one message in ten was lost under Xvfb.
    xcb_generic_error_t *error = xcb_request_check(
        connection, xcb_send_event_checked(connection, 0, message.window, XCB_EVENT_MASK_NO_EVENT,
                                           reinterpret_cast<const char *>(&message)));
    const bool taken = !error && message.type != XCB_ATOM_NONE && message.data.data32[0] != XCB_ATOM_NONE;
    free(error);
    xcb_disconnect(connection);
    return taken;
#else
    Q_UNUSED(window);
    return false;
#endif
}

// Whether a window manager holds the screen (owns the WM_S0 selection).
bool WindowManagerRuns()
{
#ifdef VELLUMIX_HAVE_XCB
    xcb_connection_t *connection = xcb_connect(nullptr, nullptr);
    bool owned = false;
    if (!xcb_connection_has_error(connection)) {
        xcb_intern_atom_reply_t *atom =
            xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 5, "WM_S0"), nullptr);
        if (atom) {
            xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
                connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
            owned = owner && owner->owner != XCB_WINDOW_NONE;
            free(owner);
        }
        free(atom);
    }
    xcb_disconnect(connection);
    return owned;
#else
    return false;
#endif
}

// Openbox on the test's display for as long as it lives; Running() false
// when there is none to start.
class TWindowManager {
public:
    TWindowManager()
    {
#ifdef VELLUMIX_OPENBOX
        FProcess.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        // Holding the WM_S0 selection is not yet managing windows: one
        // mapped before openbox's start-up is complete may stay unmapped.
        // The start-up command runs once it is.
        const QString ready = FDir.filePath(u"ready"_s);
        FProcess.start(QStringLiteral(VELLUMIX_OPENBOX),
                       {u"--sm-disable"_s, u"--config-file"_s, QStringLiteral(VELLUMIX_OPENBOX_RC),
                        u"--startup"_s, u"touch "_s + ready});
        FRunning = FProcess.waitForStarted() &&
                   QTest::qWaitFor([&] { return QFile::exists(ready); }, 30000) && WindowManagerRuns();
#endif
    }
    ~TWindowManager()
    {
        if (FProcess.state() == QProcess::NotRunning)
            return;
        FProcess.terminate();
        if (!FProcess.waitForFinished(5000))
            FProcess.kill();
        FProcess.waitForFinished();
    }
    bool Running() const
    {
        return FRunning;
    }

private:
    QTemporaryDir FDir;
    QProcess FProcess;
    bool FRunning = false;
};

// A real left click at the middle of widget through the X server, sent by
// xdotool while this process goes on.
bool ClickThroughServer(const QWidget &widget)
{
    const QPoint at = widget.mapToGlobal(widget.rect().center());
    return QProcess::startDetached(u"xdotool"_s, {u"mousemove"_s, u"--sync"_s, QString::number(at.x()),
                                                  QString::number(at.y()), u"click"_s, u"1"_s});
}

} // namespace

extern const char StandInCertificatePem[];

// The offscreen platform warns about every dialog it sizes; nothing of ours.
QtMessageHandler GPreviousHandler = nullptr;
void QuietOffscreen(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == u"This plugin does not support propagateSizeHints()"_s)
        return;
    GPreviousHandler(type, context, message);
}

class tst_U_Main : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { GPreviousHandler = qInstallMessageHandler(QuietOffscreen); }
    void cleanupTestCase() { qInstallMessageHandler(GPreviousHandler); }

    void layoutPlacesEveryControl_data();
    void layoutPlacesEveryControl();
    void windowLooksAsDesigned();
    void tabOrderFollowsTheGroups();
    void centredWithItsFrame();

    void startsEmptyWithoutFile();
    void firstShowTestsStoredLogin_data();
    void firstShowTestsStoredLogin();
    void unreadableLogLevelStopsFirstShow();
    void unreadableSettingsLeaveNothingToEdit();
    void unusableFileIsNamedAtFirstShow();
    void uneditableSettingIsReadOnly_data();
    void uneditableSettingIsReadOnly();
    void uneditablePasswordIsShownAndTested_data();
    void uneditablePasswordIsShownAndTested();
    void longValuesAreShownWhole();
    void runningTestShows_data();
    void runningTestShows();

    void typingWritesThroughOnlyToStore();
    void passwordShowsStars();
    void connectUsesEditedValues();
    void lampTooltipTellsCertificate();
    void failedHandlerShowsDefaultBox();

    void okSavesAndCloses();
    void failedSaveKeepsWindowOpen_data();
    void failedSaveKeepsWindowOpen();
    void fileChangedOnDiskOffersReload_data();
    void fileChangedOnDiskOffersReload();
    void reloadAsksWhatBothChanged_data();
    void reloadAsksWhatBothChanged();
    void reloadOfUnusableFileAsksAgain();
    void unreadableFileIsNotOffered();
    void closingWithoutSaveLeavesFile_data();
    void closingWithoutSaveLeavesFile();
    void closingLogsOutOnce_data();
    void closingLogsOutOnce();
    void busyWindowTakesNoInput();
    void closeCancelsRunningTest_data();
    void closeCancelsRunningTest();
    void closeBeforeFirstShowTestSkipsIt();
    void realInputDuringSlowTest_data();
    void realInputDuringSlowTest();
    void closeGivesUpOnSilentLogout_data();
    void closeGivesUpOnSilentLogout();
    void realInputDuringLogout_data();
    void realInputDuringLogout();
    void keyboardReachesAbbrechenDuringTest_data();
    void keyboardReachesAbbrechenDuringTest();

    void controlsAreNamedForScreenReaders_data();
    void controlsAreNamedForScreenReaders();
    void lampTellsItsStateToScreenReaders();
    void lampStateShowsWithoutColour_data();
    void lampStateShowsWithoutColour();
    void screenReaderReadsTheWindow();

    void clearButtonResetsLevelAndFolder();
    void keyboardWorksFolderAndButtons_data();
    void keyboardWorksFolderAndButtons();
    void focusedLinkButtonShowsIt_data();
    void focusedLinkButtonShowsIt();
    void startFocusIsShown();
    void typedFolderIsRefused();
    void chooseButtonStoresExistingFolder_data();
    void chooseButtonStoresExistingFolder();

    void messageBoxesReadGerman_data();
    void messageBoxesReadGerman();
    void longTextBoxFitsScreen_data();
    void longTextBoxFitsScreen();
    void boxWithDetailsFitsScreen_data();
    void boxWithDetailsFitsScreen();
    void shortTextBoxIsWhole();
    void browseFlagsFollowOptions_data();
    void browseFlagsFollowOptions();
    void folderDialogStartsAtExistingFolder();
    void folderDialogCancelKeepsOrDropsStart_data();
    void folderDialogCancelKeepsOrDropsStart();
    void folderDialogReturnsChosenFolder_data();
    void folderDialogReturnsChosenFolder();

    void savingNeedsAdministratorIsSaidOnce_data();
    void savingNeedsAdministratorIsSaidOnce();
    void saveRefusedForRightsSaysAdministrator_data();
    void saveRefusedForRightsSaysAdministrator();
    void mayWriteFileTellsRights_data();
    void mayWriteFileTellsRights();

    void secondCopyShowsMessageOnly();
    void instanceNameIsHeldUntilReleased_data();
    void instanceNameIsHeldUntilReleased();
    void secondProcessEndsWithMessage();
};

// ---------------------------------------------------------------- layout

void tst_U_Main::layoutPlacesEveryControl_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    QTest::newRow("GBox_Log") << u"GBox_Log"_s << u"F_Main"_s << QRect(8, 8, 454, 143) << u"Logfunktion"_s;
    QTest::newRow("L_LogLevel") << u"L_LogLevel"_s << u"GBox_Log"_s << QRect(24, 29, 39, 13) << u"Loglevel"_s;
    QTest::newRow("CBox_LogLevel") << u"CBox_LogLevel"_s << u"GBox_Log"_s << QRect(24, 48, 145, 21)
                                   << u"kein log"_s;
    QTest::newRow("L_LogFolder") << u"L_LogFolder"_s << u"GBox_Log"_s << QRect(24, 83, 106, 13)
                                 << u"Logdateienverzeichnis"_s;
    QTest::newRow("BEdit_Log") << u"BEdit_Log"_s << u"GBox_Log"_s << QRect(24, 102, 409, 21) << QString();
    QTest::newRow("GBox_IndexServer")
        << u"GBox_IndexServer"_s << u"F_Main"_s << QRect(8, 157, 454, 210) << u"ELO Indexserver"_s;
    QTest::newRow("LEdit_IXUser") << u"LEdit_IXUser"_s << u"GBox_IndexServer"_s << QRect(24, 48, 409, 21)
                                  << QString();
    QTest::newRow("LEdit_IXUser-label")
        << u"LEdit_IXUserLabel"_s << u"GBox_IndexServer"_s << QRect(24, 32, 43, 13) << u"Benutzer"_s;
    QTest::newRow("LEdit_IXPasswort")
        << u"LEdit_IXPasswort"_s << u"GBox_IndexServer"_s << QRect(24, 96, 409, 21) << QString();
    QTest::newRow("LEdit_IXPasswort-label")
        << u"LEdit_IXPasswortLabel"_s << u"GBox_IndexServer"_s << QRect(24, 80, 44, 13) << u"Passwort"_s;
    QTest::newRow("LEdit_IXWSDL") << u"LEdit_IXWSDL"_s << u"GBox_IndexServer"_s << QRect(24, 144, 409, 21)
                                  << QString();
    QTest::newRow("LEdit_IXWSDL-label")
        << u"LEdit_IXWSDLLabel"_s << u"GBox_IndexServer"_s << QRect(24, 128, 71, 13) << u"WSDL Location"_s;
    QTest::newRow("B_IXConection") << u"B_IXConection"_s << u"GBox_IndexServer"_s << QRect(24, 171, 75, 25)
                                   << u"Verbinde"_s;
    QTest::newRow("JvLED_IXConnection")
        << u"JvLED_IXConnection"_s << u"GBox_IndexServer"_s << QRect(105, 175, 17, 17) << QString();
    QTest::newRow("B_OK") << u"B_OK"_s << u"F_Main"_s << QRect(468, 251, 200, 55) << u"OK"_s;
    QTest::newRow("B_Abbrechen") << u"B_Abbrechen"_s << u"F_Main"_s << QRect(468, 312, 200, 55)
                                 << u"Abbrechen"_s;
}

void tst_U_Main::layoutPlacesEveryControl()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QWidget *control = Control<QWidget>(window, name);
    QVERIFY(control);
    QCOMPARE(control->parentWidget()->objectName(), parent);
    if (auto label = qobject_cast<QLabel *>(control)) {
        // A label may grow to its text where Tahoma is missing, never shrink.
        QCOMPARE(control->pos(), geometry.topLeft());
        QCOMPARE(control->height(), geometry.height());
        QVERIFY(control->width() >= geometry.width());
        QVERIFY(control->width() >= label->fontMetrics().horizontalAdvance(label->text()));
    } else {
        QCOMPARE(control->geometry(), geometry);
    }

    QString shown;
    if (auto box = qobject_cast<QGroupBox *>(control))
        shown = box->title();
    else if (auto label = qobject_cast<QLabel *>(control))
        shown = label->text();
    else if (auto button = qobject_cast<QPushButton *>(control))
        shown = button->text();
    else if (auto combo = qobject_cast<QComboBox *>(control))
        shown = combo->currentText();
    else if (auto edit = qobject_cast<QLineEdit *>(control))
        shown = edit->text();
    QCOMPARE(shown, text);
    QVERIFY(control->toolTip().isEmpty());
}

void tst_U_Main::windowLooksAsDesigned()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));

    QCOMPARE(window.windowTitle(), u">quillora< Vellumix"_s);
    QCOMPARE(window.size(), QSize(678, 375));
    QCOMPARE(window.minimumSize(), QSize(678, 375));
    QCOMPARE(window.maximumSize(), QSize(678, 375));
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    QVERIFY(window.windowFlags() & Qt::WindowCloseButtonHint);
    QVERIFY(!window.windowIcon().isNull());
    QCOMPARE(window.font().family(), u"Tahoma"_s);
    QCOMPARE(window.font().pixelSize(), 11);

    auto combo = Control<QComboBox>(window, u"CBox_LogLevel"_s);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->itemText(0), u"kein log"_s);
    QCOMPARE(combo->itemText(1), u"Normal"_s);
    QCOMPARE(combo->itemText(2), u"Debug"_s);
    QVERIFY(!combo->isEditable());
    for (int row = 0; row < combo->count(); ++row)
        QCOMPARE(combo->view()->sizeHintForRow(row), 13);

    for (const auto &[name, note] : {std::pair{u"B_OK"_s, u"speichert die Einstellungen"_s},
                                     std::pair{u"B_Abbrechen"_s, u"beenden ohne speichern"_s}}) {
        auto button = Control<QCommandLinkButton>(window, name);
        QCOMPARE(button->description(), note);
        QCOMPARE(button->iconSize(), QSize(32, 32));
        QVERIFY(!button->icon().pixmap(32, 32).isNull());
        QVERIFY(!button->autoDefault());
        QVERIFY(!button->isDefault());
    }
    QVERIFY(!Control<QPushButton>(window, u"B_IXConection"_s)->autoDefault());

    auto folder = Control<QLineEdit>(window, u"BEdit_Log"_s);
    for (const QString &name : {u"BEdit_LogLeftButton"_s, u"BEdit_LogRightButton"_s}) {
        auto action = folder->findChild<QAction *>(name);
        QVERIFY2(action, qPrintable(name));
        QVERIFY(!action->icon().pixmap(16, 16).isNull());
        QVERIFY(action->isVisible());
    }
    QCOMPARE(LampColor(window), SGrey);
}

void tst_U_Main::tabOrderFollowsTheGroups()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    const QStringList expected{
        u"CBox_LogLevel"_s, u"BEdit_Log"_s,     u"LEdit_IXUser"_s, u"LEdit_IXPasswort"_s,
        u"LEdit_IXWSDL"_s,  u"B_IXConection"_s, u"B_OK"_s,         u"B_Abbrechen"_s};
    QStringList order;
    QWidget *widget = Control<QWidget>(window, expected.first());
    for (int i = 0; i < expected.size(); ++i) {
        order << widget->objectName();
        do
            widget = widget->nextInFocusChain();
        while (!(widget->focusPolicy() & Qt::TabFocus));
    }
    QCOMPARE(order, expected);
}

void tst_U_Main::centredWithItsFrame()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    CentreOnScreen(window);
    QVERIFY(ShowAndSettle(window));
    const QMargins frame = window.windowHandle()->frameMargins();
    if (frame.isNull())
        QSKIP("this platform draws no frame");
    const QPoint centre = window.screen()->availableGeometry().center();
    const QPoint offset = window.frameGeometry().center() - centre;
    QVERIFY2(qAbs(offset.x()) <= 1 && qAbs(offset.y()) <= 1,
             qPrintable(u"off by %1, %2"_s.arg(offset.x()).arg(offset.y())));
    QCOMPARE(window.size(), QSize(678, 375));
}

// ---------------------------------------------------------------- first show

void tst_U_Main::startsEmptyWithoutFile()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();

    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(LampColor(window), SGrey);
    QCOMPARE(Control<QComboBox>(window, u"CBox_LogLevel"_s)->currentIndex(), 0);
    for (const QString &name : {u"BEdit_Log"_s, u"LEdit_IXUser"_s, u"LEdit_IXPasswort"_s, u"LEdit_IXWSDL"_s})
        QCOMPARE(Control<QLineEdit>(window, name)->text(), QString());
    QVERIFY(!QFile::exists(SettingsPath(dir)));
}

void tst_U_Main::firstShowTestsStoredLogin_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QColor>("lamp");
    QTest::addColumn<int>("logins");
    QTest::addColumn<QString>("box");

    QTest::newRow("accepted") << SDemoUser << SDemoPassword << SGreen << 1 << QString();
    QTest::newRow("rejected") << SDemoUser << u"falsch"_s << SRed << 1 << u"Fehler: \r\n"_s + SRefused;
    QTest::newRow("user-only") << SDemoUser << QString() << SGrey << 0 << QString();
    QTest::newRow("password-only") << QString() << SDemoPassword << SGrey << 0 << QString();
}

void tst_U_Main::firstShowTestsStoredLogin()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(QColor, lamp);
    QFETCH(int, logins);
    QFETCH(QString, box);

    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), user, password, server.WsdlBase());
    const QByteArray before = FileBytes(SettingsPath(dir));
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    // The window is on screen before the server hears of it.
    TFirstPaint paint(window, [&] { return server.Requests(); });
    QVERIFY(ShowAndSettle(window));

    QCOMPARE(paint.AtFirstPaint, 0);
    QCOMPARE(LampColor(window), lamp);
    QCOMPARE(server.Logins(), logins);
    if (box.isEmpty()) {
        QVERIFY(boxes.Shown.isEmpty());
    } else {
        QCOMPARE(boxes.Shown.size(), 1);
        QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
        QCOMPARE(boxes.Shown[0].Caption, u"Fehler"_s);
        QCOMPARE(boxes.Shown[0].Text, box);
        QCOMPARE(boxes.Shown[0].Buttons, QList{TMsgDlgBtn::mbOK});
    }
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXUser"_s)->text(), user);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXPasswort"_s)->text(), password);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXWSDL"_s)->text(), server.WsdlBase());
    QCOMPARE(FileBytes(SettingsPath(dir)), before);
}

void tst_U_Main::unreadableLogLevelStopsFirstShow()
{
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase(), 2, dir.path());
    // The same file without the level attribute.
    QDomDocument document;
    QVERIFY(document.setContent(FileBytes(SettingsPath(dir))));
    QDomElement folder = document.documentElement().firstChildElement(u"LogFileFolder"_s);
    QVERIFY(!folder.isNull());
    folder.removeAttribute(u"LogLevel"_s);
    QVERIFY(WriteBytes(SettingsPath(dir), document.toByteArray()));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();

    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
    QCOMPARE(boxes.Shown[0].Caption, u"Fehler"_s);
    QVERIFY2(boxes.Shown[0].Text.startsWith(u"Meldung: "_s), qPrintable(boxes.Shown[0].Text));
    QVERIFY(boxes.Shown[0].Text.size() > 9);
    for (const QString &name : {u"BEdit_Log"_s, u"LEdit_IXUser"_s, u"LEdit_IXPasswort"_s, u"LEdit_IXWSDL"_s})
        QCOMPARE(Control<QLineEdit>(window, name)->text(), QString());
    QCOMPARE(LampColor(window), SGrey);
    QCOMPARE(server.Logins(), 0);

    // "Verbinde" loads the session from the store all the same.
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(LampColor(window), SGreen);
    QCOMPARE(boxes.Shown.size(), 1);
}

void tst_U_Main::unreadableSettingsLeaveNothingToEdit()
{
    QTemporaryDir dir;
    const QByteArray content =
        "<?xml version=\"1.0\"?>\r\n<qv_Vellumix ver=\"1.0\"><Port><x/></Port></qv_Vellumix>\r\n";
    QVERIFY(WriteBytes(SettingsPath(dir), content));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QCOMPARE(boxes.Shown.size(), 1);
    QVERIFY(boxes.Shown[0].Text.startsWith(u"Meldung: "_s));
    QVERIFY(!Control<QWidget>(window, u"GBox_Log"_s)->isEnabled());
    QVERIFY(!Control<QWidget>(window, u"GBox_IndexServer"_s)->isEnabled());

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QCOMPARE(FileBytes(SettingsPath(dir)), content);
}

void tst_U_Main::unusableFileIsNamedAtFirstShow()
{
    QTemporaryDir dir;
    const QByteArray typo =
        "<qv_Vellumix>\r\n  <Port>8080</Port>\r\n  <IXUser>admin</IXUsr>\r\n</qv_Vellumix>\r\n";
    QVERIFY(WriteBytes(SettingsPath(dir), typo));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
    QCOMPARE(boxes.Shown[0].Caption, u"Fehler"_s);
    const QString text = boxes.Shown[0].Text;
    const QString head = u"Die Einstellungsdatei "_s + QDir::toNativeSeparators(SettingsPath(dir)) +
                         u" kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 3, Spalte "_s;
    QVERIFY2(text.startsWith(head), qPrintable(text));
    static const QRegularExpression ending(
        uR"(\): .+\r\nOK ersetzt die Datei durch die angezeigten Einstellungen und bewahrt den bisherigen )"
        uR"(Inhalt als (.+\.bak) auf\.$)"_s);
    const QRegularExpressionMatch match = ending.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    const QString backup = match.captured(1);
    QCOMPARE(QFileInfo(backup).absolutePath(), QFileInfo(SettingsPath(dir)).absolutePath());
    QVERIFY(Control<QWidget>(window, u"GBox_IndexServer"_s)->isEnabled());

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QCOMPARE(FileBytes(backup), typo);
    QVERIFY(TGlobalSettings(SettingsPath(dir)).LoadProblem().isEmpty());
}

void tst_U_Main::uneditableSettingIsReadOnly_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("label");
    QTest::newRow("IXUser") << u"IXUser"_s << u"LEdit_IXUser"_s << u"Benutzer"_s;
    QTest::newRow("IXPasswort") << u"IXPasswort"_s << u"LEdit_IXPasswort"_s << u"Passwort"_s;
    QTest::newRow("IXWSDLLocation") << u"IXWSDLLocation"_s << u"LEdit_IXWSDL"_s << u"WSDL Location"_s;
    QTest::newRow("LogFileFolder") << u"LogFileFolder"_s << u"BEdit_Log"_s << u"Logdateienverzeichnis"_s;
}

// Reported once at first show, not at every keystroke; the element stays.
void tst_U_Main::uneditableSettingIsReadOnly()
{
    QFETCH(QString, setting);
    QFETCH(QString, control);
    QTemporaryDir dir;
    const QByteArray element =
        "<" + setting.toUtf8() + " LogLevel=\"1\">admin<!-- Dienstkonto --></" + setting.toUtf8() + ">";
    QVERIFY(WriteBytes(SettingsPath(dir), QByteArray("<qv_Vellumix>" + element + "</qv_Vellumix>")));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
    QFETCH(QString, label);
    QCOMPARE(boxes.Shown[0].Text,
             u"Das Feld „"_s + label + u"“ (Element "_s + setting +
                 u") kann hier nicht geändert werden: In der Datei steht dort nicht nur "
                 u"ein einfacher Text (etwa weitere Elemente oder Kommentare).\r\nDas "
                 u"Feld ist schreibgeschützt; die Datei behält den Inhalt, wie er ist."_s);
    for (const QString &name : {u"LEdit_IXUser"_s, u"LEdit_IXPasswort"_s, u"LEdit_IXWSDL"_s}) {
        auto *edit = Control<QLineEdit>(window, name);
        QCOMPARE(edit->isReadOnly(), name == control);
        edit->setFocus();
        QTest::keyClicks(edit, u"xy"_s);
    }
    // What is text of it shows, read-only; the password field its clear text
    // (uneditablePasswordIsShownAndTested).
    if (control != u"LEdit_IXPasswort"_s)
        QCOMPARE(Control<QLineEdit>(window, control)->text(), u"admin"_s);
    else
        QVERIFY(!Control<QLineEdit>(window, control)->text().isEmpty());
    for (const QString &name : {u"BEdit_LogLeftButton"_s, u"BEdit_LogRightButton"_s}) {
        auto *button = Control<QLineEdit>(window, u"BEdit_Log"_s)->findChild<QAction *>(name);
        QVERIFY(button);
        QCOMPARE(button->isEnabled(), control != u"BEdit_Log"_s);
    }
    QCOMPARE(boxes.Shown.size(), 1);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY2(FileBytes(SettingsPath(dir)).contains(element), FileBytes(SettingsPath(dir)).constData());
}

void tst_U_Main::uneditablePasswordIsShownAndTested_data()
{
    // How the stored password's element is split; %1 and %2 are its halves.
    QTest::addColumn<QString>("content");
    QTest::newRow("comment-inside") << u"%1<!-- geändert am 3.5. -->%2"_s;
    QTest::newRow("comment-before") << u"<!-- Dienstkonto -->%1%2"_s;
    QTest::newRow("element-around-part") << u"%1<alt>%2</alt>"_s;
}

// A password element with more than its text is reported and stays as it is,
// but its text still is the stored password: shown read-only and tested at
// first show with the stored user.
void tst_U_Main::uneditablePasswordIsShownAndTested()
{
    QFETCH(QString, content);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    QString bytes = QString::fromUtf8(FileBytes(SettingsPath(dir)));
    const QRegularExpression element(u"<IXPasswort>([^<]+)</IXPasswort>"_s);
    const QRegularExpressionMatch match = element.match(bytes);
    QVERIFY(match.hasMatch());
    const QString stored = match.captured(1);
    // Split after a block separator, so that each half is whole blocks.
    const qsizetype half = stored.indexOf(u'-') + 1;
    QVERIFY(half > 0);
    const QString split =
        u"<IXPasswort>"_s + content.arg(stored.left(half), stored.mid(half)) + u"</IXPasswort>"_s;
    bytes.replace(match.capturedStart(), match.capturedLength(), split);
    QVERIFY(WriteBytes(SettingsPath(dir), bytes.toUtf8()));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(boxes.Shown.size(), 1);
    QVERIFY2(boxes.Shown[0].Text.startsWith(u"Das Feld „Passwort“ (Element IXPasswort)"_s),
             qPrintable(boxes.Shown[0].Text));
    auto *password = Control<QLineEdit>(window, u"LEdit_IXPasswort"_s);
    QVERIFY(password->isReadOnly());
    QCOMPARE(password->echoMode(), QLineEdit::Password);
    QCOMPARE(password->text(), SDemoPassword);
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(LampColor(window), SGreen);

    // Verbinde tests with it again; OK keeps the element as it was.
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QTRY_COMPARE(server.Logins(), 2);
    QTRY_VERIFY(QGuiApplication::overrideCursor() == nullptr);
    QCOMPARE(LampColor(window), SGreen);
    QCOMPARE(boxes.Shown.size(), 1);
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY2(FileBytes(SettingsPath(dir)).contains(split.toUtf8()), FileBytes(SettingsPath(dir)).constData());
}

void tst_U_Main::longValuesAreShownWhole()
{
    QTemporaryDir dir;
    const QString user = u"ä"_s.repeated(40000);
    const QString wsdl = u"http://ix/"_s + QString(40000, u'w');
    const QString folder = u"/"_s + QString(40000, u'l') + u"/"_s;
    StoreSettings(SettingsPath(dir), user, QString(), wsdl, 1, folder);
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXUser"_s)->text(), user);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXWSDL"_s)->text(), wsdl);
    QCOMPARE(Control<QLineEdit>(window, u"BEdit_Log"_s)->text(), folder);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    const TGlobalSettings saved(SettingsPath(dir));
    QCOMPARE(saved.GetIXUser(), user);
    QCOMPARE(saved.GetIXWSDLLocation(), wsdl);
    QCOMPARE(saved.GetLogFileFolder(), folder);
}

void tst_U_Main::runningTestShows_data()
{
    QTest::addColumn<bool>("firstShow");
    QTest::newRow("first-show") << true;
    QTest::newRow("Verbinde") << false;
}

// While the stand-in holds the login answer back, the caption counts the
// seconds, "Verbinde" is disabled, the wait cursor shows and the lamp keeps
// its colour; afterwards everything is as before.
void tst_U_Main::runningTestShows()
{
    QFETCH(bool, firstShow);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    auto button = Control<QPushButton>(window, u"B_IXConection"_s);
    if (!firstShow) {
        QVERIFY(ShowAndSettle(window));
        QCOMPARE(LampColor(window), SGreen);
    }
    const QColor lampBefore = LampColor(window);

    struct TSeen {
        QString Caption;
        bool ButtonEnabled;
        bool WaitCursor;
        QColor Lamp;
    };
    QList<TSeen> seen;
    connect(&window, &QWidget::windowTitleChanged, &window, [&](const QString &caption) {
        const QCursor *cursor = QGuiApplication::overrideCursor();
        seen.append(
            {caption, button->isEnabled(), cursor && cursor->shape() == Qt::WaitCursor, LampColor(window)});
    });
    server.HoldBack(u"login"_s, 1300);
    if (firstShow)
        QVERIFY(ShowAndSettle(window));
    else
        QTest::mouseClick(button, Qt::LeftButton);

    QCOMPARE(server.Logins(), firstShow ? 1 : 2);
    QVERIFY2(seen.size() >= 3, qPrintable(QString::number(seen.size())));
    // A tick may be lost on a busy machine, so the seconds only have to grow from 0.
    const QRegularExpression counting(u"^>quillora< Vellumix – verbinde … (\\d+) s$"_s);
    int last = -1;
    for (qsizetype i = 0; i + 1 < seen.size(); ++i) {
        const QRegularExpressionMatch match = counting.match(seen[i].Caption);
        QVERIFY2(match.hasMatch(), qPrintable(seen[i].Caption));
        const int seconds = match.captured(1).toInt();
        QVERIFY(i == 0 ? seconds == 0 : seconds > last);
        last = seconds;
        QVERIFY(!seen[i].ButtonEnabled);
        QVERIFY(seen[i].WaitCursor);
        QCOMPARE(seen[i].Lamp, lampBefore);
    }
    QCOMPARE(seen.last().Caption, u">quillora< Vellumix"_s);
    QCOMPARE(window.windowTitle(), u">quillora< Vellumix"_s);
    QVERIFY(button->isEnabled());
    // Disabling moved the focus away from the pressed button; it comes back.
    if (!firstShow)
        QCOMPARE(QApplication::focusWidget(), button);
    QCOMPARE(LampColor(window), SGreen);
    QVERIFY(boxes.Shown.isEmpty());
}

// ---------------------------------------------------------------- editing

void tst_U_Main::typingWritesThroughOnlyToStore()
{
    QTemporaryDir dir;
    // No password, so no test at first show.
    StoreSettings(SettingsPath(dir), u"alt"_s, QString(), u"http://127.0.0.1:1/"_s);
    const QByteArray stored = FileBytes(SettingsPath(dir));
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QVERIFY(boxes.Shown.isEmpty());

    auto user = Control<QLineEdit>(window, u"LEdit_IXUser"_s);
    user->selectAll();
    QTest::keyClicks(user, u"neu"_s);
    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXPasswort"_s), u"pw"_s);
    auto wsdl = Control<QLineEdit>(window, u"LEdit_IXWSDL"_s);
    wsdl->selectAll();
    QTest::keyClicks(wsdl, u"http://x/"_s);
    auto combo = Control<QComboBox>(window, u"CBox_LogLevel"_s);
    QTest::keyClick(combo, Qt::Key_Down);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentIndex(), 2);
    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(FileBytes(SettingsPath(dir)), stored);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    TGlobalSettings saved(SettingsPath(dir));
    QCOMPARE(saved.GetIXUser(), u"neu"_s);
    QCOMPARE(saved.GetIXPasswort(), u"pw"_s);
    QCOMPARE(saved.GetIXWSDLLocation(), u"http://x/"_s);
    QCOMPARE(saved.GetLogLevel(), 2);
    QVERIFY(!FileBytes(SettingsPath(dir)).contains("<IXPasswort>pw<"));
}

void tst_U_Main::passwordShowsStars()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto password = Control<QLineEdit>(window, u"LEdit_IXPasswort"_s);
    QTest::keyClicks(password, u"gehe1m"_s);
    QCOMPARE(password->text(), u"gehe1m"_s);
    QCOMPARE(password->displayText(), u"******"_s);
    // The "*" comes from a proxy of the application's style, not from a
    // style sheet that would give this one edit a look of its own.
    QVERIFY(password->styleSheet().isEmpty());
    QVERIFY(window.styleSheet().isEmpty() && qApp->styleSheet().isEmpty());
    auto proxy = qobject_cast<QProxyStyle *>(password->style());
    QVERIFY(proxy);
    QCOMPARE(proxy->baseStyle()->name(), QApplication::style()->name());
    QCOMPARE(proxy->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, password), int(u'*'));
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXUser"_s)->style(), QApplication::style());
}

void tst_U_Main::connectUsesEditedValues()
{
    TStandInServer server;
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QCOMPARE(server.Logins(), 0);

    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXUser"_s), SDemoUser);
    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXPasswort"_s), SDemoPassword);
    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXWSDL"_s), server.WsdlBase());
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(LampColor(window), SGreen);
    QVERIFY(boxes.Shown.isEmpty());

    // A wrong password turns the lamp red and says why; the edits stay as typed.
    QTest::keyClick(Control<QLineEdit>(window, u"LEdit_IXPasswort"_s), Qt::Key_Backspace);
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(LampColor(window), SRed);
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Text, u"Fehler: \r\n"_s + SRefused);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXPasswort"_s)->text(), SDemoPassword.chopped(1));

    // An empty user is tested too when asked for.
    Control<QLineEdit>(window, u"LEdit_IXUser"_s)->clear();
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 2);
    QVERIFY(boxes.Shown[1].Text.startsWith(u"Fehler: \r\n"_s));
}

void tst_U_Main::lampTooltipTellsCertificate()
{
    if (!QSslSocket::supportsSsl())
        QSKIP("no TLS backend");
    TStandInIndexserver https(TStandInIndexserver::TScheme::Https);
    TStandInIndexserver http;
    https.SetPassword(SDemoPassword);
    http.SetPassword(SDemoPassword);
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, https.BaseUrl());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QWidget *lamp = Control<QWidget>(window, u"JvLED_IXConnection"_s);
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(LampColor(window), SGreen);
    const QSslCertificate certificate(QByteArray(StandInCertificatePem), QSsl::Pem);
    const QString fingerprint =
        QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex(':').toUpper());
    QCOMPARE(lamp->toolTip(), u"Zertifikatsprobleme (übergangen): Hostname passt nicht, selbst signiert\n"
                              "Gültig bis: 2126-11-16 03:51 UTC\n"
                              "SHA-256: "_s +
                                  fingerprint);

    // Over plain http there is nothing to tell, and nothing of the https test may stay.
    QLineEdit *wsdl = Control<QLineEdit>(window, u"LEdit_IXWSDL"_s);
    wsdl->selectAll();
    QTest::keyClicks(wsdl, http.BaseUrl());
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(http.LoginCount(), 1);
    QCOMPARE(LampColor(window), SGreen);
    QCOMPARE(lamp->toolTip(), QString());
    QVERIFY(boxes.Shown.isEmpty());
}

void tst_U_Main::failedHandlerShowsDefaultBox()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    hooks.ChooseFolder = [](const QString &, const QString &, QString &, bool, bool, bool) -> bool {
        throw EFailure(u"Der Ordnerdialog ist gestört"_s);
    };
    TF_Main window(std::move(hooks));
    window.show();
    QVERIFY(boxes.Shown.isEmpty());
    Control<QLineEdit>(window, u"BEdit_Log"_s)->findChild<QAction *>(u"BEdit_LogRightButton"_s)->trigger();
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
    QCOMPARE(boxes.Shown[0].Caption, u">quillora< Vellumix"_s);
    QCOMPARE(boxes.Shown[0].Text, u"Der Ordnerdialog ist gestört"_s);
    QVERIFY(window.isVisible());
}

// ---------------------------------------------------------------- closing

void tst_U_Main::okSavesAndCloses()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXUser"_s), u"neu"_s);
    QVERIFY(!QFile::exists(SettingsPath(dir)));
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(TGlobalSettings(SettingsPath(dir)).GetIXUser(), u"neu"_s);
}

void tst_U_Main::failedSaveKeepsWindowOpen_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::addColumn<int>("answer");
    QTest::newRow("read-only-file-ok") << u"read-only"_s << int(TMsgDlgBtn::mbOK);
    QTest::newRow("read-only-file-cancel") << u"read-only"_s << int(TMsgDlgBtn::mbCancel);
    QTest::newRow("folder-is-a-file-ok") << u"folder-is-a-file"_s << int(TMsgDlgBtn::mbOK);
    QTest::newRow("folder-is-a-file-cancel") << u"folder-is-a-file"_s << int(TMsgDlgBtn::mbCancel);
}

void tst_U_Main::failedSaveKeepsWindowOpen()
{
    QFETCH(QString, blocker);
    QFETCH(int, answer);

    QTemporaryDir dir;
    QString appDir = dir.path();
    QString blockingFile;
    QString path;
    if (blocker == u"read-only"_s) {
        // The store refuses a file without write permission even to the superuser.
        path = SettingsPath(dir);
        StoreSettings(path, u"alt"_s, QString(), QString());
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
    } else {
        // A file where the settings folder should be: the folder cannot be made.
        blockingFile = dir.filePath(u"blocked"_s);
        QFile file(blockingFile);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();
        appDir = blockingFile + u"/"_s;
        path = appDir + u"quilloraGlobal.xml"_s;
    }
    const QByteArray before = FileBytes(path);

    TBoxes boxes;
    boxes.Answer = TMsgDlgBtn(answer);
    TF_Main window(HooksFor(appDir, boxes));
    window.show();
    auto user = Control<QLineEdit>(window, u"LEdit_IXUser"_s);
    user->selectAll();
    QTest::keyClicks(user, u"neu"_s);
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);

    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtConfirmation);
    QCOMPARE(boxes.Shown[0].Caption, u"Bestätigen"_s);
    const QString expectedStart = u"Fehler beim Speichern\r\nFehler beim Speichern von "_s + path + u"\r\n"_s;
    QVERIFY2(boxes.Shown[0].Text.startsWith(expectedStart), qPrintable(boxes.Shown[0].Text));
    QCOMPARE(boxes.Shown[0].Buttons, (QList{TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}));
    QVERIFY(window.isVisible());
    QCOMPARE(user->text(), u"neu"_s);
    QCOMPARE(FileBytes(path), before);

    // Once the way is clear, OK saves what was kept.
    if (blockingFile.isEmpty())
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    else
        QVERIFY(QFile::remove(blockingFile));
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 1);
    QVERIFY(!window.isVisible());
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
}

void tst_U_Main::fileChangedOnDiskOffersReload_data()
{
    QTest::addColumn<int>("answer");
    QTest::newRow("reload") << int(TMsgDlgBtn::mbOK);
    QTest::newRow("cancel") << int(TMsgDlgBtn::mbCancel);
}

// Another program writes the file while the window is open: OK must not write
// over that change, and taking the new content keeps both.
void tst_U_Main::fileChangedOnDiskOffersReload()
{
    QFETCH(int, answer);
    QTemporaryDir dir;
    const QString path = SettingsPath(dir);
    StoreSettings(path, u"alt"_s, QString(), QString());

    TBoxes boxes;
    boxes.Answer = TMsgDlgBtn(answer);
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto user = Control<QLineEdit>(window, u"LEdit_IXUser"_s);
    user->selectAll();
    QTest::keyClicks(user, u"neu"_s);

    QByteArray other = FileBytes(path);
    const int rootEnd = other.lastIndexOf("</");
    QVERIFY(rootEnd > 0);
    other.insert(rootEnd, "<Fremd>vom anderen Programm</Fremd>\n");
    QVERIFY(WriteBytes(path, other));

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtConfirmation);
    QVERIFY2(boxes.Shown[0].Text.contains(u"von einem anderen Programm geändert"_s),
             qPrintable(boxes.Shown[0].Text));
    if (answer == int(TMsgDlgBtn::mbCancel)) {
        QVERIFY(window.isVisible());
        QCOMPARE(user->text(), u"neu"_s);
        QCOMPARE(FileBytes(path), other);
        return;
    }
    QVERIFY(!window.isVisible());
    const QByteArray saved = FileBytes(path);
    QVERIFY2(saved.contains("<Fremd>vom anderen Programm</Fremd>"), saved.constData());
    QCOMPARE(TGlobalSettings(path).GetIXUser(), u"neu"_s);
}

void tst_U_Main::reloadAsksWhatBothChanged_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<QString>("savedWsdl");
    QTest::newRow("keep-mine") << int(TMsgDlgBtn::mbOK) << u"http://mein/"_s;
    QTest::newRow("keep-theirs") << int(TMsgDlgBtn::mbCancel) << u"http://fremd/"_s;
}

// After a reload only the user's edits go on top: the user name changed by
// the other program alone stays as it wrote it, and for the WSDL location
// both changed the box names the field and both values.
void tst_U_Main::reloadAsksWhatBothChanged()
{
    QFETCH(int, answer);
    QFETCH(QString, savedWsdl);
    QTemporaryDir dir;
    const QString path = SettingsPath(dir);
    StoreSettings(path, u"alt"_s, QString(), u"http://alt/"_s);

    TBoxes boxes;
    boxes.Answers = {TMsgDlgBtn::mbOK, TMsgDlgBtn(answer)};
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto wsdl = Control<QLineEdit>(window, u"LEdit_IXWSDL"_s);
    wsdl->selectAll();
    QTest::keyClicks(wsdl, u"http://mein/"_s);
    StoreSettings(path, u"fremd"_s, QString(), u"http://fremd/"_s);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 2);
    QVERIFY(boxes.Shown[0].Text.contains(u"von einem anderen Programm geändert"_s));
    QCOMPARE(boxes.Shown[1].Kind, TMsgDlgType::mtConfirmation);
    QCOMPARE(boxes.Shown[1].Caption, u"Bestätigen"_s);
    QCOMPARE(boxes.Shown[1].Text,
             u"Die Einstellung „WSDL Location“ wurde hier und von einem anderen Programm geändert.\r\n"
             "Ihr Wert: „http://mein/“\r\nWert des anderen Programms: „http://fremd/“\r\n"
             "„OK“ behält Ihren Wert, „Abbrechen“ übernimmt den des anderen Programms."_s);
    QCOMPARE(boxes.Shown[1].Buttons, (QList<TMsgDlgBtn>{TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}));
    QVERIFY(!window.isVisible());
    const TGlobalSettings saved(path);
    QCOMPARE(saved.GetIXUser(), u"fremd"_s);
    QCOMPARE(saved.GetIXWSDLLocation(), savedWsdl);
}

// The file is half written when the reload reads it: the same box as at the
// start names the reason and the backup, nothing is written, and the user
// decides again; a second OK then replaces it and keeps its bytes.
void tst_U_Main::reloadOfUnusableFileAsksAgain()
{
    QTemporaryDir dir;
    const QString path = SettingsPath(dir);
    StoreSettings(path, u"alt"_s, QString(), u"http://alt/"_s);

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto user = Control<QLineEdit>(window, u"LEdit_IXUser"_s);
    user->selectAll();
    QTest::keyClicks(user, u"neu"_s);
    const QByteArray half = "<?xml version=\"1.0\"?>\r\n<qv_Vellumix>\r\n  <IXUser>fre";
    QVERIFY(WriteBytes(path, half));

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 2);
    QCOMPARE(boxes.Shown[1].Kind, TMsgDlgType::mtError);
    const QString text = boxes.Shown[1].Text;
    QVERIFY2(text.startsWith(u"Die Einstellungsdatei "_s + QDir::toNativeSeparators(path) +
                             u" kann nicht verwendet werden.\r\nKein wohlgeformtes XML (Zeile 3, Spalte "_s),
             qPrintable(text));
    static const QRegularExpression ending(
        uR"(\r\nOK ersetzt die Datei durch die angezeigten Einstellungen und bewahrt den bisherigen )"
        uR"(Inhalt als (.+\.bak) auf\.$)"_s);
    const QRegularExpressionMatch match = ending.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QVERIFY(window.isVisible());
    QCOMPARE(user->text(), u"neu"_s);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXWSDL"_s)->text(), u"http://alt/"_s);
    QCOMPARE(FileBytes(path), half);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 2);
    QVERIFY(!window.isVisible());
    QCOMPARE(FileBytes(match.captured(1)), half);
    const TGlobalSettings saved(path);
    QCOMPARE(saved.GetIXUser(), u"neu"_s);
    QCOMPARE(saved.GetIXWSDLLocation(), u"http://alt/"_s);
}

// A file that exists but cannot be read is not offered for replacement; OK
// refuses and says why, and the bytes stay.
void tst_U_Main::unreadableFileIsNotOffered()
{
#ifdef Q_OS_UNIX
    if (geteuid() == 0) {
        // The superuser reads every file: the case runs again as nobody.
        QProcess child;
        child.setProcessChannelMode(QProcess::MergedChannels);
        child.start(u"setpriv"_s, {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s,
                                   QCoreApplication::applicationFilePath(), u"unreadableFileIsNotOffered"_s});
        QVERIFY2(child.waitForFinished(60000), "setpriv did not run");
        const QByteArray output = child.readAll();
        QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
        QVERIFY2(output.contains("PASS   : tst_U_Main::unreadableFileIsNotOffered()"), output.constData());
        return;
    }
    QTemporaryDir dir;
    const QString path = SettingsPath(dir);
    const QByteArray content = "<qv_Vellumix><IXUser>alt</IXUser></qv_Vellumix>";
    QVERIFY(WriteBytes(path, content));
    QVERIFY(QFile::setPermissions(path, QFileDevice::WriteOwner));
    const auto restore =
        qScopeGuard([&] { QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner); });

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtError);
    QCOMPARE(
        boxes.Shown[0].Text,
        u"Die Einstellungsdatei "_s + QDir::toNativeSeparators(path) +
            u" kann nicht gelesen werden: keine Leserechte – als Administrator starten\r\n"
            "Die Datei wird nicht ersetzt: „OK“ speichert nicht, solange sie nicht gelesen werden konnte."_s);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), 2);
    QVERIFY2(boxes.Shown[1].Text.startsWith(u"Fehler beim Speichern\r\nFehler beim Speichern von "_s),
             qPrintable(boxes.Shown[1].Text));
    QVERIFY2(boxes.Shown[1].Text.contains(u"Die Datei wurde nicht gelesen (keine Leserechte"_s),
             qPrintable(boxes.Shown[1].Text));
    QVERIFY(window.isVisible());
    QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
    QCOMPARE(FileBytes(path), content);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
#else
    QSKIP("POSIX permission bits only; tests/windows checks the held and denied reads on Windows");
#endif
}

void tst_U_Main::closingWithoutSaveLeavesFile_data()
{
    QTest::addColumn<bool>("closeBox");
    QTest::newRow("Abbrechen") << false;
    QTest::newRow("close-box") << true;
}

void tst_U_Main::closingWithoutSaveLeavesFile()
{
    QFETCH(bool, closeBox);
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), u"alt"_s, QString(), u"http://127.0.0.1:1/"_s, 1, dir.path() + u"/"_s);
    const QByteArray before = FileBytes(SettingsPath(dir));

    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    QTest::keyClicks(Control<QLineEdit>(window, u"LEdit_IXUser"_s), u"x"_s);
    QTest::keyClick(Control<QComboBox>(window, u"CBox_LogLevel"_s), Qt::Key_Down);
    if (closeBox)
        QVERIFY(window.close());
    else
        QTest::mouseClick(Control<QPushButton>(window, u"B_Abbrechen"_s), Qt::LeftButton);
    QVERIFY(!window.isVisible());
    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(FileBytes(SettingsPath(dir)), before);
}

void tst_U_Main::closingLogsOutOnce_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("logouts");
    QTest::newRow("OK") << u"OK"_s << SDemoPassword << 1;
    QTest::newRow("Abbrechen") << u"Abbrechen"_s << SDemoPassword << 1;
    QTest::newRow("close-box-twice") << u"close"_s << SDemoPassword << 1;
    QTest::newRow("after-failed-test") << u"Abbrechen"_s << u"falsch"_s << 0;
}

void tst_U_Main::closingLogsOutOnce()
{
    QFETCH(QString, how);
    QFETCH(QString, password);
    QFETCH(int, logouts);

    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, password, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(server.Logouts(), 0);

    if (how == u"close"_s) {
        QVERIFY(window.close());
        QVERIFY(window.close());
    } else {
        QTest::mouseClick(Control<QPushButton>(window, u"B_"_s + how), Qt::LeftButton);
    }
    QVERIFY(!window.isVisible());
    QCOMPARE(server.Logouts(), logouts);
}

void tst_U_Main::busyWindowTakesNoInput()
{
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, u"falsch"_s, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(boxes.Shown.size(), 1);
    auto password = Control<QLineEdit>(window, u"LEdit_IXPasswort"_s);
    password->setText(SDemoPassword);

    // Input that arrives while the test waits for the server.
    bool arrivedDuringTest = false;
    QTimer::singleShot(0, &window, [&] {
        arrivedDuringTest = QGuiApplication::overrideCursor() != nullptr &&
                            QGuiApplication::overrideCursor()->shape() == Qt::WaitCursor;
        QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
        QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
        QTest::keyClicks(password, u"zz"_s);
    });
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    if (!arrivedDuringTest)
        QSKIP("the session does not process events while it waits for the server");

    QCOMPARE(server.Logins(), 2);
    QCOMPARE(LampColor(window), SGreen);
    QCOMPARE(password->text(), SDemoPassword);
    QVERIFY(!QFile::exists(SettingsPath(dir)) ||
            TGlobalSettings(SettingsPath(dir)).GetIXPasswort() == u"falsch"_s);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    // Nothing clicked during the test is carried out afterwards.
    QTest::qWait(200);
    QVERIFY(window.isVisible());
    QCOMPARE(server.Logins(), 2);
    QCOMPARE(server.Logouts(), 0);
    QCOMPARE(boxes.Shown.size(), 1);
}

void tst_U_Main::closeCancelsRunningTest_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("close-box") << u"close"_s;
    QTest::newRow("Abbrechen") << u"Abbrechen"_s;
}

// A close during a test that the server holds up ends the test at once,
// logs the session out and closes, without a box about the cut-off test.
void tst_U_Main::closeCancelsRunningTest()
{
    QFETCH(QString, how);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(server.Logins(), 1);
    server.HoldBack(u"getServerInfo"_s, 60000);

    bool closeIgnored = false;
    QTimer::singleShot(300, &window, [&] {
        if (how == u"close"_s)
            closeIgnored = !window.close();
        else
            QTest::mouseClick(Control<QPushButton>(window, u"B_Abbrechen"_s), Qt::LeftButton);
    });
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    if (how == u"close"_s)
        QVERIFY(closeIgnored);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 10000);
    QCOMPARE(server.Logins(), 2);
    // The first session's logout before the test, the second one's on close.
    QCOMPARE(server.Logouts(), 2);
    QCOMPARE(boxes.Shown.size(), 0);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

void tst_U_Main::realInputDuringSlowTest_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("held"); // the call whose answer the server holds back
    QTest::addColumn<int>("holdBack"); // milliseconds
    QTest::addColumn<bool>("closes");
    QTest::addColumn<int>("logins");
    QTest::addColumn<int>("logouts");
    // The first-show test logged in once; Verbinde logs that session out first.
    QTest::newRow("close-request") << u"close"_s << u"getServerInfo"_s << 60000 << true << 2 << 2;
    // The old session's logout was taken by the server before the cancel.
    QTest::newRow("close-request-during-logout") << u"close"_s << u"logout"_s << 60000 << true << 1 << 1;
    // Cut off before the login's answer: no session to log out.
    QTest::newRow("close-request-during-login") << u"close"_s << u"login"_s << 60000 << true << 2 << 1;
    QTest::newRow("click-Abbrechen") << u"Abbrechen"_s << u"getServerInfo"_s << 60000 << true << 2 << 2;
    QTest::newRow("click-Verbinde-OK")
        << u"IXConection,OK"_s << u"getServerInfo"_s << 2500 << false << 2 << 1;
    // The keys go to the window manager, which sends the close request.
    QTest::newRow("Alt+F4-through-openbox") << u"alt+F4"_s << u"getServerInfo"_s << 60000 << true << 2 << 2;
}

// What a user does through the X server while a test waits for a slow
// server: a close request or Abbrechen ends it, logs out and closes; other
// clicks do nothing, now or afterwards. Runs only on the xcb platform.
void tst_U_Main::realInputDuringSlowTest()
{
    if (QGuiApplication::platformName() != u"xcb"_s)
        QSKIP("needs real X events: runs as tst_U_Main_xcb under Xvfb");
    QFETCH(QString, how);
    QFETCH(QString, held);
    QFETCH(int, holdBack);
    QFETCH(bool, closes);
    QFETCH(int, logins);
    QFETCH(int, logouts);
    std::optional<TWindowManager> manager;
    if (how == u"alt+F4"_s) {
        if (WindowManagerRuns())
            QSKIP("another window manager holds the display");
        manager.emplace();
        if (!manager->Running())
            QSKIP("needs openbox (scripts/deps)");
    }
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    if (manager) {
        // Managed: framed by the window manager and given the focus, which Alt+F4 needs.
        QVERIFY(QTest::qWaitFor([&] { return !window.windowHandle()->frameMargins().isNull(); }));
        QVERIFY(QTest::qWaitForWindowActive(&window));
    }
    QCOMPARE(server.Logins(), 1);
    server.HoldBack(held, holdBack);

    // The input goes out as soon as the held-back call has reached the
    // server, so that a slow machine cannot send it before the test waits.
    bool sent = false;
    const qsizetype heldBefore = server.Operations().count(held);
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (server.Operations().count(held) <= heldBefore)
            return;
        poll.stop();
        // Only this call is held; the logout on close is answered at once.
        server.HoldBack(held, 0);
        if (how == u"close"_s) {
            sent = SendDeleteWindow(window);
            return;
        }
        if (how == u"alt+F4"_s) {
            sent = QProcess::startDetached(u"xdotool"_s, {u"key"_s, u"alt+F4"_s});
            return;
        }
        sent = true;
        for (const QString &name : how.split(u','))
            sent = sent && ClickThroughServer(*Control<QWidget>(window, u"B_"_s + name));
    });
    poll.start();
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QVERIFY(sent);
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
    // Time for anything held back to show itself.
    QTest::qWait(1500);
    QCOMPARE(!window.isVisible(), closes);
    QCOMPARE(server.Logins(), logins);
    QCOMPARE(server.Logouts(), logouts);
    QCOMPARE(boxes.Shown.size(), 0);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    if (!closes) {
        QCOMPARE(LampColor(window), SGreen);
        QVERIFY(window.close());
    }
}

void tst_U_Main::closeBeforeFirstShowTestSkipsIt()
{
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    // Before the first paint the test is due: the close waits for its turn
    // and then leaves without asking the server.
    QVERIFY(!window.close());
    QVERIFY(window.isVisible());
    QTRY_VERIFY(!window.isVisible());
    QCOMPARE(server.Logins(), 0);
    QCOMPARE(server.Logouts(), 0);
    QCOMPARE(boxes.Shown.size(), 0);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

void tst_U_Main::closeGivesUpOnSilentLogout_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("OK") << u"OK"_s;
    QTest::newRow("Abbrechen") << u"Abbrechen"_s;
    QTest::newRow("close-box") << u"close"_s;
}

// A server that takes the logout and never answers keeps the window no
// longer than the logout limit.
void tst_U_Main::closeGivesUpOnSilentLogout()
{
    QFETCH(QString, how);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    hooks.LogoutLimit = 300;
    TF_Main window(hooks);
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(LampColor(window), SGreen);
    server.NeverAnswer(u"logout"_s);

    QElapsedTimer clock;
    clock.start();
    if (how == u"close"_s)
        QVERIFY(window.close());
    else
        QTest::mouseClick(Control<QPushButton>(window, u"B_"_s + how), Qt::LeftButton);
    const qint64 took = clock.elapsed();

    QVERIFY(!window.isVisible());
    QCOMPARE(server.Operations().last(), u"logout"_s);
    // The transport alone would wait tens of seconds for the answer.
    QVERIFY2(took < 5000, qPrintable(QString::number(took)));
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
    QVERIFY(boxes.Shown.isEmpty());
}

void tst_U_Main::realInputDuringLogout_data()
{
    QTest::addColumn<QString>("input"); // what the user does while the logout waits
    QTest::addColumn<bool>("silent");   // the server never answers the logout (else 3 s late)
    QTest::newRow("click-OK") << u"OK"_s << false;
    QTest::newRow("click-Verbinde") << u"IXConection"_s << true;
    QTest::newRow("type") << u"type"_s << false;
}

// Abbrechen after an edit, and while the logout waits for the server the
// user clicks or types through the X server: nothing of it acts. The file
// stays as it was, one logout, and the close ends within the logout limit.
void tst_U_Main::realInputDuringLogout()
{
    if (QGuiApplication::platformName() != u"xcb"_s)
        QSKIP("needs real X events: runs as tst_U_Main_xcb under Xvfb");
    QFETCH(QString, input);
    QFETCH(bool, silent);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    const QByteArray before = FileBytes(SettingsPath(dir));
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(LampColor(window), SGreen);
    auto user = Control<QLineEdit>(window, u"LEdit_IXUser"_s);
    user->setText(u"geändert"_s);
    if (silent)
        server.NeverAnswer(u"logout"_s);
    else
        server.HoldBack(u"logout"_s, 3000);
    // Where the input goes, learned while the window is still on screen.
    const QString target = input == u"type"_s ? u"LEdit_IXUser"_s : u"B_"_s + input;
    const QPoint at =
        Control<QWidget>(window, target)->mapToGlobal(Control<QWidget>(window, target)->rect().center());

    bool sent = false;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (!server.Operations().contains(u"logout"_s))
            return;
        poll.stop();
        QStringList args{u"mousemove"_s,          u"--sync"_s, QString::number(at.x()),
                         QString::number(at.y()), u"click"_s,  u"1"_s};
        if (input == u"type"_s)
            args << u"type"_s << u"xyz"_s << u"key"_s << u"Return"_s;
        sent = QProcess::startDetached(u"xdotool"_s, args);
    });
    poll.start();
    QElapsedTimer clock;
    QVERIFY(ClickThroughServer(*Control<QWidget>(window, u"B_Abbrechen"_s)));
    QVERIFY(QTest::qWaitFor([&] { return !window.isVisible(); }, 20000));
    clock.start();
    // The close is done once the logout has ended: its wait cursor is gone.
    QVERIFY(QTest::qWaitFor([&] { return QGuiApplication::overrideCursor() == nullptr; }, 20000));
    QVERIFY(sent);
    QVERIFY2(clock.elapsed() < 5000 + 1000, qPrintable(QString::number(clock.elapsed())));
    // Time for anything the input set off to show itself.
    QTest::qWait(1500);
    QVERIFY(!window.isVisible());
    QCOMPARE(FileBytes(SettingsPath(dir)), before);
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(server.Operations().count(u"logout"_s), 1);
    QCOMPARE(boxes.Shown.size(), 0);
}

void tst_U_Main::keyboardReachesAbbrechenDuringTest_data()
{
    QTest::addColumn<int>("press");
    QTest::newRow("Space") << int(Qt::Key_Space);
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("keypad-Enter") << int(Qt::Key_Enter);
}

// A test started with Enter waits on a slow server. The keyboard moves the
// focus with Tab and Shift+Tab, every other key is swallowed, and Space or
// Enter on Abbrechen ends the test and closes.
void tst_U_Main::keyboardReachesAbbrechenDuringTest()
{
    QFETCH(int, press);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    const QByteArray before = FileBytes(SettingsPath(dir));
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto connectButton = Control<QPushButton>(window, u"B_IXConection"_s);
    connectButton->setFocus(Qt::TabFocusReason);
    server.HoldBack(u"getServerInfo"_s, 60000);

    QStringList focusSeen;
    bool okPressed = false;
    QObject::connect(Control<QPushButton>(window, u"B_OK"_s), &QPushButton::clicked,
                     [&] { okPressed = true; });
    const auto key = [&](Qt::Key k, Qt::KeyboardModifiers modifiers = {}) {
        QTest::keyClick(window.windowHandle(), k, modifiers);
        focusSeen << (window.focusWidget() ? window.focusWidget()->objectName() : QString());
    };
    // The keys go out once the held call of this test has reached the server.
    const qsizetype heldBefore = server.Operations().count(u"getServerInfo"_s);
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &window, [&] {
        if (server.Operations().count(u"getServerInfo"_s) <= heldBefore)
            return;
        poll.stop();
        focusSeen << window.focusWidget()->objectName();
        key(Qt::Key_Tab);
        key(Qt::Key_Return); // on OK: swallowed
        key(Qt::Key_Space);  // on OK: swallowed
        key(Qt::Key_Tab);
        key(Qt::Key_Backtab);
        key(Qt::Key_Tab, Qt::ShiftModifier);
        key(Qt::Key_X); // in the WSDL field: swallowed
        key(Qt::Key_Tab);
        key(Qt::Key_Tab);
        key(Qt::Key_A); // on Abbrechen: swallowed
        key(Qt::Key(press));
    });
    poll.start();
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(window.windowHandle(), Qt::Key_Return);
    QTRY_VERIFY2_WITH_TIMEOUT(!window.isVisible(), qPrintable(focusSeen.join(u' ')), 20000);
    QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));

    // The lamp holds the focus of the disabled button, Tab goes on from it.
    const QStringList expected{
        u"JvLED_IXConnection"_s, u"B_OK"_s,         u"B_OK"_s, u"B_OK"_s,        u"B_Abbrechen"_s, u"B_OK"_s,
        u"LEdit_IXWSDL"_s,       u"LEdit_IXWSDL"_s, u"B_OK"_s, u"B_Abbrechen"_s, u"B_Abbrechen"_s};
    QCOMPARE(focusSeen.mid(0, expected.size()), expected);
    QVERIFY(!okPressed);
    QCOMPARE(Control<QLineEdit>(window, u"LEdit_IXWSDL"_s)->text(), server.WsdlBase());
    QCOMPARE(FileBytes(SettingsPath(dir)), before);
    QCOMPARE(server.Logins(), 2);
    QCOMPARE(boxes.Shown.size(), 0);
    QVERIFY(QGuiApplication::overrideCursor() == nullptr);
}

// ---------------------------------------------------------------- accessibility

namespace {

QAccessibleInterface *Accessible(QObject *object)
{
    return object ? QAccessible::queryAccessibleInterface(object) : nullptr;
}

QToolButton *FolderButton(const QWidget &window, const QString &action)
{
    auto folder = Control<QLineEdit>(window, u"BEdit_Log"_s);
    auto wanted = folder->findChild<QAction *>(action);
    for (QToolButton *button : folder->findChildren<QToolButton *>())
        if (button->defaultAction() == wanted)
            return button;
    return nullptr;
}

} // namespace

void tst_U_Main::controlsAreNamedForScreenReaders_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");
    QTest::newRow("log-level") << u"CBox_LogLevel"_s << u"Loglevel"_s;
    QTest::newRow("log-folder") << u"BEdit_Log"_s << u"Logdateienverzeichnis"_s;
    QTest::newRow("choose-button") << u"BEdit_LogRightButton"_s << u"Verzeichnis wählen"_s;
    QTest::newRow("clear-button") << u"BEdit_LogLeftButton"_s << u"Verzeichnis und Loglevel löschen"_s;
    QTest::newRow("user") << u"LEdit_IXUser"_s << u"Benutzer"_s;
    QTest::newRow("password") << u"LEdit_IXPasswort"_s << u"Passwort"_s;
    QTest::newRow("wsdl") << u"LEdit_IXWSDL"_s << u"WSDL Location"_s;
    QTest::newRow("Verbinde") << u"B_IXConection"_s << u"Verbinde"_s;
    QTest::newRow("lamp") << u"JvLED_IXConnection"_s << u"Verbindung"_s;
}

// Every control has the name a screen reader announces, and no tooltip.
void tst_U_Main::controlsAreNamedForScreenReaders()
{
    QFETCH(QString, control);
    QFETCH(QString, name);
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QWidget *widget = control.startsWith(u"BEdit_Log"_s) && control != u"BEdit_Log"_s
                          ? FolderButton(window, control)
                          : Control<QWidget>(window, control);
    QAccessibleInterface *accessible = Accessible(widget);
    QVERIFY(accessible);
    // A list's own name is its current item where AT-SPI serves it; its
    // label reaches the screen reader as the relation "labelled by".
    QStringList names{accessible->text(QAccessible::Name)};
    for (const auto &[label, relation] : accessible->relations(QAccessible::Label))
        names << label->text(QAccessible::Name);
    QVERIFY2(names.contains(name), qPrintable(names.join(u" | "_s)));
    QVERIFY(widget->toolTip().isEmpty());
    if (control == u"BEdit_Log"_s) {
        const QString description = accessible->text(QAccessible::Description);
        for (const QString &key : {u"F4"_s, u"Alt+Pfeil nach unten"_s, u"Entf"_s})
            QVERIFY2(description.contains(key), qPrintable(description));
    }
}

// The lamp is a status whose description tells its state. (That a change
// is announced, the AT-SPI test hears: offscreen no event goes out.)
void tst_U_Main::lampTellsItsStateToScreenReaders()
{
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, u"falsch"_s, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    auto lamp = Control<QWidget>(window, u"JvLED_IXConnection"_s);
    QAccessibleInterface *accessible = Accessible(lamp);
    QVERIFY(accessible);
    QCOMPARE(accessible->role(), QAccessible::StatusBar);
    QCOMPARE(accessible->text(QAccessible::Description), u"nicht geprüft"_s);

    QVERIFY(ShowAndSettle(window));
    QCOMPARE(LampColor(window), SRed);
    QCOMPARE(accessible->text(QAccessible::Name), u"Verbindung"_s);
    // The first line of the failure, without the box's "Fehler: ".
    QCOMPARE(accessible->text(QAccessible::Description), u"fehlgeschlagen: "_s + SRefused);

    Control<QLineEdit>(window, u"LEdit_IXPasswort"_s)->setText(SDemoPassword);
    QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
    QCOMPARE(LampColor(window), SGreen);
    QCOMPARE(accessible->text(QAccessible::Description), u"verbunden"_s);
}

#ifdef VELLUMIX_ATSPI_READER
namespace {

// One run of the AT-SPI reader against this process, while the event loop
// goes on serving the accessibility bus. Empty when it could not run.
QStringList AtSpiRead(const QString &mode, QProcess *keep = nullptr)
{
    QProcess own;
    QProcess &reader = keep ? *keep : own;
    reader.setProcessChannelMode(QProcess::SeparateChannels);
    reader.start(QStringLiteral(VELLUMIX_PYTHON3), {QStringLiteral(VELLUMIX_ATSPI_READER), mode,
                                                    QString::number(QCoreApplication::applicationPid())});
    if (!reader.waitForStarted())
        return {};
    if (keep)
        return {u"started"_s};
    if (!QTest::qWaitFor([&] { return reader.state() == QProcess::NotRunning; }, 60000)) {
        reader.kill();
        reader.waitForFinished();
        return {};
    }
    const QString err = QString::fromUtf8(reader.readAllStandardError());
    if (!err.isEmpty())
        qWarning("%s", qPrintable(err));
    return QString::fromUtf8(reader.readAllStandardOutput()).split(u'\n', Qt::SkipEmptyParts);
}

// The control of the tree with this name or label, as the reader printed it.
QJsonObject AtSpiObject(const QStringList &tree, const QString &name)
{
    for (const QString &line : tree) {
        // A label names its control; the control is wanted.
        const QJsonObject object = QJsonDocument::fromJson(line.toUtf8()).object();
        if (object.value(u"role"_s).toString() == u"label"_s)
            continue;
        if (object.value(u"name"_s).toString() == name ||
            object.value(u"labelled_by"_s).toArray().contains(QJsonValue(name)))
            return object;
    }
    return {};
}

} // namespace
#endif

// The window as a screen reader reads it through AT-SPI: every control by
// name and role, the lamp's state after a green and after a red test, and
// the change of state announced. Runs as tst_U_Main_atspi.
void tst_U_Main::screenReaderReadsTheWindow()
{
#ifndef VELLUMIX_ATSPI_READER
    QSKIP("needs python3-pyatspi (scripts/deps): runs as tst_U_Main_atspi");
#else
    if (QGuiApplication::platformName() != u"xcb"_s || qgetenv("QT_LINUX_ACCESSIBILITY_ALWAYS_ON") != "1")
        QSKIP("needs xcb and the accessibility bus: runs as tst_U_Main_atspi");
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    QCOMPARE(LampColor(window), SGreen);

    // The first reader starts the accessibility bus; the program joins it
    // once it is there.
    QStringList green;
    for (int attempt = 0; attempt < 20 && green.size() <= 1; ++attempt) {
        green = AtSpiRead(u"tree"_s);
        if (green.size() <= 1)
            QTest::qWait(250);
    }
    QVERIFY2(green.size() > 10, qPrintable(green.join(u'\n')));
    const QList<std::pair<QString, QString>> controls{
        {u"Loglevel"_s, u"combo box"_s},
        {u"Logdateienverzeichnis"_s, u"text"_s},
        {u"Verzeichnis wählen"_s, u"push button"_s},
        {u"Verzeichnis und Loglevel löschen"_s, u"push button"_s},
        {u"Benutzer"_s, u"text"_s},
        {u"Passwort"_s, u"password text"_s},
        {u"WSDL Location"_s, u"text"_s},
        {u"Verbinde"_s, u"push button"_s},
        {u"OK"_s, u"push button"_s},
        {u"Abbrechen"_s, u"push button"_s},
        {u"Verbindung"_s, u"status bar"_s},
    };
    for (const auto &[name, role] : controls) {
        const QJsonObject object = AtSpiObject(green, name);
        QVERIFY2(!object.isEmpty(), qPrintable(name + u" not in\n"_s + green.join(u'\n')));
        QCOMPARE(object.value(u"role"_s).toString(), role);
    }
    QVERIFY(
        AtSpiObject(green, u"Logdateienverzeichnis"_s).value(u"description"_s).toString().contains(u"F4"_s));
    QCOMPARE(AtSpiObject(green, u"Verbindung"_s).value(u"description"_s).toString(), u"verbunden"_s);

    // The listener hears the lamp turn red. The program learns of a new
    // listener over the bus some time after it registered: each test
    // announces afresh, so a few tries are enough.
    QProcess listener;
    auto stop = qScopeGuard([&] {
        listener.kill();
        listener.waitForFinished();
    });
    QVERIFY(!AtSpiRead(u"listen"_s, &listener).isEmpty());
    QVERIFY(QTest::qWaitFor([&] { return listener.canReadLine() || listener.state() != QProcess::Running; },
                            30000));
    QCOMPARE(listener.readLine().trimmed(), QByteArray("ready"));
    Control<QLineEdit>(window, u"LEdit_IXPasswort"_s)->setText(u"falsch"_s);
    QString heard;
    for (int attempt = 0; attempt < 5 && heard.isEmpty(); ++attempt) {
        QTest::mouseClick(Control<QPushButton>(window, u"B_IXConection"_s), Qt::LeftButton);
        QTest::qWaitFor([&] { return listener.state() != QProcess::Running; }, 3000);
        for (const QString &line : QString::fromUtf8(listener.readAll()).split(u'\n', Qt::SkipEmptyParts))
            if (QJsonDocument::fromJson(line.toUtf8()).object().value(u"name"_s).toString() ==
                u"Verbindung"_s)
                heard = QJsonDocument::fromJson(line.toUtf8()).object().value(u"description"_s).toString();
    }
    QCOMPARE(LampColor(window), SRed);
    QCOMPARE(heard, u"fehlgeschlagen: "_s + SRefused);

    const QStringList red = AtSpiRead(u"tree"_s);
    QCOMPARE(AtSpiObject(red, u"Verbindung"_s).value(u"description"_s).toString(),
             u"fehlgeschlagen: "_s + SRefused);
    QVERIFY(window.close());
#endif
}

void tst_U_Main::lampStateShowsWithoutColour_data()
{
    QTest::addColumn<qreal>("scale");
    QTest::newRow("1x") << 1.0;
    QTest::newRow("1.5x") << 1.5;
    QTest::newRow("2x") << 2.0;
}

// Seen in grey and each image set to its own middle grey, so that only
// shape counts, not lightness: untested, connected and failed still look
// different from one another at every scale.
void tst_U_Main::lampStateShowsWithoutColour()
{
    QFETCH(qreal, scale);
    TStandInServer server;
    QTemporaryDir dir;
    TBoxes boxes;
    bool greenSeen = scale != 1.0;
    const auto shape = [&](const QString &password) {
        if (!password.isEmpty())
            StoreSettings(SettingsPath(dir), SDemoUser, password, server.WsdlBase());
        TF_Main window(HooksFor(dir.path(), boxes));
        if (!ShowAndSettle(window))
            return QBitArray();
        auto lamp = Control<QWidget>(window, u"JvLED_IXConnection"_s);
        QImage image(lamp->size() * scale, QImage::Format_ARGB32);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::white);
        lamp->render(&image);
        if (password == SDemoPassword && scale == 1.0) {
            // Below right of the centre the lamp shows its own green, clear of
            // the mark: scripts/test-windows-window reads it there.
            const QColor colour = image.pixelColor(10, 10);
            if (!(colour.green() > 180 && colour.red() < 100 && colour.blue() < 100))
                qWarning("lamp at 10,10: %d %d %d", colour.red(), colour.green(), colour.blue());
            greenSeen = colour.green() > 180 && colour.red() < 100 && colour.blue() < 100;
        }
        // Inside the lamp only, away from its rim.
        const int side = image.width();
        QList<int> greys;
        QList<QPoint> inside;
        for (int y = 0; y < side; ++y)
            for (int x = 0; x < side; ++x)
                if (QLineF(QPointF(x + 0.5, y + 0.5), QPointF(side / 2.0, side / 2.0)).length() <
                    side * 0.4) {
                    inside << QPoint(x, y);
                    greys << qGray(image.pixel(x, y));
                }
        QList<int> sorted = greys;
        std::sort(sorted.begin(), sorted.end());
        const int middle = sorted.at(sorted.size() / 2);
        // Dark against the lamp's own light: the mark, and the shading.
        QBitArray dark(greys.size());
        for (int i = 0; i < greys.size(); ++i)
            dark.setBit(i, greys.at(i) < middle / 2);
        return dark;
    };
    const QBitArray untested = shape(QString());
    const QBitArray connected = shape(SDemoPassword);
    const QBitArray failed = shape(u"falsch"_s);
    QVERIFY(!untested.isEmpty() && untested.size() == connected.size() && connected.size() == failed.size());
    QVERIFY(greenSeen);
    const int area = int(untested.size());
    const auto differ = [&](const QBitArray &a, const QBitArray &b) { return int((a ^ b).count(true)); };
    // At least a tenth of the lamp's inside tells each pair apart.
    for (const auto &[a, b, what] :
         {std::tuple{untested, connected, "untested/connected"},
          std::tuple{untested, failed, "untested/failed"}, std::tuple{connected, failed, "connected/failed"}})
        QVERIFY2(
            differ(a, b) * 10 >= area,
            qPrintable(u"%1: %2 of %3 pixels differ"_s.arg(QLatin1String(what)).arg(differ(a, b)).arg(area)));
}

// ---------------------------------------------------------------- log folder

void tst_U_Main::clearButtonResetsLevelAndFolder()
{
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), QString(), QString(), QString(), 2, dir.path() + u"/"_s);
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto combo = Control<QComboBox>(window, u"CBox_LogLevel"_s);
    auto folder = Control<QLineEdit>(window, u"BEdit_Log"_s);
    QCOMPARE(combo->currentIndex(), 2);
    QCOMPARE(folder->text(), dir.path() + u"/"_s);

    // Clicked as the user does, on the button inside the edit.
    QWidget *clear = nullptr;
    for (QObject *object : folder->findChild<QAction *>(u"BEdit_LogLeftButton"_s)->associatedObjects())
        if (auto widget = qobject_cast<QWidget *>(object); widget && widget != folder)
            clear = widget;
    QVERIFY(clear);
    QVERIFY(clear->isVisible());
    QTest::mouseClick(clear, Qt::LeftButton);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(folder->text(), QString());
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    TGlobalSettings saved(SettingsPath(dir));
    QCOMPARE(saved.GetLogLevel(), 0);
    QCOMPARE(saved.GetLogFileFolder(), QString());
}

void tst_U_Main::keyboardWorksFolderAndButtons_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("outcome"); // chooser, cleared, saved-closed, closed, tested
    QTest::newRow("F4-on-folder") << u"BEdit_Log"_s << int(Qt::Key_F4) << 0 << u"chooser"_s;
    QTest::newRow("Alt+Down-on-folder")
        << u"BEdit_Log"_s << int(Qt::Key_Down) << int(Qt::AltModifier) << u"chooser"_s;
    QTest::newRow("Delete-on-folder") << u"BEdit_Log"_s << int(Qt::Key_Delete) << 0 << u"cleared"_s;
    QTest::newRow("Enter-on-OK") << u"B_OK"_s << int(Qt::Key_Return) << 0 << u"saved-closed"_s;
    QTest::newRow("keypad-Enter-on-Abbrechen") << u"B_Abbrechen"_s << int(Qt::Key_Enter) << 0 << u"closed"_s;
    QTest::newRow("Enter-on-Verbinde") << u"B_IXConection"_s << int(Qt::Key_Return) << 0 << u"tested"_s;
}

// The keys reach what a mouse reaches: the folder field's two buttons and
// the focused push button.
void tst_U_Main::keyboardWorksFolderAndButtons()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, outcome);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), QString(), QString(), server.WsdlBase(), 2, dir.path() + u"/"_s);
    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    int chooserCalls = 0;
    hooks.ChooseFolder = [&](const QString &, const QString &, QString &, bool, bool, bool) {
        ++chooserCalls;
        return false;
    };
    TF_Main window(hooks);
    QVERIFY(ShowAndSettle(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto target = Control<QWidget>(window, focus);
    target->setFocus();
    QVERIFY(target->hasFocus());
    QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(chooserCalls, outcome == u"chooser"_s ? 1 : 0);
    QCOMPARE(Control<QLineEdit>(window, u"BEdit_Log"_s)->text().isEmpty(), outcome == u"cleared"_s);
    QCOMPARE(!window.isVisible(), outcome.endsWith(u"closed"_s));
    QCOMPARE(LampColor(window) == SRed, outcome == u"tested"_s);
    if (outcome == u"saved-closed"_s)
        QCOMPARE(TGlobalSettings(SettingsPath(dir)).GetLogLevel(), 2);
    QCOMPARE(boxes.Shown.size(), outcome == u"tested"_s ? 1 : 0);
}

void tst_U_Main::focusedLinkButtonShowsIt_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("OK") << u"B_OK"_s;
    QTest::newRow("Abbrechen") << u"B_Abbrechen"_s;
}

// The button looks different with the focus than without it.
void tst_U_Main::focusedLinkButtonShowsIt()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto button = Control<QWidget>(window, name);
    Control<QWidget>(window, u"CBox_LogLevel"_s)->setFocus();
    const QImage without = button->grab().toImage();
    button->setFocus(Qt::TabFocusReason);
    QVERIFY(button->hasFocus());
    const QImage with = button->grab().toImage();
    QVERIFY(without != with);
}

// The window starts with the focus in the log-level list, and shows it
// there: a Down key would change the level, so the user must see where it goes.
void tst_U_Main::startFocusIsShown()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    QVERIFY(ShowAndSettle(window));
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    auto combo = Control<QComboBox>(window, u"CBox_LogLevel"_s);
    QTRY_VERIFY(combo->hasFocus());
    const QImage with = combo->grab().toImage();
    Control<QWidget>(window, u"LEdit_IXUser"_s)->setFocus(Qt::OtherFocusReason);
    QVERIFY(!combo->hasFocus());
    const QImage without = combo->grab().toImage();
    QVERIFY(with != without);
}

void tst_U_Main::typedFolderIsRefused()
{
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), QString(), QString(), QString(), 1, dir.path() + u"/"_s);
    TBoxes boxes;
    TF_Main window(HooksFor(dir.path(), boxes));
    window.show();
    auto folder = Control<QLineEdit>(window, u"BEdit_Log"_s);
    QTest::keyClicks(folder, u"x"_s);
    QCOMPARE(folder->text(), dir.path() + u"/"_s);
}

void tst_U_Main::chooseButtonStoresExistingFolder_data()
{
    // Paths relative to a temporary folder that has a subfolder "logs"; "<root>" is the file-system root.
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("start");
    QTest::addColumn<bool>("confirmed");
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QString>("result");

    QTest::newRow("empty-starts-at-root") << ""
                                          << "<root>" << true << "logs"
                                          << "logs/";
    QTest::newRow("existing-gets-delimiter") << "logs"
                                             << "logs/" << true << "logs"
                                             << "logs/";
    QTest::newRow("existing-with-delimiter") << "logs/"
                                             << "logs/" << true << "."
                                             << "./";
    QTest::newRow("missing-no-start") << "gone/"
                                      << "" << true << "logs"
                                      << "logs/";
    QTest::newRow("root-keeps-one-delimiter") << "logs/"
                                              << "logs/" << true << "<root>"
                                              << "<root>";
    QTest::newRow("cancel-changes-nothing") << "logs/"
                                            << "logs/" << false << "."
                                            << "logs/";
    QTest::newRow("missing-choice-changes-nothing") << "logs/"
                                                    << "logs/" << true << "gone"
                                                    << "logs/";
}

void tst_U_Main::chooseButtonStoresExistingFolder()
{
    QFETCH(QString, stored);
    QFETCH(QString, start);
    QFETCH(bool, confirmed);
    QFETCH(QString, chosen);
    QFETCH(QString, result);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(u"logs"_s));
    const QString base = dir.path() + u"/"_s;
    auto absolute = [&](const QString &relative) -> QString {
        if (relative == u"<root>"_s)
            return u"/"_s;
        if (relative == u"."_s)
            return dir.path();
        if (relative == u"./"_s)
            return base;
        return relative.isEmpty() ? QString() : base + relative;
    };
    StoreSettings(SettingsPath(dir), QString(), QString(), QString(), 1, absolute(stored));

    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    QList<TChooserCall> calls;
    hooks.ChooseFolder = [&](const QString &title, const QString &root, QString &directory, bool showEditBox,
                             bool includeFiles, bool allowNewFolder) {
        calls.append({title, root, directory, showEditBox, includeFiles, allowNewFolder});
        if (!confirmed)
            return false;
        directory = absolute(chosen);
        return true;
    };
    TF_Main window(hooks);
    window.show();
    Control<QLineEdit>(window, u"BEdit_Log"_s)->findChild<QAction *>(u"BEdit_LogRightButton"_s)->trigger();

    QCOMPARE(calls.size(), 1);
    QCOMPARE(calls[0].Title, u"Bitte wählen Sie ein Verzeichnis..."_s);
    QCOMPARE(calls[0].Root, QString());
    QCOMPARE(calls[0].Start, absolute(start));
    QVERIFY(calls[0].ShowEditBox);
    QVERIFY(!calls[0].IncludeFiles);
    QVERIFY(calls[0].AllowNewFolder);
    QVERIFY(boxes.Shown.isEmpty());
    QCOMPARE(Control<QLineEdit>(window, u"BEdit_Log"_s)->text(), absolute(result));
    QCOMPARE(Control<QComboBox>(window, u"CBox_LogLevel"_s)->currentIndex(), 1);

    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(TGlobalSettings(SettingsPath(dir)).GetLogFileFolder(), absolute(result));
}

// ---------------------------------------------------------------- folder chooser

void tst_U_Main::browseFlagsFollowOptions_data()
{
    QTest::addColumn<bool>("showEditBox");
    QTest::addColumn<bool>("includeFiles");
    QTest::addColumn<bool>("allowNewFolder");
    QTest::addColumn<unsigned>("flags");
    QTest::newRow("window-call") << true << false << true << 0x0051u;
    QTest::newRow("plain") << false << false << true << 0x0041u;
    QTest::newRow("no-new-folder") << false << false << false << 0x0241u;
    QTest::newRow("with-files") << false << true << true << 0x4041u;
    QTest::newRow("everything") << true << true << false << 0x4251u;
}

void tst_U_Main::browseFlagsFollowOptions()
{
    QFETCH(bool, showEditBox);
    QFETCH(bool, includeFiles);
    QFETCH(bool, allowNewFolder);
    QFETCH(unsigned, flags);
    QCOMPARE(BrowseFlags(showEditBox, includeFiles, allowNewFolder), flags);
}

void tst_U_Main::messageBoxesReadGerman_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QList<TMsgDlgBtn>>("buttons");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QStringList>("labels");
    QTest::addColumn<QString>("escape");

    QTest::newRow("error") << int(TMsgDlgType::mtError) << u"Fehler: \r\nweg"_s << QList{TMsgDlgBtn::mbOK}
                           << int(QMessageBox::Critical) << u"Fehler: \nweg"_s << QStringList{u"OK"_s}
                           << u"OK"_s;
    QTest::newRow("confirmation") << int(TMsgDlgType::mtConfirmation) << u"a\r\nb"_s
                                  << QList{TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}
                                  << int(QMessageBox::Question) << u"a\nb"_s
                                  << QStringList{u"OK"_s, u"Abbrechen"_s} << u"Abbrechen"_s;
    QTest::newRow("no-icon-lf-cr") << int(TMsgDlgType::mtCustom) << u"eins\n\rzwei"_s
                                   << QList{TMsgDlgBtn::mbOK} << int(QMessageBox::NoIcon) << u"eins\nzwei"_s
                                   << QStringList{u"OK"_s} << u"OK"_s;
}

void tst_U_Main::messageBoxesReadGerman()
{
    QFETCH(int, kind);
    QFETCH(QString, text);
    QFETCH(QList<TMsgDlgBtn>, buttons);
    QFETCH(int, icon);
    QFETCH(QString, shown);
    QFETCH(QStringList, labels);
    QFETCH(QString, escape);

    const auto box = CreateMessageBox(nullptr, TMessage{TMsgDlgType(kind), u"Titel"_s, text, buttons});
    QCOMPARE(box->windowTitle(), u"Titel"_s);
    QCOMPARE(int(box->icon()), icon);
    QCOMPARE(box->text(), shown);
    QStringList seen;
    for (TMsgDlgBtn answer : buttons) {
        for (QAbstractButton *button : box->buttons())
            if (button->property("answer").toInt() == int(answer))
                seen << button->text();
    }
    QCOMPARE(seen, labels);
    QCOMPARE(box->defaultButton()->text(), labels.first());
    QCOMPARE(box->escapeButton()->text(), escape);
}

void tst_U_Main::longTextBoxFitsScreen_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("long-url") << u"Fehler: \r\nUngültige URL 'http://"_s + QString(1790, u'a') + u"/x'"_s;
    QTest::newRow("long-token") << u"Token "_s + QString(3000, u'Z') + u" Ende"_s;
    QStringList lines;
    for (int i = 0; i < 80; ++i)
        lines << u"Zeile %1 mit etwas Text"_s.arg(i);
    QTest::newRow("many-lines") << lines.join(u"\r\n"_s);
    QTest::newRow("many-words") << QString(u"Wort "_s).repeated(900) + u"Ende"_s;
    QStringList numbered;
    for (int i = 0; i < 600; ++i)
        numbered << u"Wort%1"_s.arg(i);
    QTest::newRow("numbered-words") << numbered.join(u' ');
}

// However long the text, the box fits the screen and keeps the whole text.
void tst_U_Main::longTextBoxFitsScreen()
{
    QFETCH(QString, text);
    const auto box = CreateMessageBox(nullptr, TMessage{TMsgDlgType::mtError, u"Fehler"_s, text, {}});
    const QSize size = box->sizeHint();
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(size.height() <= screen.height() && size.width() <= screen.width(),
             qPrintable(u"%1 x %2"_s.arg(size.width()).arg(size.height())));
    QString whole = text;
    whole.replace(u"\r\n"_s, u"\n"_s);
    QCOMPARE(box->detailedText(), whole);
    // Its start and its end stay in view.
    QVERIFY(box->text().startsWith(whole.left(20)));
    QVERIFY(box->text().endsWith(whole.right(20)));
    QVERIFY(box->text().contains(u'…'));
    // Cut between words: every word shown is one of the text, or a long
    // word shortened around its ellipsis.
    static const QRegularExpression blanks(u"\\s+"_s);
    const QStringList words = whole.split(blanks, Qt::SkipEmptyParts);
    for (const QString &word : box->text().split(blanks, Qt::SkipEmptyParts))
        QVERIFY2(word.contains(u'…') || words.contains(word), qPrintable(word));
}

void tst_U_Main::boxWithDetailsFitsScreen_data()
{
    longTextBoxFitsScreen_data();
}

// With "Details" opened, the box still fits the available area of the
// screen (tst_U_Main_scaled runs it at 150 %).
void tst_U_Main::boxWithDetailsFitsScreen()
{
    QFETCH(QString, text);
    const auto box = CreateMessageBox(nullptr, TMessage{TMsgDlgType::mtError, u"Fehler"_s, text, {}});
    box->show();
    QVERIFY(QTest::qWaitForWindowExposed(box.get()));
    QPushButton *details = nullptr;
    auto buttons = box->findChild<QDialogButtonBox *>();
    QVERIFY(buttons);
    for (QAbstractButton *button : buttons->buttons())
        if (buttons->buttonRole(button) == QDialogButtonBox::ActionRole)
            details = qobject_cast<QPushButton *>(button);
    QVERIFY(details);
    details->click();
    const QRect area = box->screen()->availableGeometry();
    QTRY_VERIFY2(area.contains(box->frameGeometry()),
                 qPrintable(u"%1,%2 %3 x %4 in %5 x %6"_s.arg(box->frameGeometry().x())
                                .arg(box->frameGeometry().y())
                                .arg(box->frameGeometry().width())
                                .arg(box->frameGeometry().height())
                                .arg(area.width())
                                .arg(area.height())));
    QString whole = text;
    whole.replace(u"\r\n"_s, u"\n"_s);
    QCOMPARE(box->detailedText(), whole);
}

// A message of ordinary length is shown whole, however long its lines.
void tst_U_Main::shortTextBoxIsWhole()
{
    const QString text = u"Zeitüberschreitung: keine Antwort vom Server innerhalb von 30 s - URL:"
                         "http://127.0.0.1:8080/ix-elo/ix?wsdl - SOAPAction:\"login\""_s;
    const auto box = CreateMessageBox(nullptr, TMessage{TMsgDlgType::mtError, u"Fehler"_s, text, {}});
    QCOMPARE(box->text(), text);
    QVERIFY(box->detailedText().isEmpty());
}

namespace {

// Runs action on the folder dialog once it is open.
void WhenDialogOpens(std::function<void(QFileDialog *)> action)
{
    auto timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, timer, [timer, action] {
        if (auto dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(dialog);
        }
    });
    timer->start(10);
}

} // namespace

void tst_U_Main::folderDialogStartsAtExistingFolder()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir(u"logs"_s));
    const QString start = dir.filePath(u"logs"_s);
    QStringList selected;
    QString title;
    bool readOnly = true;
    WhenDialogOpens([&](QFileDialog *dialog) {
        selected = dialog->selectedFiles();
        title = dialog->windowTitle();
        readOnly = dialog->testOption(QFileDialog::ReadOnly);
        dialog->reject();
    });
    QString directory = start;
    QVERIFY(!BrowseForFolder(u"Bitte wählen"_s, QString(), directory, true, false, true));
    QCOMPARE(selected, QStringList{start});
    QCOMPARE(title, u"Bitte wählen"_s);
    QVERIFY(!readOnly);
    QCOMPARE(directory, start);
}

void tst_U_Main::folderDialogCancelKeepsOrDropsStart_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("existing-kept") << true;
    QTest::newRow("missing-dropped") << false;
}

void tst_U_Main::folderDialogCancelKeepsOrDropsStart()
{
    QFETCH(bool, exists);
    QTemporaryDir dir;
    const QString start = dir.filePath(u"logs"_s);
    if (exists)
        QVERIFY(QDir(dir.path()).mkdir(u"logs"_s));
    WhenDialogOpens([](QFileDialog *dialog) { dialog->reject(); });
    QString directory = start;
    QVERIFY(!BrowseForFolder(u"t"_s, QString(), directory, true, false, true));
    QCOMPARE(directory, exists ? start : QString());
}

void tst_U_Main::folderDialogReturnsChosenFolder_data()
{
    QTest::addColumn<QString>("start");
    QTest::addColumn<QString>("opened");
    QTest::addColumn<QString>("result");
    QTest::newRow("start-confirmed") << "a/b"
                                     << ""
                                     << "a/b";
    QTest::newRow("other-chosen") << ""
                                  << "a/b"
                                  << "a/b";
}

void tst_U_Main::folderDialogReturnsChosenFolder()
{
    QFETCH(QString, start);
    QFETCH(QString, opened);
    QFETCH(QString, result);

    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"a/b"_s));
    WhenDialogOpens([&](QFileDialog *dialog) {
        if (!opened.isEmpty())
            dialog->setDirectory(dir.filePath(opened));
        QMetaObject::invokeMethod(dialog, "accept");
    });
    QString directory = start.isEmpty() ? QString() : dir.filePath(start);
    QVERIFY(BrowseForFolder(u"t"_s, QString(), directory, true, false, true));
    QCOMPARE(directory, dir.filePath(result));
}

// ---------------------------------------------------------------- single instance

// ---------------------------------------------------------------- rights

void tst_U_Main::savingNeedsAdministratorIsSaidOnce_data()
{
    QTest::addColumn<bool>("mayWrite");
    QTest::addColumn<bool>("limited");  // an administrator without elevation
    QTest::addColumn<int>("answer");    // to the offer to start again
    QTest::addColumn<bool>("restarts"); // the elevated start succeeds
    QTest::addColumn<QString>("calls"); // what happened, in order
    QTest::addColumn<bool>("closes");
    QTest::newRow("writable") << true << true << int(TMsgDlgBtn::mbOK) << true << QString() << false;
    QTest::newRow("not-administrator")
        << false << false << int(TMsgDlgBtn::mbOK) << true << u"box"_s << false;
    QTest::newRow("offer-declined") << false << true << int(TMsgDlgBtn::mbCancel) << true << u"offer"_s
                                    << false;
    QTest::newRow("restarted") << false << true << int(TMsgDlgBtn::mbOK) << true << u"offer release restart"_s
                               << true;
    QTest::newRow("restart-refused") << false << true << int(TMsgDlgBtn::mbOK) << false
                                     << u"offer release restart claim"_s << false;
}

// A file this process cannot write is named once at first show, before any
// edit. An administrator without elevation is offered a new start as
// administrator: the claim on the instance name is given up first, and
// taken again when the start is refused.
void tst_U_Main::savingNeedsAdministratorIsSaidOnce()
{
    QFETCH(bool, mayWrite);
    QFETCH(bool, limited);
    QFETCH(int, answer);
    QFETCH(bool, restarts);
    QFETCH(QString, calls);
    QFETCH(bool, closes);
    TStandInServer server;
    QTemporaryDir dir;
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    TBoxes boxes;
    boxes.Answer = TMsgDlgBtn(answer);
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    QStringList happened;
    QString askedFor;
    hooks.MayWrite = [&](const QString &path) {
        askedFor = path;
        return mayWrite;
    };
    hooks.LimitedToken = [&] { return limited; };
    hooks.ClaimInstance = [&] {
        happened << u"claim"_s;
        return TInstanceClaim{42, false};
    };
    hooks.ReleaseInstance = [&](std::intptr_t handle) {
        happened << u"release"_s + (handle == 42 ? u""_s : u"?"_s);
    };
    hooks.RestartElevated = [&] {
        happened << u"restart"_s;
        return restarts;
    };
    TF_Main window(hooks);
    happened.removeFirst(); // the claim at creation
    // Restarted, the window closes before it is ever exposed.
    window.show();
    QTRY_COMPARE(window.isVisible(), !closes);
    QTRY_VERIFY(QGuiApplication::overrideCursor() == nullptr);
    QCOMPARE(QDir::fromNativeSeparators(askedFor), SettingsPath(dir));

    QStringList expected = calls.split(u' ', Qt::SkipEmptyParts);
    if (!expected.isEmpty() && expected.first() != u"release"_s)
        expected.removeFirst(); // the box or the offer, seen below
    QCOMPARE(happened, expected);
    const QString sentence = u"Die Datei %1 kann nur als Administrator gespeichert werden."_s.arg(
        QDir::toNativeSeparators(SettingsPath(dir)));
    if (calls.isEmpty()) {
        QCOMPARE(boxes.Shown.size(), 0);
    } else {
        QCOMPARE(boxes.Shown.size(), 1);
        QVERIFY2(boxes.Shown[0].Text.startsWith(sentence + u"\r\n"_s), qPrintable(boxes.Shown[0].Text));
        const bool offered = calls.startsWith(u"offer"_s);
        QCOMPARE(boxes.Shown[0].Kind, offered ? TMsgDlgType::mtConfirmation : TMsgDlgType::mtCustom);
        QCOMPARE(boxes.Shown[0].Buttons,
                 offered ? (QList{TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}) : QList{TMsgDlgBtn::mbOK});
    }
    // Restarted, this copy leaves the server alone; otherwise the stored login is tested.
    QCOMPARE(server.Logins(), closes ? 0 : 1);
}

void tst_U_Main::saveRefusedForRightsSaysAdministrator_data()
{
    QTest::addColumn<bool>("mayWrite");
    QTest::newRow("rights-missing") << false;
    QTest::newRow("other-cause") << true;
}

// A save that fails for want of rights says that only an administrator can
// save; one that fails for another cause does not.
void tst_U_Main::saveRefusedForRightsSaysAdministrator()
{
    QFETCH(bool, mayWrite);
    QTemporaryDir dir;
    // A file where the settings folder should be: the save fails.
    const QString blockingFile = dir.filePath(u"blocked"_s);
    QVERIFY(WriteBytes(blockingFile, QByteArray()));
    const QString path = blockingFile + u"/quilloraGlobal.xml"_s;
    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(blockingFile + u"/"_s, boxes);
    hooks.MayWrite = [&](const QString &) { return mayWrite; };
    hooks.LimitedToken = [] { return false; };
    TF_Main window(hooks);
    QVERIFY(ShowAndSettle(window));
    const qsizetype before = boxes.Shown.size();
    QTest::mouseClick(Control<QPushButton>(window, u"B_OK"_s), Qt::LeftButton);
    QCOMPARE(boxes.Shown.size(), before + 1);
    const QString sentence = u"\r\nDie Datei %1 kann nur als Administrator gespeichert werden."_s.arg(
        QDir::toNativeSeparators(path));
    QVERIFY(boxes.Shown.last().Text.startsWith(u"Fehler beim Speichern\r\n"_s));
    QCOMPARE(boxes.Shown.last().Text.endsWith(sentence), !mayWrite);
    QVERIFY(window.isVisible());
}

void tst_U_Main::mayWriteFileTellsRights_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("mayWrite");
    QTest::newRow("own-file") << u"own-file"_s << true;
    QTest::newRow("own-read-only-file") << u"own-read-only-file"_s << true;
    QTest::newRow("missing-file") << u"missing-file"_s << true;
    QTest::newRow("missing-folder") << u"missing-folder"_s << true;
    QTest::newRow("folder-without-write") << u"folder-without-write"_s << false;
}

// The detection itself, on this system's own files.
void tst_U_Main::mayWriteFileTellsRights()
{
    QFETCH(QString, setup);
    QFETCH(bool, mayWrite);
    QTemporaryDir dir;
    QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    if (setup == u"own-file"_s || setup == u"own-read-only-file"_s)
        QVERIFY(WriteBytes(path, "<qv_Vellumix/>"));
    if (setup == u"own-read-only-file"_s)
        QVERIFY(QFile::setPermissions(path, QFileDevice::ReadOwner));
    if (setup == u"missing-folder"_s)
        path = dir.filePath(u"a/b/quilloraGlobal.xml"_s);
    if (setup == u"folder-without-write"_s) {
#ifdef Q_OS_WIN
        QSKIP("folder permission bits are POSIX; tests/windows checks access lists");
#else
        if (geteuid() == 0)
            QSKIP("the superuser writes into any folder");
#endif
        QVERIFY(QDir(dir.path()).mkdir(u"locked"_s));
        QVERIFY(
            QFile::setPermissions(dir.filePath(u"locked"_s), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        path = dir.filePath(u"locked/quilloraGlobal.xml"_s);
    }
    QCOMPARE(MayWriteFile(QDir::toNativeSeparators(path).toStdU16String()), mayWrite);
    QFile::setPermissions(dir.filePath(u"locked"_s),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void tst_U_Main::secondCopyShowsMessageOnly()
{
    QTemporaryDir dir;
    TBoxes boxes;
    TF_MainHooks hooks = HooksFor(dir.path(), boxes);
    hooks.ClaimInstance = [] { return TInstanceClaim{7, true}; };
    QList<qsizetype> boxesWhenRaised;
    hooks.RaiseOtherCopy = [&] { boxesWhenRaised.append(boxes.Shown.size()); };
    TF_Main window(hooks);

    QVERIFY(window.AnotherCopyRuns());
    // The other copy's window comes to the front once the box is answered.
    QCOMPARE(boxesWhenRaised, QList<qsizetype>{1});
    QCOMPARE(boxes.Shown.size(), 1);
    QCOMPARE(boxes.Shown[0].Kind, TMsgDlgType::mtCustom);
    QCOMPARE(boxes.Shown[0].Caption, u">quillora< Vellumix"_s);
    const QString text = u"Diese Anwendung läuft bereits!\n\rUm Konflikte zu vermeiden, lässt sich nur eine "
                         u"Instanz zur Zeit ausführen."_s;
    QCOMPARE(boxes.Shown[0].Text, text);
    QCOMPARE(text.size(), 106);
    QCOMPARE(boxes.Shown[0].Buttons, QList{TMsgDlgBtn::mbOK});

    // Even when shown by mistake, it reads no settings.
    window.show();
    QCOMPARE(boxes.Shown.size(), 1);
    QVERIFY(!QFile::exists(SettingsPath(dir)));
}

void tst_U_Main::instanceNameIsHeldUntilReleased_data()
{
    QTest::addColumn<bool>("runtimeDir");
    QTest::newRow("runtime-dir") << true;
    QTest::newRow("temp-dir") << false;
}

void tst_U_Main::instanceNameIsHeldUntilReleased()
{
    QFETCH(bool, runtimeDir);
    QTemporaryDir dir;
    const QByteArray oldRuntime = qgetenv("XDG_RUNTIME_DIR");
    const QByteArray oldTemp = qgetenv("TMPDIR");
    auto restore = qScopeGuard([&] {
        for (const auto &[name, value] :
             {std::pair{"XDG_RUNTIME_DIR", oldRuntime}, std::pair{"TMPDIR", oldTemp}}) {
            if (value.isNull())
                qunsetenv(name);
            else
                qputenv(name, value);
        }
    });
    if (runtimeDir) {
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(dir.path()));
    } else {
        qunsetenv("XDG_RUNTIME_DIR");
        qputenv("TMPDIR", QFile::encodeName(dir.path()));
    }
    const std::u16string name = u"quillora Vellumix";

    const TInstanceClaim first = ClaimInstanceName(name);
    QVERIFY(first.Handle >= 0);
    QVERIFY(!first.AlreadyExists);
    const TInstanceClaim second = ClaimInstanceName(name);
    QVERIFY(second.AlreadyExists);
    const QStringList files = QDir(dir.path()).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    QVERIFY2(files[0].startsWith(u"quillora Vellumix"_s), qPrintable(files[0]));

    // Another name is another program.
    const TInstanceClaim other = ClaimInstanceName(u"quillora Andere");
    QVERIFY(!other.AlreadyExists);

    ::close(int(first.Handle));
    const TInstanceClaim third = ClaimInstanceName(name);
    QVERIFY(third.Handle >= 0);
    QVERIFY(!third.AlreadyExists);
    for (const TInstanceClaim &claim : {second, other, third})
        ::close(int(claim.Handle));
}

#ifdef Q_OS_LINUX
namespace {

// True when process holds the exclusive flock on file, as the kernel reports it.
bool HoldsLock(qint64 process, const QString &file)
{
    struct stat info;
    if (::stat(QFile::encodeName(file).constData(), &info) != 0)
        return false;
    QFile locks(u"/proc/locks"_s);
    if (!locks.open(QIODevice::ReadOnly))
        return false;
    const QByteArray inode = ':' + QByteArray::number(qulonglong(info.st_ino));
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        // "1: FLOCK ADVISORY WRITE <pid> <major>:<minor>:<inode> 0 EOF"
        if (fields.size() >= 6 && fields[1] == "FLOCK" && fields[3] == "WRITE" &&
            fields[4] == QByteArray::number(process) && fields[5].endsWith(inode))
            return true;
    }
    return false;
}

} // namespace
#endif

void tst_U_Main::secondProcessEndsWithMessage()
{
#ifndef Q_OS_LINUX
    QSKIP("reads the kernel's lock table");
#else
    TStandInServer server;
    QTemporaryDir dir;
    QTemporaryDir runtime;
    // A copy of the program with a settings file of its own beside it.
    const QString program = dir.filePath(u"qv_VellumixConf"_s);
    QVERIFY(QFile::copy(QStringLiteral(VELLUMIX_CONF_PROGRAM), program));
    StoreSettings(SettingsPath(dir), SDemoUser, SDemoPassword, server.WsdlBase());
    const QByteArray settings = FileBytes(SettingsPath(dir));
    const QString lockFile = runtime.filePath(u"quillora Vellumix.lock"_s);

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime.path());
    auto start = [&](QProcess &process) {
        process.setProcessEnvironment(environment);
        process.setProgram(program);
        process.start();
        QVERIFY(process.waitForStarted());
    };
    auto stop = [](QProcess &process) {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    };

    QProcess first;
    auto stopFirst = qScopeGuard([&] { stop(first); });
    start(first);
    QTRY_VERIFY_WITH_TIMEOUT(HoldsLock(first.processId(), lockFile), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(server.Logins(), 1, 60000);

    QProcess second;
    auto stopSecond = qScopeGuard([&] { stop(second); });
    start(second);
    QVERIFY(second.waitForFinished(60000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    const QString said = QString::fromUtf8(second.readAllStandardError());
    QVERIFY2(
        said.contains(u"Diese Anwendung läuft bereits!\n\rUm Konflikte zu vermeiden, lässt sich nur eine "
                      u"Instanz zur Zeit ausführen.\n"_s),
        qPrintable(said));
    QCOMPARE(first.state(), QProcess::Running);
    QCOMPARE(server.Logins(), 1);
    QCOMPARE(FileBytes(SettingsPath(dir)), settings);

    // Killed by force, the first copy blocks nobody.
    first.kill();
    QVERIFY(first.waitForFinished());
    QProcess third;
    auto stopThird = qScopeGuard([&] { stop(third); });
    start(third);
    QTRY_VERIFY_WITH_TIMEOUT(HoldsLock(third.processId(), lockFile), 60000);
    QTRY_COMPARE_WITH_TIMEOUT(server.Logins(), 2, 60000);
    QCOMPARE(third.state(), QProcess::Running);
#endif
}

QTEST_MAIN(tst_U_Main)
#include "tst_U_Main.moc"

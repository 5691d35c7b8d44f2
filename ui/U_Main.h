#pragma once

#include "ui/U_Platform.h"

#include <QElapsedTimer>
#include <QIcon>
#include <QList>
#include <QString>
#include <QWidget>

#include <exception>
#include <functional>
#include <memory>

class QCloseEvent;
class QComboBox;
class QCommandLinkButton;
class QGroupBox;
class QLabel;
class QLineEdit;
class QMessageBox;
class QPaintEvent;
class QPushButton;
class QShowEvent;
class QTimer;
class TElo;
class TGlobalSettings;
struct TEditConflict;
class TLed;

// Kinds of message boxes; the kind gives the icon.
enum class TMsgDlgType { mtCustom, mtError, mtConfirmation };
enum class TMsgDlgBtn { mbOK, mbCancel };

struct TMessage {
    TMsgDlgType Kind = TMsgDlgType::mtCustom;
    QString Caption;
    QString Text;
    QList<TMsgDlgBtn> Buttons; // the first one is the default
};

// Shows a modal message box and returns the button that closed it.
using TMessageBoxFunc = std::function<TMsgDlgBtn(const TMessage &)>;

// Lets the user pick a file-system folder: title, root (empty: everything),
// directory (in: start folder, out: the choice), show edit box, include
// files, allow new folder. Returns false when cancelled or when no dialog
// could be shown.
using TBrowseForFolderFunc =
    std::function<bool(const QString &, const QString &, QString &, bool, bool, bool)>;

bool BrowseForFolder(const QString &title, const QString &root, QString &directory, bool showEditBox,
                     bool includeFiles, bool allowNewFolder);

// The default message box: a modal box with "OK" and "Abbrechen" as the
// buttons read, whatever the system language; parent may be null (centred on
// the screen). On a platform without a screen nobody could answer, so the
// text goes to the error output and the default button is taken.
TMsgDlgBtn ShowMessageBox(QWidget *parent, const TMessage &message);
// The box ShowMessageBox runs; each button carries its TMsgDlgBtn as the
// int property "answer".
std::unique_ptr<QMessageBox> CreateMessageBox(QWidget *parent, const TMessage &message);

// Places a top-level window so that its frame, title bar included, is centred
// on the available area of its screen. Creates the native window to learn
// the frame; call it before the window is shown.
void CentreOnScreen(QWidget &window);

// What the window takes from its surroundings; each empty member means the
// program's own choice. Tests replace them.
struct TF_MainHooks {
    QString AppDir;                                // the settings file's folder; empty: the executable's
    TMessageBoxFunc MessageBox;                    // empty: ShowMessageBox
    TBrowseForFolderFunc ChooseFolder;             // empty: BrowseForFolder
    std::function<TInstanceClaim()> ClaimInstance; // empty: the session-wide name "quillora Vellumix"
    std::function<void()> RaiseOtherCopy;          // empty: the other copy's window comes to the front
    int LogoutLimit = 0; // milliseconds the logout on close may take; 0: five seconds
    std::function<bool(const QString &)> MayWrite;      // empty: MayWriteFile
    std::function<bool()> LimitedToken;                 // empty: RunsWithLimitedToken
    std::function<bool()> RestartElevated;              // empty: ::RestartElevated
    std::function<void(std::intptr_t)> ReleaseInstance; // empty: ReleaseInstanceName
};

// The configuration window. Owns its controls, and from the first show until
// it closes the settings store and the Indexserver session. No exception
// leaves a handler: each one ends in a message box.
class TF_Main : public QWidget {
    Q_OBJECT
public:
    explicit TF_Main(TF_MainHooks hooks = {}, QWidget *parent = nullptr);
    ~TF_Main() override;
    Q_DISABLE_COPY(TF_Main)

    // True when the creation found another running copy: the window must
    // not be shown and the program ends.
    bool AnotherCopyRuns() const { return FAnotherCopyRuns; }

protected:
    void showEvent(QShowEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private slots:
    void CBox_LogLevelChange(int index);
    void BEdit_LogLeftButtonClick();
    void BEdit_LogRightButtonClick();
    void LEdit_IXUserChange(const QString &text);
    void LEdit_IXPasswortChange(const QString &text);
    void LEdit_IXWSDLChange(const QString &text);
    void B_IXConectionClick();
    void B_OKClick();
    bool SaveOverOtherChange();
    void B_AbbrechenClick();

private:
    void CreateControls();
    void FormCreate();
    void FormShow();
    void FormClose();
    void FitControlsToStore();
    void ShowLoadProblem();
    void ShowStoreValues();
    bool KeepMine(const TEditConflict &conflict);
    void FirstShowTest();
    bool SavingNeedsAdministrator();
    QString AdministratorHint() const;
    void FirstShowFailed(const QString &failure);
    QString StoredPassword() const;
    QString ShownSetting(const QString &setting, const QString &value) const;
    void LoadSession();
    void ConnectionTest();
    void SetBusy(bool busy);
    void SetClosing();
    bool KeyPassesDuringTest(QObject *watched, QEvent *event) const;
    void ShowTestSeconds();
    void ThrowPendingFailure();
    template <typename F> void Guarded(F &&handler);
    TMsgDlgBtn Message(TMsgDlgType kind, const QString &caption, const QString &text,
                       const QList<TMsgDlgBtn> &buttons);

    // The controls, owned by the window through Qt's parent chain.
    QGroupBox *GBox_IndexServer = nullptr;
    TLed *JvLED_IXConnection = nullptr;
    QLineEdit *LEdit_IXUser = nullptr;
    QLineEdit *LEdit_IXPasswort = nullptr;
    QLineEdit *LEdit_IXWSDL = nullptr;
    QPushButton *B_IXConection = nullptr;
    QGroupBox *GBox_Log = nullptr;
    QLabel *L_LogLevel = nullptr;
    QLabel *L_LogFolder = nullptr;
    QComboBox *CBox_LogLevel = nullptr;
    QLineEdit *BEdit_Log = nullptr;
    QCommandLinkButton *B_OK = nullptr;
    QCommandLinkButton *B_Abbrechen = nullptr;
    QList<QIcon> IL_KonfButtons; // 16 x 16: open folder, red cross
    QList<QIcon> IL_Buttons;     // 32 x 32: floppy disk, red cross

    std::unique_ptr<TGlobalSettings> FSettings;
    std::unique_ptr<TElo> FElo;
    // Written by FormCreate; the claim lives as long as the process, unless
    // this copy gives it up to start again as administrator.
    std::intptr_t FMutexHandle = -1;
    bool FRestarting = false;
    QString FAppDir;

    TF_MainHooks FHooks;
    bool FAnotherCopyRuns = false;
    bool FPasswordUneditable = false; // its element is not a single text
    bool FShown = false;
    bool FClosed = false;
    // A connection test is due or running: input is swallowed, "Verbinde" is
    // disabled, the caption counts the seconds and a close request waits
    // until the test has ended.
    bool FBusy = false;
    bool FCloseRequested = false;
    // A close was asked for: all input is swallowed from then on.
    bool FClosing = false;
    // The first-show test waits for the first paint, so that the window is
    // on screen while the server is asked.
    bool FFirstTestDue = false;
    bool FButtonHadFocus = false;
    QTimer *FCaptionTimer = nullptr;
    QElapsedTimer FTestClock;
    // While the first-show work runs, a failure inside a change handler that
    // it set off belongs to the first-show work; it waits here until the
    // setter returns and is then thrown on.
    int FGuardDepth = 0;
    std::exception_ptr FPendingFailure;
};

#include "ui/U_Main.h"

#include "common/EFailure.h"
#include "indexserver/IX_Binding.h"
#include "indexserver/U_ELO.h"
#include "settings/U_Types.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProxyStyle>
#include <QPushButton>
#include <QRadialGradient>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QScreen>
#include <QShowEvent>
#include <QStyleOption>
#include <QStyledItemDelegate>
#include <QTextStream>
#include <QTimer>
#include <QToolButton>
#include <QWindow>

#include <limits>

using namespace Qt::StringLiterals;

namespace {

const QString SAppTitle = u">quillora< Vellumix"_s;
const QString SSettingsFileName = u"quilloraGlobal.xml"_s;
const std::u16string SMutexName = u"quillora Vellumix";
// The line feed comes before the carriage return here, unlike every other box.
const QString SAlreadyRunning =
    u"Diese Anwendung läuft bereits!\n\r"
    u"Um Konflikte zu vermeiden, lässt sich nur eine Instanz zur Zeit ausführen."_s;
const QString SCaptionError = u"Fehler"_s;
const QString SCaptionConfirm = u"Bestätigen"_s;
const QString SFirstShowError = u"Meldung: "_s;
const QString SConnectError = u"Fehler: \r\n"_s;
const QString SSaveError = u"Fehler beim Speichern\r\n"_s;
const QString SChangedOnDisk =
    u"Die Datei %1 wurde seit dem Öffnen von einem anderen Programm geändert.\r\n"
    "„OK“ lädt sie neu, übernimmt Ihre Eingaben in die neue Fassung und speichert; "
    "„Abbrechen“ lässt die Datei, wie sie ist."_s;
const QString SAdministratorOnly = u"Die Datei %1 kann nur als Administrator gespeichert werden."_s;
const QString SViewOnly =
    u"Sie können die Einstellungen ansehen und die Verbindung testen, Änderungen aber nicht speichern."_s;
const QString SOfferElevation =
    u"„OK“ startet das Programm als Administrator neu, „Abbrechen“ arbeitet ohne Speichern weiter."_s;
const QString SChooseFolderTitle = u"Bitte wählen Sie ein Verzeichnis..."_s;
const QString SUnusableReplaced =
    u"\r\nOK ersetzt die Datei durch die angezeigten Einstellungen und bewahrt den bisherigen Inhalt als %1 auf."_s;
const QString SNotReadKept =
    u"\r\nDie Datei wird nicht ersetzt: „OK“ speichert nicht, solange sie nicht gelesen werden konnte."_s;
const QString SEditConflict = u"Die Einstellung „%1“ wurde hier und von einem anderen Programm geändert.\r\n"
                              "Ihr Wert: „%2“\r\nWert des anderen Programms: „%3“\r\n"
                              "„OK“ behält Ihren Wert, „Abbrechen“ übernimmt den des anderen Programms."_s;
const QString SUneditableSetting = u"Das Feld „%1“ (Element %2) kann hier nicht geändert werden: %3"_s;
const QString SNoSingleTextReason = u"Element enthält keinen einzelnen Textknoten"_s;
const QString SNoSingleTextPlain =
    u"In der Datei steht dort nicht nur ein einfacher Text (etwa weitere Elemente oder Kommentare)."_s;
const QString SUneditableKept = u"Das Feld ist schreibgeschützt; die Datei behält den Inhalt, wie er ist."_s;
const QString SButtonOK = u"OK"_s;
const QString SButtonCancel = u"Abbrechen"_s;
// The caption while a connection test waits on the server, with the seconds
// so far: a hung server looks different from a hung program.
const QString STestCaption = SAppTitle + u" – verbinde … %1 s"_s;
const QString SCertificateProblems = u"Zertifikatsprobleme (übergangen): %1"_s;
const QString SCertificateClean = u"Zertifikat ohne Probleme"_s;
const QString SCertificateExpires = u"Gültig bis: %1 UTC"_s;
const QString SCertificateFingerprint = u"SHA-256: %1"_s;
// The answer a message box button stands for, as an int of TMsgDlgBtn.
constexpr char SAnswerProperty[] = "answer";

const QColor SLampGrey(128, 128, 128);
const QColor SLampGreen(0, 255, 0);
const QColor SLampRed(255, 0, 0);

// Controls the skin leaves to their own drawing carry this tag.
constexpr int SOwnDrawnTag = 9999;
// Milliseconds the logout on close may take: nobody reads its outcome, and
// the program must end soon however the server behaves.
constexpr int SLogoutLimit = 5000;
// Height of the log level items, as the window layout gives it.
constexpr int SLogLevelItemHeight = 13;

// The images are drawn for this program as SVG files in ui/images and
// shipped as PNG rendered from them, so no Qt Svg is needed.
QIcon SvgIcon(const QString &name, int size)
{
    const QString stem = name.chopped(4);
    QIcon icon;
    for (const QString &scale : {u"1x"_s, u"1.5x"_s, u"2x"_s})
        icon.addFile(u":/vellumix/png/%1-%2@%3.png"_s.arg(stem).arg(size).arg(scale));
    return icon;
}

// Tahoma 8 pt is 11 pixels high at 96 dpi; where there is no Tahoma, the
// closest sans-serif face of the same pixel height stands in.
QFont WindowFont()
{
    QFont font(u"Tahoma"_s);
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(11);
    return font;
}

QString QuotedLineBreaks(const QString &text)
{
    QString result = text;
    result.replace(u"\r\n"_s, u"\n"_s);
    result.replace(u"\n\r"_s, u"\n"_s);
    result.replace(u'\r', u'\n');
    return result;
}

bool EndsWithDelimiter(const QString &path)
{
    return path.endsWith(QDir::separator()) || path.endsWith(u'/');
}

QString WithDelimiter(const QString &path)
{
    return EndsWithDelimiter(path) ? path : path + QDir::separator();
}

// Labels size themselves to their text: the widths of the layout fit Tahoma,
// and a wider stand-in face must not cut the text off.
void PlaceLabel(QLabel *label, int left, int top, int width)
{
    label->setGeometry(left, top, qMax(width, label->sizeHint().width()), 13);
}

bool IsDirectory(const QString &path)
{
    return !path.isEmpty() && QFileInfo(path).isDir();
}

// The password edit's "*" for each character. Only this one answer differs
// from the application's style, so the edit looks like its neighbours.
class TPasswordStyle : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption *option, const QWidget *widget,
                  QStyleHintReturn *returnData) const override
    {
        if (hint == SH_LineEdit_PasswordCharacter)
            return u'*';
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// Gives every item of a list one fixed height.
class TItemHeightDelegate : public QStyledItemDelegate {
public:
    TItemHeightDelegate(int height, QObject *parent) : QStyledItemDelegate(parent), FHeight(height) {}
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), FHeight};
    }

private:
    int FHeight;
};

// A command link that marks its focus: flat, the style draws no panel and
// with it no focus frame, so Tab would land on it unseen.
class TFocusLinkButton : public QCommandLinkButton {
public:
    using QCommandLinkButton::QCommandLinkButton;

protected:
    void paintEvent(QPaintEvent *event) override
    {
        QCommandLinkButton::paintEvent(event);
        if (!hasFocus())
            return;
        QStyleOptionFocusRect frame;
        frame.initFrom(this);
        frame.rect = rect().adjusted(2, 2, -2, -2);
        // Some styles draw the frame only after a key moved the focus.
        frame.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
        QPainter painter(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
    }
};

} // namespace

// The round indicator lamp; always lit, only its colour changes. A mark
// inside says the same as the colour, for those who cannot tell red from
// green: a check mark when the test succeeded, a cross when it failed.
class TLed : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor color READ Color)
public:
    enum class TState { Untested, Connected, Failed };
    explicit TLed(QWidget *parent) : QWidget(parent) {}
    QColor Color() const { return FColor; }
    TState State() const { return FState; }
    // What a screen reader says of the lamp besides its name.
    QString StateText() const
    {
        switch (FState) {
        case TState::Connected:
            return u"verbunden"_s;
        case TState::Failed:
            return u"fehlgeschlagen: "_s + FFailure.section(u'\n', 0, 0).trimmed();
        case TState::Untested:
            break;
        }
        return u"nicht geprüft"_s;
    }
    void SetState(TState state, const QString &failure = QString())
    {
        FState = state;
        FFailure = QuotedLineBreaksInLamp(failure);
        FColor = state == TState::Connected ? SLampGreen : state == TState::Failed ? SLampRed : SLampGrey;
        update();
        // Spoken by a screen reader: the state is the lamp's description.
        QAccessibleEvent description(this, QAccessible::DescriptionChanged);
        QAccessible::updateAccessibility(&description);
        QAccessibleEvent name(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&name);
    }

protected:
    void paintEvent(QPaintEvent *) override
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QRectF bounds = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
        QRadialGradient light(bounds.center() - QPointF(bounds.width() / 5, bounds.height() / 5),
                              bounds.width() * 0.7);
        light.setColorAt(0, FColor.lighter(170));
        light.setColorAt(0.6, FColor);
        light.setColorAt(1, FColor.darker(140));
        painter.setBrush(light);
        painter.setPen(QPen(palette().color(QPalette::Shadow), 1));
        painter.drawEllipse(bounds);

        // Black on both colours: the strongest contrast to green and to red.
        const qreal w = bounds.width();
        const qreal h = bounds.height();
        const QPointF o = bounds.topLeft();
        const auto at = [&](qreal x, qreal y) { return o + QPointF(x * w, y * h); };
        painter.setPen(QPen(Qt::black, qMax(1.5, w / 8), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        if (FState == TState::Connected) {
            const QPointF check[] = {at(0.25, 0.50), at(0.42, 0.66), at(0.74, 0.30)};
            painter.drawPolyline(check, 3);
        } else if (FState == TState::Failed) {
            painter.drawLine(at(0.32, 0.32), at(0.68, 0.68));
            painter.drawLine(at(0.68, 0.32), at(0.32, 0.68));
        }
        // The lamp holds the focus while a test runs that "Verbinde" started.
        if (hasFocus()) {
            QStyleOptionFocusRect frame;
            frame.initFrom(this);
            frame.state |= QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
            style()->drawPrimitive(QStyle::PE_FrameFocusRect, &frame, &painter, this);
        }
    }

private:
    static QString QuotedLineBreaksInLamp(const QString &text)
    {
        QString result = text;
        result.replace(u'\r', u'\n');
        return result.trimmed();
    }
    QColor FColor = SLampGrey;
    TState FState = TState::Untested;
    QString FFailure;
};

namespace {

// The lamp as a screen reader sees it: a status named "Verbindung" whose
// description is its state (and what the last test learned of the
// server's certificate, when it has something to say).
class TLedAccessible : public QAccessibleWidget {
public:
    explicit TLedAccessible(TLed *led) : QAccessibleWidget(led, QAccessible::StatusBar) {}
    QString text(QAccessible::Text t) const override
    {
        const auto *led = static_cast<const TLed *>(widget());
        switch (t) {
        case QAccessible::Name:
            return u"Verbindung"_s;
        case QAccessible::Value:
            return led->StateText();
        case QAccessible::Description:
            return led->toolTip().isEmpty() ? led->StateText() : led->StateText() + u'\n' + led->toolTip();
        default:
            return QAccessibleWidget::text(t);
        }
    }
};

QAccessibleInterface *LedAccessibleFactory(const QString &className, QObject *object)
{
    if (className == "TLed"_L1 && object && object->isWidgetType())
        return new TLedAccessible(static_cast<TLed *>(object));
    return nullptr;
}

} // namespace

// What the last test over https learned of the server's certificate; empty
// over plain http, where there is nothing to tell.
QString CertificateToolTip(const TCertificateReport &certificate)
{
    if (!certificate.Seen)
        return {};
    const QStringList problems = CertificateProblemTexts(certificate.Problems);
    return QStringList{problems.isEmpty() ? SCertificateClean
                                          : SCertificateProblems.arg(problems.join(u", "_s)),
                       SCertificateExpires.arg(certificate.Expires.toString(u"yyyy-MM-dd HH:mm"_s)),
                       SCertificateFingerprint.arg(FingerprintText(certificate.Sha256))}
        .join(u'\n');
}

// A message box grows with its text and never wraps inside a word: a long
// URL or token made it wider or taller than the screen, its button out of
// reach. A word longer than a box line keeps its start and end around an
// ellipsis, and so does a text of too many characters or lines; the text is
// cut between words. Each tighter level shortens more, for small screens.
QString ShortenedForBox(const QString &text, int level = 0)
{
    constexpr qsizetype MaxWord = 72;
    const qsizetype maxText = qMax<qsizetype>(200, 1200 >> level);
    const qsizetype maxLines = qMax<qsizetype>(4, 16 >> level);
    QStringList lines = text.split(u'\n');
    for (QString &line : lines) {
        QStringList words = line.split(u' ');
        for (QString &word : words)
            if (word.size() > MaxWord)
                word = word.left(MaxWord / 2 - 1) + u'…' + word.right(MaxWord / 2 - 1);
        line = words.join(u' ');
    }
    if (lines.size() > maxLines)
        lines = lines.mid(0, maxLines / 2) + QStringList{u"…"_s} + lines.mid(lines.size() - maxLines / 2 + 1);
    QString shown = lines.join(u'\n');
    if (shown.size() > maxText) {
        // Back to the last blank of the start, on to the first of the end;
        // a part without blanks (a long word already shortened) stays as it is.
        QString start = shown.left(maxText / 2);
        QString end = shown.right(maxText / 2 - 3);
        const qsizetype lastBlank = start.lastIndexOf(QRegularExpression(u"\\s"_s));
        if (lastBlank > 0)
            start = start.left(lastBlank);
        const qsizetype firstBlank = end.indexOf(QRegularExpression(u"\\s"_s));
        if (firstBlank >= 0 && firstBlank + 1 < end.size())
            end = end.mid(firstBlank + 1);
        shown = start + u" … "_s + end;
    }
    return shown;
}

namespace {

// Keeps a message box inside the available area of its screen, also after
// "Details" has made it taller: its text is shortened a level further (the
// whole text stays under "Details") until it fits, and the box is moved
// into the area.
class TFitToScreen : public QObject {
public:
    TFitToScreen(QMessageBox *box, QString text) : QObject(box), FBox(box), FText(std::move(text))
    {
        box->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (watched == FBox && (event->type() == QEvent::Resize || event->type() == QEvent::Show))
            QMetaObject::invokeMethod(this, &TFitToScreen::Fit, Qt::QueuedConnection);
        return false;
    }

private:
    void Fit()
    {
        const QScreen *screen = FBox->screen();
        if (!screen || !FBox->isVisible())
            return;
        const QRect area = screen->availableGeometry();
        const QRect outer = FBox->frameGeometry();
        const int frameHeight = outer.height() - FBox->height();
        if (outer.height() > area.height() && FLevel < 4) {
            // Shorter text, smaller box: this filter sees its resize and checks again.
            const QString shorter = ShortenedForBox(FText, ++FLevel);
            if (shorter != FText && FBox->detailedText().isEmpty())
                FBox->setDetailedText(FText);
            FBox->setText(shorter);
            return;
        }
        QRect moved = outer;
        if (moved.height() > area.height())
            FBox->setFixedHeight(qMax(100, area.height() - frameHeight));
        moved.setSize(FBox->frameGeometry().size());
        moved.moveBottom(qMin(moved.bottom(), area.bottom()));
        moved.moveRight(qMin(moved.right(), area.right()));
        moved.moveTop(qMax(moved.top(), area.top()));
        moved.moveLeft(qMax(moved.left(), area.left()));
        if (moved.topLeft() != outer.topLeft())
            FBox->move(moved.topLeft());
    }

    QMessageBox *FBox;
    QString FText;
    int FLevel = 0;
};

} // namespace

std::unique_ptr<QMessageBox> CreateMessageBox(QWidget *parent, const TMessage &message)
{
    auto box = std::make_unique<QMessageBox>(parent);
    box->setWindowTitle(message.Caption);
    switch (message.Kind) {
    case TMsgDlgType::mtCustom:
        box->setIcon(QMessageBox::NoIcon);
        break;
    case TMsgDlgType::mtError:
        box->setIcon(QMessageBox::Critical);
        break;
    case TMsgDlgType::mtConfirmation:
        box->setIcon(QMessageBox::Question);
        break;
    }
    box->setTextFormat(Qt::PlainText);
    const QString text = QuotedLineBreaks(message.Text);
    const QString shown = ShortenedForBox(text);
    box->setText(shown);
    // A text too long for the screen shows its start and end; the whole of
    // it waits under "Details", where it scrolls.
    if (shown != text)
        box->setDetailedText(text);
    new TFitToScreen(box.get(), text);
    // Wrapped from the start, not only once the box is shown: its size is
    // asked for before.
    if (auto label = box->findChild<QLabel *>(u"qt_msgbox_label"_s))
        label->setWordWrap(true);

    // Buttons with our own texts, so they read the same in every system language.
    const QList<TMsgDlgBtn> wanted = message.Buttons.isEmpty() ? QList{TMsgDlgBtn::mbOK} : message.Buttons;
    QPushButton *first = nullptr;
    QPushButton *escape = nullptr;
    for (TMsgDlgBtn kind : wanted) {
        QPushButton *button = kind == TMsgDlgBtn::mbOK
                                  ? box->addButton(SButtonOK, QMessageBox::AcceptRole)
                                  : box->addButton(SButtonCancel, QMessageBox::RejectRole);
        button->setProperty(SAnswerProperty, int(kind));
        if (!first)
            first = button;
        if (!escape || kind == TMsgDlgBtn::mbCancel)
            escape = button;
    }
    box->setDefaultButton(first);
    box->setEscapeButton(escape);
    return box;
}

TMsgDlgBtn ShowMessageBox(QWidget *parent, const TMessage &message)
{
    const QString platform = QGuiApplication::platformName();
    if (platform == "offscreen"_L1 || platform == "minimal"_L1) {
        QTextStream(stderr) << message.Text << '\n';
        return message.Buttons.value(0, TMsgDlgBtn::mbOK);
    }
    const std::unique_ptr<QMessageBox> box = CreateMessageBox(parent, message);
    box->exec();
    // Escape and the close box count as the escape button.
    QAbstractButton *answer = box->clickedButton() ? box->clickedButton() : box->escapeButton();
    return TMsgDlgBtn(answer->property(SAnswerProperty).toInt());
}

bool BrowseForFolder(const QString &title, const QString &root, QString &directory, bool showEditBox,
                     bool includeFiles, bool allowNewFolder)
{
    if (!IsDirectory(directory))
        directory.clear();
#ifdef Q_OS_WIN
    QWidget *owner = QApplication::activeWindow();
    std::u16string chosen = directory.toStdU16String();
    const bool result = ShellBrowseForFolder(owner ? reinterpret_cast<void *>(owner->winId()) : nullptr,
                                             title.toStdU16String(), root.toStdU16String(), chosen,
                                             BrowseFlags(showEditBox, includeFiles, allowNewFolder));
    directory = QString::fromStdU16String(chosen);
    return result;
#else
    // Qt's own dialog always has its name field; showEditBox is met by it.
    Q_UNUSED(showEditBox);
    QFileDialog dialog(QApplication::activeWindow(), title);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(includeFiles ? QFileDialog::AnyFile : QFileDialog::Directory);
    dialog.setOption(QFileDialog::ShowDirsOnly, !includeFiles);
    dialog.setOption(QFileDialog::ReadOnly, !allowNewFolder);
    const QString start = directory.isEmpty() ? root : directory;
    if (!start.isEmpty()) {
        QDir parent(start);
        if (parent.cdUp()) {
            dialog.setDirectory(parent);
            dialog.selectFile(QDir::cleanPath(start));
        } else {
            dialog.setDirectory(start);
        }
    }
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return false;
    const QString chosen = QDir::cleanPath(dialog.selectedFiles().constFirst());
    if (!QFileInfo(chosen).isDir())
        return false;
    directory = QDir::toNativeSeparators(chosen);
    return true;
#endif
}

void CentreOnScreen(QWidget &window)
{
    const QScreen *screen = window.screen();
    if (!screen)
        return;
    // The native window knows its frame as soon as it exists; a window
    // manager that adds the frame only when mapping reports none yet.
    window.winId();
    const QMargins frame = window.windowHandle() ? window.windowHandle()->frameMargins() : QMargins();
    QRect outer(QPoint(), window.size().grownBy(frame));
    outer.moveCenter(screen->availableGeometry().center());
    // A window's position is that of its frame.
    window.move(outer.topLeft());
}

namespace {

bool IsUserInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::TabletMove:
    case QEvent::InputMethod:
    case QEvent::Drop:
        return true;
    default:
        return false;
    }
}

} // namespace

TF_Main::TF_Main(TF_MainHooks hooks, QWidget *parent) : QWidget(parent), FHooks(std::move(hooks))
{
    if (!FHooks.MessageBox)
        FHooks.MessageBox = [this](const TMessage &message) {
            return ShowMessageBox(isVisible() ? this : nullptr, message);
        };
    if (!FHooks.ChooseFolder)
        FHooks.ChooseFolder = BrowseForFolder;
    if (!FHooks.ClaimInstance)
        FHooks.ClaimInstance = [] { return ClaimInstanceName(SMutexName); };
    if (!FHooks.RaiseOtherCopy)
        FHooks.RaiseOtherCopy = [] { ::RaiseOtherCopy(SAppTitle.toStdU16String()); };
    if (FHooks.LogoutLimit <= 0)
        FHooks.LogoutLimit = SLogoutLimit;
    if (!FHooks.MayWrite)
        FHooks.MayWrite = [](const QString &path) { return MayWriteFile(path.toStdU16String()); };
    if (!FHooks.LimitedToken)
        FHooks.LimitedToken = RunsWithLimitedToken;
    if (!FHooks.RestartElevated)
        FHooks.RestartElevated = ::RestartElevated;
    if (!FHooks.ReleaseInstance)
        FHooks.ReleaseInstance = ReleaseInstanceName;

    FCaptionTimer = new QTimer(this);
    FCaptionTimer->setInterval(1000);
    FCaptionTimer->setTimerType(Qt::PreciseTimer);
    connect(FCaptionTimer, &QTimer::timeout, this, &TF_Main::ShowTestSeconds);

    static const bool ledAccessible = (QAccessible::installFactory(LedAccessibleFactory), true);
    Q_UNUSED(ledAccessible);
    CreateControls();
    FormCreate();
}

TF_Main::~TF_Main()
{
    // A first-show test that never got its paint leaves the cursor and the
    // input filter behind otherwise.
    SetBusy(false);
    qApp->removeEventFilter(this);
}

void TF_Main::CreateControls()
{
    setObjectName(u"F_Main"_s);
    setWindowTitle(SAppTitle);
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setFixedSize(678, 375);
    setFont(WindowFont());
    setWindowIcon(SvgIcon(u"window-icon.svg"_s, 16));

    IL_KonfButtons = {SvgIcon(u"folder-open.svg"_s, 16), SvgIcon(u"cross.svg"_s, 16)};
    IL_Buttons = {SvgIcon(u"floppy.svg"_s, 32), SvgIcon(u"cross.svg"_s, 32)};

    GBox_IndexServer = new QGroupBox(u"ELO Indexserver"_s, this);
    GBox_IndexServer->setObjectName(u"GBox_IndexServer"_s);
    GBox_IndexServer->setGeometry(8, 157, 454, 210);

    JvLED_IXConnection = new TLed(GBox_IndexServer);
    JvLED_IXConnection->setObjectName(u"JvLED_IXConnection"_s);
    JvLED_IXConnection->setGeometry(105, 175, 17, 17);

    auto labelledEdit = [this](const QString &name, const QString &caption, int labelWidth, int top) {
        auto edit = new QLineEdit(GBox_IndexServer);
        edit->setObjectName(name);
        edit->setGeometry(24, top, 409, 21);
        auto label = new QLabel(caption, GBox_IndexServer);
        label->setObjectName(name + u"Label"_s);
        PlaceLabel(label, 24, top - 3 - 13, labelWidth);
        label->setBuddy(edit);
        return edit;
    };
    LEdit_IXUser = labelledEdit(u"LEdit_IXUser"_s, u"Benutzer"_s, 43, 48);
    LEdit_IXPasswort = labelledEdit(u"LEdit_IXPasswort"_s, u"Passwort"_s, 44, 96);
    LEdit_IXPasswort->setEchoMode(QLineEdit::Password);
    // One "*" per character; the edit owns its style.
    auto passwordStyle = new TPasswordStyle;
    passwordStyle->setParent(LEdit_IXPasswort);
    LEdit_IXPasswort->setStyle(passwordStyle);
    LEdit_IXWSDL = labelledEdit(u"LEdit_IXWSDL"_s, u"WSDL Location"_s, 71, 144);

    B_IXConection = new QPushButton(u"Verbinde"_s, GBox_IndexServer);
    B_IXConection->setObjectName(u"B_IXConection"_s);
    B_IXConection->setGeometry(24, 171, 75, 25);
    B_IXConection->setAutoDefault(false);

    GBox_Log = new QGroupBox(u"Logfunktion"_s, this);
    GBox_Log->setObjectName(u"GBox_Log"_s);
    GBox_Log->setGeometry(8, 8, 454, 143);

    L_LogLevel = new QLabel(u"Loglevel"_s, GBox_Log);
    L_LogLevel->setObjectName(u"L_LogLevel"_s);
    PlaceLabel(L_LogLevel, 24, 29, 39);

    L_LogFolder = new QLabel(u"Logdateienverzeichnis"_s, GBox_Log);
    L_LogFolder->setObjectName(u"L_LogFolder"_s);
    PlaceLabel(L_LogFolder, 24, 83, 106);

    CBox_LogLevel = new QComboBox(GBox_Log);
    CBox_LogLevel->setObjectName(u"CBox_LogLevel"_s);
    CBox_LogLevel->setGeometry(24, 48, 145, 21);
    CBox_LogLevel->setItemDelegate(new TItemHeightDelegate(SLogLevelItemHeight, CBox_LogLevel));
    CBox_LogLevel->addItems({u"kein log"_s, u"Normal"_s, u"Debug"_s});
    CBox_LogLevel->setCurrentIndex(0);

    BEdit_Log = new QLineEdit(GBox_Log);
    BEdit_Log->setObjectName(u"BEdit_Log"_s);
    BEdit_Log->setGeometry(24, 102, 409, 21);
    BEdit_Log->setProperty("Tag", SOwnDrawnTag);
    // Only its two buttons change the stored folder; typed text would be shown but never saved.
    BEdit_Log->setReadOnly(true);
    QAction *clearFolder = BEdit_Log->addAction(IL_KonfButtons.at(1), QLineEdit::LeadingPosition);
    clearFolder->setObjectName(u"BEdit_LogLeftButton"_s);
    QAction *chooseFolder = BEdit_Log->addAction(IL_KonfButtons.at(0), QLineEdit::TrailingPosition);
    chooseFolder->setObjectName(u"BEdit_LogRightButton"_s);

    B_OK = new TFocusLinkButton(u"OK"_s, u"speichert die Einstellungen"_s, this);
    B_OK->setObjectName(u"B_OK"_s);
    B_OK->setGeometry(468, 251, 200, 55);
    B_OK->setIcon(IL_Buttons.at(0));
    B_OK->setIconSize(QSize(32, 32));
    B_OK->setProperty("Tag", SOwnDrawnTag);

    B_Abbrechen = new TFocusLinkButton(u"Abbrechen"_s, u"beenden ohne speichern"_s, this);
    B_Abbrechen->setObjectName(u"B_Abbrechen"_s);
    B_Abbrechen->setGeometry(468, 312, 200, 55);
    B_Abbrechen->setIcon(IL_Buttons.at(1));
    B_Abbrechen->setIconSize(QSize(32, 32));
    B_Abbrechen->setProperty("Tag", SOwnDrawnTag);

    // Neither Enter nor Escape presses a button by itself.
    for (QPushButton *button : {static_cast<QPushButton *>(B_OK), static_cast<QPushButton *>(B_Abbrechen)}) {
        button->setAutoDefault(false);
        button->setDefault(false);
    }

    // Tab order: the log group, then the Indexserver group, then OK and Abbrechen.
    setTabOrder(CBox_LogLevel, BEdit_Log);
    setTabOrder(BEdit_Log, LEdit_IXUser);
    setTabOrder(LEdit_IXUser, LEdit_IXPasswort);
    setTabOrder(LEdit_IXPasswort, LEdit_IXWSDL);
    setTabOrder(LEdit_IXWSDL, B_IXConection);
    // The lamp follows "Verbinde" in the chain, so that it can hold the
    // focus while the test that button started runs (the button is disabled
    // then): Tab goes on to OK from there. It takes no focus otherwise.
    JvLED_IXConnection->setFocusPolicy(Qt::ClickFocus);
    setTabOrder(B_IXConection, JvLED_IXConnection);
    setTabOrder(JvLED_IXConnection, B_OK);
    JvLED_IXConnection->setFocusPolicy(Qt::NoFocus);
    setTabOrder(B_OK, B_Abbrechen);

    // Screen readers name a control by its label; the two labels of the
    // log group sit apart from their controls.
    L_LogLevel->setBuddy(CBox_LogLevel);
    L_LogFolder->setBuddy(BEdit_Log);
    BEdit_Log->setAccessibleDescription(
        u"F4 oder Alt+Pfeil nach unten wählt ein Verzeichnis, Entf löscht Verzeichnis und Loglevel"_s);
    // Names only, not the actions' texts: those would become tooltips.
    for (QToolButton *button : BEdit_Log->findChildren<QToolButton *>()) {
        if (button->defaultAction() == chooseFolder)
            button->setAccessibleName(u"Verzeichnis wählen"_s);
        else if (button->defaultAction() == clearFolder)
            button->setAccessibleName(u"Verzeichnis und Loglevel löschen"_s);
    }

    connect(CBox_LogLevel, &QComboBox::activated, this, &TF_Main::CBox_LogLevelChange);
    connect(clearFolder, &QAction::triggered, this, &TF_Main::BEdit_LogLeftButtonClick);
    connect(chooseFolder, &QAction::triggered, this, &TF_Main::BEdit_LogRightButtonClick);
    // The buttons inside the field take no focus: the keys a drop-down field
    // answers to open the chooser, Delete clears. Disabling a button (an
    // uneditable folder) disables its keys too.
    clearFolder->setShortcut(QKeySequence(Qt::Key_Delete));
    chooseFolder->setShortcuts({QKeySequence(Qt::ALT | Qt::Key_Down), QKeySequence(Qt::Key_F4)});
    for (QAction *button : {clearFolder, chooseFolder})
        button->setShortcutContext(Qt::WidgetShortcut);
    // Enter presses the button that has the focus, as Space does; none of
    // them becomes a default button.
    for (QWidget *button : {static_cast<QWidget *>(B_IXConection), static_cast<QWidget *>(B_OK),
                            static_cast<QWidget *>(B_Abbrechen)})
        button->installEventFilter(this);
    connect(LEdit_IXUser, &QLineEdit::textChanged, this, &TF_Main::LEdit_IXUserChange);
    connect(LEdit_IXPasswort, &QLineEdit::textChanged, this, &TF_Main::LEdit_IXPasswortChange);
    connect(LEdit_IXWSDL, &QLineEdit::textChanged, this, &TF_Main::LEdit_IXWSDLChange);
    connect(B_IXConection, &QPushButton::clicked, this, &TF_Main::B_IXConectionClick);
    connect(B_OK, &QPushButton::clicked, this, &TF_Main::B_OKClick);
    connect(B_Abbrechen, &QPushButton::clicked, this, &TF_Main::B_AbbrechenClick);
}

TMsgDlgBtn TF_Main::Message(TMsgDlgType kind, const QString &caption, const QString &text,
                            const QList<TMsgDlgBtn> &buttons)
{
    return FHooks.MessageBox(TMessage{kind, caption, text, buttons});
}

template <typename F> void TF_Main::Guarded(F &&handler)
{
    try {
        handler();
    } catch (const std::exception &e) {
        if (FGuardDepth > 0) {
            if (!FPendingFailure)
                FPendingFailure = std::current_exception();
            return;
        }
        Message(TMsgDlgType::mtError, SAppTitle, FailureText(e), {TMsgDlgBtn::mbOK});
    }
}

void TF_Main::ThrowPendingFailure()
{
    if (FPendingFailure)
        std::rethrow_exception(std::exchange(FPendingFailure, nullptr));
}

void TF_Main::FormCreate()
{
    // Only the claim's existence matters; the handle is kept open, never
    // waited on, and closed by the system when the process ends.
    const TInstanceClaim claim = FHooks.ClaimInstance();
    FMutexHandle = claim.Handle;
    if (claim.AlreadyExists) {
        FAnotherCopyRuns = true;
        Message(TMsgDlgType::mtCustom, SAppTitle, SAlreadyRunning, {TMsgDlgBtn::mbOK});
        // After the box, so that the box does not cover the window it points to.
        FHooks.RaiseOtherCopy();
    }
}

void TF_Main::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (FShown || FAnotherCopyRuns)
        return;
    FShown = true;
    // The focus starts in the log-level list, where a Down key changes the
    // level: it is drawn from the start as after a Tab, not only once the
    // keyboard has moved it.
    setAttribute(Qt::WA_KeyboardFocusChange);
    FormShow();
}

void TF_Main::FormShow()
{
    QString failure;
    bool failed = false;
    ++FGuardDepth;
    try {
        FElo = std::make_unique<TElo>();
        FAppDir = FHooks.AppDir.isEmpty() ? QDir::toNativeSeparators(QCoreApplication::applicationDirPath())
                                          : FHooks.AppDir;
        FAppDir = WithDelimiter(FAppDir);
        FSettings = std::make_unique<TGlobalSettings>(FAppDir + SSettingsFileName);
        FitControlsToStore();
        CBox_LogLevel->setCurrentIndex(FSettings->GetLogLevel());
        BEdit_Log->setText(ShownSetting(u"LogFileFolder"_s, FSettings->GetLogFileFolder()));
        LEdit_IXUser->setText(ShownSetting(u"IXUser"_s, FSettings->GetIXUser()));
        ThrowPendingFailure();
        LEdit_IXPasswort->setText(StoredPassword());
        ThrowPendingFailure();
        LEdit_IXWSDL->setText(ShownSetting(u"IXWSDLLocation"_s, FSettings->GetIXWSDLLocation()));
        ThrowPendingFailure();
        LoadSession();
        FRestarting = SavingNeedsAdministrator();
        if (FRestarting)
            QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        else if (!ShownSetting(u"IXUser"_s, FSettings->GetIXUser()).isEmpty() &&
                 !StoredPassword().isEmpty()) {
            // The window is not on screen yet: the test runs after its first
            // paint and until then the window is busy, so that it reacts to
            // no input before the test.
            FFirstTestDue = true;
            SetBusy(true);
        }
    } catch (const std::exception &e) {
        failed = true;
        failure = FailureText(e);
    }
    --FGuardDepth;
    FPendingFailure = nullptr;
    if (failed)
        FirstShowFailed(failure);
    // Without a store there is nothing to edit or test; OK and Abbrechen still close.
    if (!FSettings || !FElo) {
        GBox_Log->setEnabled(false);
        GBox_IndexServer->setEnabled(false);
    }
}

// Once the store exists and before the controls show its values: the edits
// hold values of any length, so that showing one never shortens it; a file
// that could not be used is reported with what OK will do; a setting whose
// element the store cannot change is named once and its field made
// read-only, instead of failing at every keystroke.
void TF_Main::FitControlsToStore()
{
    for (QLineEdit *edit : {LEdit_IXUser, LEdit_IXPasswort, LEdit_IXWSDL, BEdit_Log})
        edit->setMaxLength(std::numeric_limits<int>::max());
    ShowLoadProblem();
    QStringList lines;
    for (const TUneditableSetting &setting : FSettings->UneditableSettings()) {
        // The administrator knows the window's labels; the element only helps to find it in the file.
        const QString field = setting.Setting == u"IXUser"_s           ? (u"Benutzer"_s)
                              : setting.Setting == u"IXPasswort"_s     ? (u"Passwort"_s)
                              : setting.Setting == u"IXWSDLLocation"_s ? (u"WSDL Location"_s)
                              : setting.Setting == u"LogFileFolder"_s  ? (u"Logdateienverzeichnis"_s)
                                                                       : setting.Setting;
        const QString reason = setting.Reason == SNoSingleTextReason ? SNoSingleTextPlain : setting.Reason;
        lines.append(SUneditableSetting.arg(field, setting.Setting, reason));
        if (setting.Setting == u"IXUser"_s) {
            LEdit_IXUser->setReadOnly(true);
        } else if (setting.Setting == u"IXPasswort"_s) {
            LEdit_IXPasswort->setReadOnly(true);
            FPasswordUneditable = true;
        } else if (setting.Setting == u"IXWSDLLocation"_s) {
            LEdit_IXWSDL->setReadOnly(true);
        } else if (setting.Setting == u"LogFileFolder"_s) {
            for (QAction *button : BEdit_Log->actions())
                button->setEnabled(false);
        }
    }
    if (!lines.isEmpty()) {
        lines.append(SUneditableKept);
        Message(TMsgDlgType::mtError, SCaptionError, lines.join(u"\r\n"_s), {TMsgDlgBtn::mbOK});
    }
}

// A file that could not be used is named with what OK will do: replace it
// and keep its content as a backup; one that could not be read is never
// replaced, so OK will not save.
void TF_Main::ShowLoadProblem()
{
    if (FSettings->LoadProblem().isEmpty())
        return;
    const QString consequence =
        FSettings->ReadRefused()
            ? SNotReadKept
            : SUnusableReplaced.arg(QDir::toNativeSeparators(FSettings->BackupFileName()));
    Message(TMsgDlgType::mtError, SCaptionError, FSettings->LoadProblem() + consequence, {TMsgDlgBtn::mbOK});
}

// After a reload the store holds values the controls do not show yet; they
// are the store's already, so the change handlers need not run.
void TF_Main::ShowStoreValues()
{
    const QSignalBlocker levelBlocker(CBox_LogLevel), userBlocker(LEdit_IXUser),
        passwordBlocker(LEdit_IXPasswort), wsdlBlocker(LEdit_IXWSDL);
    try {
        CBox_LogLevel->setCurrentIndex(FSettings->GetLogLevel());
    } catch (const EFailure &) {
        // A level that is no number keeps the list as it is; OK saves it unchanged.
    }
    BEdit_Log->setText(ShownSetting(u"LogFileFolder"_s, FSettings->GetLogFileFolder()));
    LEdit_IXUser->setText(ShownSetting(u"IXUser"_s, FSettings->GetIXUser()));
    LEdit_IXPasswort->setText(StoredPassword());
    LEdit_IXWSDL->setText(ShownSetting(u"IXWSDLLocation"_s, FSettings->GetIXWSDLLocation()));
}

// Both the user and another program changed one setting: the user picks.
bool TF_Main::KeepMine(const TEditConflict &conflict)
{
    static const QString levels[] = {u"kein log"_s, u"Normal"_s, u"Debug"_s};
    const auto shown = [&](const QString &value) {
        if (conflict.Setting == u"IXPasswort"_s)
            return QString(value.size(), u'*'); // as the edit shows it
        if (conflict.Setting == u"LogLevel"_s) {
            bool number = false;
            const int level = value.trimmed().toInt(&number);
            if (number && level >= 0 && level <= 2)
                return levels[level];
        }
        return value;
    };
    const QString field = conflict.Setting == u"IXUser"_s           ? u"Benutzer"_s
                          : conflict.Setting == u"IXPasswort"_s     ? u"Passwort"_s
                          : conflict.Setting == u"IXWSDLLocation"_s ? u"WSDL Location"_s
                          : conflict.Setting == u"LogFileFolder"_s  ? u"Logdateienverzeichnis"_s
                          : conflict.Setting == u"LogLevel"_s       ? u"Loglevel"_s
                                                                    : conflict.Setting;
    return Message(TMsgDlgType::mtConfirmation, SCaptionConfirm,
                   SEditConflict.arg(field, shown(conflict.Mine), shown(conflict.Theirs)),
                   {TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}) == TMsgDlgBtn::mbOK;
}

void TF_Main::paintEvent(QPaintEvent *event)
{
    QWidget::paintEvent(event);
    if (!std::exchange(FFirstTestDue, false))
        return;
    // Queued, so that this paint reaches the screen before the test blocks.
    QMetaObject::invokeMethod(this, &TF_Main::FirstShowTest, Qt::QueuedConnection);
}

// Said before the edits, not after them: when this process cannot write the
// settings file (or, without one, its folder), OK would only fail. A
// Windows administrator without elevation may start again as
// administrator; this copy then gives up its claim on the single-instance
// name first, so that the new copy is not turned away. Returns true when
// the new copy was started and this one is to close.
bool TF_Main::SavingNeedsAdministrator()
{
    const QString file = FSettings->FileName();
    if (FHooks.MayWrite(file))
        return false;
    const QString sentence = SAdministratorOnly.arg(QDir::toNativeSeparators(file));
    if (!FHooks.LimitedToken()) {
        Message(TMsgDlgType::mtCustom, SAppTitle, sentence + u"\r\n"_s + SViewOnly, {TMsgDlgBtn::mbOK});
        return false;
    }
    if (Message(TMsgDlgType::mtConfirmation, SCaptionConfirm, sentence + u"\r\n"_s + SOfferElevation,
                {TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}) != TMsgDlgBtn::mbOK)
        return false;
    FHooks.ReleaseInstance(std::exchange(FMutexHandle, -1));
    if (FHooks.RestartElevated())
        return true;
    // Refused or failed: this copy goes on, and guards the name again.
    FMutexHandle = FHooks.ClaimInstance().Handle;
    return false;
}

// The sentence for a save that failed for want of rights; empty otherwise.
QString TF_Main::AdministratorHint() const
{
    const QString file = FSettings->FileName();
    return FHooks.MayWrite(file) ? QString()
                                 : u"\r\n"_s + SAdministratorOnly.arg(QDir::toNativeSeparators(file));
}

// The last step of the first-show work, with its failure rule.
void TF_Main::FirstShowTest()
{
    try {
        ConnectionTest();
    } catch (const std::exception &e) {
        FirstShowFailed(FailureText(e));
    }
}

void TF_Main::FirstShowFailed(const QString &failure)
{
    Message(TMsgDlgType::mtError, SCaptionError, SFirstShowError + failure, {TMsgDlgBtn::mbOK});
}

// An uneditable setting shows what text its element holds, read-only; an
// editable one its value.
QString TF_Main::ShownSetting(const QString &setting, const QString &value) const
{
    for (const TUneditableSetting &uneditable : FSettings->UneditableSettings())
        if (uneditable.Setting == setting)
            return FSettings->SettingText(setting);
    return value;
}

// A password element that is not a single text was reported once at first
// show; what text it holds is the password, read-only like the other fields,
// so that a stored login is still shown and tested.
QString TF_Main::StoredPassword() const
{
    return FPasswordUneditable ? FSettings->ReadableIXPasswort() : FSettings->GetIXPasswort();
}

void TF_Main::LoadSession()
{
    FElo->LoginUser = ShownSetting(u"IXUser"_s, FSettings->GetIXUser());
    FElo->LoginPassword = StoredPassword();
    FElo->WSDLBase = ShownSetting(u"IXWSDLLocation"_s, FSettings->GetIXWSDLLocation());
}

void TF_Main::ConnectionTest()
{
    QString error;
    bool connected = false;
    // A close asked for before the first-show test began: no test.
    if (!FCloseRequested) {
        SetBusy(true);
        const auto idle = qScopeGuard([this] { SetBusy(false); });
        connected = FElo->Connect(error);
    }
    if (FCloseRequested) {
        // The user left during the test: its outcome would only hold the close up.
        FCloseRequested = false;
        SetBusy(false);
        QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
        return;
    }
    JvLED_IXConnection->setToolTip(CertificateToolTip(FElo->Certificate()));
    JvLED_IXConnection->SetState(connected ? TLed::TState::Connected : TLed::TState::Failed, error);
    if (!connected)
        Message(TMsgDlgType::mtError, SCaptionError, SConnectError + error, {TMsgDlgBtn::mbOK});
}

void TF_Main::SetBusy(bool busy)
{
    if (busy == FBusy)
        return;
    FBusy = busy;
    if (busy) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        qApp->installEventFilter(this);
        FButtonHadFocus = B_IXConection->hasFocus();
        // Disabling the button would pass its focus on to OK, which does
        // nothing during the test: the lamp, which tells how it ends, holds it.
        if (FButtonHadFocus)
            JvLED_IXConnection->setFocus(Qt::OtherFocusReason);
        B_IXConection->setEnabled(false);
        FTestClock.start();
        ShowTestSeconds();
        FCaptionTimer->start();
    } else {
        FCaptionTimer->stop();
        setWindowTitle(SAppTitle);
        B_IXConection->setEnabled(true);
        // The user pressed it and expects the focus back, unless the keyboard
        // has moved it on meanwhile.
        if (FButtonHadFocus && focusWidget() == JvLED_IXConnection)
            B_IXConection->setFocus();
        if (!FClosing)
            qApp->removeEventFilter(this);
        QGuiApplication::restoreOverrideCursor();
    }
}

void TF_Main::ShowTestSeconds()
{
    setWindowTitle(STestCaption.arg(qRound(FTestClock.elapsed() / 1000.0)));
}

// During a test the keyboard may still move the focus and press Abbrechen:
// Tab and Shift+Tab anywhere, Space and Enter on Abbrechen.
bool TF_Main::KeyPassesDuringTest(QObject *watched, QEvent *event) const
{
    if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease)
        return false;
    const auto *key = static_cast<QKeyEvent *>(event);
    if (key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier))
        return false;
    switch (key->key()) {
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
        return true;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A held key repeats; only a fresh press counts.
        return watched == B_Abbrechen && !key->isAutoRepeat();
    default:
        return false;
    }
}

bool TF_Main::eventFilter(QObject *watched, QEvent *event)
{
    // Input reaches the windows, which pass it on to their widgets: held
    // there, so that Abbrechen still works and nothing else acts during a
    // test. Swallowed, not postponed: nothing is carried out afterwards.
    // Once a close is under way nothing at all gets through: the window is
    // going, and a click or key would act on a window the user has left.
    if ((FBusy || FClosing) && IsUserInput(event->type()) && watched->isWidgetType()) {
        if (FClosing)
            return true;
        const bool keyboard = event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
                              event->type() == QEvent::ShortcutOverride || event->type() == QEvent::Shortcut;
        if (keyboard ? !KeyPassesDuringTest(watched, event) : watched != B_Abbrechen)
            return true;
    }
    if (event->type() == QEvent::KeyPress &&
        (watched == B_IXConection || watched == B_OK || watched == B_Abbrechen)) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            static_cast<QAbstractButton *>(watched)->click();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void TF_Main::closeEvent(QCloseEvent *event)
{
    if (FBusy) {
        // Closing now would free the session under the running test: the
        // test is cancelled, and once it has returned the window closes.
        FCloseRequested = true;
        SetClosing();
        if (FElo)
            FElo->Cancel();
        event->ignore();
        return;
    }
    event->accept();
    if (!FClosed) {
        FClosed = true;
        SetClosing();
        // Off the screen before the logout, which may wait seconds for the
        // server: the user is done with the window, and nothing on it may
        // be pressed meanwhile.
        hide();
        FormClose();
    }
}

// From the first close request on, no input reaches the window.
void TF_Main::SetClosing()
{
    if (std::exchange(FClosing, true))
        return;
    if (!FBusy)
        qApp->installEventFilter(this);
}

void TF_Main::FormClose()
{
    if (FElo) {
        QGuiApplication::setOverrideCursor(Qt::WaitCursor);
        FElo->Disconnect(FHooks.LogoutLimit);
        QGuiApplication::restoreOverrideCursor();
    }
    FElo.reset();
    FSettings.reset();
}

void TF_Main::CBox_LogLevelChange(int index)
{
    Guarded([&] {
        if (FSettings)
            FSettings->SetLogLevel(index);
    });
}

void TF_Main::BEdit_LogLeftButtonClick()
{
    Guarded([&] {
        if (!FSettings || FBusy)
            return;
        CBox_LogLevel->setCurrentIndex(0);
        FSettings->SetLogLevel(0);
        BEdit_Log->clear();
        FSettings->SetLogFileFolder(QString());
    });
}

void TF_Main::BEdit_LogRightButtonClick()
{
    Guarded([&] {
        if (!FSettings || FBusy)
            return;
        // An empty folder becomes the root, which always exists.
        QString folder = WithDelimiter(FSettings->GetLogFileFolder());
        if (!IsDirectory(folder))
            folder.clear();
        if (!FHooks.ChooseFolder(SChooseFolderTitle, QString(), folder, true, false, true))
            return;
        if (!IsDirectory(folder))
            return;
        folder = WithDelimiter(folder);
        FSettings->SetLogFileFolder(folder);
        BEdit_Log->setText(folder);
    });
}

void TF_Main::LEdit_IXUserChange(const QString &text)
{
    Guarded([&] {
        // A read-only field changes only when it is filled from the store.
        if (FSettings && !LEdit_IXUser->isReadOnly())
            FSettings->SetIXUser(text);
    });
}

void TF_Main::LEdit_IXPasswortChange(const QString &text)
{
    Guarded([&] {
        // A read-only field changes only when it is filled from the store.
        if (FSettings && !LEdit_IXPasswort->isReadOnly())
            FSettings->SetIXPasswort(text);
    });
}

void TF_Main::LEdit_IXWSDLChange(const QString &text)
{
    Guarded([&] {
        // A read-only field changes only when it is filled from the store.
        if (FSettings && !LEdit_IXWSDL->isReadOnly())
            FSettings->SetIXWSDLLocation(text);
    });
}

void TF_Main::B_IXConectionClick()
{
    Guarded([&] {
        if (!FSettings || !FElo || FBusy)
            return;
        LoadSession();
        ConnectionTest();
    });
}

// Another program wrote the file while the window was open. Writing our copy
// over it would lose that change; the user may take the new content instead,
// with the settings changed here on top. Returns true when that was done and
// the new content is usable; a new content that cannot be used or read is
// named as at the start, and the user decides again with OK or Abbrechen.
bool TF_Main::SaveOverOtherChange()
{
    const QString file = QDir::toNativeSeparators(FSettings->FileName());
    if (Message(TMsgDlgType::mtConfirmation, SCaptionConfirm, SChangedOnDisk.arg(file),
                {TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel}) != TMsgDlgBtn::mbOK)
        return false;
    QString message;
    const bool reloaded = FSettings->ReloadKeepingEdits(
        message, [this](const TEditConflict &conflict) { return KeepMine(conflict); });
    ShowStoreValues();
    if (!reloaded) {
        Message(TMsgDlgType::mtError, SCaptionError, message, {TMsgDlgBtn::mbOK});
        return false;
    }
    if (!FSettings->LoadProblem().isEmpty()) {
        ShowLoadProblem();
        return false;
    }
    return true;
}

void TF_Main::B_OKClick()
{
    Guarded([&] {
        if (FBusy)
            return;
        if (!FSettings) {
            close();
            return;
        }
        QString message;
        if (FSettings->SaveToFile(message)) {
            close();
            return;
        }
        if (FSettings->ChangedSinceRead()) {
            if (!SaveOverOtherChange())
                return;
            if (FSettings->SaveToFile(message)) {
                close();
                return;
            }
        }
        // Whatever the answer, the window stays open with every change kept.
        Message(TMsgDlgType::mtConfirmation, SCaptionConfirm, SSaveError + message + AdministratorHint(),
                {TMsgDlgBtn::mbOK, TMsgDlgBtn::mbCancel});
    });
}

void TF_Main::B_AbbrechenClick()
{
    close();
}

#include "U_Main.moc"

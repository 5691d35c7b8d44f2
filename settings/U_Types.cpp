#include "settings/U_Types.h"

#include "common/EFailure.h"
#include "settings/U_FileFormat.h"
#include "settings/U_FileRead.h"
#include "settings/U_FileReplace.h"
#include "settings/U_Secure.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QDeadlineTimer>
#include <QDir>
#include <QDomCDATASection>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

using namespace Qt::StringLiterals;

#ifdef Q_OS_WIN
extern Q_CORE_EXPORT int qt_ntfs_permission_lookup;
#endif

namespace {

const QString SNoSingleTextNode = u"Element enthält keinen einzelnen Textknoten"_s;
const QString SNoFileName = u"Es wurde kein Dateiname angegeben"_s;
const QString SSaveFailed = u"Fehler beim Speichern von "_s;
const QString SUnreadableSetting = u"Die Einstellung „%1“ in %2 ist nicht lesbar: %3"_s;
const QString SInvalidInteger = u"'%1' ist kein gültiger Integerwert"_s;
const QString SCannotCreateFolder = u"Das Verzeichnis %1 kann nicht angelegt werden"_s;
const QString SReadOnly = u"Die Datei ist schreibgeschützt"_s;
const QString SIncompleteWrite = u"Die Datei wurde nicht vollständig geschrieben"_s;
const QString SUnusableFile = u"Die Einstellungsdatei %1 kann nicht verwendet werden.\r\n%2"_s;
const QString SFileNotRead = u"Die Einstellungsdatei %1 kann nicht gelesen werden: %2"_s;
const QString SHeld = u"wird von einem anderen Programm verwendet"_s;
const QString SNoReadRights = u"keine Leserechte – als Administrator starten"_s;
const QString SNotOverwritten =
    u"Die Datei wurde nicht gelesen (%1) und wird deshalb nicht überschrieben. "
    "Bitte das Programm beenden und erneut starten, sobald die Datei lesbar ist."_s;
const QString SBackupFailed = u"Die Sicherungskopie %1 kann nicht angelegt werden: %2"_s;
const QString SChangedOnDisk =
    u"Die Datei wurde seit dem Öffnen von einem anderen Programm geändert und wird nicht überschrieben. "
    "Bitte neu laden und die Änderungen erneut speichern."_s;
const QString SOnlyCopy = u"Die neuen Einstellungen liegen nur in %1: %2"_s;
const QString SSaveRunning = u"Eine andere Kopie dieses Programms speichert die Datei gerade: %1"_s;

const QString SFreshDocument = u"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
                               "<qv_Vellumix ver=\"1.0\">\r\n"
                               "</qv_Vellumix>"_s;

const QString LineBreak = u"\r\n"_s;
const QString Indentation = u"  "_s;

// A save takes well under a second; a temporary file this old is left over.
constexpr qint64 StaleTemporarySeconds = 5 * 60;

// A file another program holds open (an editor, a backup agent, the product
// itself while it writes) is usually let go within moments: reading is tried
// again for this long before the file counts as held.
constexpr int HeldRetryMilliseconds = 2000;
constexpr int HeldRetryPause = 50;

// Port and CheckIntervall values beyond this only need to stay out of range.
constexpr qint64 IntegerCap = qint64(1) << 40;

enum class TSetting {
    ACL,
    Port,
    AdminPasswort,
    ostrelDB,
    IXUser,
    IXPasswort,
    IXWSDLLocation,
    LogFileFolder,
    CheckIntervall,
    None
};

// In the order in which missing elements are appended.
const QString SettingNames[] = {u"ACL"_s,           u"Port"_s,       u"AdminPasswort"_s,  u"ostrelDB"_s,
                                u"IXUser"_s,        u"IXPasswort"_s, u"IXWSDLLocation"_s, u"LogFileFolder"_s,
                                u"CheckIntervall"_s};

char16_t AsciiLower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c + (u'a' - u'A')) : c;
}

// Only ASCII letters fold: "PORT" is Port, but no Unicode case folding, which
// would let e.g. the Kelvin sign stand for a K.
bool SameNameIgnoringAsciiCase(const QString &a, const QString &b)
{
    if (a.size() != b.size())
        return false;
    for (qsizetype i = 0; i < a.size(); ++i) {
        if (AsciiLower(a.at(i).unicode()) != AsciiLower(b.at(i).unicode()))
            return false;
    }
    return true;
}

TSetting SettingOf(const QDomNode &node)
{
    if (!node.isElement())
        return TSetting::None;
    const QString name = node.nodeName();
    for (int i = 0; i < int(TSetting::None); ++i) {
        if (SameNameIgnoringAsciiCase(name, SettingNames[i]))
            return TSetting(i);
    }
    return TSetting::None;
}

// The value of an element: empty without content, the text of a single text
// or CDATA node, and a failure for anything else.
QString ElementText(const QDomElement &element)
{
    const QDomNode first = element.firstChild();
    if (first.isNull())
        return {};
    if (first.nextSibling().isNull() && first.isText()) // CDATA counts as text
        return first.nodeValue();
    throw EFailure(SNoSingleTextNode);
}

bool HoldsOneTextNode(const QDomElement &element)
{
    const QDomNode first = element.firstChild();
    return !first.isNull() && first.nextSibling().isNull() && first.nodeType() == QDomNode::TextNode;
}

void SetElementText(QDomElement &element, const QString &value)
{
    QDomNode first = element.firstChild();
    if (first.isNull()) {
        if (!value.isEmpty())
            element.appendChild(element.ownerDocument().createTextNode(value));
        return;
    }
    if (first.nextSibling().isNull() && first.isText()) {
        first.setNodeValue(value);
        return;
    }
    throw EFailure(SNoSingleTextNode);
}

int HexDigit(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// Port and CheckIntervall as the other program reads them: leading blanks
// (spaces, tabs, line breaks), a
// sign, a hex prefix ($, x, X, 0x, 0X), then digits up to the first stray
// character ("80abc" is 80, no digits is 0). The sign applies to what was read,
// so "-5x" is -5.
qint64 LenientInteger(const QString &text)
{
    qsizetype i = 0;
    const qsizetype n = text.size();
    // Hand-formatted files put the value on a line of its own.
    while (i < n && (text.at(i) == u' ' || text.at(i) == u'\t' || text.at(i) == u'\r' || text.at(i) == u'\n'))
        ++i;
    bool negative = false;
    if (i < n && (text.at(i) == u'+' || text.at(i) == u'-')) {
        negative = text.at(i) == u'-';
        ++i;
    }
    int base = 10;
    if (i < n && (text.at(i) == u'$' || text.at(i) == u'x' || text.at(i) == u'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < n && text.at(i) == u'0' && (text.at(i + 1) == u'x' || text.at(i + 1) == u'X')) {
        base = 16;
        i += 2;
    }
    qint64 value = 0;
    for (; i < n; ++i) {
        const int digit = HexDigit(text.at(i).unicode());
        if (digit < 0 || digit >= base)
            break;
        value = std::min(value * base + digit, IntegerCap);
    }
    return negative ? -value : value;
}

// LogLevel: a decimal integer with an optional sign and surrounding blanks,
// nothing else; anything that does not fit an int fails.
int StrictInteger(const QString &text)
{
    const QString trimmed = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < trimmed.size() && (trimmed.at(i) == u'+' || trimmed.at(i) == u'-')) {
        negative = trimmed.at(i) == u'-';
        ++i;
    }
    if (i == trimmed.size())
        throw EFailure(SInvalidInteger.arg(text));
    qint64 value = 0;
    for (; i < trimmed.size(); ++i) {
        const char16_t c = trimmed.at(i).unicode();
        if (c < u'0' || c > u'9')
            throw EFailure(SInvalidInteger.arg(text));
        value = value * 10 + (c - u'0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            throw EFailure(SInvalidInteger.arg(text));
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int>::max())
        throw EFailure(SInvalidInteger.arg(text));
    return int(value);
}

// Whether the user may create files in folder. On Windows only the access
// control list can tell, which Qt reads only when asked to.
bool FolderIsWritable(const QString &folder)
{
#ifdef Q_OS_WIN
    ++qt_ntfs_permission_lookup;
    const bool writable = QFileInfo(folder).isWritable();
    --qt_ntfs_permission_lookup;
    return writable;
#else
    return QFileInfo(folder).isWritable();
#endif
}

// A link stays a link: the file it points to is the one written, also when
// that does not exist yet. Chains are followed a bounded number of steps.
QString LinkTarget(const QString &fileName)
{
    QString target = fileName;
    for (int step = 0; step < 40; ++step) {
        const QFileInfo info(target);
        if (!info.isSymLink())
            break;
        target = info.symLinkTarget();
    }
    return target;
}

// A new name beside target for a temporary file of this save: hidden, the
// writer's process id and a random token, so that a later save can tell its
// own leftovers from anybody else's files (RemoveStaleTemporaries).
QString TemporaryName(const QFileInfo &target)
{
    return target.absolutePath() + u"/."_s + target.fileName() + u'.' +
           QString::number(QCoreApplication::applicationPid()) + u'-' +
           QString::number(QRandomGenerator::global()->generate(), 36) + u".tmp"_s;
}

// Temporary files of earlier saves of this file that were cut short (a
// crash, a kill): only names exactly of the form TemporaryName gives, and
// only when their writer is gone or they are older than any save takes.
void RemoveStaleTemporaries(const QFileInfo &target)
{
    const QRegularExpression ours(u"^\\."_s + QRegularExpression::escape(target.fileName()) +
                                  uR"(\.(\d{1,10})-[0-9a-z]{1,7}\.tmp$)"_s);
    const QDateTime stale = QDateTime::currentDateTimeUtc().addSecs(-StaleTemporarySeconds);
    const QDir folder = target.absoluteDir();
    const QString pattern = u'.' + target.fileName() + u".*.tmp"_s;
    for (const QFileInfo &file : folder.entryInfoList({pattern}, QDir::Files | QDir::Hidden | QDir::System)) {
        const QRegularExpressionMatch match = ours.match(file.fileName());
        if (!match.hasMatch() || file.isSymLink())
            continue;
        const bool writerGone = ProcessIsGone(match.captured(1).toLongLong());
        if (writerGone || file.lastModified().toUTC() < stale)
            QFile::remove(file.filePath());
    }
}

} // namespace

namespace {
TReadOutcome ReadWaitingForHolder(const std::u16string &path, std::string &raw, std::u16string &error)
{
    TReadOutcome outcome = ReadWholeFile(path, MaxFileBytes, raw, error);
    for (QDeadlineTimer deadline(HeldRetryMilliseconds);
         outcome == TReadOutcome::Held && !deadline.hasExpired();) {
        QThread::msleep(HeldRetryPause);
        outcome = ReadWholeFile(path, MaxFileBytes, raw, error);
    }
    return outcome;
}
} // namespace

TGlobalSettings::TGlobalSettings(const QString &fileName) : FFileName(fileName)
{
    ReadFromDisk();
}

void TGlobalSettings::ReadFromDisk()
{
    QString problem;
    QByteArray bytes;
    const QFileInfo info(FFileName);
    FReadKnown = false;
    FReadRefusal.clear();
    if (FFileName.isEmpty() || !info.isFile()) {
        FReadKnown = !FFileName.isEmpty() && !info.exists();
        FReadHash.clear();
        Load(nullptr, {});
        FReadValues = EditedValues();
        return;
    }
    if (info.size() > MaxFileBytes) {
        problem = BeyondSizeProblem();
    } else {
        const std::u16string path = QDir::toNativeSeparators(FFileName).toStdU16String();
        std::string raw;
        std::u16string error;
        switch (ReadWaitingForHolder(path, raw, error)) {
        case TReadOutcome::Read:
            bytes = QByteArray(raw.data(), qsizetype(raw.size()));
            Remember(&bytes);
            break;
        case TReadOutcome::Held:
            FReadRefusal = SHeld;
            break;
        case TReadOutcome::NoRights:
            FReadRefusal = SNoReadRights;
            break;
        case TReadOutcome::Failed:
            FReadRefusal = QString::fromStdU16String(error);
            break;
        }
    }
    if (!FReadRefusal.isEmpty()) {
        // Nothing is known of the content, so it is neither unusable nor
        // kept as a backup: the save refuses instead.
        Load(nullptr, {});
        FLoadProblem = SFileNotRead.arg(QDir::toNativeSeparators(FFileName), FReadRefusal);
    } else {
        Load(problem.isEmpty() ? &bytes : nullptr, problem);
    }
    FReadValues = EditedValues();
}

// What the file held when it was read (nullptr: no file), so that a save
// can tell whether someone else changed it since.
void TGlobalSettings::Remember(const QByteArray *bytes)
{
    FReadKnown = true;
    FReadHash = bytes ? QCryptographicHash::hash(*bytes, QCryptographicHash::Sha256) : QByteArray();
}

bool TGlobalSettings::ChangedOnDisk(const QString &target) const
{
    if (!FReadKnown)
        return false;
    if (!QFileInfo::exists(target))
        return !FReadHash.isEmpty();
    std::string now;
    std::u16string error;
    // A file that cannot be read now cannot be shown to be the one read:
    // writing over it might lose what another program put there.
    if (ReadWaitingForHolder(QDir::toNativeSeparators(target).toStdU16String(), now, error) !=
        TReadOutcome::Read)
        return true;
    return FReadHash.isEmpty() || QCryptographicHash::hash(QByteArrayView(now.data(), qsizetype(now.size())),
                                                           QCryptographicHash::Sha256) != FReadHash;
}

bool TGlobalSettings::ChangedSinceRead() const
{
    return ChangedOnDisk(QFileInfo(LinkTarget(FFileName)).filePath());
}

namespace {
// The order of TGlobalSettings::TEditedValues.
const QString EditedNames[] = {u"IXUser"_s, u"IXPasswort"_s, u"IXWSDLLocation"_s, u"LogFileFolder"_s,
                               u"LogLevel"_s};
} // namespace

TGlobalSettings::TEditedValues TGlobalSettings::EditedValues() const
{
    const auto text = [](const QDomElement &element) -> std::optional<QString> {
        if (element.isNull())
            return std::nullopt;
        try {
            return ElementText(element);
        } catch (const EFailure &) {
            return std::nullopt;
        }
    };
    TEditedValues values{text(FIXUserNode), text(FIXPasswortNode), text(FIXWSDLLocationNode),
                         text(FLogFileFolderNode), std::nullopt};
    // Compared in clear: the same password may be scrambled in other forms.
    if (values[1])
        values[1] = DecryptText(*values[1], PasswordPrivateExponent, PasswordModulus);
    if (FLogFileFolderNode.hasAttribute(u"LogLevel"_s))
        values[4] = FLogFileFolderNode.attribute(u"LogLevel"_s);
    return values;
}

void TGlobalSettings::SetEditedValue(std::size_t index, const QString &value)
{
    switch (index) {
    case 0:
        SetIXUser(value);
        break;
    case 1:
        SetIXPasswort(value);
        break;
    case 2:
        SetIXWSDLLocation(value);
        break;
    case 3:
        SetLogFileFolder(value);
        break;
    default:
        FLogFileFolderNode.setAttribute(u"LogLevel"_s, value);
        break;
    }
}

bool TGlobalSettings::ReloadKeepingEdits(QString &message, const TConflictChoice &keepMine)
{
    message.clear();
    const TEditedValues read = FReadValues;
    const TEditedValues mine = EditedValues();
    try {
        for (QDomElement *node :
             {&FACLNode, &FostrelDBNode, &FAdminPasswortNode, &FPortNode, &FIXUserNode, &FIXPasswortNode,
              &FIXWSDLLocationNode, &FLogFileFolderNode, &FCheckIntervallNode})
            *node = QDomElement();
        FXMLDoc = QDomDocument();
        FAdminPasswort.clear();
        FIXUser.clear();
        FIXPasswort.clear();
        FIXWSDLLocation.clear();
        FLogFileFolder.clear();
        FPort = 1024;
        FCheckIntervall = 5;
        FAttributeOrder.clear();
        FProlog.clear();
        FStandalone.clear();
        FPrologRead = false;
        FLoadProblem.clear();
        FBackupFileName.clear();
        FBackupPending = false;
        ReadFromDisk();
        const TEditedValues theirs = FReadValues;
        // Of a file that cannot be used or read there is nothing to merge
        // with: the values as the window shows them stay whole.
        const bool keepAll = !FLoadProblem.isEmpty();
        for (std::size_t i = 0; i < mine.size(); ++i) {
            if (!mine[i])
                continue; // never editable, so never edited
            if (!keepAll) {
                if (mine[i] == read[i] || mine[i] == theirs[i])
                    continue; // not edited, or already so
                // An element the other program made uneditable cannot take a text.
                if (!theirs[i] && i < 4)
                    continue;
                if (theirs[i] != read[i] && keepMine &&
                    !keepMine(TEditConflict{EditedNames[i], *mine[i], theirs[i].value_or(QString())}))
                    continue;
            }
            SetEditedValue(i, *mine[i]);
        }
        return true;
    } catch (const std::exception &e) {
        message = FailureText(e);
        return false;
    }
}

TGlobalSettings::TGlobalSettings(const QString &fileName, const QByteArray &content) : FFileName(fileName)
{
    Load(&content, {});
    FReadValues = EditedValues();
}

void TGlobalSettings::Load(const QByteArray *content, const QString &readProblem)
{
    QDomElement *const nodes[] = {
        &FACLNode,        &FPortNode,           &FAdminPasswortNode, &FostrelDBNode,      &FIXUserNode,
        &FIXPasswortNode, &FIXWSDLLocationNode, &FLogFileFolderNode, &FCheckIntervallNode};

    QString problem = readProblem;
    if (content)
        problem = ParseDocument(*content, FXMLDoc, FAttributeOrder, FProlog, FStandalone);
    FPrologRead = content && problem.isEmpty();
    if (!problem.isEmpty()) {
        FLoadProblem = SUnusableFile.arg(QDir::toNativeSeparators(FFileName), problem);
        // Named when the problem is found, so that the window can tell where
        // the old content will go; a backup already there keeps its name.
        const QString planned =
            FFileName + u'.' + QDateTime::currentDateTime().toString(u"yyyy-MM-dd_HH-mm-ss"_s) + u".bak"_s;
        FBackupFileName = planned;
        for (int number = 2; QFileInfo::exists(FBackupFileName) && number <= 1000; ++number)
            FBackupFileName = planned.chopped(4) + u'_' + QString::number(number) + u".bak"_s;
        FBackupPending = true;
    }
    if (content && problem.isEmpty()) {
        QDomElement root = FXMLDoc.documentElement();
        for (QDomNode child = root.firstChild(); !child.isNull(); child = child.nextSibling()) {
            const TSetting setting = SettingOf(child);
            if (setting == TSetting::None)
                continue;
            QDomElement element = child.toElement();
            QString *snapshot = nullptr;
            switch (setting) {
            case TSetting::AdminPasswort:
                snapshot = &FAdminPasswort;
                break;
            case TSetting::IXUser:
                snapshot = &FIXUser;
                break;
            case TSetting::IXPasswort:
                snapshot = &FIXPasswort;
                break;
            case TSetting::IXWSDLLocation:
                snapshot = &FIXWSDLLocation;
                break;
            case TSetting::LogFileFolder:
                snapshot = &FLogFileFolder;
                break;
            case TSetting::Port:
            case TSetting::CheckIntervall: {
                const bool port = setting == TSetting::Port;
                qint64 value = 0;
                try {
                    value = LenientInteger(ElementText(element));
                } catch (const EFailure &e) {
                    throw EFailure(SUnreadableSetting.arg(element.tagName(), FFileName, e.Message()));
                }
                const qint64 highest = port ? 65500 : 60;
                const qint32 fallback = port ? 1024 : 5;
                if (value < 1 || value > highest) {
                    value = fallback;
                    SetElementText(element, QString::number(fallback)); // readable, so cannot fail
                }
                (port ? FPort : FCheckIntervall) = qint32(value);
                break;
            }
            default:
                break;
            }
            if (snapshot && HoldsOneTextNode(element))
                *snapshot = element.firstChild().nodeValue();
            *nodes[int(setting)] = element;
        }
    } else {
        FXMLDoc = QDomDocument();
        FXMLDoc.setContent(SFreshDocument, false);
    }

    for (int i = 0; i < int(TSetting::None); ++i) {
        if (!nodes[i]->isNull())
            continue;
        QDomElement element = AppendSetting(SettingNames[i]);
        *nodes[i] = element;
        switch (TSetting(i)) {
        case TSetting::Port:
            SetElementText(element, QString::number(FPort));
            break;
        case TSetting::AdminPasswort:
            SetElementText(element, FAdminPasswort);
            break;
        case TSetting::ostrelDB:
            element.setAttribute(u"owner"_s, QString());
            break;
        case TSetting::IXUser:
            SetElementText(element, FIXUser);
            break;
        case TSetting::IXPasswort:
            SetElementText(element, FIXPasswort);
            break;
        case TSetting::IXWSDLLocation:
            SetElementText(element, FIXWSDLLocation);
            break;
        case TSetting::LogFileFolder:
            element.setAttribute(u"LogLevel"_s, u"0"_s);
            break;
        case TSetting::CheckIntervall:
            SetElementText(element, QString::number(FCheckIntervall));
            break;
        default:
            break;
        }
    }
}

TGlobalSettings::~TGlobalSettings() = default;

// Two spaces before the element and CR LF after it; into an empty root a CR LF
// goes first, so that the first element starts on a line of its own.
QDomElement TGlobalSettings::AppendSetting(const QString &name)
{
    QDomElement root = FXMLDoc.documentElement();
    if (!root.hasChildNodes())
        root.appendChild(FXMLDoc.createTextNode(LineBreak));
    root.appendChild(FXMLDoc.createTextNode(Indentation));
    QDomElement element = FXMLDoc.createElement(name);
    root.appendChild(element);
    root.appendChild(FXMLDoc.createTextNode(LineBreak));
    return element;
}

QString TGlobalSettings::GetIXUser() const
{
    try {
        return ElementText(FIXUserNode);
    } catch (const EFailure &) {
        return {}; // the window shows an unreadable setting as empty
    }
}

QString TGlobalSettings::GetIXWSDLLocation() const
{
    try {
        return ElementText(FIXWSDLLocationNode);
    } catch (const EFailure &) {
        return {};
    }
}

QString TGlobalSettings::GetLogFileFolder() const
{
    try {
        return ElementText(FLogFileFolderNode);
    } catch (const EFailure &) {
        return {};
    }
}

QString TGlobalSettings::GetIXPasswort() const
{
    return DecryptText(ElementText(FIXPasswortNode), PasswordPrivateExponent, PasswordModulus);
}

int TGlobalSettings::GetLogLevel() const
{
    const int level = StrictInteger(FLogFileFolderNode.attribute(u"LogLevel"_s));
    return (level >= 0 && level <= 2) ? level : 0;
}

void TGlobalSettings::SetIXUser(const QString &value)
{
    FIXUser = value;
    SetElementText(FIXUserNode, value);
}

void TGlobalSettings::SetIXWSDLLocation(const QString &value)
{
    FIXWSDLLocation = value;
    SetElementText(FIXWSDLLocationNode, value);
}

void TGlobalSettings::SetLogFileFolder(const QString &value)
{
    FLogFileFolder = value;
    SetElementText(FLogFileFolderNode, value);
}

void TGlobalSettings::SetIXPasswort(const QString &value)
{
    // FIXPasswort stays the text read at start; only the document changes.
    SetElementText(FIXPasswortNode, EncryptText(value, PasswordPublicExponent, PasswordModulus));
}

void TGlobalSettings::SetLogLevel(int value)
{
    FLogFileFolderNode.setAttribute(u"LogLevel"_s, QString::number(value));
}

QByteArray TGlobalSettings::ToBytes() const
{
    return WriteDocument(FXMLDoc, FAttributeOrder, FPrologRead ? &FProlog : nullptr, FStandalone);
}

QList<TUneditableSetting> TGlobalSettings::UneditableSettings() const
{
    const std::pair<const char16_t *, const QDomElement *> edited[] = {
        {u"IXUser", &FIXUserNode},
        {u"IXPasswort", &FIXPasswortNode},
        {u"IXWSDLLocation", &FIXWSDLLocationNode},
        {u"LogFileFolder", &FLogFileFolderNode}};
    QList<TUneditableSetting> result;
    for (const auto &[name, element] : edited) {
        const QDomNode first = element->firstChild();
        if (!first.isNull() && !(first.nextSibling().isNull() && first.isText()))
            result.append({QString::fromUtf16(name), SNoSingleTextNode});
    }
    return result;
}

QString TGlobalSettings::SettingText(const QString &setting) const
{
    const std::pair<const char16_t *, const QDomElement *> elements[] = {
        {u"IXUser", &FIXUserNode},
        {u"IXPasswort", &FIXPasswortNode},
        {u"IXWSDLLocation", &FIXWSDLLocationNode},
        {u"LogFileFolder", &FLogFileFolderNode}};
    for (const auto &[name, element] : elements)
        if (setting == QStringView(name))
            return element->text();
    return {};
}

QString TGlobalSettings::ReadableIXPasswort() const
{
    return DecryptText(FIXPasswortNode.text(), PasswordPrivateExponent, PasswordModulus);
}

bool TGlobalSettings::SaveToFile(QString &message)
{
    message.clear();
    if (FFileName.isEmpty()) {
        message = SNoFileName;
        return false;
    }
    try {
        // Only bytes that were read may be replaced.
        if (!FReadRefusal.isEmpty())
            throw EFailure(SNotOverwritten.arg(FReadRefusal));
        const QFileInfo info(LinkTarget(FFileName));
        const QString folder = info.absolutePath();
        if (!QDir(folder).exists() && !QDir().mkpath(folder))
            throw EFailure(SCannotCreateFolder.arg(folder));

        // Fully written before the file is touched, so an unwritable
        // character leaves the old file as it was.
        const QByteArray bytes = ToBytes();

        // Two of this program's writers never interleave: the second waits,
        // then finds the file changed and refuses.
        const TSaveLock lock(QDir::toNativeSeparators(info.absoluteFilePath()).toStdU16String());
        if (!lock.Held())
            throw EFailure(SSaveRunning.arg(QString::fromStdU16String(lock.Error())));

        // The file is replaced by renaming a new one over it, which the folder
        // allows even for a read-only file; such a file must stay as it is.
        const bool exists = QFileInfo::exists(info.absoluteFilePath());
        if (exists) {
            QFile existing(FFileName);
            if (!existing.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
                throw EFailure(existing.errorString());
            existing.close();
            // Opening succeeds for an administrator; the permission bits (the
            // read-only attribute on Windows) still say no. WriteUser would
            // count the administrator's own override.
            constexpr auto anyWrite =
                QFileDevice::WriteOwner | QFileDevice::WriteGroup | QFileDevice::WriteOther;
            if (!(info.permissions() & anyWrite))
                throw EFailure(SReadOnly);
        }
        // The file could not be used when it was read, so its content is only
        // on disk: it goes to a backup before anything replaces it.
        // Another program or another copy of this one may have written the
        // file since it was read; writing over it would lose that.
        if (ChangedOnDisk(info.filePath()))
            throw EFailure(SChangedOnDisk);
        if (exists && FBackupPending)
            KeepBackup();
        PutInPlace(bytes, exists);
        FBackupPending = false;
        Remember(&bytes);
        FReadValues = EditedValues();
        return true;
    } catch (const std::exception &e) {
        message = SSaveFailed + FFileName + LineBreak + FailureText(e);
        return false;
    }
}

// Copies the file's bytes as they are to a new file beside it. An existing
// file of the planned name is never overwritten: the copy then gets a number.
// The copy is complete and flushed before it gets its name, so a save cut
// short leaves no empty or partial backup, only a temporary file that the
// next save removes.
void TGlobalSettings::KeepBackup()
{
    const auto fail = [this](const QString &name, const QString &reason) {
        throw EFailure(SBackupFailed.arg(QDir::toNativeSeparators(name), reason));
    };
    QFile source(FFileName);
    if (!source.open(QIODevice::ReadOnly))
        fail(FBackupFileName, source.errorString());
    const QByteArray bytes = source.readAll();
    if (source.error() != QFileDevice::NoError)
        fail(FBackupFileName, source.errorString());
    const QFileInfo target(LinkTarget(FFileName));
    QFile temporary;
    // Readable by its owner only from the start: it may hold passwords.
    constexpr auto ownerOnly = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary.setFileName(TemporaryName(target));
        if (temporary.open(QIODevice::WriteOnly | QIODevice::NewOnly, ownerOnly) || !temporary.exists())
            break;
    }
    if (!temporary.isOpen())
        fail(FBackupFileName, temporary.errorString());
    temporary.close();
    auto removeTemporary = qScopeGuard([&] { temporary.remove(); });
    std::u16string error;
    if (!WriteFileInPlace(QDir::toNativeSeparators(temporary.fileName()).toStdU16String(),
                          bytes.toStdString(), error))
        fail(FBackupFileName, QString::fromStdU16String(error));
    KeepRightsOf(QDir::toNativeSeparators(FFileName).toStdU16String(),
                 QDir::toNativeSeparators(temporary.fileName()).toStdU16String());
    // Renaming claims the name only where there is no file of it.
    QString name = FBackupFileName;
    for (int number = 2; !temporary.rename(name); ++number) {
        if (!QFileInfo::exists(name) || number > 1000)
            fail(name, temporary.errorString());
        name = FBackupFileName.chopped(4) + u'_' + QString::number(number) + u".bak"_s;
    }
    removeTemporary.dismiss();
    FBackupFileName = name;
}

// Gives the only copy of the new settings a name that no clean-up takes, and
// returns it; the temporary name when even that fails.
QString TGlobalSettings::Rescue(QFile &temporary) const
{
    const QString planned = LinkTarget(FFileName) + u'.' +
                            QDateTime::currentDateTime().toString(u"yyyy-MM-dd_HH-mm-ss"_s) + u".gerettet"_s;
    QString name = planned;
    for (int number = 2; !temporary.rename(name) && number <= 1000; ++number) {
        if (!QFileInfo::exists(name))
            break;
        name = planned.chopped(9) + u'_' + QString::number(number) + u".gerettet"_s;
    }
    return temporary.fileName();
}

// A new file beside the old one takes its place in one step and keeps what
// belongs to the old file (rights, owner); a failure never leaves half a
// file. Only when the folder lets nobody create a file, or the file cannot
// be replaced by another (a second name, rights the new file cannot get, a
// mount point of its own), is the existing file written over instead.
// Either way the file is checked once more just before it changes: what
// another program wrote meanwhile is never lost.
void TGlobalSettings::PutInPlace(const QByteArray &bytes, bool exists)
{
    const QString target = LinkTarget(FFileName);
    const QFileInfo info(target);
    const std::u16string nativeTarget = QDir::toNativeSeparators(target).toStdU16String();
    RemoveStaleTemporaries(info);
    bool changed = false;
    std::u16string error;
    const auto writeInPlace = [&] {
        const auto stillAsRead = [this](const std::string &old) {
            return !FReadKnown || (!FReadHash.isEmpty() &&
                                   QCryptographicHash::hash(QByteArrayView(old.data(), qsizetype(old.size())),
                                                            QCryptographicHash::Sha256) == FReadHash);
        };
        if (!WriteFileInPlace(nativeTarget, bytes.toStdString(), error, &changed, stillAsRead))
            throw EFailure(changed ? SChangedOnDisk : QString::fromStdU16String(error));
    };
    QFile temporary;
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary.setFileName(TemporaryName(info));
        // Owner only until it takes the old file's rights: it already holds
        // the passwords. A file that is new gets the rights any new file in
        // this folder gets (on Windows the inherited access control list, not
        // one for the owner alone), as the old one would have had.
        const bool opened = exists ? temporary.open(QIODevice::WriteOnly | QIODevice::NewOnly,
                                                    QFileDevice::ReadOwner | QFileDevice::WriteOwner)
                                   : temporary.open(QIODevice::WriteOnly | QIODevice::NewOnly);
        if (opened || !temporary.exists())
            break;
    }
    if (!temporary.isOpen()) {
        if (!exists || FolderIsWritable(info.absolutePath()))
            throw EFailure(temporary.errorString());
        writeInPlace();
        return;
    }
    const bool written = temporary.write(bytes) == bytes.size() && temporary.flush();
    const QString writeError = temporary.errorString();
    temporary.close();
    if (!written || temporary.error() != QFileDevice::NoError) {
        temporary.remove();
        throw EFailure(written ? temporary.errorString()
                               : (writeError.isEmpty() ? SIncompleteWrite : writeError));
    }
    bool inPlace = false;
    if (!ReplaceFileKeeping(nativeTarget, QDir::toNativeSeparators(temporary.fileName()).toStdU16String(),
                            error, &inPlace, &changed,
                            [this, &info] { return !ChangedOnDisk(info.filePath()); })) {
        // A failed replacement that took the old file away leaves the new
        // one as the only copy of the settings: it stays, under a name that
        // no clean-up removes.
        if (exists && !QFileInfo::exists(target) && temporary.exists())
            throw EFailure(SOnlyCopy.arg(QDir::toNativeSeparators(Rescue(temporary)),
                                         changed ? SChangedOnDisk : QString::fromStdU16String(error)));
        temporary.remove();
        if (changed)
            throw EFailure(SChangedOnDisk);
        if (!inPlace)
            throw EFailure(QString::fromStdU16String(error));
        // Rights the new file cannot get, or a second name: the old file
        // itself takes the bytes and keeps all of that.
        writeInPlace();
    }
}

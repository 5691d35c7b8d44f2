#pragma once

#include <QByteArray>
#include <QDomDocument>
#include <QDomElement>
#include <QFile>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>

#include <array>
#include <functional>
#include <optional>

// A setting the window edits whose element the setters cannot change (it
// holds child elements, comments or several pieces): its name as the store
// names it, and why.
struct TUneditableSetting {
    QString Setting;
    QString Reason;
};

// A setting that both the user (since the file was read or last saved) and
// another program changed, each to a different value. Setting is the
// element's name ("LogLevel" for the attribute); the values as the window
// shows them: the password in clear, the log level as its number.
struct TEditConflict {
    QString Setting;
    QString Mine;
    QString Theirs;
};
// Answers a conflict: true keeps the user's value, false the other program's.
using TConflictChoice = std::function<bool(const TEditConflict &)>;

// The settings file "quilloraGlobal.xml" in memory. Owns its document and
// touches the disk only in SaveToFile. Getters and setters work on the
// document directly, so it always holds the latest edits.
class TGlobalSettings {
public:
    // Loads the file or starts a fresh document, then completes the nine
    // setting elements. Throws EFailure when a Port or CheckIntervall element
    // has no readable text.
    explicit TGlobalSettings(const QString &fileName);
    // Reads content as the bytes of the file fileName, without touching the
    // disk; fileName is where SaveToFile writes. Throws as above.
    TGlobalSettings(const QString &fileName, const QByteArray &content);
    virtual ~TGlobalSettings();
    Q_DISABLE_COPY(TGlobalSettings)

    QString GetIXUser() const;
    QString GetIXWSDLLocation() const;
    QString GetLogFileFolder() const;
    // Clear text; throws EFailure when the element holds more than one text.
    QString GetIXPasswort() const;
    // Throws EFailure when the LogLevel attribute is missing or no number.
    int GetLogLevel() const;

    // Setters change the document in memory only; they throw EFailure when
    // the element's content is not a single text node.
    void SetIXUser(const QString &value);
    void SetIXWSDLLocation(const QString &value);
    void SetLogFileFolder(const QString &value);
    void SetIXPasswort(const QString &value); // takes clear text, stores it scrambled
    void SetLogLevel(int value);

    // Writes the whole document; on failure returns false with the reason in
    // message and leaves the document as it was. message is empty on success.
    // A file that could not be used when it was read is first copied to
    // BackupFileName; that happens once, a later save makes no backup. The
    // new file keeps the old one's rights, owner and attributes.
    [[nodiscard]] bool SaveToFile(QString &message);
    // Reads the file again after another program changed it (SaveToFile
    // then refuses to write over that change) and puts on top of the new
    // content only the settings the user changed since the file was read or
    // last saved. Where the other program changed such a setting too, to
    // another value, keepMine decides (empty: the user's value). When the
    // new content cannot be used or read (LoadProblem), all five values as
    // edited go onto the fresh document, so nothing shown is lost. On
    // failure returns false with the reason in message; the store then
    // holds the file as read.
    [[nodiscard]] bool ReloadKeepingEdits(QString &message, const TConflictChoice &keepMine = {});
    // true when the file on disk is no longer what was read or last saved,
    // so that SaveToFile would refuse to write over it.
    [[nodiscard]] bool ChangedSinceRead() const;
    // The document as the file gets it (UTF-8). Throws EFailure for a
    // character that XML cannot hold.
    QByteArray ToBytes() const;

    // Empty when the file was missing or usable. Otherwise which file, and
    // why it could not be used (with the parser's line and column) or read:
    // the store then started a fresh document.
    const QString &LoadProblem() const { return FLoadProblem; }
    // true when the file exists but could not be read (another program holds
    // it, no read rights): nothing is known of its content, so SaveToFile
    // refuses to write over it and no backup is planned.
    bool ReadRefused() const { return !FReadRefusal.isEmpty(); }
    // Where the next save keeps the bytes of an unusable file (beside it,
    // named with the time it was read); empty when there is none to keep.
    const QString &BackupFileName() const { return FBackupFileName; }
    // The settings the window edits whose element holds something other
    // than a single text; their setters throw.
    QList<TUneditableSetting> UneditableSettings() const;
    // The text inside the element of setting (a name UneditableSettings
    // gives), all its text pieces joined: what there is to show of a value
    // that cannot be edited. Empty for an unknown name.
    QString SettingText(const QString &setting) const;
    // The clear text of the password element's joined text (SettingText):
    // what the password is when its element cannot be edited. Never throws.
    QString ReadableIXPasswort() const;

    const QString &FileName() const { return FFileName; }
    const QDomDocument &Document() const { return FXMLDoc; }

private:
    // Fills the document from content (nullptr: no usable bytes, with the
    // reason in readProblem when a file exists) and completes it.
    void Load(const QByteArray *content, const QString &readProblem);
    void ReadFromDisk();
    // The five edited settings (IXUser, IXPasswort in clear, IXWSDLLocation,
    // LogFileFolder, LogLevel) as the document holds them; nullopt where
    // the element holds no single text or the attribute is missing.
    using TEditedValues = std::array<std::optional<QString>, 5>;
    TEditedValues EditedValues() const;
    void SetEditedValue(std::size_t index, const QString &value);
    void Remember(const QByteArray *bytes);
    bool ChangedOnDisk(const QString &target) const;
    QDomElement AppendSetting(const QString &name);
    void KeepBackup();
    void PutInPlace(const QByteArray &bytes, bool exists);
    QString Rescue(QFile &temporary) const;

    QDomDocument FXMLDoc;
    QString FFileName;
    QString FAdminPasswort;
    qint32 FPort = 1024;
    QString FIXUser;
    QString FIXPasswort;
    QString FIXWSDLLocation;
    QString FLogFileFolder;
    qint32 FCheckIntervall = 5;
    QDomElement FACLNode;
    QDomElement FostrelDBNode;
    QDomElement FAdminPasswortNode;
    QDomElement FPortNode;
    QDomElement FIXUserNode;
    QDomElement FIXPasswortNode;
    QDomElement FIXWSDLLocationNode;
    QDomElement FLogFileFolderNode;
    QDomElement FCheckIntervallNode;
    // Attribute order as read (see TAttributeOrder).
    QHash<QPair<int, int>, QStringList> FAttributeOrder;
    // The markup between the declaration and the root as read (DOCTYPE,
    // comments) and the declaration's standalone value; FPrologRead is
    // false for a document not read from a file.
    QString FProlog;
    QString FStandalone;
    bool FPrologRead = false;
    QString FLoadProblem;
    QString FBackupFileName;
    bool FBackupPending = false;
    // What the file held when read or last saved (empty hash: no file);
    // FReadKnown is false when that is not known (not read, unreadable).
    QByteArray FReadHash;
    bool FReadKnown = false;
    // Why an existing file could not be read; empty when it was.
    QString FReadRefusal;
    // The edited settings as read or last saved: what the user changed since
    // is what a reload keeps.
    TEditedValues FReadValues;
};

#pragma once

#include <QDomDocument>
#include <QDomElement>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>

// The settings file "quilloraGlobal.xml" in memory. Owns its document and
// touches the disk only in SaveToFile. Getters and setters work on the
// document directly, so it always holds the latest edits.
class TGlobalSettings {
public:
    // Loads the file or starts a fresh document, then completes the nine
    // setting elements. Throws EFailure when a Port or CheckIntervall element
    // has no readable text.
    explicit TGlobalSettings(const QString &fileName);
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
    [[nodiscard]] bool SaveToFile(QString &message);

    const QString &FileName() const { return FFileName; }
    const QDomDocument &Document() const { return FXMLDoc; }

private:
    QDomElement AppendSetting(const QString &name);

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
    // Attribute order as read, by the element's line and column in the file:
    // the document keeps attributes in a hash, but a saved file should list
    // them as the administrator wrote them. Only elements with two or more.
    QHash<QPair<int, int>, QStringList> FAttributeOrder;
};

#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>
#include <memory>

class IXServicePortIF;
class TIXBinding;
struct ClientInfo;
struct LoginResult;
struct ServerInfo;
struct IXServicePortC;
struct TCallTime;
struct TCertificateReport;

// One connection to the Indexserver: logs in, probes and logs out. Owns its
// binding and the results it keeps. Connect and Disconnect never throw.
class TElo {
public:
    TElo();
    // clock replaces the local time, so the ticket expiry can be tested without waiting.
    explicit TElo(std::function<QDateTime()> clock);
    ~TElo();
    Q_DISABLE_COPY(TElo)

    // true when every step succeeded; otherwise false with the failure's text in error.
    [[nodiscard]] bool Connect(QString &error);
    // Logs out when connected; a failing logout is ignored. A positive
    // limit (milliseconds) bounds the logout call: the binding gives up after
    // that long instead of its usual time-outs. 0: the usual time-outs.
    void Disconnect(int limit = 0);
    // Callable from any thread, also while Connect waits for the server:
    // Connect ends at once with a failure. Disconnect still logs out.
    void Cancel();

    // Inputs, set by the window before every Connect.
    QString WSDLBase;
    QString LoginUser;
    QString LoginPassword;

    // What the last successful Connect read, for reports: the server's
    // version and the name of entry "1"; empty before.
    QString ServerVersion() const;
    const QString &RootEntryName() const { return FRootEntryName; }

    // The session's record of its last Connect and the Disconnect after it:
    // each call's time, and over https what the certificate showed (the
    // problems were let pass). Both types come with indexserver/IX_Binding.h.
    const QList<TCallTime> &CallTimes() const;
    const TCertificateReport &Certificate() const;
    // A hard limit in milliseconds for all calls from now on, the logout
    // included; 0 removes it. A call that meets it fails with a time-out text.
    void SetTimeLimit(int milliseconds);
    // true when the limit cut off a call of the last Connect or the Disconnect after it.
    bool TimeLimitStruck() const;

private:
    friend class tst_U_ELO;

    void ConnectSteps(); // throws EFailure
    void ReleaseResults() noexcept;

    std::function<QDateTime()> FClock;
    std::unique_ptr<TIXBinding> FBinding;
    bool FConnected = false;
    qint32 FTicketLifetime = 600; // seconds
    QDateTime FTicketExpires;
    std::shared_ptr<ServerInfo> FServerInfo;
    std::shared_ptr<LoginResult> FLoginResult;
    std::shared_ptr<IXServicePortC> FConstants;
    // The ticket for every call: the login result's client information, or
    // during the login call the session's own. Not an owner of its own.
    std::shared_ptr<ClientInfo> FClientInfo;
    IXServicePortIF *FService = nullptr; // the operations of FBinding
    QString FRootEntryName;
};

#pragma once

#include <QDateTime>
#include <QString>

#include <functional>
#include <memory>

class IXServicePortIF;
class TIXBinding;
struct ClientInfo;
struct LoginResult;
struct ServerInfo;
struct IXServicePortC;

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
    // Logs out when connected; a failing logout is ignored.
    void Disconnect();

    // Inputs, set by the window before every Connect.
    QString WSDLBase;
    QString LoginUser;
    QString LoginPassword;

private:
    // Filled in with the session.
};

#pragma once

#include <QString>
#include <QStringList>

#include <memory>

struct ClientInfo;
struct LoginResult;
struct ServerInfo;
struct IXServicePortC;
struct EditInfo;
struct EditInfoZ;
struct LockZ;

// The service interface of the Indexserver as far as this program calls it.
// Every operation runs one request and answer; it returns its result (owned
// by the caller, nullptr when the answer carries none) or throws EFailure
// with the message text the user sees.
class IXServicePortIF {
public:
    virtual ~IXServicePortIF() = default;

    virtual std::shared_ptr<LoginResult> login(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                               const QString &String_2, const QString &String_3,
                                               const QString &String_4, const QString &String_5) = 0;
    virtual std::shared_ptr<ServerInfo> getServerInfo(const std::shared_ptr<ClientInfo> &ClientInfo_1) = 0;
    virtual std::shared_ptr<IXServicePortC> getConstants(const std::shared_ptr<ClientInfo> &ClientInfo_1) = 0;
    virtual std::shared_ptr<EditInfo> checkoutSord(const std::shared_ptr<ClientInfo> &ClientInfo_1,
                                                   const QString &String_2,
                                                   const std::shared_ptr<EditInfoZ> &EditInfoZ_3,
                                                   const std::shared_ptr<LockZ> &LockZ_4) = 0;
    virtual void logout(const std::shared_ptr<ClientInfo> &ClientInfo_1) = 0;

    // The names of all operations of the service, in their order of declaration.
    static const QStringList &OperationNames();
};

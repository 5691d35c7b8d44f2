#include "indexserver/U_ELO.h"

#include "common/EFailure.h"
#include "indexserver/IX_Binding.h"
#include "indexserver/IX_Catalogue.h"

using namespace Qt::StringLiterals;

namespace {

const QString SPort = u"IXServicePortIFPort"_s;
const QString SService = u"IndexServer"_s;
const QString SWsdlSuffix = u"ix?WSDL"_s;
const QString SApplication = u"Ledgerwick"_s;
const QString SRootEntryId = u"1"_s;

const QString SNoLoginResult = u"Der Indexserver hat auf die Anmeldung kein Ergebnis geliefert"_s;
const QString SNoConstants = u"Die Konstanten des Indexservers enthalten kein EDIT_INFO oder kein LOCK"_s;
const QString SNoRootEntry = u"Der Indexserver hat den Eintrag \"1\" nicht geliefert"_s;

// Bounds one call of the binding and gives the usual limit back afterwards.
// The call's overall limit covers connecting, sending and every wait on the answer.
class TCallLimit {
public:
    TCallLimit(TIXBinding &binding, int limit) : FBinding(binding), FCall(binding.CallTimeout())
    {
        if (limit > 0)
            FBinding.SetCallTimeout(qMin(limit, FCall));
    }
    ~TCallLimit() { FBinding.SetCallTimeout(FCall); }
    Q_DISABLE_COPY(TCallLimit)

private:
    TIXBinding &FBinding;
    const int FCall;
};

} // namespace

TElo::TElo() : TElo(&QDateTime::currentDateTime) {}

TElo::TElo(std::function<QDateTime()> clock)
    : FClock(std::move(clock)), FBinding(std::make_unique<TIXBinding>(TIXBinding::DefaultInvokeOptions(),
                                                                      TIXBinding::DefaultConversionOptions()))
{
    FTicketExpires = FClock();
    FService = FBinding.get();
}

TElo::~TElo()
{
    // No logout here: the owner calls Disconnect first when it wants one.
    ReleaseResults();
    FService = nullptr;
    FBinding.reset();
}

QString TElo::ServerVersion() const
{
    return FServerInfo ? FServerInfo->version : QString();
}

const QList<TCallTime> &TElo::CallTimes() const
{
    return FBinding->CallTimes();
}

const TCertificateReport &TElo::Certificate() const
{
    return FBinding->Certificate();
}

void TElo::SetTimeLimit(int milliseconds)
{
    FBinding->SetTimeLimit(milliseconds);
}

bool TElo::TimeLimitStruck() const
{
    return FBinding->TimeLimitStruck();
}

bool TElo::Connect(QString &error)
{
    error.clear();
    // A new test: a cancel from before it is forgotten; one during any of its
    // steps, the logout of the old session included, ends it.
    FBinding->ResetCancel();
    try {
        ConnectSteps();
        return true;
    } catch (const std::exception &e) {
        // A test cancelled after its login stays logged in, so that the
        // Disconnect that follows the cancel logs out.
        if (!FBinding->Cancelled())
            FConnected = false;
        error = FailureText(e);
        return false;
    }
}

void TElo::ConnectSteps()
{
    // Whole seconds in either direction: a ticket that expires (or expired)
    // less than two seconds from now is not logged out first.
    if (FConnected) {
        const qint64 seconds = qAbs(FClock().msecsTo(FTicketExpires)) / 1000;
        if (seconds > 1 && FClientInfo) {
            try {
                FService->logout(FClientInfo);
            } catch (...) {
                // Cancelled: the test ends here and the old session stays
                // connected, so that the Disconnect after the cancel logs it
                // out. Any other failure is ignored as in Disconnect.
                if (FBinding->Cancelled())
                    throw;
            }
        }
    }
    FConnected = false;

    QString location = WSDLBase;
    if (!location.isEmpty() && !location.endsWith(u'/'))
        location += u'/';
    location += SWsdlSuffix;
    // The location first: setting it clears port and service in the binding.
    FBinding->SetWSDLLocation(location);
    FBinding->SetPort(SPort);
    FBinding->SetService(SService);

    auto own = std::make_shared<ClientInfo>();
    own->language = u"de"_s;
    own->country = u"DE"_s;
    FClientInfo = own;
    std::shared_ptr<LoginResult> result;
    try {
        result = FService->login(FClientInfo, LoginUser, LoginPassword, SApplication, QString(QChar(0)));
    } catch (...) {
        FClientInfo.reset();
        throw;
    }
    FClientInfo.reset();
    if (!result)
        throw EFailure(SNoLoginResult);
    FLoginResult = result;
    FTicketLifetime = result->ticketLifetime;
    FTicketExpires = FClock().addSecs(FTicketLifetime);
    FClientInfo = result->clientInfo;
    FConnected = true;

    FServerInfo = FService->getServerInfo(FClientInfo);
    FConstants = FService->getConstants(FClientInfo);

    if (!FConstants || !FConstants->EDIT_INFO || !FConstants->LOCK)
        throw EFailure(SNoConstants);
    const std::shared_ptr<EditInfo> entry = FService->checkoutSord(
        FClientInfo, SRootEntryId, FConstants->EDIT_INFO->mbSordLean, FConstants->LOCK->NO);
    if (!entry || !entry->sord)
        throw EFailure(SNoRootEntry);
    FRootEntryName = entry->sord->name_;
}

void TElo::Cancel()
{
    FBinding->Cancel();
}

void TElo::Disconnect(int limit)
{
    // The logout must go out even after a cancelled test.
    FBinding->ResetCancel();
    if (FConnected && FClientInfo) {
        const TCallLimit bounded(*FBinding, limit);
        try {
            FService->logout(FClientInfo);
        } catch (...) {
            // Leaving anyway: the server ends the ticket when it runs out.
        }
    }
    FConnected = false;
    FClientInfo.reset();
}

void TElo::ReleaseResults() noexcept
{
    // Each on its own; releasing plain data cannot fail, but one result must
    // never keep the others alive.
    FConstants.reset();
    FServerInfo.reset();
    FLoginResult.reset();
    FClientInfo.reset();
}

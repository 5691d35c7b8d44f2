// Arbitrary bytes as the settings file, and as a stored password text. All in
// memory: whatever loads must write as a usable file with the same values,
// and writing is stable once layout text has been dropped by one reading.
// Putting the bytes into the file is covered by the unit tests.
#include "common/EFailure.h"
#include "settings/U_Secure.h"
#include "settings/U_Types.h"

#include <QDomDocument>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

const QString SFileName = u"quilloraGlobal.xml"_s;

struct TValues {
    QString User, Wsdl, Folder;
    std::optional<QString> Password;
    std::optional<int> Level;
    bool operator==(const TValues &) const = default;
};

TValues ValuesOf(const TGlobalSettings &settings)
{
    TValues values{settings.GetIXUser(), settings.GetIXWSDLLocation(), settings.GetLogFileFolder(), {}, {}};
    try {
        values.Password = settings.GetIXPasswort();
    } catch (const EFailure &) {
    }
    try {
        values.Level = settings.GetLogLevel();
    } catch (const EFailure &) {
    }
    return values;
}

void Fail(const char *what)
{
    fprintf(stderr, "%s\n", what);
    abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    std::optional<TGlobalSettings> settings;
    try {
        settings.emplace(SFileName, bytes);
    } catch (const EFailure &) {
        return 0; // an unreadable Port or CheckIntervall: no store
    }
    if (!settings->LoadProblem().isEmpty() && settings->BackupFileName().isEmpty())
        Fail("an unusable file names no backup");
    try {
        settings->SetIXUser(u"fuzz"_s);
    } catch (const EFailure &) {
    }
    QByteArray written;
    try {
        written = settings->ToBytes();
    } catch (const EFailure &) {
        return 0; // a character XML cannot hold: the save is refused
    }
    QDomDocument check;
    if (!check.setContent(written, false))
        Fail("the written bytes are not well-formed");
    try {
        const TGlobalSettings reread(SFileName, written);
        if (!reread.LoadProblem().isEmpty())
            Fail(qPrintable(u"the written bytes cannot be used: "_s + reread.LoadProblem()));
        if (!(ValuesOf(reread) == ValuesOf(*settings)))
            Fail("the written bytes read back other values");
        const QByteArray again = reread.ToBytes();
        if (TGlobalSettings(SFileName, again).ToBytes() != again)
            Fail("writing what was written changes it");
    } catch (const EFailure &e) {
        Fail(e.what());
    }

    const QString text = QString::fromUtf8(bytes);
    (void)DecryptText(text, PasswordPrivateExponent, PasswordModulus);
    (void)EncryptText(text, PasswordPublicExponent, PasswordModulus);
    return 0;
}

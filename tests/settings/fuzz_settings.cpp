// Arbitrary bytes as the settings file, and as a stored password text.
#include "common/EFailure.h"
#include "settings/U_Secure.h"
#include "settings/U_Types.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace Qt::StringLiterals;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static QTemporaryDir dir;
    static const QString path = dir.filePath(u"quilloraGlobal.xml"_s);
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
            return 0;
    }
    try {
        TGlobalSettings settings(path);
        (void)settings.GetIXUser();
        (void)settings.GetIXWSDLLocation();
        (void)settings.GetLogFileFolder();
        try {
            (void)settings.GetIXPasswort();
        } catch (const EFailure &) {
        }
        try {
            (void)settings.GetLogLevel();
        } catch (const EFailure &) {
        }
        try {
            settings.SetIXUser(u"fuzz"_s);
        } catch (const EFailure &) {
        }
        // Whatever was read, the saved file must be well-formed XML again.
        QString message;
        if (settings.SaveToFile(message)) {
            QFile saved(path);
            QDomDocument check;
            if (!saved.open(QIODevice::ReadOnly) || !check.setContent(saved.readAll(), false))
                abort();
            TGlobalSettings reread(path);
        }
    } catch (const EFailure &) {
    }
    const QString text = QString::fromUtf8(bytes);
    (void)DecryptText(text, PasswordPrivateExponent, PasswordModulus);
    (void)EncryptText(text, PasswordPublicExponent, PasswordModulus);
    return 0;
}

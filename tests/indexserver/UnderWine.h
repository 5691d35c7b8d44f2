#pragma once

// What the Windows build of these tests cannot do under Wine, which is not
// Windows. Only for skipping exactly that, with the reason.

#include <QLibrary>

// Whether this program runs under Wine: Wine's ntdll has wine_get_version.
inline bool RunsUnderWine()
{
#ifdef Q_OS_WIN
    return QLibrary::resolve(QStringLiteral("ntdll"), "wine_get_version") != nullptr;
#else
    return false;
#endif
}

// How many times longer than natively the few time bounds on a whole child
// process may be under Wine: Wine takes about half a second to start a
// program, and runs the check several times slower on this machine.
inline int WineTimeScale()
{
    return RunsUnderWine() ? 4 : 1;
}

// An https stand-in in this process needs Schannel as a server. For that Qt
// hands Windows the certificate and key as PKCS#12, and Wine's
// PFXImportCertStore (GnuTLS) finds no key in it ("The requested data were
// not available"): every handshake is reset. The Windows client over https
// is run against the Linux stand-in instead, by scripts/test-windows-program.
constexpr const char *SWineServesNoHttps =
    "under Wine, Schannel cannot serve https: PFXImportCertStore finds no key in Qt's PKCS#12";

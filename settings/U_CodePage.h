#pragma once

// Reading settings files written in a legacy code page that Qt's own
// converters do not know. Qt decodes UTF-8, UTF-16, UTF-32 and ISO-8859-1
// everywhere; anything else only where it was built with ICU, which the
// usual Qt for Windows is not. Windows itself knows the code pages such files
// are written in, so there the system converts them; elsewhere Qt (through
// ICU) already knows every code page the system would. Kept free of Qt.

#include <string>

enum class ECodePageResult {
    Decoded,        // text holds all of bytes
    Undecodable,    // text holds what comes before the first bytes the code page defines no character for
    UnknownEncoding // no code page has that name
};

// Decodes bytes written in the encoding an XML declaration names (IANA names
// and common aliases such as "cp1252", compared without case, "-" and "_").
// Strict: bytes that the code page leaves undefined, or maps only to a
// private-use stand-in or a best-fit look-alike, are reported, never replaced.
// Never throws.
[[nodiscard]] ECodePageResult DecodeCodePage(const std::string &encoding, const std::string &bytes,
                                             std::u16string &text);

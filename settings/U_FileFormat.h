#pragma once

// The settings file as bytes: how they decode, how far a file may go before
// it counts as unusable, what of its prolog and attribute order the document
// model loses and is kept beside it, and how a document goes back to bytes.
// The store decides what the settings are; this decides how the file reads
// and is written.

#include <QByteArray>
#include <QDomDocument>
#include <QHash>
#include <QPair>
#include <QString>
#include <QStringList>

// Attribute order as read, by the element's line and column in the file: the
// document keeps attributes in a hash, but a saved file should list them as
// the administrator wrote them. Only elements with two or more.
using TAttributeOrder = QHash<QPair<int, int>, QStringList>;

// A settings file holds a few hundred bytes. Anything far beyond these bounds
// is treated like an unreadable file (fresh document, the old file kept as a
// backup at the next save), so that a damaged or hostile file can neither
// exhaust memory nor overflow the stack: the document tree frees its nodes
// recursively.
// A file beyond this is not read at all.
inline constexpr qint64 MaxFileBytes = 16 * 1024 * 1024;

// The reason given for a file larger than MaxFileBytes.
QString BeyondSizeProblem();

// Parses the bytes of a settings file into doc. Returns why they cannot be
// used (not well-formed, beyond the bounds, no root element), else the empty
// text; doc is only changed on success. On success attributeOrder holds the
// order of attributes as read, prologText the markup between the declaration
// and the root as read (DOCTYPE, comments) and standalone the declaration's
// value.
QString ParseDocument(const QByteArray &bytes, QDomDocument &doc, TAttributeOrder &attributeOrder,
                      QString &prologText, QString &standalone);

// The document as the file gets it (UTF-8). prolog and standalone as
// ParseDocument gave them; prolog nullptr for a document not read from a
// file, whose prolog the model gives. Throws EFailure for a character that
// XML cannot hold.
QByteArray WriteDocument(const QDomDocument &doc, const TAttributeOrder &attributeOrder,
                         const QString *prolog, const QString &standalone);

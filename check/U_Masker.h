#pragma once

// Keeps the password out of what the check reports: the server's texts may
// quote the request back in any of the forms a request can carry it.

#include <QRegularExpression>
#include <QString>

// Removes the password from what the server sent, in every form a request
// can carry it and a server can quote it back. Only the server's texts pass
// through it: the program never writes the password into its own, and a
// short password would garble them.
class TMasker {
public:
    void SetSecret(const QString &secret);
    QString operator()(QString text) const;

private:
    QRegularExpression FPattern;
};

// A failure of the test: the session's own frame around what the server
// sent. Only the server's part is masked; a text of unknown shape is taken
// as the server's throughout.
QString MaskFailure(const QString &text, const TMasker &mask);

// Overwrites the characters where they lie, in every copy that shares them.
void Wipe(QString &text);

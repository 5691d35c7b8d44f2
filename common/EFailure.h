#pragma once

#include <QString>

#include <stdexcept>

// The one failure that operations throw: carries the message text the user
// finally sees. what() is UTF-8; Message() gives the text back unchanged.
class EFailure : public std::runtime_error {
public:
    explicit EFailure(const QString &message)
        : std::runtime_error(message.toStdString()), FMessage(message)
    {
    }

    const QString &Message() const noexcept { return FMessage; }

private:
    QString FMessage;
};

// The text of any exception, for the boundaries that turn failures into messages.
inline QString FailureText(const std::exception &e)
{
    if (auto failure = dynamic_cast<const EFailure *>(&e))
        return failure->Message();
    return QString::fromUtf8(e.what());
}

#pragma once

#include <stdexcept>

#include <QString>

// A failed step of the program: what the error trap of the calling procedure reports. The text
// is the platform's description of the failure (the system's text for file failures).
class Failure : public std::runtime_error
{
public:
    explicit Failure(const QString& description);

    QString description() const { return QString::fromUtf8(what()); }

    // The system's description of errno value `error`.
    static Failure fromErrno(int error);
};

#include "support/failure.h"

#include <cstring>

Failure::Failure(const QString& description) : std::runtime_error(description.toStdString()) {}

Failure Failure::fromErrno(int error)
{
    return Failure(QString::fromLocal8Bit(std::strerror(error)));
}

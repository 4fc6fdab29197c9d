#include "tones/resourcestore.h"

#include <QFile>

#include "support/failure.h"

QByteArray ResourceStore::load(int id, const QString& type)
{
    QFile resource(QStringLiteral(":/%1/%2").arg(type).arg(id));
    if (!resource.open(QIODevice::ReadOnly))
        throw Failure(QStringLiteral("Resource %1 of type \"%2\" not found").arg(id).arg(type));
    return resource.readAll();
}

#pragma once

#include <QByteArray>
#include <QString>

// The recordings embedded in the program, addressed by identifier and type ("CUSTOM", 101–111).
class ResourceStore
{
public:
    // The stored bytes, unchanged; a missing resource throws a Failure.
    static QByteArray load(int id, const QString& type);
};

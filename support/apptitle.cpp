#include "support/apptitle.h"

#include <QCoreApplication>

QString ApplicationTitle()
{
    return QCoreApplication::applicationName();
}

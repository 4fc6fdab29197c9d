#include "support/appicon.h"

QIcon ApplicationIcon()
{
    return QIcon(QStringLiteral(":/icon/pitchwarden.ico"));
}

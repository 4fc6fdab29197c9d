#pragma once

#include <QString>

// The folder the tone files are written to: "TEMP" where it is set and not empty; otherwise a
// folder private to this user, so that nobody else on the machine can plant or hold the files.
QString TemporaryFolder();

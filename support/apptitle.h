#pragma once

#include <QString>

// The process-wide application title: the title of every message box shown without one.
QString ApplicationTitle();

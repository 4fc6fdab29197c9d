#pragma once

#include <QIcon>

// The application icon: one icon group of four images, embedded in the program.
QIcon ApplicationIcon();

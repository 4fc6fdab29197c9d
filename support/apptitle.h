#pragma once

#include <QString>

// The product's name: the main window's caption and the source of the application title.
QString ProductName();

// The application title for `productName`: the name without its last word, with further words
// cut from the end while it is longer than 40 characters. Throws a Failure when a cut is due
// and no space is left.
QString ApplicationTitleFrom(const QString& productName);

// Sets the application title from the product name; on failure the title stays as it was.
void SetApplicationTitle();

// The process-wide application title: the title of every message box shown without one.
QString ApplicationTitle();

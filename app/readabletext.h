#pragma once

#include <QColor>

// The captions take the system's text colours on the program's own (white) grounds. A dark
// colour scheme gives near-white text, which would vanish on white; such a colour is replaced by
// black or white, whichever reads better on the ground. Colours that already read are kept.
namespace ReadableText {

// The contrast ratio of two colours, 1 to 21, from their relative luminance (WCAG 2).
double contrastRatio(const QColor& a, const QColor& b);

// `text` when it stands out from `ground` by at least 4.5:1 (WCAG AA for normal text),
// otherwise black or white, whichever stands out more.
QColor on(const QColor& ground, const QColor& text);

// Whether captions are corrected at all; tests turn it off to render the uncorrected look.
bool enabled();
void setEnabled(bool enabled);

} // namespace ReadableText

#pragma once

class QWidget;

// Once `window` has been painted and the event loop has nothing left to do, the media layer is
// made ready on another thread, so that the first press is as quick as any later one and the
// window does not wait for it.
void warmUpAfterFirstPaint(QWidget& window);

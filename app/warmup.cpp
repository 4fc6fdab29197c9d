#include "app/warmup.h"

#include <exception>
#include <memory>

#include <QAbstractEventDispatcher>
#include <QEvent>
#include <QWidget>

#include "media/medialayer.h"
#include "tones/resourcestore.h"
#include "tones/tonecatalogue.h"

namespace {

// About half a second of the first recording: enough for the decoder to start.
constexpr int SampleBytes = 16384;

// A recording that cannot be read is reported when its button is pressed, not here.
void warmUp()
{
    try {
        const int id = ToneCatalogue::row(1).resourceId;
        MediaLayer::warmUp(ResourceStore::load(id, ToneCatalogue::ResourceType).left(SampleBytes));
    } catch (const std::exception&) {
    }
}

void warmUpWhenIdle()
{
    auto idle = std::make_shared<QMetaObject::Connection>();
    *idle = QObject::connect(QAbstractEventDispatcher::instance(),
                             &QAbstractEventDispatcher::aboutToBlock, [idle] {
                                 QObject::disconnect(*idle);
                                 warmUp();
                             });
}

class FirstPaintWatch : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint) {
            watched->removeEventFilter(this);
            warmUpWhenIdle();
            deleteLater();
        }
        return false;
    }
};

} // namespace

void warmUpAfterFirstPaint(QWidget& window)
{
    window.installEventFilter(new FirstPaintWatch(&window));
}

#include "media/clsmusic.h"

#include <chrono>
#include <cmath>
#include <limits>

#include <QWidget>

#include "media/medialayer.h"
#include "support/failure.h"

namespace {

// The style of the video window: the bit for a visible window and no other.
constexpr qint32 VisibleWindowStyle = 0x10000000;

// The seek that shows a video frame waits for playback to pass the target. A target at the very
// end is never passed, and a position read that keeps failing passes nothing: the wait gives up
// after this long, which leaves a decoder on a busy machine ample time to start.
constexpr auto FrameWaitLimit = std::chrono::seconds(2);

// The outer rectangle of a window in screen coordinates, edges exclusive.
struct WindowRect
{
    qint64 left = 0;
    qint64 top = 0;
    qint64 right = 0;
    qint64 bottom = 0;
};

// The windows the player can place video in are this program's own: the rectangle of any other
// handle can't be read and stays all zeros.
WindowRect GetWindowRect(qint32 hWnd)
{
    WindowRect rect;
    if (hWnd == 0)
        return rect;
    const QWidget* window = QWidget::find(static_cast<WId>(static_cast<quint32>(hWnd)));
    if (!window)
        return rect;
    const QRect frame = window->frameGeometry();
    rect.left = frame.x();
    rect.top = frame.y();
    rect.right = qint64(frame.x()) + frame.width();
    rect.bottom = qint64(frame.y()) + frame.height();
    return rect;
}

bool fitsInt32(qint64 value)
{
    return value >= std::numeric_limits<qint32>::min() &&
           value <= std::numeric_limits<qint32>::max();
}

} // namespace

clsMusic::clsMusic(QObject* parent) : QObject(parent) {}

clsMusic::~clsMusic() = default;

QVariant clsMusic::Width() const
{
    if (!HasVideo())
        return QVariant::fromValue<qint16>(0);
    const auto size = m_graph ? m_graph->SourceSize() : std::nullopt;
    return size ? QVariant::fromValue<qint32>(size->width()) : QVariant();
}

QVariant clsMusic::Height() const
{
    if (!HasVideo())
        return QVariant::fromValue<qint16>(0);
    const auto size = m_graph ? m_graph->SourceSize() : std::nullopt;
    return size ? QVariant::fromValue<qint32>(size->height()) : QVariant();
}

void clsMusic::releaseGraph()
{
    m_graph->Stop();
    m_graph.reset(); // closes the file before it returns, unless its sink hangs
}

void clsMusic::setFileName(const QString& value)
{
    m_mediaFileName = value;
    if (m_graph)
        releaseGraph();
    m_graph = MediaLayer::createGraph(&m_noMediaLayer);
    if (!m_graph) {
        setHasAudio(false);
        setHasVideo(false);
        return;
    }
    m_graph->setNotify([this] { emit notified(); });
    const bool rendered = m_graph->RenderFile(FileName());
    // Audio test: the volume can be read only where the graph has audio.
    setHasAudio(rendered && m_graph->Volume().has_value());
    // Video test: the native width can be read only where the graph has video.
    setHasVideo(m_graph->SourceSize().has_value());
    if (!HasVideo())
        return;
    placeVideo();
    setPosition(0);
}

// Fills the owner window with the video; a size that can't be given in 32 bits is left unset.
void clsMusic::placeVideo()
{
    const WindowRect rect = GetWindowRect(m_ownerWindow);
    using Setting = PlaybackGraph::VideoWindow;
    m_graph->SetVideoWindow(Setting::Style, VisibleWindowStyle);
    m_graph->SetVideoWindow(Setting::Top, 0);
    m_graph->SetVideoWindow(Setting::Left, 0);
    if (const qint64 width = rect.right - rect.left; fitsInt32(width))
        m_graph->SetVideoWindow(Setting::Width, static_cast<qint32>(width));
    if (const qint64 height = rect.bottom - rect.top; fitsInt32(height))
        m_graph->SetVideoWindow(Setting::Height, static_cast<qint32>(height));
    m_graph->SetVideoWindow(Setting::Owner, m_ownerWindow);
    m_graph->SetVideoWindow(Setting::Visible, 1);
}

// A tone that cannot be heard must not pass for one the listener cannot hear: this one failure
// of the player reaches the caller.
void clsMusic::Play()
{
    if (m_mediaFileName.isEmpty())
        return;
    if (!m_graph && !m_noMediaLayer.isEmpty())
        throw Failure(QStringLiteral("No sound output could be opened: the program's media library "
                                     "could not be loaded (%1). Reinstalling the program brings it "
                                     "back.")
                          .arg(m_noMediaLayer));
    if (const QString why = m_graph ? m_graph->TakeOutputProblem() : QString(); !why.isEmpty())
        throw Failure(why);
    if (Duration() == Position())
        setPosition(0);
    if (m_graph)
        m_graph->Run();
}

void clsMusic::Pause()
{
    if (m_graph)
        m_graph->Pause();
}

void clsMusic::StopPlaying()
{
    if (m_graph)
        m_graph->Stop();
}

void clsMusic::setPosition(double NewPos)
{
    if (!m_graph)
        return;
    double target = NewPos;
    if (NewPos < 0) {
        target = 0;
    } else if (const auto duration = m_graph->Duration(); duration && NewPos > *duration) {
        target = m_graph->Duration().value_or(NewPos);
    }
    m_graph->SetCurrentPosition(target);
    if (HasVideo())
        showFrameAt(target);
}

// Plays until the position passes the target, so that the frame there reaches the window, then
// goes back to the target and stops. Busy on purpose: yielding here would let window events run
// in the middle of a seek.
void clsMusic::showFrameAt(double target)
{
    m_graph->Run();
    const auto deadline = std::chrono::steady_clock::now() + FrameWaitLimit;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto position = m_graph->CurrentPosition();
        if (position && *position > target)
            break;
    }
    m_graph->SetCurrentPosition(target);
    m_graph->Stop();
    // Stopping lets the sound fade out first, and playback moves on meanwhile.
    m_graph->SetCurrentPosition(target);
}

// A sound output lost during playback is reported once, by the read that would otherwise show
// the silence as the end of the media.
double clsMusic::Position() const
{
    if (!m_graph)
        return 0.0;
    // Read first: the read itself may find that the output stalled.
    const double position = m_graph->CurrentPosition().value_or(0.0);
    if (const QString why = m_graph->TakeOutputLoss(); !why.isEmpty())
        throw Failure(why);
    return position;
}

double clsMusic::HighestFrequency() const
{
    return m_graph ? m_graph->HighestFrequency() : std::numeric_limits<double>::infinity();
}

qint32 clsMusic::OutputRate() const
{
    return m_graph ? m_graph->OutputRate() : 0;
}

qint32 clsMusic::State() const
{
    const auto state = m_graph ? m_graph->GetState() : std::nullopt;
    if (!state || *state == PlaybackGraph::Stopped)
        return 0;
    return *state == PlaybackGraph::Paused ? 2 : 1;
}

double clsMusic::Speed() const
{
    return m_graph ? m_graph->Rate().value_or(0.0) : 0.0;
}

// Not a number counts as too slow. An infinite rate stands for no rate that can be played and
// is refused, like any rate the graph refuses: the rate stays as it was.
void clsMusic::setSpeed(double value)
{
    if (std::isnan(value) || value < 0.1)
        value = 0.1;
    if (std::isinf(value))
        return;
    if (m_graph)
        m_graph->SetRate(value);
}

double clsMusic::Duration() const
{
    return m_graph ? m_graph->Duration().value_or(0.0) : 0.0;
}

qint32 clsMusic::Volume() const
{
    return m_graph ? m_graph->Volume().value_or(0) : 0;
}

void clsMusic::setVolume(qint32 value)
{
    if (value > 0)
        value = 0;
    if (value < -10000)
        value = -10000;
    if (m_graph)
        m_graph->SetVolume(value);
}

qint32 clsMusic::Balance() const
{
    return m_graph ? m_graph->Balance().value_or(0) : 0;
}

void clsMusic::setBalance(qint32 value)
{
    if (value < -10000)
        value = -10000;
    if (value > 10000)
        value = 10000;
    if (m_graph)
        m_graph->SetBalance(value);
}

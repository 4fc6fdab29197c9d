#include "media/clsmusic.h"

#include <QWidget>

clsMusic::clsMusic(QObject* parent) : QObject(parent) {}

clsMusic::~clsMusic() = default;

QVariant clsMusic::Width() const
{
    if (!HasVideo())
        return QVariant::fromValue<qint16>(0);
    const auto width = m_graph ? m_graph->SourceWidth() : std::nullopt;
    return width ? QVariant::fromValue<qint32>(*width) : QVariant();
}

QVariant clsMusic::Height() const
{
    if (!HasVideo())
        return QVariant::fromValue<qint16>(0);
    const auto height = m_graph ? m_graph->SourceHeight() : std::nullopt;
    return height ? QVariant::fromValue<qint32>(*height) : QVariant();
}

void clsMusic::releaseGraph()
{
    m_graph->Stop();
    m_graph.reset(); // closes the file before it returns
}

void clsMusic::setFileName(const QString& value)
{
    m_mediaFileName = value;
    if (m_graph)
        releaseGraph();
    m_graph = std::make_unique<MediaGraph>();
    connect(m_graph.get(), &MediaGraph::notified, this, &clsMusic::notified);
    const bool rendered = m_graph->RenderFile(FileName());
    // Audio test: the volume can be read only where the graph has audio.
    setHasAudio(rendered && m_graph->Volume().has_value());
    // Video test: the native width can be read only where the graph has video.
    setHasVideo(m_graph->SourceWidth().has_value());
    if (!HasVideo())
        return;
    setPosition(0);
}

void clsMusic::Play()
{
    if (m_mediaFileName.isEmpty())
        return;
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
        target = *m_graph->Duration();
    }
    m_graph->SetCurrentPosition(target);
    if (HasVideo()) {
        // Show the frame at the target, then stop there.
        m_graph->Run();
        m_graph->SetCurrentPosition(target);
        m_graph->Stop();
    }
}

double clsMusic::Position() const
{
    return m_graph ? m_graph->CurrentPosition().value_or(0.0) : 0.0;
}

qint32 clsMusic::State() const
{
    const auto state = m_graph ? m_graph->GetState() : std::nullopt;
    if (!state || *state == MediaGraph::Stopped)
        return 0;
    return *state == MediaGraph::Paused ? 2 : 1;
}

double clsMusic::Speed() const
{
    return m_graph ? m_graph->Rate().value_or(0.0) : 0.0;
}

void clsMusic::setSpeed(double value)
{
    if (value < 0.1)
        value = 0.1;
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

#pragma once

#include <memory>

#include <QObject>
#include <QString>
#include <QVariant>

#include "media/playbackgraph.h"

// The media player: one playback graph per opened file. It never reports a failure: a step
// that fails is skipped, and a read that fails gives 0, the empty string or false.
class clsMusic : public QObject
{
    Q_OBJECT

public:
    explicit clsMusic(QObject* parent = nullptr);
    ~clsMusic() override;

    QVariant Width() const;
    QVariant Height() const;
    void setWindow(qint32 hWnd) { m_ownerWindow = hWnd; }
    qint32 Window() const { return m_ownerWindow; }
    QString FileName() const { return m_mediaFileName; }
    void setFileName(const QString& value);
    void Play();
    void Pause();
    void StopPlaying();
    void setPosition(double NewPos);
    double Position() const;
    qint32 State() const;
    double Speed() const;
    void setSpeed(double value);
    double Duration() const;
    qint32 Volume() const;
    void setVolume(qint32 value);
    qint32 Balance() const;
    void setBalance(qint32 value);
    bool HasAudio() const { return m_audioPresent; }
    bool HasVideo() const { return m_videoPresent; }
    // What the sound output of the open file lets the listener hear: the highest frequency it
    // carries at its level (infinite when nothing is known to limit it), and the lowest rate on
    // the way (0 when unknown). Whether the output is muted, or lost, is reported by Play and by
    // the reads of Position.
    double HighestFrequency() const;
    qint32 OutputRate() const;

signals:
    // Something happened in the graph (end of stream, error, state change): a waiting loop
    // wakes up.
    void notified();

private:
    void setHasAudio(bool present) { m_audioPresent = present; }
    void setHasVideo(bool present) { m_videoPresent = present; }
    void releaseGraph();
    void placeVideo();
    void showFrameAt(double target);

    // The graph stands for the whole set of interfaces of one graph object: they are always
    // replaced and released together.
    PlaybackGraph::Ptr m_graph;
    QString m_noMediaLayer; // why the media library could not be loaded
    qint32 m_ownerWindow = 0;
    QString m_mediaFileName;
    bool m_audioPresent = false;
    bool m_videoPresent = false;
};

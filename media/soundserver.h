#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include <QString>

// A sink of the desktop's sound server, as the server reports it.
struct ServerSink
{
    QString name;
    int rate = 0;
    bool muted = false;
    bool silent = false; // volume at zero
};

// Our playback stream as the server plays it: the server applies its stored settings (a mute
// the user set for this program) when the stream appears, and the user may move it to another
// sink or mute it later.
struct ServerStream
{
    bool muted = false;
    bool silent = false;
    ServerSink sink;
};

// What the server has said so far.
struct ServerState
{
    enum Answer
    {
        Waiting,       // no answer yet
        Answered,      // connected; `defaultSink` holds its default sink
        NoServer,      // nothing to connect to, or the connection was refused
        NoDefaultSink, // the server answers but has no sink to play to
        Lost           // the connection broke after it was made
    };

    Answer answer = Waiting;
    QString reason; // the client library's words for a failure
    std::optional<ServerSink> defaultSink;
    std::optional<ServerStream> stream; // once the stream tagged for this connection exists
};

// One connection to the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service)
// for the life of one audio output. It learns the default sink, then follows the stream whose
// property `StreamTagKey` holds the tag given here, as the server or the user changes it. The
// client library runs on a thread of its own; nothing here waits for the server.
class SoundServer
{
public:
    static constexpr const char* StreamTagKey = "pitchwarden.stream";

    explicit SoundServer(const QString& streamTag);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    const QString& streamTag() const;
    ServerState state() const;
    // Waits at most `milliseconds` for the state to satisfy `done`, running the window's
    // events meanwhile (a server that does not answer must not freeze the window); returns the
    // state then.
    ServerState awaitState(const std::function<bool(const ServerState&)>& done,
                           int milliseconds) const;

    // Tests: answers from `standIn` instead of a server (an empty function restores the server).
    static void setStandInForTesting(std::function<ServerState()> standIn);
    static bool hasStandIn();

private:
    struct Connection; // the client library's side, used by its thread

    QString connect();

    std::unique_ptr<Connection> m_connection;
};

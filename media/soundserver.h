#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

#include <QString>

// A sink of the desktop's sound server, as the server reports it.
struct ServerSink
{
    QString name;
    int rate = 0;
    bool muted = false;
    bool silent = false; // volume at zero

    bool operator==(const ServerSink&) const = default;
};

// Our playback stream as the server plays it: the server applies its stored settings (a mute
// the user set for this program, the sink the user last moved it to) when the stream appears,
// and the user may move it to another sink or mute it later.
struct ServerStream
{
    bool muted = false;
    bool silent = false;
    ServerSink sink;

    bool operator==(const ServerStream&) const = default;
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
    // How long a request of ours has waited for the server's answer; zero while it answers.
    std::chrono::milliseconds unanswered{0};

    bool operator==(const ServerState&) const = default;
};

// One connection to the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service)
// for the life of one audio output. It learns the default sink, then follows the stream whose
// property `StreamTagKey` holds the tag given here, as the server or the user changes it, and
// asks the server something twice a second so that a server that stops answering is known to
// have stopped. The client library runs on a thread of its own; nothing here waits for the
// server.
class SoundServer
{
public:
    static constexpr const char* StreamTagKey = "pitchwarden.stream";

    // `changed` is called on the client library's thread whenever the state may have changed.
    SoundServer(const QString& streamTag, std::function<void()> changed);
    ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    const QString& streamTag() const;
    ServerState state() const;

    // Tests: answers from `standIn` instead of a server (an empty function restores the server).
    static void setStandInForTesting(std::function<ServerState()> standIn);
    static bool hasStandIn();

private:
    struct Connection; // the client library's side, used by its thread

    std::unique_ptr<Connection> m_connection;
};

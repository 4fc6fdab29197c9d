#pragma once

#include <optional>

#include <QString>

// What the desktop's sound server (PulseAudio, or PipeWire's PulseAudio service) says about the
// sink our sound goes to. The sink element takes any rate from us and leaves the conversion to
// the server; only the server knows the rate it really plays at.
struct ServerSink
{
    QString name;
    int rate = 0;
};

// Asks the server for its default sink; never starts a server. Empty when no server answers
// within a second, with the reason in `why`.
std::optional<ServerSink> QueryDefaultSink(QString* why = nullptr);

#include "media/medialayer.h"

#include <mutex>
#include <thread>

#include <dlfcn.h>

#include <QFile>

#include "support/installfolder.h"

namespace {

using Factory = PlaybackGraph* (*)();
using WarmUp = void (*)(const char* sample, size_t size);

struct Library
{
    Factory factory = nullptr;
    WarmUp warmUp = nullptr;
    QString error;
};

QString loaderError()
{
    const char* error = ::dlerror();
    return error ? QString::fromLocal8Bit(error) : QStringLiteral("unknown error");
}

// Loaded once and kept for the life of the program.
const Library& library()
{
    static const Library loaded = [] {
        Library library;
        const QString path = ExecutableFolder() + QLatin1Char('/') + MediaLayer::LibraryPath;
        void* handle = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) {
            library.error = loaderError();
            return library;
        }
        library.factory =
            reinterpret_cast<Factory>(::dlsym(handle, "pitchwarden_create_playback_graph"));
        library.warmUp = reinterpret_cast<WarmUp>(::dlsym(handle, "pitchwarden_warm_up"));
        if (!library.factory)
            library.error = loaderError();
        return library;
    }();
    return loaded;
}

// The warming thread, waited for when the program ends normally (tests do; the program itself
// ends at once).
struct Warming
{
    std::once_flag started;
    std::thread thread;
    ~Warming()
    {
        if (thread.joinable())
            thread.join();
    }
};

} // namespace

namespace MediaLayer {

PlaybackGraph::Ptr createGraph(QString* why)
{
    const Library& loaded = library();
    if (why)
        *why = loaded.error;
    return PlaybackGraph::Ptr(loaded.factory ? loaded.factory() : nullptr);
}

void warmUp(const QByteArray& sample)
{
    static Warming warming;
    std::call_once(warming.started, [&sample] {
        warming.thread = std::thread([sample] {
            if (const WarmUp warm = library().warmUp)
                warm(sample.constData(), size_t(sample.size()));
        });
    });
}

} // namespace MediaLayer

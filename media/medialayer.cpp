#include "media/medialayer.h"

#include <dlfcn.h>

#include <QFile>

#include "support/installfolder.h"

namespace {

using Factory = PlaybackGraph* (*)();
constexpr const char* FactoryName = "pitchwarden_create_playback_graph";

struct Library
{
    Factory factory = nullptr;
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
        library.factory = reinterpret_cast<Factory>(::dlsym(handle, FactoryName));
        if (!library.factory)
            library.error = loaderError();
        return library;
    }();
    return loaded;
}

} // namespace

namespace MediaLayer {

PlaybackGraph::Ptr createGraph(QString* why)
{
    const Library& loaded = library();
    if (why)
        *why = loaded.error;
    return PlaybackGraph::Ptr(loaded.factory ? loaded.factory() : nullptr);
}

} // namespace MediaLayer

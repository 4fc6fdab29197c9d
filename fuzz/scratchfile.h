#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include <QDir>
#include <QFile>
#include <QString>
#include <QTemporaryDir>

// The fuzz targets hand each input to readers that take a path: the bytes go to one file in a
// private folder that lives as long as the process.
inline QString scratchFolder()
{
    static QTemporaryDir folder;
    return folder.path();
}

inline QString writeScratchFile(const QString& name, const uint8_t* data, size_t size)
{
    const QString path = scratchFolder() + QLatin1Char('/') + name;
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
        qFatal("cannot write the fuzz input to %s", qPrintable(path));
    return path;
}

// Qt needs an application object; the offscreen platform needs no display. Qt's warnings about
// malformed input would flood the log: only critical and fatal messages are shown, and a fatal
// one (a broken promise of the code under test) still aborts the run.
template <typename Application> Application& fuzzApplication()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& text) {
        if (type == QtFatalMsg)
            std::fprintf(stderr, "FAULT: %s\n", qPrintable(text));
        else if (type == QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });
    static int argc = 1;
    static char name[] = "pitchwarden-fuzz";
    static char* argv[] = {name, nullptr};
    static Application application(argc, argv);
    return application;
}

// Fuzzes the skin loader: arbitrary bytes as the skin file "x/o.cjs" of the installation folder,
// applied to a window with the kinds of controls the main window has.

#include <cstddef>
#include <cstdint>

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>

#include "fuzz/scratchfile.h"
#include "support/failure.h"
#include "support/installfolder.h"
#include "support/skinframework.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzApplication<QApplication>();
    setInstallationFolderForTesting(scratchFolder());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    writeScratchFile(QStringLiteral("x/o.cjs"), data, size);
    QWidget window;
    window.resize(160, 90);
    auto* layout = new QVBoxLayout(&window);
    auto* frame = new QGroupBox(QStringLiteral("8 kHz Frequency (Everyone can hear)"));
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->addWidget(new QPushButton(QStringLiteral("Play 8 kHz")));
    layout->addWidget(frame);
    layout->addWidget(new QLabel(QStringLiteral("label")));
    layout->addWidget(new QLineEdit);
    SkinFramework skin;
    try {
        ApplySkin(window, skin);
        if (window.styleSheet() != skin.styleSheet())
            qFatal("the loaded skin was not applied to the window");
        // Styling and painting the window is where a skin takes effect.
        window.grab();
    } catch (const Failure& failure) {
        if (failure.description().isEmpty())
            qFatal("failure without a description");
    }
    return 0;
}

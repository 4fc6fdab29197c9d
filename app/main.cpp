#include <memory>

#include <QApplication>

#include "app/displayguard.h"
#include "app/form1.h"
#include "app/warmup.h"
#include "app/windowsystem.h"

namespace {

// The application object, made under a guard: no display ends the program with one line.
std::unique_ptr<QApplication> connectToTheDisplay(int& argc, char* argv[])
{
    const DisplayGuard guard;
    return std::make_unique<QApplication>(argc, argv);
}

} // namespace

int main(int argc, char* argv[])
{
    WindowSystem::choose(argc, argv);
    const auto app = connectToTheDisplay(argc, argv);
    Form1 window;
    window.Form_Load();
    window.show();
    warmUpAfterFirstPaint(window);
    return app->exec();
}

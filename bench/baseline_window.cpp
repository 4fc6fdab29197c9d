// One empty top-level window and nothing else: what any Qt Widgets program pays to appear.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bench Baseline Window"));
    window.resize(540, 690);
    window.show();
    return app.exec();
}

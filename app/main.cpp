#include <QApplication>

#include "app/form1.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    Form1 window;
    window.Form_Load();
    window.show();
    return app.exec();
}

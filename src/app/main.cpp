#include <QApplication>

#include "app/MainForm.h"
#include "app/QtMainThread.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName("Lumisk");
    QApplication::setApplicationDisplayName("Lumisk");
    InstallMainThreadPump(app);
    InstallMessageBoxErrorDisplay();
    TMainForm form;
    form.show();
    return app.exec();
}

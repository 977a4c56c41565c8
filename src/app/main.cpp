// Velmora Archive Extractor: program entry. "velmora FILE..." puts each file
// in the queue as the Open command would (the file manager's "Open with").
#include "app/Dialogs.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QFileInfo>
#include <QSettings>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // Settings live in ~/.config/velmora/velmora.ini: application and
    // organisation are both the program's name.
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("velmora"));
    QSettings::setDefaultFormat(QSettings::IniFormat);

    velmora::app::QtDialogs dialogs;
    velmora::app::frmMain window(dialogs);
    const QStringList args = QCoreApplication::arguments().mid(1);
    for (const QString& arg : args)
        window.openArchivePath(QFileInfo(arg).absoluteFilePath());
    window.show();
    return app.exec();
}

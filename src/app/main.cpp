// Velmora Archive Extractor: program entry. Until the main window lands this
// shows a placeholder window with the program's title.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QLabel window(QStringLiteral("Velmora Archive Extractor 1.0"));
    window.setWindowTitle(QStringLiteral("Velmora Archive Extractor 1.0"));
    window.resize(480, 200);
    window.show();
    return app.exec();
}

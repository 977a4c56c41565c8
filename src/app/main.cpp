// Velmora Archive Extractor: program entry. "velmora FILE..." puts each file
// in the queue (the file manager's "Open with"); --help and --version print
// and exit.
#include "app/Dialogs.h"
#include "app/WindowRules.h"
#include "app/frmMain.h"

#include <QApplication>
#include <QSettings>

#include <cstdio>

namespace {

using velmora::app::CommandLine;

void setNames()
{
    // Settings live in ~/.config/velmora/velmora.ini: application and
    // organisation are both the program's name.
    QCoreApplication::setApplicationName(QStringLiteral("velmora"));
    QCoreApplication::setOrganizationName(QStringLiteral("velmora"));
    QCoreApplication::setApplicationVersion(QStringLiteral("1.0"));
}

// Prints what --help, --version or a usage error print; the exit code, or -1
// when the window is to open.
int printed(const CommandLine& command)
{
    switch (command.action) {
    case CommandLine::Action::help:
    case CommandLine::Action::version:
        std::fputs(command.output.toLocal8Bit().constData(), stdout);
        return 0;
    case CommandLine::Action::usageError:
        std::fputs(command.output.toLocal8Bit().constData(), stderr);
        return 2;
    case CommandLine::Action::run:
        break;
    }
    return -1;
}

bool hasOption(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i][0] != '-')
            continue;
        return argv[i][1] != '-' || argv[i][2] != '\0'; // "--" ends the options
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    // Options are answered without a display: --help works over ssh too.
    if (hasOption(argc, argv)) {
        QCoreApplication core(argc, argv);
        setNames();
        if (const int code = printed(velmora::app::ParseCommandLine(QCoreApplication::arguments())); code >= 0)
            return code;
    }

    QApplication app(argc, argv);
    setNames();
    QSettings::setDefaultFormat(QSettings::IniFormat);
    const CommandLine command = velmora::app::ParseCommandLine(QCoreApplication::arguments());
    if (const int code = printed(command); code >= 0)
        return code;

    velmora::app::QtDialogs dialogs;
    velmora::app::frmMain window(dialogs);
    window.show();
    window.openCommandLine(command.files, command.rejected);
    return app.exec();
}

#include "app/RunWindow.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "app/DEVedaDlg.h"
#include "app/SingleInstance.h"
#include "config/Ini.h"
#include "platform/Station.h"

namespace app {

int RunWindow(int& argc, char** argv, const IniSettings& settings)
{
    QApplication application(argc, argv);
    const QString station = QString::fromStdString(platform::StationChoice());
    CSingleInstance instance(station.isEmpty() ? QStringLiteral("linux") : station);
    if (!instance.bAcquire()) {
        const QString text = QObject::tr("DEVeda already runs on this station (%1).").arg(station);
        std::fprintf(stderr, "DEVeda: %s\n", text.toLocal8Bit().constData());
        QMessageBox::warning(nullptr, QLatin1String(kWindowTitle), text);
        return kExitOtherInstance;
    }
    // The window is shown: operator messages are message boxes, not lines of the message file.
    Ini::Global().m_bMessageToFile = false;
    platform::IStation& chosen = platform::Station();
    const QString stationText = chosen.IsEmulated() ? QString::fromStdString(chosen.Describe()) : QString();
    CDEVedaDlg window(chosen, settings, stationText);
    window.show();
    application.exec();
    return window.ExitCode();
}

}  // namespace app

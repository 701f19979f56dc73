// Renders the operator's window on a station into PNG files: idle after the first
// scan, unlocked, in the middle of a run and after it; then each dialog. Used by scripts/screenshots
// on the offscreen platform; the station's clock runs faster than real so the run
// takes seconds.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QThread>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <functional>

#include "app/DEVedaDlg.h"
#include "app/AboutDlg.h"
#include "app/DebugDlg.h"
#include "app/LoginDlg.h"
#include "app/PDUpdateDlg.h"
#include "app/SNDlg.h"
#include "app/SHA256Dlg.h"
#include "app/SettingsDlg.h"
#include "config/Ini.h"
#include "platform/Station.h"
#include "util/Clock.h"
#include "widgets/ListCtrlEx.h"

namespace {

// Runs the event loop until `ready` holds or `realMs` pass.
bool WaitFor(const std::function<bool()>& ready, int realMs)
{
    QElapsedTimer timer;
    timer.start();
    while (!ready()) {
        if (timer.elapsed() > realMs) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(5);
    }
    return true;
}

bool Save(QWidget& window, const QDir& folder, const char* name)
{
    QCoreApplication::processEvents();
    const QString path = folder.filePath(QLatin1String(name));
    const bool saved = window.grab().save(path);
    std::printf("%s %s\n", saved ? "wrote" : "could not write", path.toLocal8Bit().constData());
    return saved;
}

// Answers the login dialog with the unlock password once it is open.
void AnswerLogin(QObject* owner)
{
    auto* poll = new QTimer(owner);
    QObject::connect(poll, &QTimer::timeout, [poll] {
        auto* login = dynamic_cast<app::CLoginDlg*>(QApplication::activeModalWidget());
        if (!login) return;
        poll->deleteLater();
        login->PasswordEdit()->setText(QLatin1String(app::kUnlockPassword));
        login->OnBnClickedOk();
    });
    poll->start(10);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2 || std::strncmp(argv[1], "--station=", 10) != 0 || argc < 3) {
        std::fprintf(stderr, "usage: deveda_screenshots --station=emu:DIR OUTPUT_FOLDER\n");
        return 2;
    }
    platform::SetStationChoice(argv[1] + 10);
    const QDir out(QString::fromLocal8Bit(argv[2]));
    QApplication application(argc, argv);
    // The station's own clock when it keeps one; otherwise a run fast enough to capture.
    if (!platform::InstallStationClock()) util::SetClock(std::make_shared<util::ScaledClock>(25.0));

    Ini& ini = Ini::Global();
    ini.vLoadINIAtStartup(strDefaultINIFilePath());
    app::CDEVedaDlg window(platform::Station(), ini.m_pINI, QString::fromStdString(platform::Station().Describe()));
    const auto presenter = [](const std::string& text, int) {
        std::printf("operator message: %s\n", text.c_str());
        return 1;
    };
    window.SetMessagePresenter(presenter);
    window.show();
    bool ok = WaitFor(
        [&] {
            const auto s = window.Engine()->Snapshot();
            return s->devices.DevNums > 0 && !s->activity.scanning && window.StartAllowed() &&
                   !window.ResultList()->CellText(0, engine::kColFWVersion).isEmpty();
        },
        30000);
    ok = ok && Save(window, out, "main-idle.png");

    AnswerLogin(&window);
    window.OnBnClickedButtonUnlockDeveda();
    ok = ok && Save(window, out, "main-unlocked.png");
    window.OnBnClickedButtonUnlockDeveda();  // locked again for the run

    window.OnBnClickedButtonStart();
    // Mid-run: some ports have a verdict in their update column, others not yet.
    const auto midRun = [&] {
        int done = 0;
        for (int row = 0; row < engine::kResultRows; ++row)
            done += !window.ResultList()->CellText(row, engine::kColUpdate).isEmpty();
        return window.Engine()->Snapshot()->activity.running && done > 0;
    };
    ok = ok && WaitFor(midRun, 60000) && Save(window, out, "main-mid-run.png");
    ok = ok && WaitFor([&] { return !window.PassIndicator()->isHidden() || !window.FailIndicator()->isHidden(); },
                       120000);
    ok = ok && Save(window, out, "main-after-run.png");

    // The dialogs that reach the bridges, on the first one, while the engine is there.
    {
        app::CDebugDlg debug(*window.Engine(), {0, 0}, presenter);
        debug.OnBnClickedButtonReadConfigTable();
        app::CDeviceInfoDlg info(*window.Engine(), {0, 0}, presenter);
        const IniSettings& s = ini.m_pINI;
        app::CPDUpdateDlg pd(*window.Engine(), {s.pd_binary_name, s.mcu_binary_name, s.pd_fw_enable != 0, s.mcu_fw_enable != 0},
                             presenter);
        const std::pair<QWidget*, const char*> engineDialogs[] = {
            {&debug, "debug.png"}, {&info, "device-info.png"}, {&pd, "pd-update.png"}};
        for (const auto& [dialog, name] : engineDialogs) {
            dialog->show();
            ok = Save(*dialog, out, name) && ok;
            dialog->hide();
        }
    }
    window.close();

    // The dialogs, each on the settings the run left.
    const IniSettings& settings = ini.m_pINI;
    app::CLoginDlg login;
    app::PCIEUSBConfigDlg more(settings);
    app::USB4_MoreConfig u4more(settings);
    app::SHA256_Dlg key(false);
    app::CAboutDlg about;
    app::CSNDlg serial(settings, [] { return 1u; });
    const std::pair<QWidget*, const char*> dialogs[] = {{&login, "login.png"},
                                                        {&serial, "serial-number-entering.png"},
                                                        {&more, "pcie-usb-config.png"},
                                                        {&u4more, "usb4-more-config.png"},
                                                        {&key, "sha256-key.png"},
                                                        {&about, "about.png"}};
    for (const auto& [dialog, name] : dialogs) {
        dialog->show();
        ok = Save(*dialog, out, name) && ok;
        dialog->hide();
    }
    return ok ? 0 : 1;
}

// Duskline's process entry. On the phone: the application, full screen. On a desktop the same
// application runs on the simulated phone, in an 800 × 480 window, with keys standing in for
// the camera button, the lens cover and the keyboard slide; or, with --headless (or without a
// display), on Qt's offscreen platform through one scripted capture.

#include "AsyncFuser.h"
#include "HDRApp.h"
#include "core/Report"

#include <QApplication>
#include <QDebug>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifndef DUSKLINE_PHONE
#include "Ketto/Kernel.h"
#include "SimPhone.h"
#include "CameraWidget.h"
#include "desktop/PhoneKeys.h"
#include "desktop/ScriptedCapture.h"

#include <QDir>
#endif

namespace {

#ifndef DUSKLINE_PHONE
const char *const KUsage
    = "usage: duskline [--headless] [--root DIR]\n"
      "  Duskline on the simulated phone, in an 800 x 480 window. Keys for the phone's\n"
      "  switches while the capture screen is up:\n"
      "    F (hold)                half press: focus\n"
      "    Space or Return (hold)  full press: take the picture\n"
      "    C                       open or close the lens cover\n"
      "    K                       slide the keyboard open or closed\n"
      "  --headless   no window: Qt's offscreen platform, one scripted capture (half press,\n"
      "               full press, the merge), then quit; exit status 0 once the HDR\n"
      "               photograph is written, 1 otherwise\n"
      "  --root DIR   the simulated phone's root folder (default: ";

struct DesktopOptions
{
    bool headless = false;
    std::string root;
    bool help = false;
    std::string error;
};

// Takes the desktop's own arguments out of argv, leaving Qt's.
DesktopOptions takeOptions(int &aArgc, char **aArgv)
{
    DesktopOptions options;
    std::vector<char *> rest { aArgv[0] };
    for (int i = 1; i < aArgc; ++i) {
        const std::string arg = aArgv[i];
        if (arg == "--headless") {
            options.headless = true;
        } else if (arg == "--root") {
            if (i + 1 >= aArgc) {
                options.error = "--root needs a folder";
                break;
            }
            options.root = aArgv[++i];
        } else if (arg.rfind("--root=", 0) == 0) {
            options.root = arg.substr(7);
        } else if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else {
            rest.push_back(aArgv[i]);
        }
    }
    aArgc = int(rest.size());
    for (int i = 0; i < aArgc; ++i)
        aArgv[i] = rest[std::size_t(i)];
    aArgv[aArgc] = nullptr;
    return options;
}
#endif

} // namespace

int main(int argc, char **argv)
{
#ifndef DUSKLINE_PHONE
    DesktopOptions options = takeOptions(argc, argv);
    const std::string defaultRoot = Opsa::Ketto::Phone::desktopRoot();
    if (options.help || !options.error.empty()) {
        if (!options.error.empty())
            std::fprintf(stderr, "duskline: %s\n", options.error.c_str());
        std::fprintf(options.help ? stdout : stderr, "%s%s)\n", KUsage, defaultRoot.c_str());
        return options.help ? 0 : 2;
    }
    if (options.headless)
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::string root = options.root.empty() ? defaultRoot : options.root;
    if (!QDir().mkpath(QString::fromStdString(root))) {
        std::fprintf(stderr, "duskline: cannot make the phone's folder %s\n", root.c_str());
        return 1;
    }
    Opsa::Sim::SimOptions sim;
    // Without anyone watching, the simulated sensor waits for the program: the picture is the
    // same however busy the machine is.
    sim.pace = options.headless ? Opsa::Sim::Pace::LockStep : Opsa::Sim::Pace::RealTime;
    Opsa::Sim::SimPhone phone(sim, root);
#endif

    QApplication app(argc, argv);
#ifndef DUSKLINE_PHONE
    if (app.arguments().size() > 1) {
        std::fprintf(stderr, "duskline: unknown argument %s\n%s%s)\n",
            qPrintable(app.arguments().at(1)), KUsage, defaultRoot.c_str());
        return 2;
    }
    std::printf("Duskline on the simulated phone in %s\nPhotographs go to %s\n", root.c_str(),
        AsyncFuser::photoDirectory().c_str());
    std::fflush(stdout);
#endif
    HDRApp::routeLibraryReports();

    std::unique_ptr<HDRApp> hdr = std::make_unique<HDRApp>(&app);
    int status = 0;
#ifndef DUSKLINE_PHONE
    PhoneKeys keys(phone.kernel(), hdr->cameraWidget);
    std::unique_ptr<ScriptedCapture> script;
    if (options.headless) {
        hdr->setMessageHook([](const QString &aTitle, const QString &aText) {
            std::fprintf(stderr, "duskline: %s: %s\n", qPrintable(aTitle), qPrintable(aText));
        });
    }
#endif
    // Before the camera starts: a control-c from then on must quit cleanly and give the camera
    // back, never kill the process by the default action.
    HDRApp::installInterruptHandler();
    hdr->showCamera();
    if (hdr->ok) {
#ifndef DUSKLINE_PHONE
        if (options.headless)
            script = std::make_unique<ScriptedCapture>(hdr.get(), phone.kernel());
#endif
        app.exec();
    }
#ifndef DUSKLINE_PHONE
    // Nobody is there to read a dialog: a run that took no photograph says so in its status.
    if (options.headless)
        status = (script && script->status() == 0) ? 0 : 1;
    script.reset();
#endif
    hdr.reset();
    return status;
}

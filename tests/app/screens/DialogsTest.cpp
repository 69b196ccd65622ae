#include "CaptureSettingsDialog.h"
#include "Fuser.h"
#include "HelpDialog.h"
#include "ScreensSupport.h"
#include "SimPhone.h"
#include "SplashDialog.h"
#include "support/TestSupport.h"

#include <QCheckBox>
#include <QDir>
#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTextBrowser>
#include <gtest/gtest.h>
#include <sys/stat.h>

using Phone = Opsa::Sim::SimPhone;
using testsupport::readText;
using testsupport::writeText;

namespace {

template <typename T> T *child(QWidget *aParent, const QString &aText)
{
    for (T *widget : aParent->findChildren<T *>())
        if (widget->text() == aText)
            return widget;
    ADD_FAILURE() << "no " << aText.toStdString();
    return nullptr;
}

// A tap on a button's indicator or text: a layout may make the button wider than both, and a
// tap on the empty rest of it does nothing.
void tap(QAbstractButton *aButton)
{
    ASSERT_NE(aButton, nullptr);
    QTest::mouseClick(aButton, Qt::LeftButton, {}, QPoint(8, aButton->height() / 2));
}

QStringList checkedChoices(QWidget *aDialog)
{
    QStringList checked;
    for (QRadioButton *button : aDialog->findChildren<QRadioButton *>())
        if (button->isChecked())
            checked << button->text();
    return checked;
}

// The capture screen's stand-in: a full screen of the phone.
struct Screen : QWidget
{
    Screen() { resize(800, 480); }
};

} // namespace

struct SettingsCase
{
    int width;
    bool saveInputs, autoShots;
    int numShots;
    QStringList checked;
};

class CaptureSettingsShows : public ::testing::TestWithParam<SettingsCase>
{
};

TEST_P(CaptureSettingsShows, TheFuserSettingsWhenBuilt)
{
    const SettingsCase &c = GetParam();
    Fuser fuser(c.width, c.width * 3 / 4, Opsa::UYVY, 3);
    fuser.saveInputs = c.saveInputs;
    fuser.autoShots = c.autoShots;
    fuser.numShots = c.numShots;
    Screen screen;
    CaptureSettingsDialog dialog(&fuser, &screen);
    EXPECT_EQ(checkedChoices(&dialog), c.checked);
}

INSTANTIATE_TEST_SUITE_P(Settings, CaptureSettingsShows,
    ::testing::Values(SettingsCase { 2592, false, true, 2, { "High", "No", "Auto" } },
        SettingsCase { 640, true, false, 2, { "Low", "Yes", "Two" } },
        SettingsCase { 1296, false, false, 3, { "Medium", "No", "Three" } },
        // Any size other than the low and medium ones counts as high.
        SettingsCase { 1000, false, false, 1, { "High", "No", "Three" } }));

TEST(CaptureSettingsDialog, EveryClickChangesTheFuserAtOnceWithinItsRowOnly)
{
    Fuser fuser(2592, 1968, Opsa::UYVY, 3);
    Screen screen;
    screen.show();
    CaptureSettingsDialog dialog(&fuser, &screen);
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&dialog));

    const QImage shot = screens::screenshot(&dialog, "settings");
    for (QLabel *label : dialog.findChildren<QLabel *>())
        EXPECT_TRUE(screens::showsText(shot, label)) << label->text().toStdString();
    EXPECT_LE(dialog.width(), 800);
    EXPECT_LE(dialog.height(), 480);

    auto click = [&](const char *aText) { tap(child<QRadioButton>(&dialog, aText)); };
    click("Low");
    EXPECT_EQ(fuser.width, 640);
    EXPECT_EQ(fuser.height, 480);
    click("Medium");
    EXPECT_EQ(fuser.width, 1296);
    EXPECT_EQ(fuser.height, 984);
    click("Yes");
    EXPECT_TRUE(fuser.saveInputs);
    EXPECT_EQ(checkedChoices(&dialog), (QStringList { "Medium", "Yes", "Auto" }));

    std::vector<int> counts;
    QObject::connect(&fuser, &Fuser::numCapturesChanged, [&](int n) { counts.push_back(n); });
    click("Two");
    EXPECT_FALSE(fuser.autoShots);
    EXPECT_EQ(fuser.numShots, 2);
    EXPECT_EQ(fuser.burstShots.size(), 2u);
    click("Three");
    EXPECT_EQ(fuser.numShots, 3);
    click("Auto");
    EXPECT_TRUE(fuser.autoShots);
    click("No");
    EXPECT_FALSE(fuser.saveInputs);
    click("High");
    EXPECT_EQ(fuser.width, 2592);
    EXPECT_EQ(counts, (std::vector<int> { 2, 3 }));
    EXPECT_EQ(checkedChoices(&dialog), (QStringList { "High", "No", "Auto" }));
    // Nothing to confirm: a new dialog shows what the clicks left.
    CaptureSettingsDialog again(&fuser, &screen);
    EXPECT_EQ(checkedChoices(&again), (QStringList { "High", "No", "Auto" }));
}

TEST(SplashDialog, FirstLaunchShowsItAndRecordsTheDefault)
{
    Phone phone;
    Screen screen;
    SplashDialog splash(&screen);
    screen.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&screen));
    EXPECT_TRUE(splash.isVisible());
    EXPECT_TRUE(splash.showAtLaunchBox()->isChecked());
    EXPECT_EQ(readText(phone.path("/home/user/.hdr")), "0\n");
    EXPECT_EQ(splash.geometry(), screen.rect());
    EXPECT_FALSE(splash.settingsProblemLabel()->isVisible());

    const QImage shot = screens::screenshot(&screen, "splash");
    EXPECT_TRUE(screens::showsText(shot, child<QLabel>(&splash, "Duskline 1.0.6-1")));
    for (const char *text : { "Show licence agreement", "Ok" })
        EXPECT_TRUE(screens::showsText(shot, child<QPushButton>(&splash, text))) << text;
    EXPECT_TRUE(screens::showsText(shot, splash.showAtLaunchBox()));
    // The title is centred over the panel.
    QLabel *title = child<QLabel>(&splash, "Duskline 1.0.6-1");
    const QRect panel = title->parentWidget()->geometry();
    EXPECT_NEAR(panel.center().x(), 400, 2);
    EXPECT_NEAR(panel.center().y(), 240, 2);
}

TEST(SplashDialog, KeepsShowAtLaunchAcrossLaunchesAndFollowsTheScreensSize)
{
    Phone phone;
    const std::string settings = phone.path("/home/user/.hdr");
    {
        Screen screen;
        SplashDialog splash(&screen);
        screen.show();
        tap(splash.showAtLaunchBox());
        EXPECT_EQ(readText(settings), "0\n"); // nothing is saved before "Ok"
        QTest::mouseClick(child<QPushButton>(&splash, "Ok"), Qt::LeftButton);
        EXPECT_FALSE(splash.isVisible());
        EXPECT_EQ(readText(settings), "1\n");
    }
    {
        Screen screen;
        screen.resize(640, 480);
        SplashDialog splash(&screen);
        screen.show();
        EXPECT_FALSE(splash.isVisible());
        EXPECT_FALSE(splash.showAtLaunchBox()->isChecked());
        EXPECT_EQ(readText(settings), "1\n");
        // "About" shows it again over the whole screen, however large the screen became.
        screen.resize(800, 480);
        splash.show();
        EXPECT_TRUE(splash.isVisible());
        EXPECT_EQ(splash.geometry(), QRect(0, 0, 800, 480));
        tap(splash.showAtLaunchBox());
        splash.hide();
        EXPECT_EQ(readText(settings), "0\n");
    }
    Screen screen;
    SplashDialog splash(&screen);
    EXPECT_TRUE(splash.isVisibleTo(&screen));
}

class SplashDialogWithBadSettings : public ::testing::TestWithParam<std::string>
{
};

TEST_P(SplashDialogWithBadSettings, ShowsTheDefaultsOnceAndLeavesTheFileUntilOk)
{
    Phone phone;
    const std::string settings = phone.path("/home/user/.hdr");
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(phone.path("/home/user"))));
    writeText(settings, GetParam());
    screens::Log warnings(QtWarningMsg);
    Screen screen;
    SplashDialog splash(&screen);
    screen.show();
    EXPECT_TRUE(splash.isVisible());
    EXPECT_TRUE(splash.showAtLaunchBox()->isChecked());
    EXPECT_TRUE(splash.settingsProblemLabel()->isVisible());
    EXPECT_EQ(warnings.lines().size(), 1) << warnings.lines().join("\n").toStdString();
    EXPECT_EQ(readText(settings), GetParam());
    screens::screenshot(&screen, "splash-bad-settings");

    QTest::mouseClick(child<QPushButton>(&splash, "Ok"), Qt::LeftButton);
    EXPECT_EQ(readText(settings), "0\n");
    EXPECT_EQ(warnings.lines().size(), 1);
    splash.show();
    EXPECT_FALSE(splash.settingsProblemLabel()->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Contents, SplashDialogWithBadSettings,
    ::testing::Values(std::string("x"), std::string("2\n"), std::string("1 and more\n"),
        std::string("\0\xff\n", 3)));

TEST(SplashDialog, AnUnreadableSettingsFileIsNeitherFatalNorReplacedBeforeOk)
{
    Phone phone;
    const std::string settings = phone.path("/home/user/.hdr");
    // A folder where the file should be: it can be neither read nor replaced.
    ASSERT_TRUE(QDir().mkpath(QString::fromStdString(phone.path("/home/user"))));
    ASSERT_EQ(mkdir(settings.c_str(), 0755), 0);
    writeText(settings + "/kept", "mine");
    screens::Log warnings(QtWarningMsg);
    Screen screen;
    SplashDialog splash(&screen);
    EXPECT_TRUE(splash.isVisibleTo(&screen));
    EXPECT_TRUE(splash.showAtLaunchBox()->isChecked());
    EXPECT_EQ(warnings.lines().size(), 1);
    splash.hide();
    EXPECT_EQ(warnings.lines().size(), 2); // the failed save is said too
    EXPECT_EQ(readText(settings + "/kept"), "mine");
}

TEST(SplashDialog, BuildsTheLicenceWindowOnceWithTheAgreement)
{
    Phone phone;
    Screen screen;
    SplashDialog splash(&screen);
    screen.show();
    EXPECT_EQ(splash.licenceWindow(), nullptr);
    QPushButton *show = child<QPushButton>(&splash, "Show licence agreement");
    QTest::mouseClick(show, Qt::LeftButton);
    QFrame *window = splash.licenceWindow();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->parentWidget(), &screen);
    EXPECT_EQ(window->size(), QSize(800, 480));
    EXPECT_TRUE(window->isVisible());
    const QString text = window->findChild<QTextBrowser *>()->toPlainText();
    EXPECT_TRUE(text.contains("licence agreement")) << text.toStdString();
    screens::screenshot(&screen, "licence");

    QTest::mouseClick(child<QPushButton>(window, "Close"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    QTest::mouseClick(show, Qt::LeftButton);
    EXPECT_EQ(splash.licenceWindow(), window);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(screen.findChildren<QTextBrowser *>().size(), 1);
}

TEST(HelpDialog, ShowsTheHelpPageInOneWindowOverItsScreen)
{
    Screen screen;
    HelpDialog help(":/help.html", &screen);
    screen.show();
    EXPECT_FALSE(help.isVisible()); // the object itself never covers the screen
    help.showHelp();
    QFrame *window = help.window();
    ASSERT_NE(window, nullptr);
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->geometry(), QRect(0, 0, 800, 480));
    QTextBrowser *browser = window->findChild<QTextBrowser *>();
    EXPECT_EQ(browser->documentTitle(), "Duskline");
    const QString text = browser->toPlainText();
    for (const char *topic :
        { "bright sky", "Half-press", "Manual Exp", "Auto Exp", "upper right corner", "Inputs",
            "Result", "Delete", "Back", "queue", "Options", "Space", "lens cover", "keyboard" })
        EXPECT_TRUE(text.contains(topic)) << topic;
    const QImage shot = screens::screenshot(&screen, "help");
    EXPECT_TRUE(screens::showsText(shot, child<QPushButton>(window, "Close")));
    EXPECT_TRUE(screens::showsText(shot, browser->viewport()));

    QTest::mouseClick(child<QPushButton>(window, "Close"), Qt::LeftButton);
    EXPECT_FALSE(window->isVisible());
    help.showHelp();
    EXPECT_EQ(help.window(), window);
    EXPECT_TRUE(window->isVisible());
}

TEST(HelpDialog, AMissingPageLeavesTheBrowserEmpty)
{
    Screen screen;
    HelpDialog help(":/no-such-page.html", &screen);
    help.showHelp();
    EXPECT_TRUE(help.window()->findChild<QTextBrowser *>()->toPlainText().isEmpty());
}

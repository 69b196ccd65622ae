// The duskline program itself: the README's headless run, control-c, and a camera that another
// program holds.

#include "support/TestSupport.h"

#include <QProcess>
#include <QRegularExpression>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

const QString KProgram = QStringLiteral(DUSKLINE_BIN_DIR "/duskline");
// Far beyond a run on a loaded machine under a sanitizer.
constexpr int KRunMs = 600000;

class ProcessTest : public testing::Test
{
protected:
    void start(const QStringList &aArguments)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        process.setProcessEnvironment(env);
        process.start(KProgram,
            QStringList { QStringLiteral("--root"), QString::fromStdString(root.path()) }
                + aArguments);
        ASSERT_TRUE(process.waitForStarted(60000));
    }
    std::string stockCameraLog() const
    {
        return testsupport::readText(root.path() + "/var/log/stock-camera.log");
    }

    testsupport::TempDir root;
    QProcess process;
};

} // namespace

TEST_F(ProcessTest, HeadlessRunTakesOneHdrPhotographAndSaysWhereItWent)
{
    start({ QStringLiteral("--headless") });
    ASSERT_TRUE(process.waitForFinished(KRunMs));
    const QString out = QString::fromUtf8(process.readAllStandardOutput());
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(process.exitCode(), 0)
        << out.toStdString() << process.readAllStandardError().toStdString();
    const std::string dcim = root.path() + "/home/user/MyDocs/DCIM/";
    EXPECT_TRUE(out.contains(QString::fromStdString("Photographs go to " + dcim)));
    const QRegularExpressionMatch where
        = QRegularExpression(QStringLiteral("The HDR photograph is at (\\S+)")).match(out);
    ASSERT_TRUE(where.hasMatch()) << out.toStdString();
    const std::string photo = where.captured(1).toStdString();
    EXPECT_EQ(photo.rfind(dcim + "HDR_", 0), 0u);
    EXPECT_TRUE(testsupport::fileExists(photo));
    EXPECT_NE(stockCameraLog().find("lifectl -U user -o /usr/bin/viewkeeper"), std::string::npos);
}

TEST_F(ProcessTest, ControlCQuitsTheApplicationAndGivesTheCameraBack)
{
    start({});
    // Once the camera runs, control-c.
    QByteArray err;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(KRunMs);
    while (!err.contains("Starting camera...") && std::chrono::steady_clock::now() < until
        && process.state() == QProcess::Running) {
        process.waitForReadyRead(1000);
        err += process.readAllStandardError();
    }
    ASSERT_TRUE(err.contains("Starting camera...")) << err.toStdString();
    ::kill(pid_t(process.processId()), SIGINT);
    ASSERT_TRUE(process.waitForFinished(KRunMs));
    err += process.readAllStandardError();
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0);
    EXPECT_TRUE(err.contains("Caught control-c"));
    EXPECT_TRUE(err.contains("Quitting app"));
    EXPECT_NE(stockCameraLog().find("lifectl -U user -o /usr/bin/viewkeeper"), std::string::npos);
}

TEST_F(ProcessTest, HeadlessRunWithTheCameraHeldSaysSoAndFails)
{
    ASSERT_EQ(::mkdir((root.path() + "/tmp").c_str(), 0755), 0);
    const int lock = ::open((root.path() + "/tmp/opsa.lock").c_str(), O_RDWR | O_CREAT, 0644);
    ASSERT_GE(lock, 0);
    ASSERT_EQ(::flock(lock, LOCK_EX | LOCK_NB), 0);
    start({ QStringLiteral("--headless") });
    ASSERT_TRUE(process.waitForFinished(KRunMs));
    ::close(lock);
    const QString err = QString::fromUtf8(process.readAllStandardError());
    EXPECT_EQ(process.exitCode(), 1);
    EXPECT_TRUE(err.contains(QStringLiteral("Camera driver locked.")));
    EXPECT_TRUE(testsupport::listDir(root.path() + "/home/user/MyDocs/DCIM").empty());
}

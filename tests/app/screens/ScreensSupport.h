#pragma once

// Helpers of the screens suite: a phone whose overlay framebuffer is a recording stand-in, and
// screenshots with the pixel checks a person would make.

#include "Ketto/Kernel.h"
#include "Ketto/Requests.h"
#include "support/TestSupport.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

class QWidget;

namespace screens {

// "/dev/fb1" as the overlay driver answers it: the plane's position and state, its memory
// (mapped from the heap) and every request sent, with a copy of its record. A request code in
// failing, or "open"/"mmap", fails with EIO; other paths do not exist.
class OverlayKernel : public Opsa::Ketto::Kernel
{
public:
    struct Request
    {
        unsigned long code;
        std::vector<unsigned char> record;
    };

    ~OverlayKernel() override;

    int open(const char *aPath, int aFlags, mode_t aMode = 0) override;
    int close(int aFd) override;
    ssize_t read(int aFd, void *aBuffer, std::size_t aCount) override;
    ssize_t write(int aFd, const void *aBuffer, std::size_t aCount) override;
    int ioctl(int aFd, unsigned long aRequest, void *aArgument) override;
    int poll(struct pollfd *aFds, nfds_t aCount, int aTimeout) override;
    void *mmap(void *aAddress, std::size_t aLength, int aProtection, int aFlags, int aFd,
        off_t aOffset) override;
    int munmap(void *aAddress, std::size_t aLength) override;
    int madvise(void *aAddress, std::size_t aLength, int aAdvice) override;

    // The requests sent so far, without the display's own plane queries when aAll is false.
    std::vector<Request> requests(bool aAll = false) const;
    Opsa::Ketto::OverlayPlane plane() const;
    unsigned char *memory() const { return mapped; }
    bool isOpen() const;

    std::set<std::string> failing;

private:
    static constexpr int KFd = 7;
    mutable std::mutex mutex;
    std::vector<Request> sent;
    Opsa::Ketto::OverlayPlane planeState {};
    unsigned char *mapped = nullptr;
    bool open_ = false;
};

// A phone whose fixed paths live in a fresh temporary folder and whose overlay is kernel; the
// phone in use while the object lives.
class TestPhone
{
public:
    TestPhone();
    ~TestPhone();
    std::string path(const std::string &aPhonePath) const { return phone.path(aPhonePath); }

    testsupport::TempDir root;
    OverlayKernel kernel;

private:
    Opsa::Ketto::Phone phone;
};

// Renders aWidget as the screen shows it and saves it as <aName>.png in the suite's screenshot
// folder.
QImage screenshot(QWidget *aWidget, const QString &aName);

// Number of pixels of aImage within aRect (clipped) that differ from aColour by more than
// aTolerance in some channel.
int pixelsUnlike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance = 0);
int pixelsLike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance = 0);

// Whether aWidget's text is shown whole and legibly: the widget lies inside the phone's
// 800 × 480 screen, it is at least as large as its text needs, and its area of aShot (a
// screenshot of aWidget's window) holds dark text on a light ground, or light text on a dark
// one, in enough pixels to be read.
::testing::AssertionResult showsText(const QImage &aShot, QWidget *aWidget);

} // namespace screens

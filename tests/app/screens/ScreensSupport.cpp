#include "ScreensSupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QWidget>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/mman.h>

namespace screens {

OverlayKernel::~OverlayKernel()
{
    std::free(mapped);
}

int OverlayKernel::open(const char *aPath, int, mode_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (std::string(aPath) != "/dev/fb1") {
        errno = ENOENT;
        return -1;
    }
    if (failing.count("open")) {
        errno = EIO;
        return -1;
    }
    open_ = true;
    return KFd;
}

int OverlayKernel::close(int aFd)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (aFd != KFd || !open_) {
        errno = EBADF;
        return -1;
    }
    open_ = false;
    return 0;
}

ssize_t OverlayKernel::read(int, void *, std::size_t)
{
    errno = EINVAL;
    return -1;
}

ssize_t OverlayKernel::write(int, const void *, std::size_t)
{
    errno = EINVAL;
    return -1;
}

int OverlayKernel::poll(struct pollfd *, nfds_t, int)
{
    errno = EINVAL;
    return -1;
}

int OverlayKernel::ioctl(int aFd, unsigned long aRequest, void *aArgument)
{
    using namespace Opsa::Ketto;
    std::lock_guard<std::mutex> lock(mutex);
    if (aFd != KFd || !open_) {
        errno = EBADF;
        return -1;
    }
    std::size_t size = 0;
    switch (aRequest) {
    case FBIOGET_VSCREENINFO:
    case FBIOPUT_VSCREENINFO:
        size = sizeof(fb_var_screeninfo);
        break;
    case KFbQueryPlane:
    case KFbSetupPlane:
        size = sizeof(OverlayPlane);
        break;
    case KFbSetupMemory:
        size = sizeof(OverlayMemory);
        break;
    case KFbSetColorKey:
        size = sizeof(OverlayColorKey);
        break;
    default:
        errno = ENOTTY;
        return -1;
    }
    const unsigned char *bytes = static_cast<const unsigned char *>(aArgument);
    sent.push_back(Request { aRequest, std::vector<unsigned char>(bytes, bytes + size) });
    if (failing.count(std::to_string(aRequest))) {
        errno = EIO;
        return -1;
    }
    if (aRequest == FBIOGET_VSCREENINFO) {
        fb_var_screeninfo info {};
        info.xres = info.xres_virtual = 800;
        info.yres = info.yres_virtual = 480;
        info.bits_per_pixel = 16;
        std::memcpy(aArgument, &info, sizeof info);
    } else if (aRequest == KFbQueryPlane) {
        std::memcpy(aArgument, &planeState, sizeof planeState);
    } else if (aRequest == KFbSetupPlane) {
        std::memcpy(&planeState, aArgument, sizeof planeState);
    }
    return 0;
}

void *OverlayKernel::mmap(void *, std::size_t aLength, int, int, int aFd, off_t aOffset)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (aFd != KFd || !open_) {
        errno = EBADF;
        return MAP_FAILED;
    }
    if (aOffset != 0 || mapped) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    if (failing.count("mmap")) {
        errno = EIO;
        return MAP_FAILED;
    }
    mapped = static_cast<unsigned char *>(std::calloc(aLength, 1));
    return mapped;
}

int OverlayKernel::munmap(void *aAddress, std::size_t)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (aAddress != mapped) {
        errno = EINVAL;
        return -1;
    }
    std::free(mapped);
    mapped = nullptr;
    return 0;
}

int OverlayKernel::madvise(void *, std::size_t, int)
{
    return 0;
}

std::vector<OverlayKernel::Request> OverlayKernel::requests(bool aAll) const
{
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<Request> out;
    // The desktop display asks for the plane's state at every refresh; after construction
    // those queries are the display's, not the widget's.
    bool configured = false;
    for (const Request &r : sent) {
        if (r.code == Opsa::Ketto::KFbSetColorKey)
            configured = true;
        if (aAll || !configured || r.code != Opsa::Ketto::KFbQueryPlane)
            out.push_back(r);
    }
    return out;
}

Opsa::Ketto::OverlayPlane OverlayKernel::plane() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return planeState;
}

bool OverlayKernel::isOpen() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return open_;
}

TestPhone::TestPhone()
    : phone(kernel, root.path())
{
    Opsa::Ketto::Phone::select(&phone);
}

TestPhone::~TestPhone()
{
    Opsa::Ketto::Phone::select(nullptr);
}

QImage screenshot(QWidget *aWidget, const QString &aName)
{
    // What a person sees: after the window system and the layouts have caught up.
    QCoreApplication::processEvents();
    QImage shot = aWidget->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QDir().mkpath(QStringLiteral(SCREENSHOT_DIR));
    shot.save(QStringLiteral(SCREENSHOT_DIR "/") + aName + QStringLiteral(".png"));
    return shot;
}

namespace {

    bool near(QRgb a, QRgb b, int aTolerance)
    {
        return std::abs(qRed(a) - qRed(b)) <= aTolerance
            && std::abs(qGreen(a) - qGreen(b)) <= aTolerance
            && std::abs(qBlue(a) - qBlue(b)) <= aTolerance;
    }

} // namespace

int pixelsUnlike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance)
{
    const QRect area = aRect & aImage.rect();
    int count = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            count += !near(aImage.pixel(x, y), aColour, aTolerance);
    return count;
}

int pixelsLike(const QImage &aImage, const QRect &aRect, QRgb aColour, int aTolerance)
{
    const QRect area = aRect & aImage.rect();
    return area.width() * area.height() - pixelsUnlike(aImage, area, aColour, aTolerance);
}

::testing::AssertionResult showsText(const QImage &aShot, QWidget *aWidget)
{
    const QRect inWindow(aWidget->mapTo(aWidget->window(), QPoint(0, 0)), aWidget->size());
    if (!QRect(0, 0, 800, 480).contains(inWindow))
        return ::testing::AssertionFailure()
            << "at (" << inWindow.x() << ", " << inWindow.y() << ") " << inWindow.width() << " × "
            << inWindow.height() << ", outside the 800 × 480 screen";
    const QSize needed = aWidget->minimumSizeHint();
    if (aWidget->width() < needed.width() || aWidget->height() < needed.height())
        return ::testing::AssertionFailure()
            << aWidget->width() << " × " << aWidget->height() << " clips its text, which needs "
            << needed.width() << " × " << needed.height();
    // The ground is the most common brightness; text is what stands well apart from it.
    std::vector<int> histogram(256, 0);
    const QRect area = inWindow & aShot.rect();
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            ++histogram[qGray(aShot.pixel(x, y))];
    const int ground
        = int(std::max_element(histogram.begin(), histogram.end()) - histogram.begin());
    int text = 0;
    for (int level = 0; level < 256; ++level)
        if (std::abs(level - ground) >= 100)
            text += histogram[level];
    if (text < 15)
        return ::testing::AssertionFailure()
            << "only " << text << " pixels stand out from the ground (grey " << ground << ")";
    return ::testing::AssertionSuccess();
}

} // namespace screens

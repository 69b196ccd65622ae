#include "OverlayWidget.h"

#include "AsyncFuser.h"
#include "Ketto/Kernel.h"

#include <QPainter>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>

const QColor OverlayWidget::KKeyColor(10, 0, 10);

namespace {

Opsa::Ketto::Kernel &kern()
{
    return Opsa::Ketto::kernel();
}

} // namespace

OverlayWidget::OverlayWidget(QWidget *aParent)
    : QWidget(aParent)
{
    using namespace Opsa::Ketto;
    static_assert(((10 >> 3) << 11 | (0 >> 2) << 5 | (10 >> 3)) == KKeyColor565);

    setBackgroundRole(QPalette::Window);
    setAutoFillBackground(true);
    QPalette keyed = palette();
    keyed.setBrush(QPalette::All, QPalette::Window, QBrush(KKeyColor));
    setPalette(keyed);

    fd = kern().open("/dev/fb1", O_RDWR);
    if (fd < 0)
        std::perror("open");

    if (kern().ioctl(fd, FBIOGET_VSCREENINFO, &screenInfo) != 0)
        std::perror("FBIO_VSCREENINFO");

    if (kern().ioctl(fd, KFbQueryPlane, &planeInfo) != 0)
        std::perror("OMAPFB_QUERY_PLANE");
    planeInfo.x = 0;
    planeInfo.y = 0;
    planeInfo.enabled = 0;
    planeInfo.outWidth = KWidth;
    planeInfo.outHeight = KHeight;
    setupPlane();

    memInfo.size = KPlaneBytes;
    memInfo.type = 0;
    if (kern().ioctl(fd, KFbSetupMemory, &memInfo) != 0)
        std::perror("OMAPFB_SETUP_MEM");

    void *memory = kern().mmap(nullptr, KPlaneBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        std::perror("mmap");
    } else {
        mapping = memory;
        fb = Opsa::Image(KWidth, KHeight, Opsa::UYVY, static_cast<unsigned char *>(memory));
        // Uniform grey until the first viewfinder frame.
        std::memset(memory, 0x80, KPlaneBytes);
    }

    screenInfo.xres = screenInfo.xres_virtual = KWidth;
    screenInfo.yres = screenInfo.yres_virtual = KHeight;
    screenInfo.xoffset = screenInfo.yoffset = 0;
    screenInfo.nonstd = KOverlayModeYuv422;
    if (kern().ioctl(fd, FBIOPUT_VSCREENINFO, &screenInfo) != 0)
        std::perror("FBIOPUT_VSCREENINFO");

    OverlayColorKey key {};
    key.channelOut = 0; // the phone's own display
    key.background = 0; // black where neither plane has pixels
    key.keyType = KColorKeyGraphicsDestination;
    key.transparentKey = KKeyColor565;
    if (kern().ioctl(fd, KFbSetColorKey, &key) != 0)
        std::perror("OMAPFB_SET_COLOR_KEY");

#ifndef DUSKLINE_PHONE
    refresh = new QTimer(this);
    refresh->setInterval(33);
    connect(refresh, &QTimer::timeout, this, qOverload<>(&QWidget::update));
#endif
}

OverlayWidget::~OverlayWidget()
{
    disable();
    if (fd >= 0)
        kern().close(fd);
    fb = Opsa::Image();
    if (mapping)
        kern().munmap(mapping, KPlaneBytes);
}

void OverlayWidget::setupPlane()
{
    if (kern().ioctl(fd, Opsa::Ketto::KFbSetupPlane, &planeInfo) != 0)
        std::perror("OMAPFB_SETUP_PLANE");
}

void OverlayWidget::enable()
{
    setGeometry(0, 0, KWidth, KHeight);
    planeInfo.enabled = 1;
    planeInfo.x = std::uint32_t(pos().x());
    planeInfo.y = std::uint32_t(pos().y());
    planeInfo.outWidth = KWidth;
    planeInfo.outHeight = KHeight;
    setupPlane();
    if (refresh)
        refresh->start();
}

void OverlayWidget::disable()
{
    planeInfo.enabled = 0;
    setupPlane();
    if (refresh)
        refresh->stop();
}

void OverlayWidget::resizeEvent(QResizeEvent *)
{
    enable();
}

void OverlayWidget::showEvent(QShowEvent *)
{
    enable();
}

void OverlayWidget::hideEvent(QHideEvent *)
{
    disable();
}

void OverlayWidget::paintEvent(QPaintEvent *)
{
#ifndef DUSKLINE_PHONE
    // What the display controller does on the phone: where the plane is on, its pixels replace
    // the key colour. This widget's whole area is the key colour (the window fills it before
    // this runs), and the widgets above it paint after it, so drawing the plane here, clipped
    // to the widget, shows it exactly where the key colour shows.
    Opsa::Ketto::OverlayPlane plane {};
    if (!fb.hasData() || kern().ioctl(fd, Opsa::Ketto::KFbQueryPlane, &plane) != 0
        || !plane.enabled)
        return;
    QImage rgb(KWidth, KHeight, QImage::Format_RGB888);
    if (rgb.bytesPerLine() != KWidth * 3)
        return;
    convertUyvyToRgb(KWidth, KHeight, fb.data(), rgb.bits(), 1);
    // The plane is placed in the coordinates of the widget's parent, the full-screen capture
    // screen: the phone's screen coordinates.
    QPoint at(int(plane.x), int(plane.y));
    at = parentWidget() ? mapFrom(parentWidget(), at) : at;
    QPainter painter(this);
    painter.drawImage(at, rgb);
#endif
}

#pragma once

// OverlayWidget: the 640 × 480 viewfinder area of the capture screen. The display controller's
// video overlay plane ("/dev/fb1") lies under it and shows through wherever the window has the
// key colour, which this widget paints itself in; the viewfinder is written straight into the
// plane's memory, offered here as a 640 × 480 UYVY image. All device contact goes through the
// kernel of the phone in use, with the overlay driver's own requests and records.
//
// On a desktop there is no display controller: the widget composes the enabled plane (as the
// device reports it) onto its own key-coloured area itself, refreshed like a display, so the
// person at the desktop sees the viewfinder exactly where the phone would show it.
//
// No device failure stops the widget: each failing request prints "<prefix>: <system error>"
// on standard error and the remaining steps run regardless.
//
// Thread: GUI only. The plane memory has no lock: the capture screen writes it from the GUI
// thread while the display reads it.

#include "Ketto/Requests.h"

#include <Opsa/Image.h>
#include <QColor>
#include <QWidget>
#include <linux/fb.h>

class QTimer;

class OverlayWidget : public QWidget
{
    Q_OBJECT

public:
    // The colour the plane shows through, and the same in the display's RGB 5-6-5.
    static const QColor KKeyColor;
    static constexpr std::uint32_t KKeyColor565 = 0x0801;
    // The plane's size and memory (640 × 480 × 2 bytes of UYVY).
    static constexpr int KWidth = 640;
    static constexpr int KHeight = 480;
    static constexpr int KPlaneBytes = KWidth * KHeight * 2;

    // Opens and configures the plane, which stays off until the widget is shown.
    explicit OverlayWidget(QWidget *aParent = nullptr);
    // Switches the plane off, closes the device and unmaps the plane memory: copies of
    // frameBuffer() must not outlive the widget.
    ~OverlayWidget() override;

    // The plane memory as a 640 × 480 UYVY image, without data when it could not be mapped.
    Opsa::Image frameBuffer() const { return fb; }

    // Places the plane at the widget's position in its parent and switches it on.
    void enable();
    // Switches the plane off.
    void disable();

protected:
    void resizeEvent(QResizeEvent *aEvent) override;
    void showEvent(QShowEvent *aEvent) override;
    void hideEvent(QHideEvent *aEvent) override;
    void paintEvent(QPaintEvent *aEvent) override;

private:
    void setupPlane();

    Opsa::Image fb;
    fb_var_screeninfo screenInfo {};
    Opsa::Ketto::OverlayMemory memInfo {};
    Opsa::Ketto::OverlayPlane planeInfo {};
    int fd = -1;
    void *mapping = nullptr;
    // The desktop's display refresh while the plane is on; null on the phone.
    QTimer *refresh = nullptr;
};

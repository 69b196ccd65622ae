#pragma once

// PhoneKeys: on a desktop, keys of the keyboard stand in for the phone's hardware switches
// while the capture screen has the keyboard. Each key sets the simulated switch, so the
// camera library's button listener sees exactly what the phone's switch driver would report:
//   F       held: the camera button half pressed (focus)
//   Space   held: the camera button fully pressed (focus and shutter); Return does the same
//   C       opens or closes the lens cover
//   K       slides the keyboard open or closed
// The capture screen's own keys (E, B, S, L, A) pass through untouched.
//
// Thread: GUI only.

#include <QObject>

class QWidget;

namespace Opsa::Sim {
class SimKernel;
}

class PhoneKeys : public QObject
{
    Q_OBJECT

public:
    // Watches the application's key events for aScreen's window. aSim and aScreen must outlive
    // this object.
    PhoneKeys(Opsa::Sim::SimKernel &aSim, QWidget *aScreen, QObject *aParent = nullptr);
    ~PhoneKeys() override;

    // The help text's list of the keys, one "<key>: <meaning>" per line.
    static QString describe();

protected:
    bool eventFilter(QObject *aWatched, QEvent *aEvent) override;

private:
    Opsa::Sim::SimKernel &sim;
    QWidget *screen;
};

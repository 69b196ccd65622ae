#include "PhoneKeys.h"

#include "SimKernel.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

using Opsa::Sim::Switch;

PhoneKeys::PhoneKeys(Opsa::Sim::SimKernel &aSim, QWidget *aScreen, QObject *aParent)
    : QObject(aParent)
    , sim(aSim)
    , screen(aScreen)
{
    qApp->installEventFilter(this);
}

PhoneKeys::~PhoneKeys()
{
    qApp->removeEventFilter(this);
}

QString PhoneKeys::describe()
{
    return QStringLiteral("F (hold): half press, focus\n"
                          "Space or Return (hold): full press, take the picture\n"
                          "C: open or close the lens cover\n"
                          "K: slide the keyboard open or closed\n");
}

bool PhoneKeys::eventFilter(QObject *aWatched, QEvent *aEvent)
{
    const QEvent::Type type = aEvent->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return false;
    QWidget *target = qobject_cast<QWidget *>(aWatched);
    if (!target || target->window() != screen)
        return false;
    const QKeyEvent *key = static_cast<const QKeyEvent *>(aEvent);
    const bool down = type == QEvent::KeyPress;
    switch (key->key()) {
    case Qt::Key_F:
        if (!key->isAutoRepeat())
            sim.setSwitch(Switch::FocusButton, down);
        return true;
    case Qt::Key_Space:
    case Qt::Key_Return:
    case Qt::Key_Enter:
        // A full press goes through the half-pressed position, and back.
        if (!key->isAutoRepeat()) {
            if (down) {
                sim.setSwitch(Switch::FocusButton, true);
                sim.setSwitch(Switch::ShutterButton, true);
            } else {
                sim.setSwitch(Switch::ShutterButton, false);
                sim.setSwitch(Switch::FocusButton, false);
            }
        }
        return true;
    case Qt::Key_C:
        if (down && !key->isAutoRepeat())
            sim.setSwitch(Switch::LensCover, !sim.switchOn(Switch::LensCover));
        return true;
    case Qt::Key_K:
        if (down && !key->isAutoRepeat())
            sim.setSwitch(Switch::KeyboardSlide, !sim.switchOn(Switch::KeyboardSlide));
        return true;
    default:
        return false;
    }
}

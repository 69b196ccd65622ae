#include "Opsa/Shot.h"

#include <mutex>

namespace Opsa {

int Shot::nextId()
{
    static std::mutex counterMutex;
    static int counter = 0;
    std::lock_guard<std::mutex> guard(counterMutex);
    return ++counter;
}

Shot::Shot()
    : id(nextId())
{ }

Shot::Shot(const Shot &aOther)
    : image(aOther.image)
    , exposure(aOther.exposure)
    , frameTime(aOther.frameTime)
    , gain(aOther.gain)
    , whiteBalance(aOther.whiteBalance)
    , histogram(aOther.histogram)
    , sharpness(aOther.sharpness)
    , wanted(aOther.wanted)
    , id(nextId())
    , matrix(aOther.matrix)
{
    for (Action *action : aOther.actionSet)
        actionSet.insert(action->clone());
}

Shot &Shot::operator=(const Shot &aOther)
{
    if (this == &aOther) {
        // Still a new identity, as for any assignment.
        id = nextId();
        return *this;
    }
    clearActions();
    for (Action *action : aOther.actionSet)
        actionSet.insert(action->clone());
    id = nextId();
    exposure = aOther.exposure;
    frameTime = aOther.frameTime;
    gain = aOther.gain;
    whiteBalance = aOther.whiteBalance;
    histogram = aOther.histogram;
    sharpness = aOther.sharpness;
    image = aOther.image;
    wanted = aOther.wanted;
    matrix = aOther.matrix;
    return *this;
}

Shot::~Shot()
{
    clearActions();
}

void Shot::addAction(const Action &aAction)
{
    actionSet.insert(aAction.clone());
}

void Shot::clearActions()
{
    for (Action *action : actionSet)
        delete action;
    actionSet.clear();
}

void Shot::setColorMatrix(const float *aMatrix)
{
    if (!aMatrix) {
        matrix.clear();
        return;
    }
    matrix.assign(aMatrix, aMatrix + 12);
}

} // namespace Opsa

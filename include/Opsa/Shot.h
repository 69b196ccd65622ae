#pragma once

#include "Opsa/Action.h"
#include "Opsa/Histogram.h"
#include "Opsa/Image.h"
#include "Opsa/SharpnessMap.h"

#include <set>
#include <vector>

namespace Opsa {

// One capture request: everything the sensor must do for one frame.
//
// Every construction, copy and assignment draws a new id from one process-wide counter (the
// first shot made has id 1), so a copy never has its source's id; code that must keep the
// caller's identity copies the shot and writes the source's id back.
// Thread: a shot belongs to one thread; the id counter is guarded by its own mutex.
class Shot
{
public:
    Shot();
    Shot(const Shot &aOther);
    Shot &operator=(const Shot &aOther);
    ~Shot();

    // Stores a clone of aAction (the caller keeps its own).
    void addAction(const Action &aAction);
    // Deletes every action.
    void clearActions();
    // The owned actions, ordered by address: no order of firing.
    const std::set<Action *> &actions() const { return actionSet; }

    // Sets the 3 x 4 row-major colour matrix from 12 floats, or empties it when given null (the
    // capture daemon then programs the matrix of the requested white balance).
    void setColorMatrix(const float *aMatrix = nullptr);
    const std::vector<float> &colorMatrix() const { return matrix; }

    Image image; // where the pixels go; DiscardData by default
    int exposure = 0; // microseconds
    int frameTime = 0; // microseconds from one frame start to the next
    float gain = 0.0f; // analogue gain multiplier
    int whiteBalance = 5000; // kelvin
    HistogramConfig histogram; // histogram request
    SharpnessMapConfig sharpness; // sharpness-map request
    bool wanted = true; // false: a filler whose frame the capture daemon throws away
    int id; // identity of the request

private:
    static int nextId();

    std::set<Action *> actionSet;
    std::vector<float> matrix;
};

} // namespace Opsa

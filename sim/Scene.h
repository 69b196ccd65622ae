#pragma once

#include <memory>
#include <string>
#include <vector>

namespace Opsa::Sim {

// What the camera looks at: linear radiance (relative units; about 0.005 in the darkest corner
// of the built-in room and 20 in its window) and the distance of each point in diopters.
// Coordinates u, v run over the field of view from its top-left corner (0, 0) to its
// bottom-right corner (1, 1).
// Thread: immutable after construction; sample from any thread.
class Scene
{
public:
    virtual ~Scene() = default;

    // The built-in interior: a dim room, a window onto a bright garden (at infinity), a
    // textured poster at the centre (the main object), a plant close by on the left, a lamp
    // and a table running towards the camera.
    static std::unique_ptr<Scene> interior();
    // A Radiance .hdr picture seen as a flat scene aDiopters away, scaled so that its median is
    // the room's wall brightness times four. Null (with aError set) when it cannot be read.
    static std::unique_ptr<Scene> radiance(
        const std::string &aPath, float aDiopters, std::string &aError);

    // Radiance (linear RGB) and distance of the point (u, v). aScale: the size of one output
    // pixel in u, so that a picture scene can average over it instead of aliasing.
    virtual void sample(
        float aU, float aV, float aScale, float aRgb[3], float &aDiopters) const = 0;
    // The distance of the object at the centre of the field of view: where the lens must be
    // for the main object to be sharp.
    virtual float mainDiopters() const = 0;
};

} // namespace Opsa::Sim

// 3D scenes: BSP scenes of textured triangles with a keyframed camera, their
// loaders, animation and drawing, and the Scene plugin.
#pragma once

#include "plugins/plugins.h"

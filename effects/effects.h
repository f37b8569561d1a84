// Effect layers: per-pixel and geometric effects drawn into the picture that
// their `in` answers, and the 3D object renderer.
#pragma once

#include "plugins/plugins.h"

// ---------------------------------------------------------------------------
// Ray-cast surfaces and what shares their coarse grid: Mapper, Warper, Light.

// ---------------------------------------------------------------------------
// Plazma.

// ---------------------------------------------------------------------------
// Text.

// ---------------------------------------------------------------------------
// Voxel.

// ---------------------------------------------------------------------------
// 3D objects: the mesh format and Object.

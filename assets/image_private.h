// What every platform's image storage shares: the limits on what a script
// may ask for, the count of live pixels and the way a refusal ends the run.
#pragma once

#include "assets/assets.h"

#include <cstdint>

// Checks a request of width x height (already at least 0) against the
// limits and counts its storage as live; a request over them is refused.
// Returns the bytes to allocate: one pixel at least, so that a nearest-
// neighbour read of "pixel 0" of an empty image stays inside memory.
int64_t img_Reserve(int width, int height);
// Gives back what img_Reserve counted, when an image goes or its storage
// could not be had.
void img_Release(int64_t bytes);
// Ends the run with a script error, through the handler the script layer
// installed (which stops the music), else on its own.
[[noreturn]] void img_Refuse(const char* format, ...) __attribute__((format(printf, 1, 2)));

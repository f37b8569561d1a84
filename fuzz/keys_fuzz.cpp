// Keyframer files from arbitrary bytes: read them and place the camera at a
// few times; a file that loads must give a camera or say it has none.
#include "scene3d/scene3d.h"

#include <cmath>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Keyframer k;
  if (scn_ParseKeys(data, size, &k) != ScnStatus::Ok) return 0;
  if (k.trackCount != int(k.tracks.size())) __builtin_trap();
  for (float t : {-1.0f, 0.0f, 0.5f, 7.0f, 1e9f, NAN}) {
    Vec3 p, q;
    const bool placed = scn_CameraAt(k, t, &p, &q);
    if (placed != (!k.tracks.empty() && !k.tracks[0].position.empty() && !k.tracks[0].target.empty()))
      __builtin_trap();
  }
  return 0;
}

// The keyframed camera: Bezier key lists, the look-at matrices and the four
// clip planes of the view, in camera and in world space.
#include "scene3d/scene_private.h"

#include <algorithm>
#include <cmath>

namespace {

// The track value at t: the segment whose end time t has not reached, or the
// last key.  The file's y axis points down, ours up: y is negated.
bool evalList(const std::vector<CameraKey>& keys, float t, Vec3* out) {
  if (keys.empty()) return false;
  size_t k = 0;
  while (k + 1 < keys.size() && !(t < keys[k].end)) ++k;
  const CameraKey& a = keys[k];
  float p[3];
  if (k + 1 < keys.size()) {
    const CameraKey& b = keys[k + 1];
    const float span = b.time - a.time;
    // Two keys at one time would divide by zero: take the segment's start.
    const float f = span != 0 ? (t - a.time) / span : 0.0f;
    const float g = 1 - f;
    for (int i = 0; i < 3; ++i)
      p[i] = g * g * g * a.position[i] + 3 * f * g * g * a.out[i] + 3 * f * f * g * b.in[i] +
             f * f * f * b.position[i];
  } else {
    for (int i = 0; i < 3; ++i) p[i] = a.position[i];
  }
  *out = Vec3{p[0], -p[1], p[2]};
  return true;
}

bool finite(const float (&m)[4][4]) {
  for (const auto& row : m)
    for (float v : row)
      if (!std::isfinite(v)) return false;
  return true;
}

}  // namespace

bool scn_CameraAt(const Keyframer& keys, float t, Vec3* position, Vec3* target) {
  if (keys.tracks.empty()) return false;
  const float lo = float(keys.firstFrame), hi = float(keys.lastFrame);
  t = std::max(t, lo);  // the upper clamp wins when the frames are reversed
  t = std::min(t, hi);
  if (!(t == t)) t = lo;
  const KeyTrack& track = keys.tracks[0];
  return evalList(track.position, t, position) && evalList(track.target, t, target);
}

bool scn_PlaceCamera(SceneModel* m, const Keyframer& keys, float t) {
  Vec3 P, T;
  if (!scn_CameraAt(keys, t, &P, &T)) return false;

  const float Dx = T.x - P.x, Dy = T.y - P.y, Dz = T.z - P.z;
  const float s = std::sqrt(Dx * Dx + Dy * Dy + Dz * Dz);
  const float dx = Dx / s, dy = Dy / s, dz = Dz / s;
  const float r = std::sqrt(dz * dz + dx * dx);
  float up[3] = {dx * dy, -(dz * dz + dx * dx), dy * dz};
  const float ul = std::sqrt(up[0] * up[0] + up[1] * up[1] + up[2] * up[2]);
  for (float& v : up) v /= ul;

  float(&C)[4][4] = RS.camera;
  const float rows[4][3] = {{-dz / r, 0, dx / r}, {up[0], up[1], up[2]}, {dx, dy, dz}, {P.x, P.y, P.z}};
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 3; ++j) C[i][j] = rows[i][j];
    C[i][3] = i == 3 ? 1.0f : 0.0f;
  }

  // V: the 3x3 part inverted by cofactors over the determinant, the
  // translation row -(P times that inverse).
  const float(&a)[4][4] = C;
  const float det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                    a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                    a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
  float(&V)[4][4] = RS.view;
  V[0][0] = (a[1][1] * a[2][2] - a[1][2] * a[2][1]) / det;
  V[0][1] = (a[0][2] * a[2][1] - a[0][1] * a[2][2]) / det;
  V[0][2] = (a[0][1] * a[1][2] - a[0][2] * a[1][1]) / det;
  V[1][0] = (a[1][2] * a[2][0] - a[1][0] * a[2][2]) / det;
  V[1][1] = (a[0][0] * a[2][2] - a[0][2] * a[2][0]) / det;
  V[1][2] = (a[0][2] * a[1][0] - a[0][0] * a[1][2]) / det;
  V[2][0] = (a[1][0] * a[2][1] - a[1][1] * a[2][0]) / det;
  V[2][1] = (a[0][1] * a[2][0] - a[0][0] * a[2][1]) / det;
  V[2][2] = (a[0][0] * a[1][1] - a[0][1] * a[1][0]) / det;
  for (int j = 0; j < 3; ++j) V[3][j] = -(P.x * V[0][j] + P.y * V[1][j] + P.z * V[2][j]);
  V[0][3] = V[1][3] = V[2][3] = 0;
  V[3][3] = 1;
  // Looking from the target itself, or straight up or down, leaves no frame.
  if (!finite(C) || !finite(V)) return false;

  m->eye[0] = P.x, m->eye[1] = P.y, m->eye[2] = P.z;

  // Side planes through the eye; a point is inside at a distance >= 0.  With
  // xfov > 0 planes 0 and 1 keep the screen column in [1.1, W - 0.1].
  const float W = float(RS.W), H = float(RS.H);
  const float k[4] = {(W - 1.1f - W * 0.5f) / RS.xfov, -((0.1f - W * 0.5f) / RS.xfov),
                      -((H - 1.1f - H * 0.5f) / RS.yfov), (0.1f - H * 0.5f) / RS.yfov};
  const float n[4][2] = {{-1, 0}, {1, 0}, {0, 1}, {0, -1}};
  for (int i = 0; i < 4; ++i) {
    float g = std::sqrt(k[i] * k[i] + 1);
    if (g == 0) g = 1;
    float* pc = RS.planeCam[i];
    pc[0] = n[i][0] / g, pc[1] = n[i][1] / g, pc[2] = k[i] / g, pc[3] = -0.0f;
    float* pw = RS.planeWorld[i];
    for (int j = 0; j < 3; ++j) pw[j] = pc[0] * C[0][j] + pc[1] * C[1][j] + pc[2] * C[2][j];
    pw[3] = -(pw[0] * P.x + pw[1] * P.y + pw[2] * P.z);
  }

  for (int i = 0; i < 4; ++i) V[i][0] *= RS.xfov, V[i][1] *= RS.yfov;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) m->view[i][j] = V[i][j], m->camera[i][j] = C[i][j];
  return true;
}

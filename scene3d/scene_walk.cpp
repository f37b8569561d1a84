// The geometry of a frame: the back-to-front BSP walk, the corner pull,
// Sutherland-Hodgman clipping against the four side planes and projection.
// The span fillers (scene_span.cpp) take the projected rings from here.
#include "scene3d/scene_private.h"

#include <algorithm>
#include <cmath>

RenderState RS;

namespace {

// Eye side of a plane: +1 in front, -1 behind, 0 within 0.01 of it.  The
// bound is compared in double, as the literal is written.
int eyeSide(const ScenePolygon& p, const float eye[3]) {
  const float e = p.a * eye[0] + p.b * eye[1] + p.c * eye[2] + p.d;
  if (std::fabs(double(e)) < 0.01) return 0;
  return e > 0 ? 1 : -1;
}

ClipVertex* newVertex() { return RS.used < kClipPool ? &RS.pool[RS.used++] : nullptr; }

void distances(ClipVertex* v) {
  for (int i = 0; i < 4; ++i) {
    const float* p = RS.planeWorld[i];
    v->dist[i] = p[0] * v->x + p[1] * v->y + p[2] * v->z + p[3];
  }
}

// One Sutherland-Hodgman pass against plane i; returns the new count, or -1
// when a bound would be passed (only odd floats can do that).
int clipPass(ClipVertex* const* in, int n, int i, ClipVertex** out) {
  int m = 0;
  for (int k = 0; k < n; ++k) {
    ClipVertex* s = in[k];
    ClipVertex* e = in[k + 1 < n ? k + 1 : 0];
    const bool sIn = !(s->dist[i] < 0), eIn = !(e->dist[i] < 0);
    if (sIn) {
      if (m == kMaxRing) return -1;
      out[m++] = s;
    }
    if (sIn != eIn) {
      ClipVertex* c = newVertex();
      if (!c || m == kMaxRing) return -1;
      const float a = s->dist[i] / (s->dist[i] - e->dist[i]);
      c->x = s->x + a * (e->x - s->x);
      c->y = s->y + a * (e->y - s->y);
      c->z = s->z + a * (e->z - s->z);
      c->u = s->u + a * (e->u - s->u);
      c->v = s->v + a * (e->v - s->v);
      c->spare = 0;
      distances(c);
      out[m++] = c;
    }
  }
  return m;
}

// Keeps screen coordinates a little around the image.  Clipped points land
// in [1.1, W - 0.1] already; only rounding at the eye (a vertex on it gives
// 0 / 0) can throw one far, and the fillers' 16.16 arithmetic must not
// overflow on it.
float keepNear(float v, float lo, float hi) {
  if (!(v >= lo)) return lo;
  return v > hi ? hi : v;
}

void drawPolygon(const SceneModel& m, const ScenePolygon& p) {
  PolygonCorner c0 = p.corner[0], c1 = p.corner[1], c2 = p.corner[2];
  // The two later corners move one texel, so neighbouring triangles do not
  // both paint their shared edge's outermost texel.  On copies: the stored
  // corners stay as loaded, frame after frame.
  c1.u += c1.u <= c2.u ? 1 : -1;
  c2.u += c2.u <= c1.u ? 1 : -1;
  c1.v += c1.v <= c2.v ? 1 : -1;
  c2.v += c2.v <= c1.v ? 1 : -1;

  RS.used = 0;
  ClipVertex** ring = RS.ring[0];
  int outAll = 0, outAny = 0;
  const PolygonCorner* cs[3] = {&c0, &c1, &c2};
  for (int k = 0; k < 3; ++k) {
    const SceneVertex& sv = m.vertices[size_t(cs[k]->vertex)];
    ClipVertex* v = newVertex();
    v->x = sv.x, v->y = sv.y, v->z = sv.z;
    v->u = float(cs[k]->u), v->v = float(cs[k]->v);
    v->spare = 0;
    distances(v);
    int code = 0;
    for (int i = 0; i < 4; ++i) code |= (v->dist[i] < 0) << i;
    outAll = k == 0 ? code : outAll & code;
    outAny |= code;
    ring[k] = v;
  }
  if (outAll) return;
  int n = 3, side = 0;
  for (int i = 0; i < 4; ++i) {
    if (!(outAny >> i & 1)) continue;
    n = clipPass(RS.ring[side], n, i, RS.ring[side ^ 1]);
    side ^= 1;
    if (n < 3) return;
  }
  ring = RS.ring[side];

  const float(&V)[4][4] = RS.view;
  const int halfW = RS.W / 2, halfH = RS.H / 2;
  for (int k = 0; k < n; ++k) {
    ClipVertex* v = ring[k];
    v->cx = v->x * V[0][0] + v->y * V[1][0] + v->z * V[2][0] + V[3][0];
    v->cy = v->x * V[0][1] + v->y * V[1][1] + v->z * V[2][1] + V[3][1];
    v->cz = v->x * V[0][2] + v->y * V[1][2] + v->z * V[2][2] + V[3][2];
    v->sx = keepNear(float(halfW) - v->cx / v->cz, -1.0f, float(RS.W) + 1);
    v->sy = keepNear(float(halfH) - v->cy / v->cz, -1.0f, float(RS.H) + 1);
  }

  if (p.map) {
    const SpanTexture tex{p.map->pixels, p.texWidth, p.texHeight, int64_t(p.map->width) * p.map->height};
    scn_FillTextured(ring, n, tex);
  } else {
    scn_FillFlat(ring, n, 0);
  }
}

void drawGroup(const SceneModel& m, const BspNode& node, bool test) {
  for (int32_t i = 0; i < node.count; ++i) {
    const ScenePolygon& p = m.polygons[size_t(node.first + i)];
    if (!test || eyeSide(p, m.eye) == 1) drawPolygon(m, p);
  }
}

// Tasks on the walk's stack: a node to visit (id * 4), or a group to draw
// as seen from the front (id * 4 + 1) or tested polygon by polygon (+ 2).
enum { kVisit = 0, kDrawAll = 1, kDrawTested = 2 };

void walk(const SceneModel& m) {
  std::vector<int32_t>& st = RS.tasks;
  st.clear();
  if (m.nodes.empty()) return;
  st.push_back(0);
  while (!st.empty()) {
    const int32_t task = st.back();
    st.pop_back();
    const BspNode& node = m.nodes[size_t(task >> 2)];
    if ((task & 3) != kVisit) {
      drawGroup(m, node, (task & 3) == kDrawTested);
      continue;
    }
    // An empty group has no plane to judge by: walked as from behind.
    const int side = node.count ? eyeSide(m.polygons[size_t(node.first)], m.eye) : -1;
    // Pushed in reverse: the first to run goes last.
    const int32_t nearer = side == 1 ? node.front : node.back;
    const int32_t farther = side == 1 ? node.back : node.front;
    if (nearer >= 0) st.push_back(nearer * 4);
    st.push_back((task & ~3) | (side == 1 ? kDrawAll : kDrawTested));
    if (farther >= 0) st.push_back(farther * 4);
  }
}

}  // namespace

void scn_RenderSlot(int idx, float t, float xfov, float yfov, uint8_t* pixels, int W, int H) {
  const SceneSlot* slot = scn_Slot(idx);
  if (!pixels || W <= 0 || H <= 0 || !slot || !slot->model || !slot->keys) return;
  RS.pixels = pixels, RS.W = W, RS.H = H;
  RS.xfov = xfov, RS.yfov = yfov;
  if (!scn_PlaceCamera(slot->model, *slot->keys, t)) return;
  walk(*slot->model);
}

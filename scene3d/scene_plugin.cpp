// The Scene script object: loads a slot when built, draws it over its input
// every frame at the time its frame value gives.
#include "scene3d/scene3d.h"

#include <string>

const ParamInfo kSceneParams[] = {
    {" b3d=", ParamKind::Word, "", "archive name of the scene file"},
    {" key=", ParamKind::Word, "", "archive name of the keyframer file"},
    {" idx=", ParamKind::Number, "0", "slot 0 to 15 to load into and draw; thousands of the map names"},
    {" in=", ParamKind::Image, "empty layer", "the picture drawn over, in place"},
    {" xfov=", ParamKind::Value, "320", "horizontal projection scale"},
    {" yfov=", ParamKind::Value, "320", "vertical projection scale (negative keeps y up)"},
    {" frame=", ParamKind::Value, "0", "animation time in keyframer frames, clamped to its range"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

Scene::Scene(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kSceneParams);
  plg_Trace(" -> %s:%s(%s) ", decl->label.c_str(), decl->type.c_str(), decl->params.c_str());
  const std::string b3d = read.word();
  const std::string key = read.word();
  const float slot = read.number();
  idx = plg_Trunc(slot);
  if (idx < 0 || idx >= kSceneSlots)
    plg_Error(nullptr, "3d scene slot %d out of range 0..%d", idx, kSceneSlots - 1);
  if (!scn_LoadSlot(idx, b3d.c_str(), key.c_str())) {
    // The message names both files whatever went wrong; say which, and why.
    const SceneSlot* s = scn_Slot(idx);
    if (s->sceneStatus != ScnStatus::Ok) plg_Note(decl->line, "%s: %s", b3d.c_str(), scn_StatusText(s->sceneStatus));
    if (s->keysStatus != ScnStatus::Ok) plg_Note(decl->line, "%s: %s", key.c_str(), scn_StatusText(s->keysStatus));
    plg_Error(nullptr, "3d scene '%s' or keyframer '%s' not found", b3d.c_str(), key.c_str());
  }
  plg_Trace("-> (%s)+(%s)\n", b3d.c_str(), key.c_str());
  in = read.image();
  xfov = read.value();
  yfov = read.value();
  frame = read.value();
}

Image* Scene::onStream(int width, int height) {
  Image* image = in->stream(width, height);
  const float y = yfov->value();
  const float x = xfov->value();
  const float t = frame->value();
  // The picture's own size: a label asked at two sizes may answer another.
  if (image && image->pixels) scn_RenderSlot(idx, t, x, y, image->pixels, image->width, image->height);
  return image;
}

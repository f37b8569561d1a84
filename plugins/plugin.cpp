// The plugin base classes and the plain image holder.
#include "plugins/plugins.h"

#include <algorithm>

namespace {
// A few instanced declarations that each refer to the next one twice build
// exponentially many objects; a script that asks for this many is broken.
constexpr int kMaxLiveObjects = 1 << 16;
// Real graphs nest requests a few dozen deep; a thousand means a cycle.
constexpr int kMaxNesting = 1000;

// The object model's own state (the effects' Object has another).
struct ModelState {
  int live = 0;     // plugin objects alive
  int nesting = 0;  // requests under way
  const PlugIn* requests[kMaxNesting] = {};  // under way, outermost first
};
ModelState MODEL;

struct Nest {
  explicit Nest(const PlugIn* p) {
    if (MODEL.nesting >= kMaxNesting)
      reportPluginError(p, "requests nest too deep: a cycle of shared labels that nothing breaks");
    MODEL.requests[MODEL.nesting++] = p;
  }
  ~Nest() { --MODEL.nesting; }
  Nest(const Nest&) = delete;
  Nest& operator=(const Nest&) = delete;
};
}  // namespace

float PlugIn::value() {
  Nest n(this);
  return onValue();
}

Image* PlugIn::stream(int width, int height) {
  Nest n(this);
  return onStream(width, height);
}

const Declaration* plg_Requesting() {
  for (int i = MODEL.nesting; i-- > 0;)
    if (MODEL.requests[i]->declaration) return MODEL.requests[i]->declaration;
  return nullptr;
}

PlugIn::PlugIn(Declaration* decl, PlugIn* nextObject) : declaration(decl), next(nextObject) {
  if (MODEL.live >= kMaxLiveObjects) plg_Error(nullptr, "more than %d objects in the scenes", kMaxLiveObjects);
  ++MODEL.live;
  if (decl) {
    // Set before any parameter is read, so that a shared declaration that
    // refers back to itself gets this object instead of building another.
    decl->object = this;
    plg_Trace(" -> %s:%s(%s) ", decl->label.c_str(), decl->type.c_str(), decl->params.c_str());
  }
}

PlugIn::~PlugIn() {
  --MODEL.live;
  // When a constructor ends in an error that unwinds (tests only), the
  // declaration must not keep pointing at the half-built object.
  if (declaration && declaration->object == this) declaration->object = nullptr;
  delete next;
}

void reportPluginError(const PlugIn* object, const char* message) {
  const Declaration* d = object->declaration;
  if (d) plg_Trace(" -> %s:%s(%s) ", d->label.c_str(), d->type.c_str(), d->params.c_str());
  // Implicit objects have no declaration of their own: the declared object
  // that asked them is the closest place.
  plg_Fatal(message, true, d ? d : plg_ErrorPlace());
}

Image* Value::onStream(int, int) {
  reportPluginError(this, "stream request on value plugin");
}

float Stream::onValue() {
  reportPluginError(this, "value request on stream plugin");
}

Layer::Layer(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {}

Layer::~Layer() {
  img_Destroy(image);
  img_Destroy(retired);
}

Image* plg_Resized(Image*& image, Image*& retired, int width, int height) {
  // Sizes are compared as images store them: a negative request is 0.
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (!image) {
    image = img_Create(width, height);
  } else if (image->width != width || image->height != height) {
    Image* resized = img_Create(width, height);
    img_Scale(image, resized);
    img_Destroy(retired);
    retired = image;
    image = resized;
  }
  return image;
}

Image* Layer::onStream(int width, int height) { return plg_Resized(image, retired, width, height); }

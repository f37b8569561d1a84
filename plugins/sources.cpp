// Source layers: Screen presents a graph, Window pastes a picture in a picture.
#include "plugins/plugins.h"

#include "codecs/codecs.h"

#include <algorithm>
#include <string>

const ParamInfo kScreenParams[] = {
    {" xres=", ParamKind::Number, "320", "width at which the input is rendered"},
    {" yres=", ParamKind::Number, "240", "height at which the input is rendered"},
    {" x=", ParamKind::Number, "0", "left of the presented rectangle"},
    {" y=", ParamKind::Number, "0", "top of the presented rectangle"},
    {" w=", ParamKind::Number, "xres", "width of the presented rectangle"},
    {" h=", ParamKind::Number, "yres", "height of the presented rectangle"},
    {" in=", ParamKind::Image, "empty layer", "the picture to show"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

const ParamInfo kWindowParams[] = {
    {" win=", ParamKind::Image, "empty layer", "the window's content"},
    {" in=", ParamKind::Image, "empty layer", "the background"},
    {" x=", ParamKind::Value, "0", "left edge of the window"},
    {" y=", ParamKind::Value, "0", "top edge of the window"},
    {" W=", ParamKind::Value, "320", "window width"},
    {" H=", ParamKind::Value, "200", "window height"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

Screen::Screen(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kScreenParams);
  xres = plg_Trunc(read.number());
  yres = plg_Trunc(read.number());
  x = plg_Trunc(read.number());
  y = plg_Trunc(read.number());
  w = plg_Trunc(read.number(float(xres)));
  h = plg_Trunc(read.number(float(yres)));
  in = read.image();
}

Image* Screen::onStream(int width, int) {
  if (width == 0) {
    in->stream(xres, yres);
    return nullptr;
  }
  const int fade = TML.fade;
  Image* image = in->stream(xres, yres);
  if (image) gfx_Present(image, fade, x, y, w, h);
  return nullptr;
}

Window::Window(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kWindowParams);
  win = read.image();
  in = read.image();
  x = read.value();
  y = read.value();
  W = read.value();
  H = read.value();
}

Window::~Window() { img_Destroy(crop); }

Image* Window::onStream(int width, int height) {
  const int X = plg_Trunc(x->value()), Y = plg_Trunc(y->value());
  const int WW = plg_Trunc(W->value()), HH = plg_Trunc(H->value());
  if (busy && width == WW && height == HH && outer) {
    // The window's content asks for the picture behind the window.  The copy
    // follows the window's size: the caller reads WW x HH pixels from it.
    if (crop && (crop->width != WW || crop->height != HH)) {
      img_Destroy(crop);
      crop = nullptr;
    }
    if (!crop) crop = img_Create(WW, HH);
    img_Blit(outer, crop, X, Y, 0, 0, WW, HH);
    return crop;
  }
  busy = 1;
  outer = in->stream(width, height);
  Image* content = win->stream(WW, HH);
  if (outer && content) img_Blit(content, outer, 0, 0, X, Y, WW, HH);
  busy = 0;
  return outer;
}

const ParamInfo kTextureParams[] = {
    {" in=", ParamKind::Word, "", "archive name of a PNG picture"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

Texture::Texture(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kTextureParams);
  const std::string name = read.word();
  image = img_LoadTexture(name.c_str());
  if (!image) plg_Error(nullptr, "texture '%s' not found", name.c_str());
}

Texture::~Texture() {
  img_Destroy(image);
  img_Destroy(retired);
}

Image* Texture::onStream(int width, int height) {
  // The first request fixes the working size; asking for another size
  // rescales from the last copy.
  return plg_Resized(image, retired, width, height);
}

// Text: one fixed line in a bitmap font from the archive, over in's picture.
#include "effects/effects.h"

#include <algorithm>
#include <string>

const ParamInfo kTextParams[] = {
    {" str=", ParamKind::Word, "", "the line, one word; a character without a glyph (_ in the show's fonts) prints as a blank"},
    {" font=", ParamKind::Word, "", "archive name of the font"},
    {" in=", ParamKind::Image, "empty layer", "the picture written over, in place"},
    {" x=", ParamKind::Value, "255", "column of the pen: the text's left end, right end or centre"},
    {" y=", ParamKind::Value, "255", "row of the glyphs' top line"},
    {" r=", ParamKind::Value, "255", "read every frame, not used"},
    {" g=", ParamKind::Value, "255", "read every frame, not used"},
    {" b=", ParamKind::Value, "255", "grey level of the ink (low 8 bits)"},
    {" org=", ParamKind::Value, "0", "origin: 0 left, 1 right, 2 centre"},
    {" space=", ParamKind::Value, "0", "extra pixels between characters"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

Text::Text(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kTextParams);
  text = read.word();
  const std::string fontName = read.word();
  // A font that ends before its records do is refused like a missing one:
  // its glyphs would come from whatever follows it in the archive.
  if (fnt_Load(fontName.c_str(), &font) != FontStatus::Ok) plg_Error(nullptr, "font '%s' not found", fontName.c_str());
  plg_Trace("-> (%s)='%s'\n", fontName.c_str(), text.c_str());
  in = read.image();
  x = read.value();
  y = read.value();
  r = read.value();
  g = read.value();
  b = read.value();
  org = read.value();
  space = read.value();
}

Image* Text::onStream(int width, int height) {
  Image* dest = in->stream(width, height);
  const int origin = plg_Trunc(org->value());
  r->value();
  g->value();
  const uint8_t ink = uint8_t(plg_Trunc(b->value()));
  const int pen = plg_Trunc(x->value());
  const int top = plg_Trunc(y->value());
  const int gap = plg_Trunc(space->value());
  const auto* chars = reinterpret_cast<const uint8_t*>(text.data());
  const int length = int(text.size());
  int64_t shift = 0;
  if (!fnt_OriginShift(font, chars, length, gap, origin, &shift)) reportPluginError(this, "unknown text origin");
  if (!dest) return dest;
  // Clipped to the request and to the picture in holds: a picture of
  // another size than asked (a Loop's kept one) is written only where it is.
  const int w = std::clamp(width, 0, dest->width);
  const int h = std::clamp(height, 0, dest->height);
  fnt_Draw(font, chars, length, int64_t(pen) - shift, top, gap, ink, dest->pixels, w, h, dest->width);
  return dest;
}

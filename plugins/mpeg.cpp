// The video layer: a looping clip from the archive, advanced at 10 pictures
// a second of show time on the program's one shared decoder.
#include "plugins/plugins.h"

#include "codecs/codecs.h"

#include <algorithm>
#include <cstring>

const ParamInfo kMpegParams[] = {
    {" in=", ParamKind::Word, "", "archive name of an MPEG-2 (or MPEG-1) video stream"},
    {nullptr, ParamKind::Number, nullptr, nullptr},
};

namespace {

constexpr float kPicturesPerSecond = 10.0f;

// The clip's entry: an offset of 0 is the directory, never a clip, and is
// what the archive answers for a name it lacks.
bool openClip(const std::string& name, int* width, int* height) {
  const int32_t offset = dat_Offset(name.c_str());
  return offset > 0 && mpg_Open(mpg_Shared(), dat_Path(), offset, width, height);
}

}  // namespace

MPEG::MPEG(Declaration* decl, PlugIn* nextObject) : Stream(decl, nextObject) {
  ParamReader read(decl, kMpegParams);
  name = read.word();
  int width = 0, height = 0;
  // The message brings its own "!": the printed line ends "not found ! !".
  if (!openClip(name, &width, &height)) plg_Error(nullptr, "video %s not found !", name.c_str());
  mpg_Close(mpg_Shared());
  decoded = img_Create(width, height);
  // Shown until the first picture arrives.
  std::memset(decoded->pixels, 0, size_t(width) * size_t(height));
}

MPEG::~MPEG() {
  // The close writes into the buffer of the last pull, which may be ours.
  mpg_Close(mpg_Shared());
  img_Destroy(decoded);
  img_Destroy(scaled);
  img_Destroy(retired);
}

Image* MPEG::onStream(int width, int height) {
  const float t = tml_ShowTime();
  if (t > 0 && float(framesShown) / t < kPicturesPerSecond) {
    ++framesShown;
    MpgDecoder* decoder = mpg_Shared();
    if (mpg_NextFrame(decoder, decoded->pixels, decoded->width, decoded->height) == kMpgEnd) {
      mpg_Close(decoder);
      int w = 0, h = 0;
      // A clip that cannot be reopened keeps its last picture; the reopen is
      // tried again at the next pull.
      openClip(name, &w, &h);
    }
  }
  if (decoded->width == width && decoded->height == height) return frame = decoded;
  width = std::max(width, 0);
  height = std::max(height, 0);
  if (!scaled || scaled->width != width || scaled->height != height) {
    // The picture before a resize must outlive the request under way.
    img_Destroy(retired);
    retired = scaled;
    scaled = img_Create(width, height);
  }
  img_Scale(decoded, scaled);
  return frame = scaled;
}

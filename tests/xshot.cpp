// Looks at what the X server shows: prints the root window's size and the
// bounding box of its pixels that are not black, plus how many of the pixels
// inside that box are black.  Used by the end-to-end display test.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <cstdio>

int main() {
  Display* d = XOpenDisplay(nullptr);
  if (!d) return 1;
  const Window root = DefaultRootWindow(d);
  XWindowAttributes a;
  XGetWindowAttributes(d, root, &a);
  XImage* img = XGetImage(d, root, 0, 0, unsigned(a.width), unsigned(a.height), AllPlanes, ZPixmap);
  if (!img) return 1;
  int x0 = a.width, y0 = a.height, x1 = -1, y1 = -1;
  for (int y = 0; y < a.height; ++y)
    for (int x = 0; x < a.width; ++x)
      if (XGetPixel(img, x, y) & 0xffffff) {
        if (x < x0) x0 = x;
        if (x > x1) x1 = x;
        if (y < y0) y0 = y;
        if (y > y1) y1 = y;
      }
  long black = 0;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x)
      if (!(XGetPixel(img, x, y) & 0xffffff)) ++black;
  // "screen W H box X0 Y0 X1 Y1 black N", the box inclusive; -1s when all black.
  std::printf("screen %d %d box %d %d %d %d black %ld\n", a.width, a.height, x1 < 0 ? -1 : x0, x1 < 0 ? -1 : y0, x1,
              y1, black);
  XDestroyImage(img);
  XCloseDisplay(d);
  return 0;
}

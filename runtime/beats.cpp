// The beat table: which rows of which orders flash the screen.  Kept apart
// from the player so that every music back end reads the same table.
#include "runtime/runtime.h"

int mus_BeatAt(int order, int row) {
  static const unsigned char kBeats[64] = {
      0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0,  //  0..15
      0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // 16..31
      0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0,  // 32..47
      0, 0, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 0, 0,  // 48..63
  };
  // Orders whose arrangement drops part of the beat: rows first..last are quiet.
  struct Quiet {
    int order, first, last;
  };
  static const Quiet kQuiet[] = {
      {8, 5, 19},   {18, 5, 19},  {21, 5, 19},  {9, 5, 63},   {19, 5, 63},
      {13, 25, 63}, {23, 25, 63}, {27, 25, 63}, {17, 37, 55},
  };
  if (order < 4 || order > 27 || row < 0 || row > 63) return 0;
  for (const Quiet& q : kQuiet) {
    if (q.order == order && row >= q.first && row <= q.last) return 0;
  }
  return kBeats[row];
}

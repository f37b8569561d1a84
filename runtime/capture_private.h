// The files a capture writes beside its frames.  Both keep exact count of
// what reached the disk, so a capture stopped by a full disk leaves them
// consistent: a WAV whose header gives the samples written, a log whose rows
// are all whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Writes all of `size` bytes, or as many as the file takes before an error;
// returns how many were written.  errno tells the error when short.
size_t writeAll(int fd, const void* data, size_t size);

// 16-bit stereo WAV at kMusRate; the header's sizes are filled in at close.
// Failures leave errno set.
struct WavWriter {
  int fd = -1;
  uint64_t bytes = 0;  // sample bytes on disk

  bool open(const std::string& path);
  bool write(const int16_t* samples, int frames);
  // Writes the header for the whole frames on disk (a frame cut by a failed
  // write is dropped) and closes the file.
  bool close();
};

// A text file written in whole lines: a line that cannot be written whole is
// taken back.  Failures leave errno set.
struct LineLog {
  int fd = -1;
  int64_t size = 0;  // bytes of whole lines on disk

  bool open(const std::string& path);
  bool append(const std::string& line);
  bool close();
};

// The WAV and the frame log of a capture, written with plain system calls so
// that what reached the disk is known to the byte when a write fails.
#include "runtime/capture_private.h"

#include "runtime/runtime.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

size_t writeAll(int fd, const void* data, size_t size) {
  const char* p = static_cast<const char*>(data);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::write(fd, p + done, size - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      break;
    }
    done += size_t(n);
  }
  return done;
}

namespace {

constexpr int kWavHeader = 44;

// Keeps errno across clean-up calls.
struct KeepErrno {
  int saved = errno;
  ~KeepErrno() { errno = saved; }
};

}  // namespace

bool WavWriter::open(const std::string& path) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  bytes = 0;
  const uint8_t header[kWavHeader] = {};
  return writeAll(fd, header, sizeof header) == sizeof header;
}

bool WavWriter::write(const int16_t* samples, int frames) {
  // Little-endian on every machine we build for; the header says so too.
  const size_t size = size_t(frames) * 4;
  const size_t done = writeAll(fd, samples, size);
  bytes += done;
  return done == size;
}

bool WavWriter::close() {
  if (fd < 0) return true;
  bool ok = true;
  int error = 0;
  // A frame cut short by a failed write is no frame.
  uint64_t data = bytes - bytes % 4;
  if (data > 0xFFFFFFFFu - 36) data = (0xFFFFFFFFu - 36) & ~uint64_t(3);
  if (data != bytes && ftruncate(fd, off_t(kWavHeader + data)) != 0) {
    ok = false;
    error = errno;
  }
  uint8_t h[kWavHeader];
  auto le32 = [&](int at, uint32_t v) { for (int i = 0; i < 4; ++i) h[at + i] = uint8_t(v >> (8 * i)); };
  auto le16 = [&](int at, uint32_t v) { h[at] = uint8_t(v); h[at + 1] = uint8_t(v >> 8); };
  std::memcpy(h, "RIFF", 4);
  le32(4, uint32_t(36 + data));
  std::memcpy(h + 8, "WAVEfmt ", 8);
  le32(16, 16);
  le16(20, 1);  // PCM
  le16(22, 2);
  le32(24, kMusRate);
  le32(28, kMusRate * 4);
  le16(32, 4);
  le16(34, 16);
  std::memcpy(h + 36, "data", 4);
  le32(40, uint32_t(data));
  // The header overwrites bytes already on disk: it fits on a full disk too.
  ssize_t n;
  while ((n = pwrite(fd, h, sizeof h, 0)) < 0 && errno == EINTR) {
  }
  if (n != ssize_t(sizeof h) && ok) {
    ok = false;
    error = n < 0 ? errno : ENOSPC;
  }
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  fd = -1;
  if (!ok) errno = error;
  return ok;
}

bool LineLog::open(const std::string& path) {
  fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  size = 0;
  return fd >= 0;
}

bool LineLog::append(const std::string& line) {
  const size_t done = writeAll(fd, line.data(), line.size());
  if (done == line.size()) {
    size += int64_t(done);
    return true;
  }
  KeepErrno keep;
  if (done > 0 && ftruncate(fd, off_t(size)) == 0) lseek(fd, off_t(size), SEEK_SET);
  return false;
}

bool LineLog::close() {
  if (fd < 0) return true;
  const bool ok = ::close(fd) == 0;
  fd = -1;
  return ok;
}

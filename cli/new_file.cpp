#include "new_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace strandel_cli {
namespace {

[[noreturn]] void fail(int error) { throw std::runtime_error(std::strerror(error)); }

}  // namespace

NewFile::NewFile(const std::string& path, Existing existing) {
  const int how = existing == Existing::Refuse ? O_EXCL : O_TRUNC;
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | how, 0644);
  if (fd_ < 0) fail(errno);
}

NewFile NewFile::standardOutput() { return NewFile(STDOUT_FILENO, false); }

NewFile::~NewFile() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

NewFile::NewFile(NewFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(other.owned_) {}

void NewFile::write(const void* bytes, std::size_t size) {
  const auto* next = static_cast<const char*>(bytes);
  while (size > 0) {
    const ssize_t written = ::write(fd_, next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    next += written;
    size -= static_cast<std::size_t>(written);
  }
}

void NewFile::close() {
  const int fd = std::exchange(fd_, -1);
  if (owned_ && fd >= 0 && ::close(fd) != 0 && errno != EINTR) fail(errno);
}

void writeNewFile(const std::string& path, std::string_view bytes) {
  NewFile file(path);
  file.write(bytes);
  file.close();
}

}  // namespace strandel_cli

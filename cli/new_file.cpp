#include "new_file.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace strandel_cli {
namespace {

[[noreturn]] void fail(int error) { throw std::runtime_error(std::strerror(error)); }

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

int createFile(int dir_fd, const char* path, NewFile::Existing existing) {
  const int how = existing == NewFile::Existing::Refuse ? O_EXCL : O_TRUNC;
  const int fd = ::openat(dir_fd, path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | how, 0644);
  if (fd < 0) fail(errno);
  return fd;
}

}  // namespace

Directory::Directory(const std::string& path) : fd_(::open(path.c_str(), kDirectoryFlags)) {
  if (fd_ < 0) fail(errno);
}

Directory::~Directory() {
  if (fd_ >= 0) ::close(fd_);
}

Directory::Directory(Directory&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

Directory Directory::open(const std::string& name) const {
  const int fd = ::openat(fd_, name.c_str(), kDirectoryFlags);
  if (fd < 0) fail(errno);
  return Directory(fd);
}

void Directory::makeDirectory(const std::string& name) const {
  if (::mkdirat(fd_, name.c_str(), 0755) != 0) fail(errno);
}

void Directory::remove(const std::string& name, bool directory) const {
  if (::unlinkat(fd_, name.c_str(), directory ? AT_REMOVEDIR : 0) != 0) fail(errno);
}

std::vector<Directory::Entry> Directory::entries() const {
  // fdopendir takes the descriptor it is given: a duplicate, reading from the start.
  const int listed = ::openat(fd_, ".", kDirectoryFlags);
  if (listed < 0) fail(errno);
  DIR* stream = ::fdopendir(listed);
  if (stream == nullptr) {
    const int error = errno;
    ::close(listed);
    fail(error);
  }
  std::vector<Entry> result;
  int error = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      error = errno;
      break;
    }
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat status {};
    if (::fstatat(fd_, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;  // gone since it was listed
      error = errno;
      break;
    }
    const Type type = S_ISREG(status.st_mode)   ? Type::Regular
                      : S_ISDIR(status.st_mode) ? Type::Directory
                      : S_ISLNK(status.st_mode) ? Type::SymbolicLink
                                                : Type::Other;
    result.push_back({name, type});
  }
  ::closedir(stream);
  if (error != 0) fail(error);
  std::sort(result.begin(), result.end(),
            [](const Entry& a, const Entry& b) { return a.name < b.name; });
  return result;
}

std::optional<std::string> Directory::readRegularFile(const std::string& name,
                                                      std::size_t max_bytes) const {
  // O_NONBLOCK: a FIFO planted under the name does not block the open.
  const int fd = ::openat(fd_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) ||
      static_cast<std::size_t>(status.st_size) > max_bytes) {
    ::close(fd);
    return std::nullopt;
  }
  std::string content;
  char chunk[8192];
  for (;;) {
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      ::close(fd);
      fail(error);
    }
    if (n == 0 || content.size() + static_cast<std::size_t>(n) > max_bytes) break;
    content.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return content;
}

NewFile::NewFile(const std::string& path, Existing existing)
    : fd_(createFile(AT_FDCWD, path.c_str(), existing)) {}

NewFile::NewFile(const Directory& dir, const std::string& name, Existing existing)
    : fd_(createFile(dir.descriptor(), name.c_str(), existing)) {}

NewFile NewFile::standardOutput() { return NewFile(STDOUT_FILENO, false); }

NewFile::~NewFile() {
  if (owned_ && fd_ >= 0) ::close(fd_);
}

NewFile::NewFile(NewFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), owned_(other.owned_), length_(other.length_) {}

void NewFile::write(const void* bytes, std::size_t size) {
  const auto* next = static_cast<const char*>(bytes);
  const std::size_t total = size;
  while (size > 0) {
    const ssize_t written = ::write(fd_, next, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      const int error = errno;
      if (owned_ && size < total) {
        // A part of these bytes is in the file: cut it off, so that it ends where the last
        // complete write did. Nothing more can be done when that fails too.
        if (::ftruncate(fd_, static_cast<off_t>(length_)) == 0)
          ::lseek(fd_, static_cast<off_t>(length_), SEEK_SET);
      }
      fail(error);
    }
    next += written;
    size -= static_cast<std::size_t>(written);
  }
  length_ += total;
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

void writeNewFile(const Directory& dir, const std::string& name, std::string_view bytes) {
  NewFile file(dir, name);
  file.write(bytes);
  file.close();
}

}  // namespace strandel_cli

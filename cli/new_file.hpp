#pragma once

// Files that a command creates and nothing else: opened with O_CREAT | O_EXCL | O_NOFOLLOW, so
// that a file or symbolic link already at the path is refused, never overwritten or followed.

#include <cstddef>
#include <string>
#include <string_view>

namespace strandel_cli {

/// One newly created file open for writing. Not copyable; closes its descriptor when destroyed.
class NewFile {
 public:
  /// Creates `path` with mode 0644 (less the umask). Throws std::runtime_error holding the
  /// system's reason (e.g. "File exists") when something exists at the path (a file, a directory
  /// or a symbolic link, dangling or not) or the file cannot be created.
  explicit NewFile(const std::string& path);
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;

  /// Writes all `size` bytes. Throws std::runtime_error holding the system's reason when it
  /// refuses.
  void write(const void* bytes, std::size_t size);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  /// Closes the file. Throws std::runtime_error when closing reports a failed write.
  void close();

 private:
  int fd_ = -1;
};

/// Creates `path` holding `bytes`; throws as NewFile does.
void writeNewFile(const std::string& path, std::string_view bytes);

}  // namespace strandel_cli

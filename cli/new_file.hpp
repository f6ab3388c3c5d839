#pragma once

// Files that a command creates and nothing else: opened with O_CREAT | O_EXCL | O_NOFOLLOW, so
// that a file or symbolic link already at the path is refused, never overwritten or followed
// (unless the caller asks to empty an existing regular file). Standard output is written the same
// way.

#include <cstddef>
#include <string>
#include <string_view>

namespace strandel_cli {

/// One newly created file (or standard output) open for writing. Not copyable; closes the
/// descriptor it opened when destroyed. Not thread-safe.
class NewFile {
 public:
  /// How something already at the path is treated.
  enum class Existing { Refuse, Truncate };

  /// Creates `path` with mode 0644 (less the umask). Throws std::runtime_error holding the
  /// system's reason (e.g. "File exists") when something exists at the path (a file, a directory
  /// or a symbolic link, dangling or not) or the file cannot be created. With Existing::Truncate
  /// an existing regular file is emptied instead; a symbolic link is refused either way.
  explicit NewFile(const std::string& path, Existing existing = Existing::Refuse);
  /// Writes to standard output, which it does not close.
  static NewFile standardOutput();
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;

  /// Writes all `size` bytes with one write call, repeated only for what a short write left, so
  /// a line written whole is never cut by a signal between calls. Throws std::runtime_error
  /// holding the system's reason (e.g. "No space left on device") when it refuses.
  void write(const void* bytes, std::size_t size);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  /// Closes the file. Throws std::runtime_error when closing reports a failed write.
  void close();

 private:
  NewFile(int fd, bool owned) : fd_(fd), owned_(owned) {}
  int fd_ = -1;
  bool owned_ = true;
};

/// Creates `path` holding `bytes`; throws as NewFile does.
void writeNewFile(const std::string& path, std::string_view bytes);

}  // namespace strandel_cli

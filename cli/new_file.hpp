#pragma once

// Files that a command creates and nothing else: opened with O_CREAT | O_EXCL | O_NOFOLLOW, so
// that a file or symbolic link already at the path is refused, never overwritten or followed
// (unless the caller asks to empty an existing regular file). Standard output is written the same
// way. Directories are held open and everything in them is created, read and removed relative to
// the open directory, so that a directory replaced by a symbolic link while a command writes into
// it changes nothing.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace strandel_cli {

/// A directory held open by descriptor (O_DIRECTORY | O_NOFOLLOW): whatever happens to its path
/// afterwards (a rename, a symbolic link put in its place), the names given to its members are
/// looked up in this directory. Not copyable; closes its descriptor when destroyed. Not
/// thread-safe. Every member throws std::runtime_error holding the system's reason (e.g.
/// "Not a directory" for a symbolic link, which is never followed).
class Directory {
 public:
  /// What a name in the directory is, as lstat sees it.
  enum class Type { Regular, Directory, SymbolicLink, Other };
  struct Entry {
    std::string name;
    Type type = Type::Other;
  };

  /// Opens the directory `path`; its last component must not be a symbolic link.
  explicit Directory(const std::string& path);
  ~Directory();
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&&) = delete;

  /// Opens the member directory `name` (no symbolic link).
  Directory open(const std::string& name) const;
  /// Creates the member directory `name` with mode 0755 (less the umask); "File exists" when
  /// anything is there.
  void makeDirectory(const std::string& name) const;
  /// Removes the member `name`: a file or a symbolic link (itself), or with `directory` an empty
  /// directory.
  void remove(const std::string& name, bool directory) const;
  /// The members, "." and ".." excepted, sorted by name.
  std::vector<Entry> entries() const;
  /// The content of the member `name` when it is a regular file of at most `max_bytes`; empty
  /// when it is missing, anything else, or larger. Throws only when reading it fails.
  std::optional<std::string> readRegularFile(const std::string& name, std::size_t max_bytes) const;

  int descriptor() const { return fd_; }

 private:
  explicit Directory(int fd) : fd_(fd) {}
  int fd_ = -1;
};

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
  /// Creates the member `name` of `dir` as the path constructor does.
  NewFile(const Directory& dir, const std::string& name, Existing existing = Existing::Refuse);
  /// Writes to standard output, which it does not close.
  static NewFile standardOutput();
  ~NewFile();
  NewFile(const NewFile&) = delete;
  NewFile& operator=(const NewFile&) = delete;
  NewFile(NewFile&& other) noexcept;
  NewFile& operator=(NewFile&&) = delete;

  /// Writes all `size` bytes with one write call, repeated only for what a short write left, so
  /// a line written whole is never cut by a signal between calls. Throws std::runtime_error
  /// holding the system's reason (e.g. "No space left on device") when it refuses; a file this
  /// object created is then cut back to its length before the call (standard output is left as
  /// it is), so that a file written line by line holds whole lines only, however full the disk.
  void write(const void* bytes, std::size_t size);
  void write(std::string_view bytes) { write(bytes.data(), bytes.size()); }
  /// Closes the file. Throws std::runtime_error when closing reports a failed write.
  void close();

 private:
  NewFile(int fd, bool owned) : fd_(fd), owned_(owned) {}
  int fd_ = -1;
  bool owned_ = true;
  /// The bytes written whole so far: the length the file is cut back to when a write fails.
  std::size_t length_ = 0;
};

/// Creates `path` holding `bytes`; throws as NewFile does.
void writeNewFile(const std::string& path, std::string_view bytes);
/// Creates the member `name` of `dir` holding `bytes`; throws as NewFile does.
void writeNewFile(const Directory& dir, const std::string& name, std::string_view bytes);

}  // namespace strandel_cli

#include "capture_command.hpp"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <CLI/CLI.hpp>

#include "body_text.hpp"
#include "depth_pictures.hpp"
#include "interrupt.hpp"
#include "new_file.hpp"
#include "npy_writer.hpp"
#include "png_encoder.hpp"
#include "recording.hpp"

namespace strandel_cli {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using strandel::json;
using strandel_pictures::PngColour;

constexpr std::uint64_t kMaxPictureExtent = 1u << 16;
constexpr char kFrameFile[] = "frame.json";
/// Names, one a line, every file a capture writes into its directory (itself excepted); written
/// before them, so that the next capture there recognises them even after a failed one.
constexpr char kManifestFile[] = ".strandel-capture";
constexpr std::uintmax_t kMaxManifestBytes = 16u << 20;
/// The index of a series, one line per complete frame.
constexpr char kIndexFile[] = "frames.jsonl";
/// The most frames a series holds: six digits name its frame directories.
constexpr long long kMaxFrames = 999999;
/// Longest file name stem taken from an array's path in the structure; longer paths are cut.
constexpr std::size_t kMaxStem = 100;

struct CaptureRequest {
  std::string camera_id;
  std::vector<std::string> types;
  bool world_frame = false;
  std::string out;
  long long count = 0;   // frames of a series; 0: one capture written into `out` itself
  double rate = 0.0;     // a series' captures per second; 0: one after the other
  bool verbose = false;  // a series: a line per file written or removed, not only the summary
};

/// The files an array becomes.
enum class Form {
  Picture,  // NAME.png, 8-bit
  Depth,    // NAME.npy, NAME.png (16-bit millimetres), NAME_preview.png (false colour)
  Array,    // NAME.npy
};

/// One array to write: where it comes from and the unique stem of its files.
struct ArrayPlan {
  json* node = nullptr;  // its placeholder; null for an array no placeholder names
  std::size_t index = 0;
  std::string source;  // its path in the structure, or output_N
  std::string stem;
  Form form = Form::Array;
};

std::string fileSafe(const std::string& text) {
  std::string safe;
  for (const char c : text) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '_' || c == '-';
    safe += plain ? c : '_';
  }
  return safe;
}

std::string lowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::vector<std::string> filesOf(Form form, const std::string& stem) {
  switch (form) {
    case Form::Picture:
      return {stem + ".png"};
    case Form::Depth:
      return {stem + ".npy", stem + ".png", stem + "_preview.png"};
    case Form::Array:
      break;
  }
  return {stem + ".npy"};
}

/// `path` + '_' + `part` (or `part` alone at the root), cut at kMaxStem bytes.
std::string joinedPath(const std::string& path, const std::string& part) {
  std::string joined = path.empty() ? part : path + "_" + part;
  if (joined.size() > kMaxStem) joined.resize(kMaxStem);
  return joined;
}

/// A placeholder's path in the structure joined with '_' and cut at kMaxStem bytes; "output_N"
/// (N its index) when that is empty (the structure itself is the placeholder, or every name on
/// the way is empty).
std::string sourceOf(const strandel::NamedOutput& placeholder) {
  std::string joined;
  for (const std::string& part : placeholder.path) joined = joinedPath(joined, part);
  return joined.empty() ? "output_" + std::to_string(*placeholder.index) : joined;
}

/// The placeholder's node in `structure`, where its description goes.
json& nodeOf(json& structure, const strandel::NamedOutput& placeholder) {
  json::json_pointer pointer;
  for (const std::string& part : placeholder.path) pointer /= part;
  return structure.at(pointer);
}

std::string shapeText(const strandel::CameraOutput& output) {
  std::string text = "[";
  for (std::size_t i = 0; i < output.shape.size(); ++i)
    text += (i ? ", " : "") + std::to_string(output.shape[i]);
  return text + "]";
}

/// Height, width and channels of an output shaped as a picture ([h,w] or [h,w,c], h and w from
/// 1 to kMaxPictureExtent); empty for any other shape.
struct PictureSize {
  std::uint32_t height = 0;
  std::uint32_t width = 0;
  std::uint64_t channels = 0;
};
std::optional<PictureSize> pictureSize(const strandel::CameraOutput& output) {
  const auto& s = output.shape;
  if ((s.size() != 2 && s.size() != 3) || s[0] == 0 || s[1] == 0 || s[0] > kMaxPictureExtent ||
      s[1] > kMaxPictureExtent) {
    return std::nullopt;
  }
  return PictureSize{static_cast<std::uint32_t>(s[0]), static_cast<std::uint32_t>(s[1]),
                     s.size() == 3 ? s[2] : 1};
}

Form formOf(const std::string& source, const strandel::CameraOutput& output) {
  const std::optional<PictureSize> size = pictureSize(output);
  if (!size) return Form::Array;
  if (output.dtype == "uint8" &&
      (size->channels == 1 || size->channels == 3 || size->channels == 4))
    return Form::Picture;
  if (size->channels == 1 && (output.dtype == "float32" || output.dtype == "float64") &&
      source.find("depth") != std::string::npos) {
    return Form::Depth;
  }
  return Form::Array;
}

/// Gives each array a stem whose files no other array's files, frame.json or the manifest share
/// (compared ignoring ASCII case): the path made file-safe, or, when that is taken, the first
/// free of stem_2, stem_3, ... Deterministic: the same frame gets the same names.
class FileNames {
 public:
  FileNames() {
    taken_.insert(kFrameFile);
    taken_.insert(kManifestFile);
  }

  /// A stem of its own for the array at `source` whose files take the form `form`.
  std::string claim(const std::string& source, Form form) {
    const std::string stem = fileSafe(source);
    // Ends: each stem or file name taken blocks at most two suffixes, and finitely many are taken.
    for (std::uint64_t& suffix = next_[lowerCase(stem)];; ++suffix) {
      const std::string candidate = suffix < 2 ? stem : stem + "_" + std::to_string(suffix);
      const std::vector<std::string> files = filesOf(form, candidate);
      bool free = stems_.count(lowerCase(candidate)) == 0;
      for (const std::string& file : files) free = free && taken_.count(lowerCase(file)) == 0;
      if (!free) continue;
      stems_.insert(lowerCase(candidate));
      for (const std::string& file : files) {
        taken_.insert(lowerCase(file));
        written_.push_back(file);
      }
      ++suffix;
      return candidate;
    }
  }

  /// Every file claimed, in order of claiming.
  const std::vector<std::string>& files() const { return written_; }

 private:
  std::set<std::string> taken_;                // file names, lower case
  std::set<std::string> stems_;                // stems given, lower case
  std::map<std::string, std::uint64_t> next_;  // by stem: the first suffix not yet tried
  std::vector<std::string> written_;
};

/// What a capture tells on stdout about its files: a line for each file written or removed, or,
/// when quiet (a series without --verbose), nothing; the removals are counted for the summary.
class FileLog {
 public:
  explicit FileLog(bool verbose) : verbose_(verbose) {}

  void wrote(const std::string& path, const std::string& origin = {}) {
    if (verbose_) std::cout << "wrote " << path << origin << "\n";
  }
  void removed(const std::string& path) {
    ++removed_;
    if (verbose_) std::cout << "removed " << path << "\n";
  }
  std::size_t removedCount() const { return removed_; }

 private:
  bool verbose_;
  std::size_t removed_ = 0;
};

/// Writes one array's files into a directory held open and returns its description for
/// frame.json.
class ArrayWriter {
 public:
  /// `shown` is the directory's path in messages.
  ArrayWriter(const Directory& dir, fs::path shown, FileLog& log)
      : dir_(dir), shown_(std::move(shown)), log_(log) {}

  json write(const ArrayPlan& plan, const strandel::CameraOutput& output) {
    json description = {{"dtype", output.dtype}, {"shape", output.shape}};
    // Said with the file when its name is not the array's path as it stands in the structure.
    std::string origin;
    if (plan.stem != plan.source) {
      origin = plan.node
                   ? " (the array at " +
                         json(plan.source).dump(-1, ' ', false, json::error_handler_t::replace) +
                         ")"
                   : " (array " + std::to_string(plan.index) + ", named by no placeholder)";
    }
    const std::optional<PictureSize> size = pictureSize(output);
    if (plan.form == Form::Picture) {
      const PngColour colour = size->channels == 1   ? PngColour::Grey
                               : size->channels == 3 ? PngColour::Rgb
                                                     : PngColour::Rgba;
      description["file"] = written(plan.stem + ".png", origin, [&](const std::string& name) {
        writeNewFile(dir_, name,
                     strandel_pictures::encodePng8(size->width, size->height, colour, output.data));
      });
      return description;
    }
    description["file"] = written(plan.stem + ".npy", origin,
                                  [&](const std::string& name) { writeNpy(dir_, name, output); });
    const std::optional<std::vector<double>> depth =
        plan.form == Form::Depth ? strandel_pictures::depthValues(output) : std::nullopt;
    if (depth) {
      using namespace strandel_pictures;
      description["pictures"] = {
          written(plan.stem + ".png", origin,
                  [&](const std::string& name) {
                    writeNewFile(
                        dir_, name,
                        encodePng16Grey(size->width, size->height, depthMillimetres(*depth)));
                  }),
          written(plan.stem + "_preview.png", origin, [&](const std::string& name) {
            writeNewFile(
                dir_, name,
                encodePng8(size->width, size->height, PngColour::Rgb, depthFalseColour(*depth)));
          })};
    }
    return description;
  }

 private:
  /// Runs `write` on file_name, logs it and returns file_name.
  template <typename Write>
  std::string written(const std::string& file_name, const std::string& origin, Write&& write) {
    const std::string path = (shown_ / file_name).string();
    try {
      write(file_name);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write '" + path + "': " + e.what());
    }
    log_.wrote(path, origin);
    return file_name;
  }

  const Directory& dir_;
  fs::path shown_;
  FileLog& log_;
};

/// Throws Failure(kMalformed) when an output's shape holds more elements than fit in memory, or,
/// when `exact_size` holds, an output of a known dtype holds another byte count than its shape
/// asks for. Returns whether its bytes match its shape.
bool requireWritable(const std::string& label, const std::string& name,
                     const strandel::CameraOutput& output, bool exact_size) {
  const std::uint64_t item = output.itemSize();
  const std::optional<std::uint64_t> elements = checkedElementCount(output.shape, item);
  if (!elements) {
    throw Failure(kMalformed, label + ": the array '" + name + "' has the shape " +
                                  shapeText(output) + ", more elements than fit in memory");
  }
  const bool matching = item != 0 && output.data.size() == *elements * item;
  if (exact_size && item != 0 && !matching) {
    throw Failure(kMalformed, label + ": the array '" + name + "' holds " +
                                  std::to_string(output.data.size()) + " bytes but " +
                                  output.dtype + " " + shapeText(output) + " needs " +
                                  std::to_string(*elements * item));
  }
  return matching;
}

/// The names an earlier capture listed in the manifest of `dir`; empty when there is none that is
/// a regular file of at most kMaxManifestBytes.
std::set<std::string> earlierCapture(const Directory& dir) {
  std::set<std::string> names;
  std::optional<std::string> manifest;
  try {
    manifest = dir.readRegularFile(kManifestFile, kMaxManifestBytes);
  } catch (const std::exception&) {
    return names;
  }
  if (!manifest) return names;
  std::istringstream lines(*manifest);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line != "." && line != ".." && line.find('/') == std::string::npos)
      names.insert(line);
  }
  return names;
}

/// One removal of an earlier capture's entry: `name` in `dir` (DIR or a frame directory held
/// open), shown as `path`.
struct Removal {
  const Directory* dir = nullptr;
  std::string name;
  bool directory = false;
  std::string path;
};

/// Adds to `removals` what removing the earlier capture in `dir` takes: the files its manifest
/// lists, then the manifest; with `frames`, also the directories it lists, each opened (into
/// `opened`) and emptied the same way first (a series' frames). `shown` is the path of `dir`
/// relative to DIR in the refusal. Throws Failure(kUsage) for anything no earlier capture wrote,
/// before anything is changed.
void planRemoval(const std::string& out, const Directory& dir, const std::string& shown,
                 bool frames, std::list<Directory>& opened, std::vector<Removal>& removals) {
  std::vector<Directory::Entry> entries;
  try {
    entries = dir.entries();
  } catch (const std::exception& e) {
    throw Failure(kUsage, "cannot read the directory '" + out + "': " + e.what());
  }

  const std::set<std::string> earlier = earlierCapture(dir);
  const fs::path base = fs::path(out) / shown;
  bool manifest = false;
  for (const Directory::Entry& entry : entries) {
    const std::string& name = entry.name;
    const bool is_directory = entry.type == Directory::Type::Directory;
    const bool ours =
        name == kManifestFile ? entry.type == Directory::Type::Regular : earlier.count(name) != 0;
    const bool frame = frames && is_directory;
    if (!ours || (is_directory && !frame)) {
      throw Failure(kUsage, "cannot write into '" + out + "': it holds '" + shown + name +
                                "', which no earlier capture wrote there; capture writes only "
                                "into a new or empty directory or one holding an earlier capture");
    }
    if (name == kManifestFile) {
      manifest = true;
      continue;
    }
    // A frame directory is a capture of its own: its files go first, then the directory.
    if (frame) {
      try {
        opened.push_back(dir.open(name));
      } catch (const std::exception& e) {
        throw Failure(kUsage,
                      "cannot read the directory '" + (base / name).string() + "': " + e.what());
      }
      planRemoval(out, opened.back(), shown + name + "/", false, opened, removals);
    }
    removals.push_back({&dir, name, is_directory, (base / name).string()});
  }
  if (manifest) removals.push_back({&dir, kManifestFile, false, (base / kManifestFile).string()});
}

/// Makes DIR ready for this capture's files and returns it held open: created when missing (its
/// parents too), never through a symbolic link; emptied when it holds only the files of an
/// earlier capture or series (its manifest, what it names, and the frame directories of a series
/// holding only their own capture), each removal but the manifests' logged; refused with
/// Failure(kUsage) when it holds anything else, before anything is changed. Every later change
/// goes through the descriptor, so that DIR replaced meanwhile changes nothing.
Directory prepareDirectory(const std::string& out, FileLog& log) {
  std::error_code created;
  fs::create_directories(fs::path(out), created);
  std::optional<Directory> opened;
  try {
    opened.emplace(out);
  } catch (const std::exception& e) {
    std::error_code ignored;
    const fs::file_type type = fs::symlink_status(fs::path(out), ignored).type();
    throw Failure(kUsage,
                  "cannot create the directory '" + out + "': " +
                      (type == fs::file_type::symlink ? std::string("it is a symbolic link")
                       : created                      ? created.message()
                       : type != fs::file_type::directory && type != fs::file_type::not_found
                           ? std::string("it is not a directory")
                           : std::string(e.what())));
  }
  Directory& dir = *opened;
  std::list<Directory> frames;
  std::vector<Removal> removals;
  planRemoval(out, dir, "", true, frames, removals);
  for (const Removal& removal : removals) {
    // Removes a symbolic link itself, never what it points to; a frame directory once empty.
    try {
      removal.dir->remove(removal.name, removal.directory);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot remove '" + removal.path + "': " + e.what());
    }
    if (removal.name != kManifestFile) log.removed(removal.path);
  }
  return std::move(dir);
}

/// One camera frame, received and checked, with the plan of its files.
struct PlannedFrame {
  strandel::CameraFrame frame;
  std::vector<ArrayPlan> plans;
  FileNames names;
};

/// Captures one frame and plans its files: every array checked and every name chosen before
/// anything is written. Throws Failure (kInterrupted for SIGINT during the request).
/// `planned` is filled in place: its plans point into its frame's structure.
void captureFrame(strandel::IsaacSimClient& client, const CaptureRequest& request,
                  const std::string& label, PlannedFrame& planned) {
  strandel::CameraFrame& frame = planned.frame;
  std::vector<strandel::NamedOutput> placeholders;
  try {
    frame = client.cameras.capture(
        request.camera_id, request.types.empty() ? std::nullopt : std::optional(request.types),
        request.world_frame ? std::optional(true) : std::nullopt);
    placeholders = frame.namedOutputs();
    for (const strandel::NamedOutput& placeholder : placeholders)
      if (!placeholder.index)
        throw Failure(kMalformed, label + ": an array placeholder does not hold an index");
  } catch (...) {
    rethrowAsFailure(label);
  }

  std::vector<ArrayPlan>& plans = planned.plans;
  std::vector<bool> referenced(frame.outputs.size(), false);
  for (const strandel::NamedOutput& placeholder : placeholders) {
    if (placeholder.output == nullptr) {
      throw Failure(kMalformed, label + ": a placeholder names array " +
                                    std::to_string(*placeholder.index) + " but the frame holds " +
                                    std::to_string(frame.outputs.size()));
    }
    const auto index = static_cast<std::size_t>(*placeholder.index);
    referenced[index] = true;
    plans.push_back(
        {&nodeOf(frame.structure, placeholder), index, sourceOf(placeholder), {}, Form::Array});
  }
  for (std::size_t i = 0; i < frame.outputs.size(); ++i)
    if (!referenced[i])
      plans.push_back({nullptr, i, "output_" + std::to_string(i), {}, Form::Array});
  for (ArrayPlan& plan : plans) {
    const strandel::CameraOutput& output = frame.outputs[plan.index];
    // An array no placeholder names, whose bytes do not fit its shape, is kept as its bytes.
    const bool matching = requireWritable(label, plan.source, output, plan.node != nullptr);
    plan.form = matching || plan.node ? formOf(plan.source, output) : Form::Array;
    plan.stem = planned.names.claim(plan.source, plan.form);
  }
}

/// Writes a planned frame into `dir` (shown as `shown`), a directory that holds no capture: the
/// manifest first, then the arrays' files and frame.json. Returns the names of the files written
/// (the manifest excepted), in order. Throws Failure(kUsage) for a file that cannot be written.
std::vector<std::string> writeFrame(PlannedFrame& planned, const Directory& dir,
                                    const fs::path& shown, FileLog& log) {
  std::vector<std::string> files = planned.names.files();
  files.push_back(kFrameFile);
  std::string manifest;
  for (const std::string& file : files) manifest += file + "\n";
  try {
    writeNewFile(dir, kManifestFile, manifest);
  } catch (const std::exception& e) {
    throw Failure(kUsage, "cannot write '" + (shown / kManifestFile).string() + "': " + e.what());
  }

  ArrayWriter writer(dir, shown, log);
  for (const ArrayPlan& plan : planned.plans) {
    const json description = writer.write(plan, planned.frame.outputs[plan.index]);
    if (plan.node) *plan.node = description;
  }

  // Pretty-printed as answers are, within the same bounds.
  std::string text =
      formatBody(planned.frame.structure.dump(-1, ' ', false, json::error_handler_t::replace));
  if (text.back() != '\n') text += '\n';
  const std::string frame_path = (shown / kFrameFile).string();
  try {
    writeNewFile(dir, kFrameFile, text);
  } catch (const std::exception& e) {
    throw Failure(kUsage, "cannot write '" + frame_path + "': " + e.what());
  }
  log.wrote(frame_path);
  std::cout.flush();
  return files;
}

int runCapture(const CaptureRequest& request, const BridgeOptions& bridge) {
  const auto client = makeClient(bridge);
  const std::string label =
      "POST " + requestUrl(*client, "cameras/" + request.camera_id + "/capture");
  PlannedFrame planned;
  captureFrame(*client, request, label, planned);
  if (interrupted()) throw Failure(kInterrupted, label + ": interrupted before writing");
  FileLog log(true);
  const Directory dir = prepareDirectory(request.out, log);
  writeFrame(planned, dir, fs::path(request.out), log);
  return kSuccess;
}

/// A file of a series that it keeps open and adds lines to; each line is written whole (a failed
/// write leaves the lines before it and nothing of its own).
class SeriesFile {
 public:
  SeriesFile(const Directory& dir, const std::string& name, fs::path shown)
      : path_(std::move(shown)), file_(open(dir, name, path_)) {}

  void add(const std::string& line) {
    try {
      file_.write(line);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write '" + path_.string() + "': " + e.what());
    }
  }
  void close() {
    try {
      file_.close();
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write '" + path_.string() + "': " + e.what());
    }
  }

 private:
  static NewFile open(const Directory& dir, const std::string& name, const fs::path& path) {
    try {
      return NewFile(dir, name, NewFile::Existing::Refuse);
    } catch (const std::exception& e) {
      throw Failure(kUsage, "cannot write '" + path.string() + "': " + e.what());
    }
  }

  fs::path path_;
  NewFile file_;
};

/// "000001" for frame 1.
std::string frameDirectoryName(long long frame) {
  char name[24];
  std::snprintf(name, sizeof name, "%06lld", frame);
  return name;
}

/// Waits until `due`; false when SIGINT came first.
bool waitUntil(Clock::time_point due) {
  for (int slices = 0; !interrupted(); ++slices) {
    const auto now = Clock::now();
    if (now >= due) return true;
    // At most 50 ms per slice, so that SIGINT is noticed soon whatever sleep does with EINTR.
    std::this_thread::sleep_for(
        std::min<Clock::duration>(due - now, std::chrono::milliseconds(50)));
  }
  return false;
}

/// A series: --count frames into numbered directories of DIR, each written as one capture is,
/// and DIR/frames.jsonl with a line per complete frame; one frame in memory at a time. DIR's
/// manifest lists frames.jsonl and each frame directory before it is made, so that the next
/// capture there removes an interrupted or failed series too. DIR is held open from the start:
/// every frame goes into the directory that was prepared, whatever becomes of its path. Prints a
/// line per file written or removed with --verbose, and a summary at the end.
int runSeries(const CaptureRequest& request, const BridgeOptions& bridge) {
  const auto client = makeClient(bridge);
  const std::string label =
      "POST " + requestUrl(*client, "cameras/" + request.camera_id + "/capture");
  const fs::path shown(request.out);
  const auto period = request.rate > 0 ? std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(1.0 / request.rate))
                                       : Clock::duration::zero();
  FileLog log(request.verbose);
  std::optional<Directory> dir;
  std::optional<SeriesFile> manifest;
  std::optional<SeriesFile> index;
  Timeline timeline;
  long long complete = 0;
  auto due = Clock::now();
  try {
    for (long long frame = 1; frame <= request.count; ++frame) {
      if (frame > 1) {
        // A steady schedule: each capture starts a period after the previous one was due; a
        // schedule more than a period behind starts again from now instead of catching up.
        due += period;
        const auto now = Clock::now();
        if (now > due + period) due = now;
        if (!waitUntil(due)) break;
      }
      PlannedFrame planned;
      captureFrame(*client, request, label, planned);
      const Stamp stamp = timeline.now();
      if (!dir) {
        // The directory is prepared once the first frame is known to be writable, as for one
        // capture.
        dir.emplace(prepareDirectory(request.out, log));
        manifest.emplace(*dir, kManifestFile, shown / kManifestFile);
        manifest->add(std::string(kIndexFile) + "\n");
        index.emplace(*dir, kIndexFile, shown / kIndexFile);
      }
      const std::string name = frameDirectoryName(frame);
      manifest->add(name + "\n");
      std::optional<Directory> frame_dir;
      try {
        dir->makeDirectory(name);
        frame_dir.emplace(dir->open(name));
      } catch (const std::exception& e) {
        throw Failure(kUsage,
                      "cannot create the directory '" + (shown / name).string() + "': " + e.what());
      }
      std::vector<std::string> files = writeFrame(planned, *frame_dir, shown / name, log);
      for (std::string& file : files) file = name + "/" + file;
      const json& structure = planned.frame.structure;
      const auto sim_time = structure.is_object() ? structure.find("sim_time") : structure.end();
      index->add(frameLine(static_cast<std::size_t>(frame), name, stamp,
                           sim_time != structure.end() ? *sim_time : json(), files));
      ++complete;
      if (interrupted()) break;
    }
  } catch (const Failure& failure) {
    // Ctrl-C ends a series that has frames as a normal end.
    if (failure.status() != kInterrupted || complete == 0) throw;
  }
  if (manifest) manifest->close();
  if (index) index->close();
  std::cout << "wrote " << (shown / kIndexFile).string() << " (" << complete << " of "
            << request.count << " frames)";
  if (log.removedCount() > 0)
    std::cout << ", after removing " << log.removedCount() << " files of an earlier capture";
  std::cout << std::endl;
  return kSuccess;
}

}  // namespace

void addCaptureCommand(CLI::App& app, const BridgeOptions& bridge, Commands& commands) {
  CLI::App* sub = app.add_subcommand(
      "capture",
      "Capture one frame of a camera (created before, e.g. with strandel put cameras) and write "
      "it\n"
      "into --out: rgb.png (8-bit colour), depth.png (16-bit grey in millimetres, 0 where not\n"
      "finite or beyond 65.535 m), depth_preview.png (false colour, near yellow, far purple),\n"
      "depth.npy (metres), .npy files for other arrays, and frame.json (the frame's structure,\n"
      "each array described by shape, dtype and file). Each array is named by its path in the\n"
      "structure; a name another array already took gets a suffix (_2, _3, ...), said on its\n"
      "line. --out must be new, empty or hold only an earlier capture (the files its\n"
      ".strandel-capture lists), whose files are removed first; anything else there makes\n"
      "capture refuse (exit 2) without writing. Files are created new: none is overwritten and\n"
      "no symbolic link followed.\n"
      "With --count N, a series: N frames, each written as above into a directory of its own\n"
      "(--out/000001/, 000002/, ...), one frame in memory at a time, and --out/frames.jsonl with\n"
      "one JSON line per frame once its files are complete: frame, dir, time (UTC), offset\n"
      "(seconds since the first frame), sim_time (the frame's, or null) and files.\n"
      "--rate HZ starts the captures on a steady schedule of HZ a second (one after the other\n"
      "without it). --out may hold an earlier capture or series, removed first as above. Ctrl-C\n"
      "ends a series after the frame being written: exit 0 when at least one frame is complete,\n"
      "130 when none is; a frame whose capture was cut short leaves nothing. A series prints one\n"
      "line when it ends, the frames written and the files of an earlier capture removed\n"
      "(--verbose: a line for each file as well). --out is held open from the start: every\n"
      "frame goes into the directory prepared, even when its path is renamed or replaced.");
  auto request = std::make_shared<CaptureRequest>();
  sub->add_option("CAMERA_ID", request->camera_id, "the camera's identifier")->required();
  sub->add_option("--types", request->types,
                  "data types to capture, e.g. rgb,depth (default: the bridge's)")
      ->delimiter(',');
  sub->add_flag("--world-frame", request->world_frame,
                "ask for the camera's pose in the world frame as well");
  sub->add_option("-o,--out", request->out,
                  "directory to write into (not a symbolic link): new, empty or holding an earlier "
                  "capture")
      ->required();
  CLI::Option* count =
      sub->add_option("-n,--count", request->count,
                      "capture a series of N frames into numbered directories (default: one "
                      "frame into --out itself)")
          ->type_name("N")
          ->check(CLI::Range(1LL, kMaxFrames));
  sub->add_option("--rate", request->rate,
                  "with --count: start the captures HZ times a second (default: one after the "
                  "other)")
      ->type_name("HZ")
      ->check(CLI::Range(0.001, 1000.0))
      ->needs(count);
  sub->add_flag("-v,--verbose", request->verbose,
                "with --count: print a line for each file written or removed, not only the "
                "summary")
      ->needs(count);
  sub->footer(
      "Examples:\n  strandel put cameras "
      "'{\"prim_path\":\"/World/camera\",\"resolution\":[320,240]}'\n"
      "  strandel capture camera --types rgb,depth --out frame/\n"
      "  strandel capture camera --count 100 --rate 10 --out run/");
  commands[sub] = [request, &bridge] {
    return request->count > 0 ? runSeries(*request, bridge) : runCapture(*request, bridge);
  };
}

}  // namespace strandel_cli

#include "view_camera_feed.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "interrupt.hpp"
#include "view_json.hpp"
#include "view_pictures.hpp"

namespace strandel_cli {
namespace {

using Clock = std::chrono::steady_clock;
using strandel::json;

constexpr double kFallbackFps = 10.0;
/// The rates a camera is captured at, whatever it reports: a picture every 10 s at the slowest.
constexpr double kMinFps = 0.1;
constexpr double kMaxFps = 60.0;
/// How soon a failed capture or a search for a camera is tried again.
constexpr auto kRetry = std::chrono::seconds(1);
constexpr auto kStateInterval = std::chrono::seconds(1);

double millisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

double epochMilliseconds() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

/// The body of a 2xx answer to GET `path` as JSON; empty for anything else.
std::optional<json> getJson(strandel::IsaacSimClient& client, const std::string& path) {
  const strandel::HttpResponse response = client.get(path);
  if (response.status < 200 || response.status > 299) return std::nullopt;
  json body = json::parse(response.body, nullptr, false);
  if (body.is_discarded()) return std::nullopt;
  return body;
}

/// What a refusal says: the status, the camera, and the bridge's own "error" text when its body
/// is a JSON object that has one.
std::string refusalText(const strandel::HTTPError& error, const std::string& camera) {
  std::string text = error.what();
  if (!camera.empty()) text += " for camera '" + camera + "'";
  const json body = json::parse(error.body(), nullptr, false);
  if (body.is_object() && body.contains("error") && body.at("error").is_string())
    text += ": " + body.at("error").get<std::string>();
  return text;
}

/// The member `name` of `value` when `value` is an object that has it; nullptr otherwise.
const json* member(const std::optional<json>& value, const char* name) {
  return value && value->is_object() && value->contains(name) ? &value->at(name) : nullptr;
}

}  // namespace

/// What the two threads share: the frame handed from capture to encoding, and the camera's state
/// with what was measured since the last report. Every member is guarded by `mutex`.
struct CameraFeed::Pipeline {
  /// A captured frame with the facts its pictures carry.
  struct Captured {
    strandel::CameraFrame frame;
    std::string camera;
    double captured_at_ms = 0.0;  // wall clock when the capture started
    double capture_ms = 0.0;
    std::uint64_t epoch = 0;  // the pipeline's epoch when the capture started
  };

  std::mutex mutex;
  std::condition_variable handed;
  /// Whether pictures are wanted; `wantedChanged` is notified when it changes and on stop.
  std::condition_variable wantedChanged;
  bool wanted = false;
  bool stopping = false;
  Captured waiting;  // holds a frame while `full`
  bool full = false;
  bool closed = false;

  // The state reported, and the means since the last report.
  std::string state = "waiting";
  std::string detail;
  std::string camera;
  double target_fps = 0.0;
  std::uint64_t frames = 0;
  std::uint64_t dropped = 0;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  json sim_time;
  double capture_ms = 0.0;
  double encode_ms = 0.0;
  std::uint64_t window_frames = 0;
  Clock::time_point window_start = Clock::now();
  std::string last_reported;
  Clock::time_point next_report = Clock::now();
  /// Counts the failures reported: a frame captured before the latest one does not make the
  /// state live again.
  std::uint64_t epoch = 0;

  /// Puts `captured` in the slot, giving back the buffers of the slot's frame (dropped if it was
  /// still waiting).
  void put(Captured& captured) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (full) ++dropped;
      std::swap(waiting, captured);
      full = true;
    }
    handed.notify_one();
  }

  /// Waits for a frame and swaps it into `out`; false once closed.
  bool take(Captured& out) {
    std::unique_lock<std::mutex> lock(mutex);
    handed.wait(lock, [this] { return full || closed; });
    if (!full) return false;
    std::swap(waiting, out);
    full = false;
    return true;
  }

  void setWanted(bool value) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      wanted = value;
    }
    wantedChanged.notify_all();
  }

  /// Waits until pictures are wanted; false once stopping.
  bool waitUntilWanted() {
    std::unique_lock<std::mutex> lock(mutex);
    wantedChanged.wait(lock, [this] { return wanted || stopping; });
    return !stopping;
  }

  void close() {
    {
      std::lock_guard<std::mutex> lock(mutex);
      closed = true;
    }
    handed.notify_all();
  }

  /// Sets a state other than live; sends it at once when it changed, else at most once a second.
  void report(const StateSink& sink, const std::string& what, const std::string& why) {
    std::lock_guard<std::mutex> lock(mutex);
    ++epoch;
    reportLocked(sink, what, why);
  }

  std::uint64_t currentEpoch() {
    std::lock_guard<std::mutex> lock(mutex);
    return epoch;
  }

  void frameShown(const StateSink& sink, const Captured& captured, double encode,
                  std::uint32_t picture_width, std::uint32_t picture_height) {
    std::lock_guard<std::mutex> lock(mutex);
    ++window_frames;
    capture_ms += captured.capture_ms;
    encode_ms += encode;
    width = picture_width;
    height = picture_height;
    if (captured.epoch == epoch) reportLocked(sink, "live", "");
  }

 private:
  void reportLocked(const StateSink& sink, const std::string& what, const std::string& why) {
    state = what;
    detail = why;
    const auto now = Clock::now();
    if (what + "\n" + why == last_reported && now < next_report) return;
    const double seconds = std::chrono::duration<double>(now - window_start).count();
    const double count = static_cast<double>(window_frames);
    sink(viewJson({{"type", "camera"},
                   {"state", state},
                   {"detail", detail},
                   {"camera", camera},
                   {"target_fps", target_fps},
                   {"fps", seconds > 0 ? count / seconds : 0.0},
                   {"frames", frames},
                   {"dropped", dropped},
                   {"width", width},
                   {"height", height},
                   {"sim_time", sim_time},
                   {"capture_ms", window_frames ? capture_ms / count : 0.0},
                   {"encode_ms", window_frames ? encode_ms / count : 0.0}}));
    last_reported = what + "\n" + why;
    next_report = now + kStateInterval;
    window_start = now;
    window_frames = 0;
    capture_ms = 0.0;
    encode_ms = 0.0;
  }
};

CameraFeed::CameraFeed(strandel::IsaacSimClient& client, CameraFeedSettings settings,
                       PictureSink pictures, StateSink states)
    : client_(client),
      settings_(std::move(settings)),
      pictures_(std::move(pictures)),
      states_(std::move(states)),
      pipeline_(std::make_unique<Pipeline>()) {}

CameraFeed::~CameraFeed() { stop(); }

void CameraFeed::start() {
  encoder_ = std::thread([this] { encodeLoop(); });
  capturer_ = std::thread([this] { captureLoop(); });
}

void CameraFeed::setWanted(bool wanted) { pipeline_->setWanted(wanted); }

void CameraFeed::stop() {
  {
    std::lock_guard<std::mutex> lock(pipeline_->mutex);
    pipeline_->stopping = true;
  }
  pipeline_->wantedChanged.notify_all();
  stop_.request();
  if (capturer_.joinable()) capturer_.join();
  pipeline_->close();
  if (encoder_.joinable()) encoder_.join();
}

void CameraFeed::captureLoop() {
  Pipeline& pipeline = *pipeline_;
  Pipeline::Captured captured;
  std::string camera = settings_.camera_id;
  double fps = 0.0;
  Clock::time_point next_capture = Clock::now();
  while (!stop_.requested() && pipeline.waitUntilWanted()) {
    Clock::time_point retry_at = Clock::now() + kRetry;
    try {
      if (camera.empty()) {
        const std::optional<json> root = getJson(client_, "");
        const json* cameras = member(root, "cameras");
        if (cameras && cameras->is_array() && !cameras->empty() && cameras->at(0).is_string())
          camera = cameras->at(0).get<std::string>();
        if (camera.empty()) {
          pipeline.report(states_, "waiting",
                          "no camera at the bridge yet: create one, or pass --camera ID");
          stop_.waitUntil(retry_at);
          continue;
        }
      }
      if (fps <= 0.0) {
        fps = settings_.fps;
        if (fps <= 0.0) {
          const std::optional<json> about = getJson(client_, "cameras/" + camera);
          const json* frequency = member(about, "frequency");
          fps = frequency && frequency->is_number() && frequency->get<double>() > 0.0
                    ? frequency->get<double>()
                    : kFallbackFps;
        }
        fps = std::clamp(fps, kMinFps, kMaxFps);  // a period that fits the clock, and not 0
        std::lock_guard<std::mutex> lock(pipeline.mutex);
        pipeline.camera = camera;
        pipeline.target_fps = fps;
      }

      captured.epoch = pipeline.currentEpoch();
      const Clock::time_point started = Clock::now();
      captured.captured_at_ms = epochMilliseconds();
      client_.cameras.capture(camera, captured.frame, std::vector<std::string>{"rgb", "depth"});
      captured.capture_ms = millisecondsBetween(started, Clock::now());
      captured.camera = camera;
      pipeline.put(captured);

      const auto period =
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / fps));
      next_capture += period;
      if (next_capture < Clock::now()) next_capture = Clock::now();  // behind: skip, not queue
      retry_at = next_capture;
    } catch (const Interrupted&) {
      break;
    } catch (const strandel::HTTPError& e) {
      pipeline.report(states_, "refused", refusalText(e, camera));
      if (settings_.camera_id.empty()) camera.clear();  // look for the bridge's camera again
      fps = 0.0;
    } catch (const strandel::TransportError& e) {
      pipeline.report(states_, "unreachable", e.what());
      fps = settings_.fps;  // the camera's rate is asked again once the bridge is back
    } catch (const strandel::FrameFormatError& e) {
      pipeline.report(states_, "malformed", e.what());
    } catch (const std::exception& e) {
      pipeline.report(states_, "error", e.what());
    }
    if (!stop_.waitUntil(retry_at)) break;
  }
}

void CameraFeed::encodeLoop() {
  Pipeline& pipeline = *pipeline_;
  const DepthShader shader;
  Pipeline::Captured captured;
  while (pipeline.take(captured)) {
    try {
      const strandel::CameraFrame& frame = captured.frame;
      const Clock::time_point started = Clock::now();
      const json* sim = frame.structure.is_object() && frame.structure.contains("sim_time")
                            ? &frame.structure.at("sim_time")
                            : nullptr;
      const json sim_time = sim && sim->is_number() ? *sim : json();
      std::vector<std::pair<std::string, std::string>> encoded;  // kind, JPEG
      PictureShape rgb_shape;
      if (const strandel::CameraOutput* rgb = frame.output("rgb")) {
        if (const std::optional<PictureShape> shape = pictureShapeOf(*rgb)) {
          rgb_shape = *shape;
          encoded.emplace_back("rgb", encodeJpeg(rgb->data.data(), *shape, settings_.jpeg_quality));
        }
      }
      PictureShape depth_shape;
      if (const strandel::CameraOutput* depth = frame.output("depth")) {
        if (const auto shaded = shader.shade(*depth, depth_shape))
          encoded.emplace_back("depth",
                               encodeJpeg(shaded->data(), depth_shape, settings_.jpeg_quality));
      }
      const double encode_ms = millisecondsBetween(started, Clock::now());
      if (encoded.empty()) {
        pipeline.report(states_, "malformed",
                        "the frame of camera '" + captured.camera +
                            "' holds neither an 8-bit rgb picture nor a float depth");
        continue;
      }
      std::uint64_t sequence = 0;
      {
        std::lock_guard<std::mutex> lock(pipeline.mutex);
        sequence = ++pipeline.frames;
        pipeline.sim_time = sim_time;
      }
      for (const auto& [kind, jpeg] : encoded) {
        const PictureShape& shape = kind == "rgb" ? rgb_shape : depth_shape;
        const json meta = {{"kind", kind},
                           {"camera", captured.camera},
                           {"seq", sequence},
                           {"width", shape.width},
                           {"height", shape.height},
                           {"sim_time", sim_time},
                           {"captured_at_ms", captured.captured_at_ms},
                           {"capture_ms", captured.capture_ms},
                           {"encode_ms", encode_ms}};
        pictures_(makeViewPicture(kind, viewJson(meta), jpeg));
      }
      const PictureShape& shown = rgb_shape.width ? rgb_shape : depth_shape;
      pipeline.frameShown(states_, captured, encode_ms, shown.width, shown.height);
    } catch (const std::exception& e) {
      pipeline.report(states_, "error", e.what());
    }
  }
}

}  // namespace strandel_cli

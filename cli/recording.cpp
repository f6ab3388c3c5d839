#include "recording.hpp"

#include <cstdio>
#include <ctime>

namespace strandel_cli {
namespace {

std::string jsonString(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

Stamp Timeline::now() {
  const auto steady = std::chrono::steady_clock::now();
  Stamp stamp;
  stamp.time = std::chrono::system_clock::now();
  if (!origin_) origin_ = steady;
  stamp.offset = std::chrono::duration_cast<std::chrono::microseconds>(steady - *origin_);
  return stamp;
}

std::string isoTimeUtc(std::chrono::system_clock::time_point time) {
  using namespace std::chrono;
  const auto since_epoch = duration_cast<microseconds>(time.time_since_epoch());
  auto whole = duration_cast<seconds>(since_epoch);
  if (whole > since_epoch) whole -= seconds(1);  // floor for times before 1970
  const auto micros = (since_epoch - whole).count();
  const std::time_t seconds_since_epoch = static_cast<std::time_t>(whole.count());
  std::tm utc{};
  gmtime_r(&seconds_since_epoch, &utc);
  char text[64];
  const std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + length, sizeof text - length, ".%06lldZ", static_cast<long long>(micros));
  return text;
}

std::string stampKeys(const Stamp& stamp) {
  const long long micros = stamp.offset.count();
  char offset[48];
  std::snprintf(offset, sizeof offset, "%lld.%06lld", micros / 1000000, micros % 1000000);
  return "\"time\":\"" + isoTimeUtc(stamp.time) + "\",\"offset\":" + offset;
}

std::string messageLine(const Stamp& stamp, std::string_view message_json) {
  std::string line = "{" + stampKeys(stamp) + ",\"message\":";
  line.append(message_json);
  line += "}\n";
  return line;
}

std::string reconnectLine(const Stamp& stamp, const strandel::ReconnectReport& report) {
  return "{" + stampKeys(stamp) +
         ",\"reconnect\":{\"reconnects\":" + std::to_string(report.reconnects) +
         ",\"downtime_ms\":" + std::to_string(report.downtime.count()) +
         ",\"reason\":" + jsonString(report.reason) + "}}\n";
}

std::string endLine(const Stamp& stamp, const RecordingEnd& end) {
  const auto text = [](const std::optional<std::string>& value) {
    return value ? jsonString(*value) : std::string("null");
  };
  return "{" + stampKeys(stamp) + ",\"end\":{\"messages\":" + std::to_string(end.messages) +
         ",\"cause\":" + jsonString(end.cause) + ",\"close_code\":" +
         (end.close_code ? std::to_string(*end.close_code) : std::string("null")) +
         ",\"close_reason\":" + text(end.close_reason) + ",\"error\":" + text(end.error) + "}}\n";
}

std::string frameLine(std::size_t frame, const std::string& dir, const Stamp& stamp,
                      const nlohmann::json& sim_time, const std::vector<std::string>& files) {
  const nlohmann::json written_sim_time = sim_time.is_number() ? sim_time : nlohmann::json();
  return "{\"frame\":" + std::to_string(frame) + ",\"dir\":" + jsonString(dir) + "," +
         stampKeys(stamp) + ",\"sim_time\":" + written_sim_time.dump() + ",\"files\":" +
         nlohmann::json(files).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) +
         "}\n";
}

}  // namespace strandel_cli

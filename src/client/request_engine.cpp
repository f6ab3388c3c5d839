#include "request_engine.hpp"

#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include "backoff.hpp"
#include "curl_handle.hpp"
#include "ignore_case.hpp"

namespace strandel::detail {
namespace {

using Clock = std::chrono::steady_clock;

// The most a Content-Length value reserves for the body up front; longer bodies still arrive whole,
// growing the string as their bytes come.
constexpr std::size_t kMaxBodyReservation = std::size_t{256} << 20;

// Connections a client's pool keeps open (in use or idle); past this, libcurl closes the oldest
// idle one when a transfer ends. libcurl's default of 5 would make more concurrent threads than
// that churn through fresh connections.
constexpr long kMaxPooledConnections = 64;

constexpr char kJsonContentType[] = "Content-Type: application/json";

// libcurl reads standard input when POSTFIELDS is null, so an empty body points at this instead.
constexpr char kEmptyBody[] = "";

// The value of a Content-Length line: digits, optionally followed by spaces or tabs. A number too
// large for 64 bits reads as the largest one; anything else is no length at all.
std::optional<std::uint64_t> parseContentLength(std::string_view value) {
  std::uint64_t length = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  const auto [end, error] = std::from_chars(first, last, length);
  if (error == std::errc::result_out_of_range) {
    length = std::numeric_limits<std::uint64_t>::max();
  } else if (error != std::errc()) {
    return std::nullopt;
  }
  for (const char* p = end; p != last; ++p) {
    if (*p != ' ' && *p != '\t') return std::nullopt;
  }
  return length;
}

void reserveForContentLength(std::string& body, std::uint64_t length) {
  if (length == 0 || length > kMaxBodyReservation) return;
  if (body.capacity() < length) body.reserve(static_cast<std::size_t>(length));
}

struct HeaderLine {
  std::string_view name;
  std::string_view value;
};

// A header line split at its first colon (trailing CR/LF and the value's leading spaces dropped);
// nothing for a blank line or one without a colon.
std::optional<HeaderLine> splitHeaderLine(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty()) return std::nullopt;
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  return HeaderLine{line.substr(0, colon), value};
}

// What the callbacks of one attempt write into, and what they found.
struct AttemptSink {
  std::string* body;
  std::map<std::string, std::string>* headers;  // null: headers are not kept
  std::size_t max_body;                         // 0: no limit
  bool exceeded = false;                        // the body passed max_body
};

std::size_t appendCapped(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  auto& sink = *static_cast<AttemptSink*>(user);
  if (sink.max_body != 0 && n > sink.max_body - sink.body->size()) {
    sink.exceeded = true;
    return 0;  // anything but n ends the transfer at once
  }
  sink.body->append(data, n);
  return n;
}

std::size_t receiveHeader(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  auto& sink = *static_cast<AttemptSink*>(user);
  const std::optional<HeaderLine> line = splitHeaderLine(std::string_view(data, n));
  if (!line) return n;
  if (sink.headers != nullptr) {
    sink.headers->insert_or_assign(std::string(line->name), std::string(line->value));
  }
  if (equalsIgnoreCase(line->name, "content-length")) {
    const std::optional<std::uint64_t> length = parseContentLength(line->value);
    if (length && sink.max_body != 0 && *length > sink.max_body) {
      sink.exceeded = true;
      return 0;  // ends the transfer before any of the body is read
    }
    if (length) reserveForContentLength(*sink.body, *length);
  }
  return n;
}

enum class Method { Get, Post, Put, Patch, Delete };

Method parseMethod(std::string_view method) {
  if (method == "GET") return Method::Get;
  if (method == "POST") return Method::Post;
  if (method == "PUT") return Method::Put;
  if (method == "PATCH") return Method::Patch;
  if (method == "DELETE") return Method::Delete;
  throw std::invalid_argument("Unsupported HTTP method: " + std::string(method));
}

void setBody(CurlHandle& handle, std::string_view body) {
  handle.setOption(CURLOPT_POSTFIELDS, body.data() ? body.data() : kEmptyBody);
  handle.setOption(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  handle.setHeaderLine(kJsonContentType);
}

// One attempt on a handle of its own: the sink receives the headers and body, `status` the status
// when the transfer succeeded. Returns libcurl's result; throws the set-up errors of CurlHandle.
CURLcode transferOnce(Method method, const std::string& url, std::string_view body,
                      const RequestSettings& settings, AttemptSink& sink, long& status) {
  CurlHandle handle;
  handle.setOption(CURLOPT_URL, url.c_str());
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(settings.timeout.count()));
  handle.setOption(CURLOPT_WRITEFUNCTION, &appendCapped);
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&sink));
  handle.setOption(CURLOPT_HEADERFUNCTION, &receiveHeader);
  handle.setOption(CURLOPT_HEADERDATA, static_cast<void*>(&sink));
  if (settings.connections != nullptr) {
    handle.setOption(CURLOPT_SHARE, settings.connections);
    handle.setOption(CURLOPT_MAXCONNECTS, kMaxPooledConnections);
  }
  switch (method) {
    case Method::Get:
      break;
    case Method::Post:
      handle.setOption(CURLOPT_POST, 1L);
      setBody(handle, body);
      break;
    case Method::Put:
      handle.setOption(CURLOPT_CUSTOMREQUEST, "PUT");
      setBody(handle, body);
      break;
    case Method::Patch:
      handle.setOption(CURLOPT_CUSTOMREQUEST, "PATCH");
      setBody(handle, body);
      break;
    case Method::Delete:
      handle.setOption(CURLOPT_CUSTOMREQUEST, "DELETE");
      break;
  }
  const CURLcode code = handle.perform();
  if (code == CURLE_OK) status = handle.responseCode();
  return code;
}

std::string exceedsText(std::size_t max_body) {
  return "HTTP response exceeds " + std::to_string(max_body) + " bytes";
}

}  // namespace

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  static_cast<std::string*>(user)->append(data, n);
  return n;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto& response = *static_cast<HttpResponse*>(user);
  AttemptSink sink{&response.body, &response.headers, 0};
  return receiveHeader(data, size, count, &sink);
}

bool isRetryableStatus(long status) noexcept {
  return status == 408 || status == 409 || status == 429 || status == 500 || status >= 502;
}

void performRequest(std::string_view method, const std::string& url, std::string_view body,
                    const RequestSettings& settings, const Sleeper& sleep,
                    const ResponseTarget& target) {
  const Method parsed = parseMethod(method);
  const bool report = settings.on_attempt != nullptr && *settings.on_attempt;
  for (int attempt = 0;; ++attempt) {
    // Only the last attempt's answer survives; clearing keeps the memory for the next one.
    *target.status = 0;
    target.body->clear();
    if (target.headers != nullptr) target.headers->clear();
    AttemptSink sink{target.body, target.headers, settings.max_response_bytes};

    const auto started = Clock::now();
    const CURLcode code = transferOnce(parsed, url, body, settings, sink, *target.status);
    const auto ended = Clock::now();

    const bool retry_candidate = code != CURLE_OK || isRetryableStatus(*target.status);
    const bool retry = !sink.exceeded && retry_candidate && attempt < settings.max_retries;
    const std::optional<std::chrono::milliseconds> delay =
        retry ? std::optional(backoffDelay(attempt)) : std::nullopt;
    if (report) {
      AttemptReport attempt_report;
      attempt_report.method = std::string(method);
      attempt_report.url = url;
      attempt_report.attempt = attempt + 1;
      attempt_report.status = code == CURLE_OK ? *target.status : 0;
      if (sink.exceeded) {
        attempt_report.error = exceedsText(settings.max_response_bytes);
      } else if (code != CURLE_OK) {
        attempt_report.error = curl_easy_strerror(code);
      }
      attempt_report.duration =
          std::chrono::duration_cast<std::chrono::microseconds>(ended - started);
      attempt_report.next_delay = delay;
      (*settings.on_attempt)(attempt_report);
    }
    if (sink.exceeded) throw std::runtime_error(exceedsText(settings.max_response_bytes));
    if (!retry) {
      if (code != CURLE_OK) {
        throw std::runtime_error(std::string("HTTP request failed: ") + curl_easy_strerror(code));
      }
      return;
    }
    sleep(*delay);
  }
}

HttpResponse performRequest(std::string_view method, const std::string& url, std::string_view body,
                            const RequestSettings& settings, const Sleeper& sleep) {
  HttpResponse response;
  performRequest(method, url, body, settings, sleep,
                 ResponseTarget{&response.status, &response.body, &response.headers});
  return response;
}

}  // namespace strandel::detail

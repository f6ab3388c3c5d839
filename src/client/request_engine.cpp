#include "request_engine.hpp"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include <strandel/errors.hpp>

#include "backoff.hpp"
#include "curl_handle.hpp"
#include "ignore_case.hpp"
#include "transfer_guard.hpp"

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

// Idle seconds after which a kept connection is closed instead of reused. libcurl compares whole
// seconds, so a connection idle for 4 s or more is never reused: that stays below the keep-alive
// time-outs common in servers (uvicorn: 5 s), so that requests rarely meet a connection the bridge
// is closing just then.
constexpr long kMaxIdleSeconds = 3;

constexpr char kJsonContentType[] = "Content-Type: application/json";
// Keeps libcurl from sending "Expect: 100-continue" with bodies over 1 MiB and then waiting up to
// a second for an interim answer that many servers never send.
constexpr char kNoExpect[] = "Expect:";

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

// GET and DELETE may go out once more than the budget allows when libcurl replaces a stale kept
// connection under them; the methods with a body never do.
bool isIdempotent(Method method) noexcept {
  return method == Method::Get || method == Method::Delete;
}

void setBody(CurlHandle& handle, std::string_view body) {
  handle.setOption(CURLOPT_POSTFIELDS, body.data() ? body.data() : kEmptyBody);
  handle.setOption(CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  handle.setHeaderLines({kJsonContentType, kNoExpect});
}

AttemptFailure failureOf(CURLcode code) noexcept {
  if (code == CURLE_OK) return AttemptFailure::none;
  return code == CURLE_OPERATION_TIMEDOUT ? AttemptFailure::timeout : AttemptFailure::transport;
}

// One logical exchange: what its attempts share with each other and with the callbacks of their
// transfers.
struct Exchange {
  std::string_view method_text;
  Method method;
  const std::string& url;
  const RequestSettings& settings;
  int attempt = 0;            // index of the attempt under way, from 0
  Clock::time_point started;  // when the attempt under way began

  bool reports() const noexcept { return settings.on_attempt != nullptr && *settings.on_attempt; }

  // Hands the report of the attempt under way, ended at `ended`, to the attempt hook, if any.
  void report(long status, AttemptFailure failure, std::string error, Clock::time_point ended,
              std::optional<std::chrono::milliseconds> next_delay) const {
    if (!reports()) return;
    AttemptReport attempt_report;
    attempt_report.failure = failure;
    attempt_report.method = std::string(method_text);
    attempt_report.url = url;
    attempt_report.attempt = attempt + 1;
    attempt_report.status = status;
    attempt_report.error = std::move(error);
    attempt_report.duration =
        std::chrono::duration_cast<std::chrono::microseconds>(ended - started);
    attempt_report.next_delay = next_delay;
    (*settings.on_attempt)(attempt_report);
  }
};

// "HTTP request failed: " + libcurl's text, as the kind that fits the code.
[[noreturn]] void throwTransportFailure(CURLcode code, const Exchange& exchange) {
  const std::string text = std::string("HTTP request failed: ") + curl_easy_strerror(code);
  const int attempts = exchange.attempt + 1;
  if (code == CURLE_OPERATION_TIMEDOUT) throw TimeoutError(text, code, exchange.url, attempts);
  throw TransportError(text, code, exchange.url, attempts);
}

// One transfer: the state its callbacks write and what they found.
struct Transfer {
  Exchange& exchange;
  AttemptSink sink;
  TransferGuard guard;
  int requests_ready = 0;       // times libcurl made the request ready to go out
  bool resend_refused = false;  // a resend was stopped: no attempt was left for it
};

// CURLOPT_PREREQFUNCTION: libcurl calls it each time the request is about to leave on a
// connection, new or reused. A second call within one transfer means libcurl is sending the
// request again because the kept connection that carried the copy before closed without an answer:
// that copy is reported as an attempt of its own and counts against the retry budget. A copy of a
// POST, PUT or PATCH for which no attempt is left is stopped here; GET and DELETE go out anyway.
int onRequestReady(void* user, char* /*primary_ip*/, char* /*local_ip*/, int /*primary_port*/,
                   int /*local_port*/) noexcept {
  auto& transfer = *static_cast<Transfer*>(user);
  if (transfer.guard.failed()) return CURL_PREREQFUNC_ABORT;
  if (++transfer.requests_ready == 1) return CURL_PREREQFUNC_OK;
  Exchange& exchange = transfer.exchange;
  const bool resend =
      exchange.attempt < exchange.settings.max_retries || isIdempotent(exchange.method);
  const auto now = Clock::now();
  const bool reported = transfer.guard.run([&] {
    exchange.report(0, AttemptFailure::transport, curl_easy_strerror(CURLE_GOT_NOTHING), now,
                    resend ? std::optional(std::chrono::milliseconds(0)) : std::nullopt);
  });
  if (!reported) return CURL_PREREQFUNC_ABORT;
  if (!resend) {
    transfer.resend_refused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  ++exchange.attempt;
  exchange.started = now;
  transfer.sink.body->clear();
  if (transfer.sink.headers != nullptr) transfer.sink.headers->clear();
  return CURL_PREREQFUNC_OK;
}

// One attempt on a handle of its own: the sink receives the headers and body, `status` the status
// when the transfer succeeded. Returns libcurl's result; throws the set-up errors of CurlHandle,
// what the interrupt check or the attempt hook threw during the transfer, and "HTTP request
// failed: " + libcurl's text for CURLE_GOT_NOTHING when a resend had no attempt left.
CURLcode transferOnce(Exchange& exchange, std::string_view body, AttemptSink sink, long& status,
                      bool& exceeded) {
  const RequestSettings& settings = exchange.settings;
  Transfer transfer{exchange, sink, TransferGuard(settings.interrupt_check)};
  CurlHandle handle;
  handle.setOption(CURLOPT_URL, exchange.url.c_str());
  handle.restrictSchemes("http,https", "http");
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(settings.timeout.count()));
  handle.setOption(CURLOPT_WRITEFUNCTION, &appendCapped);
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&transfer.sink));
  handle.setOption(CURLOPT_HEADERFUNCTION, &receiveHeader);
  handle.setOption(CURLOPT_HEADERDATA, static_cast<void*>(&transfer.sink));
  handle.setOption(CURLOPT_PREREQFUNCTION, &onRequestReady);
  handle.setOption(CURLOPT_PREREQDATA, static_cast<void*>(&transfer));
  transfer.guard.installOn(handle);
  if (settings.connections != nullptr) {
    handle.setOption(CURLOPT_SHARE, settings.connections);
    handle.setOption(CURLOPT_MAXCONNECTS, kMaxPooledConnections);
    handle.setOption(CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
  }
  switch (exchange.method) {
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
  transfer.guard.rethrowIfFailed();
  if (transfer.resend_refused) throwTransportFailure(CURLE_GOT_NOTHING, exchange);
  if (code == CURLE_OK) status = handle.responseCode();
  exceeded = transfer.sink.exceeded;
  return code;
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

bool retriesStatus(const RequestSettings& settings, long status) noexcept {
  if (settings.retry_statuses == nullptr) return isRetryableStatus(status);
  const std::vector<long>& statuses = *settings.retry_statuses;
  return std::find(statuses.begin(), statuses.end(), status) != statuses.end();
}

void performRequest(std::string_view method, const std::string& url, std::string_view body,
                    const RequestSettings& settings, const Sleeper& sleep,
                    const ResponseTarget& target) {
  Exchange exchange{method, parseMethod(method), url, settings, 0, Clock::now()};
  static const std::function<void()> kNoCheck;
  const std::function<void()>& check =
      settings.interrupt_check != nullptr ? *settings.interrupt_check : kNoCheck;
  for (;; ++exchange.attempt) {
    // Only the last attempt's answer survives; clearing keeps the memory for the next one.
    *target.status = 0;
    target.body->clear();
    if (target.headers != nullptr) target.headers->clear();
    const AttemptSink sink{target.body, target.headers, settings.max_response_bytes};

    exchange.started = Clock::now();
    bool exceeded = false;
    const CURLcode code = transferOnce(exchange, body, sink, *target.status, exceeded);
    const auto ended = Clock::now();

    const bool retry_candidate = code != CURLE_OK || retriesStatus(settings, *target.status);
    const bool retry = !exceeded && retry_candidate && exchange.attempt < settings.max_retries;
    const std::optional<std::chrono::milliseconds> delay =
        retry ? std::optional(backoffDelay(exchange.attempt, settings.backoff)) : std::nullopt;
    if (exceeded) {
      const ResponseTooLargeError error(settings.max_response_bytes);
      exchange.report(0, AttemptFailure::response_too_large, error.what(), ended, delay);
      throw error;
    }
    exchange.report(code == CURLE_OK ? *target.status : 0, failureOf(code),
                    code == CURLE_OK ? std::string() : curl_easy_strerror(code), ended, delay);
    if (!retry) {
      if (code != CURLE_OK) throwTransportFailure(code, exchange);
      return;
    }
    sleepInterruptibly(*delay, sleep, check);
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

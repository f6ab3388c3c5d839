#include "request_engine.hpp"

#include <charconv>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include "backoff.hpp"
#include "curl_handle.hpp"
#include "ignore_case.hpp"

namespace strandel::detail {
namespace {

// The most a Content-Length value reserves for the body up front; longer bodies still arrive whole,
// growing the string as their bytes come.
constexpr std::size_t kMaxBodyReservation = std::size_t{256} << 20;

constexpr char kJsonContentType[] = "Content-Type: application/json";

// libcurl reads standard input when POSTFIELDS is null, so an empty body points at this instead.
constexpr char kEmptyBody[] = "";

void reserveForContentLength(std::string& body, std::string_view value) {
  std::size_t length = 0;
  const char* first = value.data();
  const char* last = value.data() + value.size();
  const auto [end, error] = std::from_chars(first, last, length);
  if (error != std::errc() || length == 0 || length > kMaxBodyReservation) return;
  for (const char* p = end; p != last; ++p) {
    if (*p != ' ' && *p != '\t') return;
  }
  if (body.capacity() < length) body.reserve(length);
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

// One attempt on a handle of its own: `response` receives the status (when the transfer
// succeeded), headers and body. Returns libcurl's result; throws the set-up errors of CurlHandle.
CURLcode transferOnce(Method method, const std::string& url, std::string_view body,
                      const RequestSettings& settings, HttpResponse& response) {
  CurlHandle handle;
  handle.setOption(CURLOPT_URL, url.c_str());
  handle.setOption(CURLOPT_TIMEOUT_MS, static_cast<long>(settings.timeout.count()));
  handle.setOption(CURLOPT_WRITEFUNCTION, &appendBody);
  handle.setOption(CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
  handle.setOption(CURLOPT_HEADERFUNCTION, &collectHeader);
  handle.setOption(CURLOPT_HEADERDATA, static_cast<void*>(&response));
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
  if (code == CURLE_OK) response.status = handle.responseCode();
  return code;
}

}  // namespace

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  static_cast<std::string*>(user)->append(data, n);
  return n;
}

std::size_t collectHeader(char* data, std::size_t size, std::size_t count, void* user) {
  const std::size_t n = size * count;
  auto& response = *static_cast<HttpResponse*>(user);
  std::string_view line(data, n);
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (line.empty()) return n;
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return n;
  std::string_view value = line.substr(colon + 1);
  while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
  const std::string_view name = line.substr(0, colon);
  response.headers.insert_or_assign(std::string(name), std::string(value));
  if (equalsIgnoreCase(name, "content-length")) reserveForContentLength(response.body, value);
  return n;
}

bool isRetryableStatus(long status) noexcept {
  return status == 408 || status == 409 || status == 429 || status == 500 || status >= 502;
}

HttpResponse performRequest(std::string_view method, const std::string& url, std::string_view body,
                            const RequestSettings& settings, const Sleeper& sleep) {
  const Method parsed = parseMethod(method);
  for (int attempt = 0;; ++attempt) {
    HttpResponse response;
    const CURLcode code = transferOnce(parsed, url, body, settings, response);
    const bool retry_candidate = code != CURLE_OK || isRetryableStatus(response.status);
    if (!retry_candidate || attempt >= settings.max_retries) {
      if (code != CURLE_OK) {
        throw std::runtime_error(std::string("HTTP request failed: ") + curl_easy_strerror(code));
      }
      return response;
    }
    sleep(backoffDelay(attempt));
  }
}

}  // namespace strandel::detail

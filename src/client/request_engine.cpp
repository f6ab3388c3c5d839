#include "request_engine.hpp"

#include <cctype>
#include <charconv>
#include <stdexcept>
#include <string>

#include <curl/curl.h>

#include <strandel/client.hpp>

#include "backoff.hpp"
#include "curl_handle.hpp"

namespace strandel {
namespace detail {
namespace {

// A hostile Content-Length must not make us reserve an absurd amount up front; larger bodies
// still arrive, they just grow the string as usual.
constexpr std::size_t kMaxBodyReservation = std::size_t{256} << 20;

constexpr char kJsonContentType[] = "Content-Type: application/json";

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

}  // namespace

CurlEasyHandle makeEasyHandle() {
  CurlEasyHandle handle(curl_easy_init());
  if (!handle) throw std::runtime_error("Failed to initialize libcurl");
  setOption(handle.get(), CURLOPT_NOSIGNAL, 1L);
  setOption(handle.get(), CURLOPT_PATH_AS_IS, 1L);
  return handle;
}

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

std::string joinUrl(std::string_view base, std::string_view path) {
  const std::size_t first = path.find_first_not_of('/');
  path.remove_prefix(first == std::string_view::npos ? path.size() : first);
  std::string url;
  url.reserve(base.size() + path.size());
  url.append(base).append(path);
  return url;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const int x = std::tolower(static_cast<unsigned char>(a[i]));
    const int y = std::tolower(static_cast<unsigned char>(b[i]));
    if (x != y) return false;
  }
  return true;
}

}  // namespace detail

namespace {

enum class Method { Get, Post, Put, Patch, Delete };

Method parseMethod(std::string_view method) {
  if (method == "GET") return Method::Get;
  if (method == "POST") return Method::Post;
  if (method == "PUT") return Method::Put;
  if (method == "PATCH") return Method::Patch;
  if (method == "DELETE") return Method::Delete;
  throw std::invalid_argument("Unsupported HTTP method: " + std::string(method));
}

// libcurl reads standard input when POSTFIELDS is null, so an empty body points at this instead.
constexpr char kEmptyBody[] = "";

void setBodyOptions(CURL* handle, std::string_view body, detail::CurlHeaderList& headers) {
  using detail::setOption;
  setOption(handle, CURLOPT_POSTFIELDS, body.data() ? body.data() : kEmptyBody);
  setOption(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
  curl_slist* list = curl_slist_append(nullptr, detail::kJsonContentType);
  if (!list) throw std::runtime_error("curl_slist_append failed: out of memory");
  headers.reset(list);
  setOption(handle, CURLOPT_HTTPHEADER, list);
}

}  // namespace

HttpResponse detail::performRequest(std::string_view method, const std::string& url,
                                    std::string_view body, std::chrono::milliseconds timeout,
                                    int max_retries) {
  using detail::setOption;
  HttpResponse response;
  for (int attempt = 0;; ++attempt) {
    response = HttpResponse{};
    detail::CurlEasyHandle handle = detail::makeEasyHandle();
    detail::CurlHeaderList headers;
    CURL* h = handle.get();
    setOption(h, CURLOPT_URL, url.c_str());
    setOption(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeout.count()));
    setOption(h, CURLOPT_WRITEFUNCTION, &detail::appendBody);
    setOption(h, CURLOPT_WRITEDATA, static_cast<void*>(&response.body));
    setOption(h, CURLOPT_HEADERFUNCTION, &detail::collectHeader);
    setOption(h, CURLOPT_HEADERDATA, static_cast<void*>(&response));
    switch (parseMethod(method)) {
      case Method::Get:
        break;
      case Method::Post:
        setOption(h, CURLOPT_POST, 1L);
        setBodyOptions(h, body, headers);
        break;
      case Method::Put:
        setOption(h, CURLOPT_CUSTOMREQUEST, "PUT");
        setBodyOptions(h, body, headers);
        break;
      case Method::Patch:
        setOption(h, CURLOPT_CUSTOMREQUEST, "PATCH");
        setBodyOptions(h, body, headers);
        break;
      case Method::Delete:
        setOption(h, CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    }

    const CURLcode code = curl_easy_perform(h);
    if (code == CURLE_OK) curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &response.status);
    const bool retry_candidate = code != CURLE_OK || detail::isRetryableStatus(response.status);
    if (!retry_candidate || attempt >= max_retries) {
      if (code != CURLE_OK) {
        throw std::runtime_error(std::string("HTTP request failed: ") + curl_easy_strerror(code));
      }
      return response;
    }
    // The handle and header list are still held while sleeping, and released right after.
    detail::backoffSleep(detail::backoffDelay(attempt));
  }
}

HttpResponse IsaacSimClient::request_(std::string_view method, std::string_view path,
                                      std::string_view body) {
  return detail::performRequest(method, prepareUrl_(path), body, timeout_, maxRetries_);
}

HttpResponse IsaacSimClient::get(std::string_view path) { return request_("GET", path, {}); }

HttpResponse IsaacSimClient::post(std::string_view path, std::string_view body) {
  return request_("POST", path, body);
}

HttpResponse IsaacSimClient::put(std::string_view path, std::string_view body) {
  return request_("PUT", path, body);
}

HttpResponse IsaacSimClient::patch(std::string_view path, std::string_view body) {
  return request_("PATCH", path, body);
}

HttpResponse IsaacSimClient::deleteRequest(std::string_view path) {
  return request_("DELETE", path, {});
}

}  // namespace strandel

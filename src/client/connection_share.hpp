#pragma once

// The pool of kept-alive connections that one client's HTTP attempts share when it reuses
// connections.
//
// libcurl keeps connections in a connection cache. An easy handle has one of its own, which dies
// with the handle; a share object with CURL_LOCK_DATA_CONNECT holds one that outlives every handle
// set on it (CURLOPT_SHARE). The request engine keeps its one-handle-per-attempt design and sets
// the client's share on each handle, so an attempt picks up a connection that an earlier attempt
// (on any thread) left open and leaves its own there when it ends. libcurl calls the lock
// callbacks around every access to the shared cache; they take one std::mutex per kind of shared
// data, and no lock is held while a transfer runs.

#include <array>
#include <mutex>

#include <curl/curl.h>

namespace strandel::detail {

/// Owns one libcurl share object that shares the connection cache, and the mutexes its lock
/// callbacks take. Neither copyable nor movable (libcurl keeps its address). Thread-safe: any
/// number of easy handles on any threads may use get() at once. Destroy it only after every easy
/// handle set on it has been cleaned up; its destruction closes the idle connections.
class ConnectionShare {
 public:
  /// Throws std::runtime_error "Failed to initialize libcurl share" when libcurl has none, and
  /// "curl_share_setopt failed: " + libcurl's text when it refuses a setting.
  ConnectionShare();
  ConnectionShare(const ConnectionShare&) = delete;
  ConnectionShare& operator=(const ConnectionShare&) = delete;
  ~ConnectionShare();

  /// The share object, for CURLOPT_SHARE.
  CURLSH* get() const noexcept { return share_; }

 private:
  static void lock(CURL* handle, curl_lock_data data, curl_lock_access access, void* self);
  static void unlock(CURL* handle, curl_lock_data data, void* self);

  std::array<std::mutex, CURL_LOCK_DATA_LAST> mutexes_;  // one per curl_lock_data value
  CURLSH* share_ = nullptr;
};

}  // namespace strandel::detail

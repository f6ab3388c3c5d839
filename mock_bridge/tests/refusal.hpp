#pragma once

// EXPECT_REFUSED(call, status, message): `call` throws an ApiError with exactly that status and
// message.

#include <gtest/gtest.h>

#include "api_error.hpp"

namespace strandel::mock_bridge {

/// Runs `call` and returns the ApiError it throws; fails the test when it does not throw one.
template <typename Call>
ApiError refusal(Call&& call) {
  try {
    call();
  } catch (const ApiError& e) {
    return e;
  }
  ADD_FAILURE() << "expected an ApiError";
  return ApiError(0, "");
}

}  // namespace strandel::mock_bridge

#define EXPECT_REFUSED(call_, status_, message_)                  \
  do {                                                            \
    const ::strandel::mock_bridge::ApiError e_ =                  \
        ::strandel::mock_bridge::refusal([&] { (void)(call_); }); \
    EXPECT_EQ(e_.status(), status_);                              \
    EXPECT_STREQ(e_.what(), message_);                            \
  } while (0)

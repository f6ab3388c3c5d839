#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include <strandel/isaacsim_client.hpp>

#include "client/join_url.hpp"
#include "support/test_helpers.hpp"

namespace strandel {
namespace {

using std::chrono::milliseconds;

std::string invalidArgumentText(void (*construct)()) {
  return testing_util::thrownText<std::invalid_argument>(construct);
}

TEST(ClientConfig, ValidationRunsInOrderWithExactTexts) {
  EXPECT_EQ(invalidArgumentText([] { IsaacSimClient c("", "", "", milliseconds(0), -1); }),
            "base_url must not be empty");
  EXPECT_EQ(invalidArgumentText([] { IsaacSimClient c("", "http://h", "", milliseconds(0), -1); }),
            "websocket_base_url must not be empty");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(0), -1); }),
      "timeout must be positive");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(-5), 0); }),
      "timeout must be positive");
  EXPECT_EQ(
      invalidArgumentText([] { IsaacSimClient c("", "http://h", "ws://h", milliseconds(1), -1); }),
      "max_retries must not be negative");
  EXPECT_NO_THROW(IsaacSimClient("", "http://h", "ws://h", milliseconds(1), 0));
}

TEST(ClientConfig, UrlsGainExactlyOneTrailingSlash) {
  IsaacSimClient plain("label", "http://h:1", "ws://h:1/x", milliseconds(100), 0);
  EXPECT_EQ(plain.baseUrl(), "http://h:1/");
  EXPECT_EQ(plain.websocketBaseUrl(), "ws://h:1/x/");
  IsaacSimClient slashed("", "http://h/", "ws://h//", milliseconds(100), 0);
  EXPECT_EQ(slashed.baseUrl(), "http://h/");
  EXPECT_EQ(slashed.websocketBaseUrl(), "ws://h//");
}

TEST(ClientConfig, FacadesAreBoundAtConstruction) {
  IsaacSimClient client("", "http://h", "ws://h", milliseconds(100), 0);
  // The facade members exist and are reachable; their behaviour is tested per facade.
  EXPECT_NE(static_cast<void*>(&client.articulations), static_cast<void*>(&client.cameras));
}

TEST(UrlJoin, DropsEveryLeadingSlashAndKeepsTheRest) {
  EXPECT_EQ(detail::joinUrl("http://h/", "///a//b?x=1 2"), "http://h/a//b?x=1 2");
  EXPECT_EQ(detail::joinUrl("http://h/", ""), "http://h/");
  EXPECT_EQ(detail::joinUrl("http://h/", "////"), "http://h/");
  EXPECT_EQ(detail::joinUrl("http://h/", "a/"), "http://h/a/");
}

}  // namespace
}  // namespace strandel

// The faults the test server injects: what a /fault/<items>/ path asks for,
// and an answer sent bent by them, down to the bytes on the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "https_server.h"

namespace tessaline::testing {

struct Faults {
  std::optional<unsigned> status;
  std::optional<std::uint64_t> drop;
  std::optional<std::uint64_t> stall;
  std::optional<std::uint64_t> trickle;  // milliseconds between the body's bytes, sent one at a time
  std::optional<std::uint64_t> times;
  std::optional<std::string> redirect;
  std::optional<std::uint64_t> extra;
  std::optional<std::uint64_t> rangeBefore;
  std::optional<std::uint64_t> rangeShort;
  std::optional<std::string> rangeTotal;
  bool ignoreRange = false;
  bool corrupt = false;
  bool endless = false;
};

// Reads the items of a /fault/ segment; returns what is wrong with them, or "".
std::string ParseFaults(std::string_view items, Faults& faults);

std::optional<std::uint64_t> ParseNumber(std::string_view text);

// Sends `response` with the faults that act on its range, its bytes and its
// connection (status, redirect, ignore-range and times decide the response
// itself). `onBodyProgress` gets the running total of body bytes sent.
boost::asio::awaitable<void> SendWithFaults(release::Exchange& exchange, release::SiteResponse response, Faults faults,
                                            std::function<void(std::uint64_t)> onBodyProgress);

}  // namespace tessaline::testing

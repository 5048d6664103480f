#include "fault_injection.h"

#include <algorithm>

#include <boost/asio/as_tuple.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <charconv>
#include <vector>

namespace tessaline::testing {
namespace {

using release::Exchange;
using release::SiteResponse;
namespace http = release::http;

constexpr std::uint64_t kEndlessLength = std::uint64_t{1} << 40;
constexpr std::uint64_t kEndlessCap = 64 * 1024 * 1024;
constexpr std::size_t kChunkSize = 64 * 1024;
constexpr std::chrono::seconds kStallTime{120};

bool IsHostAndPort(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == 0 || colon == std::string_view::npos) return false;
  const auto port = ParseNumber(text.substr(colon + 1));
  const std::string_view host = text.substr(0, colon);
  return port && *port >= 1 && *port <= 65535 &&
         host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-") ==
             std::string_view::npos;
}

void SetContentRange(SiteResponse& response, std::uint64_t first, std::uint64_t length, std::uint64_t total) {
  if (response.head.find(http::field::content_range) == response.head.end()) return;
  response.head.set(http::field::content_range, "bytes " + std::to_string(first) + "-" +
                                                    std::to_string(first + length - 1) + "/" + std::to_string(total));
}

// Only the size after the '/' changes.
void SetContentRangeTotal(SiteResponse& response, const std::string& total) {
  const std::string_view value = response.head[http::field::content_range];
  if (value.empty()) return;
  response.head.set(http::field::content_range, std::string(value.substr(0, value.find('/') + 1)) + total);
}

void StartRangeEarlier(SiteResponse& response, std::uint64_t bytes) {
  release::FileSlice& slice = *response.file;
  const std::uint64_t earlier = std::min(bytes, slice.offset);
  slice.offset -= earlier;
  slice.length += earlier;
  SetContentRange(response, slice.offset, slice.length, std::filesystem::file_size(slice.path));
}

void EndRangeEarlier(SiteResponse& response, std::uint64_t bytes) {
  release::FileSlice& slice = *response.file;
  slice.length -= std::min(bytes, slice.length - 1);
  SetContentRange(response, slice.offset, slice.length, std::filesystem::file_size(slice.path));
}

}  // namespace

std::optional<std::uint64_t> ParseNumber(std::string_view text) {
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

std::string ParseFaults(std::string_view items, Faults& faults) {
  if (items.empty()) return "no fault items";
  while (true) {
    const std::size_t comma = items.find(',');
    const std::string_view item = items.substr(0, comma);
    const std::size_t equals = item.find('=');
    const std::string_view name = item.substr(0, equals);
    const std::string_view value = equals == std::string_view::npos ? std::string_view() : item.substr(equals + 1);
    const bool hasValue = equals != std::string_view::npos;
    std::string quoted(1, '\'');
    quoted.append(item).push_back('\'');
    if (name == "ignore-range" || name == "corrupt" || name == "endless") {
      if (hasValue) return quoted + " takes no value";
      (name == "corrupt" ? faults.corrupt : name == "endless" ? faults.endless : faults.ignoreRange) = true;
    } else if (name == "status") {
      const auto status = ParseNumber(value);
      if (!status || *status < 200 || *status > 599) return quoted + ": the status must be 200 to 599";
      faults.status = static_cast<unsigned>(*status);
    } else if (name == "drop" || name == "stall" || name == "times" || name == "extra" || name == "range-before" ||
               name == "range-short" || name == "trickle") {
      const auto count = ParseNumber(value);
      if (!count) return quoted + " needs a number";
      (name == "drop"           ? faults.drop
       : name == "stall"        ? faults.stall
       : name == "trickle"      ? faults.trickle
       : name == "times"        ? faults.times
       : name == "extra"        ? faults.extra
       : name == "range-before" ? faults.rangeBefore
                                : faults.rangeShort) = *count;
    } else if (name == "range-total") {
      if (value != "*" && !ParseNumber(value)) return quoted + " needs a number or '*'";
      faults.rangeTotal = std::string(value);
    } else if (name == "redirect") {
      if (!IsHostAndPort(value)) return quoted + " needs HOST:PORT";
      faults.redirect = std::string(value);
    } else {
      return "unknown fault " + quoted;
    }
    if (comma == std::string_view::npos) break;
    items.remove_prefix(comma + 1);
  }
  if (faults.drop && faults.stall) return "drop and stall exclude each other";
  if (faults.status && faults.redirect) return "status and redirect exclude each other";
  if (faults.endless && (faults.status || faults.redirect || faults.drop || faults.stall || faults.trickle || faults.extra ||
                         faults.rangeBefore || faults.rangeShort || faults.rangeTotal || faults.ignoreRange ||
                         faults.corrupt)) {
    return "endless takes no other fault but times";
  }
  return "";
}

boost::asio::awaitable<void> SendWithFaults(Exchange& exchange, SiteResponse response, Faults faults,
                                            std::function<void(std::uint64_t)> onBodyProgress) {
  // The body goes out as the response's own bytes, then zeros: the extra
  // bytes, or all of an endless body.
  std::uint64_t zerosAfter = 0;
  std::optional<std::uint64_t> sendLimit = faults.drop ? faults.drop : faults.stall;
  if (faults.endless) {
    response = SiteResponse();
    response.head.set(http::field::content_type, "application/octet-stream");
    zerosAfter = kEndlessLength;
    sendLimit = kEndlessCap;
  }
  const bool partial = response.file && response.head.result() == http::status::partial_content;
  if (partial && faults.rangeBefore) StartRangeEarlier(response, *faults.rangeBefore);
  if (partial && faults.rangeShort) EndRangeEarlier(response, *faults.rangeShort);
  if (response.file && faults.extra) {
    zerosAfter = *faults.extra;
    const release::FileSlice& slice = *response.file;
    SetContentRange(response, slice.offset, slice.length + zerosAfter,
                    std::filesystem::file_size(slice.path) + zerosAfter);
  }
  if (response.head.result() == http::status::partial_content && faults.rangeTotal) {
    SetContentRangeTotal(response, *faults.rangeTotal);
  }
  const std::uint64_t length = response.BodyLength() + zerosAfter;
  const std::optional<std::uint64_t> corruptAt =
      faults.corrupt && length > 0 ? std::optional<std::uint64_t>(length / 2) : std::nullopt;

  if (sendLimit) exchange.Close();
  if (!co_await exchange.SendHead(response.head, length)) co_return;
  const std::uint64_t toSend = exchange.WantsBody() ? std::min(length, sendLimit.value_or(length)) : 0;
  release::BodyReader body(response);
  std::vector<char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(toSend, kChunkSize)));
  // A trickle sends a byte, then waits: a server that never lets a time-out
  // of the client's per-receive kind pass.
  const std::uint64_t chunk = faults.trickle ? 1 : kChunkSize;
  boost::asio::steady_timer pause(co_await boost::asio::this_coro::executor);
  for (std::uint64_t sent = 0; sent < toSend;) {
    if (faults.trickle && sent > 0) {
      pause.expires_after(std::chrono::milliseconds(*faults.trickle));
      // A client that hung up meanwhile shows at the next send.
      co_await pause.async_wait(boost::asio::as_tuple(boost::asio::use_awaitable));
    }
    const std::size_t size = static_cast<std::size_t>(std::min<std::uint64_t>(toSend - sent, chunk));
    const std::size_t read = body.Read(std::span(buffer.data(), size));
    std::fill(buffer.begin() + static_cast<std::ptrdiff_t>(read), buffer.begin() + static_cast<std::ptrdiff_t>(size), 0);
    if (corruptAt && *corruptAt >= sent && *corruptAt < sent + size) buffer[*corruptAt - sent] ^= 0x5A;
    const bool sentAll = co_await exchange.SendBody(boost::asio::buffer(buffer.data(), size));
    onBodyProgress(exchange.BodyBytesSent());
    if (!sentAll) co_return;
    sent += size;
  }
  if (faults.stall) co_await exchange.Hold(kStallTime);
  // A limited body is cut short: no close alert, so the client sees it short.
  if (!sendLimit) exchange.Finish();
}

}  // namespace tessaline::testing

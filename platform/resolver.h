// Host-name look-ups for the links, on the one loop.
#pragma once

#include <cstdint>

namespace platform {

// Host names are looked up on the loop without blocking it (c-ares, one query per name, each
// with a deadline); dotted addresses resolve at once. An answer is kept until forget_host; a
// failure is given once to each asker (any pointer that stands for it), and the next ask of an
// asker that has had it looks the name up again.
enum class resolve_result { resolved, pending, failed };
resolve_result resolve_host(const char* host, std::uint32_t& address, const void* asker = nullptr);
// Drops a kept answer, so the next ask looks the name up again (after a connection is lost).
void forget_host(const char* host);
// Cancels every look-up under way; the program can then end at once.
void shutdown_resolver();
// A look-up that has had no answer for this long fails.
constexpr int lookup_deadline_ms = 8000;

}  // namespace platform

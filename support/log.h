#pragma once

#include <cstdint>

// Writes one printf-style message to log.txt in the working directory. The file is
// opened (and emptied) by the first message of the run, which also removes a log.txt.1 left
// by an earlier run, and flushed after every message.
// Nothing is added to the text: callers end their messages with "\n".
void log(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Largest size of log.txt in bytes (100 MiB unless set). A message that would take the file
// past it first renames log.txt to log.txt.1, replacing an older one, and starts a new log.txt.
void set_log_limit(std::uint64_t bytes);

// Process-wide logging switch, on at start. log() itself writes whatever the switch says;
// callers that want to be quiet consult it.
void set_logging(bool on);
bool get_logging();

// Closes log.txt and forgets it was opened, so the next message opens (and empties)
// log.txt in the then-current directory; the limit returns to 100 MiB. Tests only.
void log_reset_for_tests();

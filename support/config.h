#pragma once

// Longest line handed to a callback; a longer line arrives in pieces of this length.
constexpr unsigned int config_line_max = 1024;
// Size of a token buffer for get_next_string: a token can fill a whole line.
constexpr unsigned int config_token_size = config_line_max + 1;

// Reads a line-oriented regular text file and calls callback(context, line) for every non-empty
// line, in file order. Line feed and carriage return both end a line; "#" starts a
// comment that runs to the end of its line. A comment on a line of its own vanishes with
// its line break; a comment after text ends that line. Lines are not trimmed. The line
// buffer is reused, so a callback that keeps any part of a line copies it. A file that
// cannot be opened, or is not a regular file, is reported in the log only, with the reason.
void load_config(const char* file_name, void (*callback)(void*, char*), void* context);

// During a callback: the number, from 1, of the file line the delivered line starts on.
unsigned config_line_number();

// Copies the next blank- or tab-separated token of line, from index on, into token
// (config_token_size chars) and advances index behind it. An empty token means the line
// has no further token; the index then stays at the end of the line.
void get_next_string(const char* line, unsigned int& index, char* token);

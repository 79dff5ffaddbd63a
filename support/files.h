// Reading and replacing the plain-text files the program keeps (the robot list, world files)
// without ever being held up or misled by something that only looks like a file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Opens a regular file for reading, following symbolic links. A FIFO, a device, a directory or
// anything else that is not a regular file is refused without waiting on it, and so is a file
// larger than max_bytes. Returns the descriptor, or -1 with the reason in `reason`.
int open_regular_file(const char* name, std::size_t max_bytes, std::string& reason);

// Reads a whole regular file of at most max_bytes into `text`, as open_regular_file admits it;
// a file that grows past max_bytes while it is read is refused too.
bool read_regular_file(const char* name, std::size_t max_bytes, std::string& text, std::string& reason);

// Makes `text` the whole contents of the file `name`: written to a temporary file of a unique
// name beside it, flushed to disk and renamed over it, so the file holds either its old
// contents or all of the new. A symbolic link is written through to the file it names, which
// keeps its permissions; anything that is not a regular file (or a name not taken yet) is
// refused and left alone. Returns false with the reason in `reason`.
bool replace_file(const char* name, const std::string& text, std::string& reason);

// Reads a whole token as a finite number, with a decimal point whatever the locale.
bool read_number(std::string_view token, double& out);

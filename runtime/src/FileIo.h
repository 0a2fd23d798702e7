// The profile file's reads and replaces, with a body for each system (posix/, windows/).
#pragma once

#include <string>

enum class TFileRead { Ok, Missing, Failed };

// The whole of a regular file of at most `maxSize` bytes, byte for byte. A device, a pipe or
// a larger file is Failed, as is one that cannot be read; Missing when neither it nor its
// folder exists.
TFileRead ReadRegularFile(const std::string& fileName, long long maxSize, std::string& data);

// Replaces the file with `data` through a temporary file in its folder, flushed to the disk
// before it takes the file's place, so that a crash leaves the old file or the new one, never
// half of one. A link is followed to the file it names (POSIX systems). False when the file could
// not be replaced; it is left as it was then.
bool ReplaceFileContents(const std::string& fileName, const std::string& data);

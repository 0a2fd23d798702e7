// Port names: which "\\.\COMn" a CreateFileA asks for.
#pragma once

namespace platform::comm {

// n for "\\.\COMn" or "COMn" (COM case-insensitive, n 1..255 without leading zeros);
// 0 when the name is not a port name at all; -1 for a port name without a valid number.
int ParseComPortName(const char* name);

} // namespace platform::comm

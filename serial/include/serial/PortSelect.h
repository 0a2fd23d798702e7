// Port validation: a component without a port number either fails with ENoPortSelected or,
// when it may prompt, lets the user choose one of the present ports. The serial layer shows
// no window itself: a program with a GUI installs a chooser that shows its dialog.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

// What a chooser returns when the user cancels or closes its dialog.
constexpr int PortChoiceCancelled = -1;

// Takes the present port numbers (ascending, 1..50) and returns the chosen number or
// PortChoiceCancelled. Exceptions it raises leave ValidateComport as they are.
using TComPortChooser = std::function<int(const std::vector<unsigned>& ports)>;
// An empty chooser removes it; ValidateComport then raises ENoPortSelected where the dialog
// would have been shown.
void SetComPortChooser(TComPortChooser chooser);
bool ComPortChooserInstalled();

// True for a present port: it opens, or another program holds it (with ShowPortsInUse).
// 0 is never present. Each call opens (and closes at once) a fresh device handle.
bool IsPortAvailable(uint32_t portNumber);
// The ports 1..50 that IsPortAvailable answers for, in ascending order.
std::vector<unsigned> AvailablePorts();

// Test through a dispatcher's open (true) or a plain CreateFileA.
extern bool UseDispatcherForAvail;
// Count a port held by another program as present.
extern bool ShowPortsInUse;

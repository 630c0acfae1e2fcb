#pragma once

#include <vector>

namespace quillfern {

class TOBEXServer;

// Main thread, at the end: switches every server off, waits for each slot's
// worker to end and hands the events this caused (the disconnects) to the
// servers' handlers, which would otherwise be lost with the servers.
void StopServers(const std::vector<TOBEXServer*>& servers);

}  // namespace quillfern

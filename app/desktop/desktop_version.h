#pragma once

namespace quillfern {

// The program's version as the build knows it, for the about box and --version.
const char* ProgramVersion();

}  // namespace quillfern

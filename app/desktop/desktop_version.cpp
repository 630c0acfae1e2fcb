#include "app/desktop/desktop_version.h"

namespace quillfern {

const char* ProgramVersion() {
  return QUILLFERN_VERSION;
}

}  // namespace quillfern

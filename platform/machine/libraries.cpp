#include "platform/machine/libraries.h"

#include "platform/files.h"
#include "platform/machine/machine.h"

namespace platform {

HLIBRARY LoadLibrary(std::string_view name) {
    return LoadLibraryFrom({ExecutableDirectory(),
                            MapMachinePath(ExpandMachineEnvironment("%SystemRoot%\\system32\\"))},
                           name);
}

}  // namespace platform

#include "support/message_files.h"

#include <gtest/gtest.h>

#include "platform/files.h"
#include "platform/machine/machine.h"
#include "platform/machine/msgcompiler.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"

std::string InstallMessageFile(const MachineFolder& machine, const std::string& name,
                               const std::string& source) {
    platform::MessageCompileResult compiled;
    EXPECT_TRUE(platform::CompileMessageText(source, false, compiled)) << compiled.error;
    WriteFileBytes(machine.Root() + "Windows/system32/" + name, compiled.dll);
    return "%SystemRoot%\\system32\\" + name;
}

void RegisterSource(const MachineFolder& machine, const std::string& log, const std::string& source,
                    const std::string& valueLines) {
    static int counter = 0;
    machine.AddRegFile(
        "60-source" + std::to_string(++counter) + ".reg",
        "Windows Registry Editor Version 5.00\r\n" +
            platform::RegKeyLine(std::string(platform::kEventLogKey) + "\\" + log + "\\" + source) +
            valueLines);
}

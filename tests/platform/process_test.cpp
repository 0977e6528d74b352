#include "platform/machine/command_line.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

void WriteScript(const std::string& path, const std::string& body, mode_t mode = 0755) {
    WriteFileBytes(path, body);
    chmod(path.c_str(), mode);
}

// Runs a command line to its end; the exit code, or the error of a start that failed.
bool RunToEnd(const std::string& commandLine, DWORD& exitCode) {
    UniqueProcess process;
    if (!CreateProcess(commandLine, &process.Out())) return false;
    EXPECT_EQ(WaitForSingleObject(process.Get(), kInfinite), kWaitObject0);
    return GetExitCodeProcess(process.Get(), exitCode);
}

}  // namespace

TEST(Process, CommandLinesSplitAsWindowsProgramsReadThem) {
    using V = std::vector<std::string>;
    EXPECT_EQ(SplitCommandLine(R"("C:\Program Files\a.exe" x  y)"),
              (V{R"(C:\Program Files\a.exe)", "x", "y"}));
    EXPECT_EQ(SplitCommandLine(R"(a "b c"d e\\"f g" \"h)"), (V{"a", "b cd", R"(e\f g)", "\"h"}));
    EXPECT_EQ(SplitCommandLine(R"(a\\\"b c\d)"), (V{R"(a\"b)", R"(c\d)"}));
    EXPECT_EQ(SplitCommandLine("  \t "), V{});
    EXPECT_EQ(SplitCommandLine("\"\""), V{""});
    // A second byte of 0x5C is part of its character, not an escape before a quote.
    EXPECT_EQ(SplitCommandLine("\"\x95\x5C\" x"), (V{"\x95\x5C", "x"}));
    // Lines of paths only: a backslash before a quote is a folder's end.
    EXPECT_EQ(SplitCommandLine(R"(m "C:\a b\" "x\*")", Backslashes::Plain),
              (V{"m", R"(C:\a b\)", R"(x\*)"}));
}

TEST(Process, ExitCodesAndTheWait) {
    MachineFolder machine;
    const std::string dir = machine.Root();
    WriteScript(dir + "exit7.sh", "#!/bin/sh\nexit 7\n");
    WriteScript(dir + "segv.sh", "#!/bin/sh\nkill -SEGV $$\n");
    WriteScript(dir + "slow.sh", "#!/bin/sh\nsleep 0.3\nexit 0\n");
    DWORD code = 0;
    ASSERT_TRUE(RunToEnd("\"" + dir + "exit7.sh\"", code));
    EXPECT_EQ(code, 7u);
    ASSERT_TRUE(RunToEnd("\"" + dir + "segv.sh\"", code));
    EXPECT_EQ(code, 0xC0000005u);

    UniqueProcess process;
    ASSERT_TRUE(CreateProcess("\"" + dir + "slow.sh\"", &process.Out()));
    EXPECT_EQ(WaitForSingleObject(process.Get(), 10), kWaitTimeout);
    ASSERT_TRUE(GetExitCodeProcess(process.Get(), code));
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(WaitForSingleObject(process.Get(), 5000), kWaitObject0);
    ASSERT_TRUE(GetExitCodeProcess(process.Get(), code));
    EXPECT_EQ(code, 0u);
}

TEST(Process, ArgumentsReachTheProgramAndMachinePathsMap) {
    MachineFolder machine;
    ASSERT_TRUE(ForceDirectories(machine.Root() + "drive_c/Tools"));
    WriteScript(machine.Root() + "drive_c/Tools/args.sh",
                "#!/bin/sh\nprintf '%s|' \"$@\" > \"$(dirname \"$0\")/args.txt\"\n");
    DWORD code = 1;
    ASSERT_TRUE(RunToEnd(R"("c:\TOOLS\Args.sh" one "two three" four\"five)", code));
    EXPECT_EQ(code, 0u);
    EXPECT_EQ(ReadFileBytes(machine.Root() + "drive_c/Tools/args.txt"),
              "one|two three|four\"five|");
}

TEST(Process, FailuresCarryTheCodesWindowsGives) {
    MachineFolder machine;
    const std::string dir = machine.Root();
    WriteScript(dir + "plain.txt", "not a program\n", 0644);
    WriteScript(dir + "garbage", "\x01\x02\x03\x04 binary junk", 0755);
    struct Case {
        std::string commandLine;
        DWORD error;
    } cases[] = {
        {"\"" + dir + "missing.exe\"", kErrorFileNotFound},
        {"\"" + dir + "no-folder/x.exe\"", kErrorPathNotFound},
        {"\"" + dir + "plain.txt\"", kErrorAccessDenied},
        {"\"" + dir + "drive_c\"", kErrorAccessDenied},
        {"\"" + dir + "garbage\"", kErrorBadExeFormat},
        {"quorvik-no-such-program-anywhere", kErrorFileNotFound},
        {"", kErrorFileNotFound},
    };
    for (const Case& c : cases) {
        HPROCESS process = nullptr;
        SetLastError(0);
        EXPECT_FALSE(CreateProcess(c.commandLine, &process)) << c.commandLine;
        EXPECT_EQ(GetLastError(), c.error) << c.commandLine;
        EXPECT_EQ(process, nullptr);
        SetLastError(0);
        EXPECT_FALSE(CreateProcess(c.commandLine, nullptr)) << c.commandLine;
        EXPECT_EQ(GetLastError(), c.error) << c.commandLine;
    }
}

TEST(Process, ADetachedProgramRunsOnWithNothingToCollect) {
    MachineFolder machine;
    const std::string dir = machine.Root();
    WriteScript(dir + "touch.sh",
                "#!/bin/sh\nsleep 0.1\necho $PPID > \"$(dirname \"$0\")/done\"\n");
    ASSERT_TRUE(CreateProcess("\"" + dir + "touch.sh\"", nullptr));
    for (int i = 0; i < 100 && !FileExists(dir + "done"); ++i) Sleep(50);
    ASSERT_TRUE(FileExists(dir + "done"));
    // Its parent is not this process: nobody here has to wait for it.
    EXPECT_NE(std::stol(ReadFileBytes(dir + "done")), static_cast<long>(getpid()));
}

#include "platform/machine/registry.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/codepage.h"
#include "platform/machine/machine.h"
#include "platform/machine/registry_files.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

std::string Utf16File(const std::string& utf8) {
    return "\xFF\xFE" + Utf16ToBytes(Utf8ToUtf16(utf8));
}

std::vector<std::string> Subkeys(std::string_view path) {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, key) != kErrorSuccess) return names;
    std::string name;
    for (DWORD i = 0; RegEnumKeyEx(key, i, name) == kErrorSuccess; ++i) names.push_back(name);
    EXPECT_EQ(RegEnumKeyEx(key, static_cast<DWORD>(names.size()), name), kErrorNoMoreItems);
    RegCloseKey(key);
    return names;
}

// A real export as the system writes it: UTF-16LE with a byte-order mark, CR LF, hex values
// folded with trailing backslashes.
const char kExport[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test]\r\n"
    "@=\"default\"\r\n"
    "\"Text\"=\"a \\\"quoted\\\" \\\\ value\"\r\n"
    "\"Japanese\"=\"監視サーバー\"\r\n"
    "\"Path\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,\\\r\n"
    "  00,25,00,5c,00,78,00,00,00\r\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
    "\"Number\"=dword:0000ffff\r\n"
    "\"Blob\"=hex:01,02,ff\r\n"
    "\"Gone\"=\"x\"\r\n"
    "\"Gone\"=-\r\n"
    "this line is not a value\r\n"
    "\"Broken\"=dword:xyz\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\beta]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Alpha]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\_under]\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Removed\\Child]\r\n"
    "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Test\\Removed]\r\n"
    "[HKEY_CURRENT_USER\\Software\\Ignored]\r\n"
    "\"Value\"=\"not machine\"\r\n";

}  // namespace

TEST(Registry, ReadsARealExport) {
    MachineFolder machine;
    machine.AddRegFile("50-test.reg", Utf16File(kExport));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "software\\TEST", key), kErrorSuccess);
    DWORD type = 0;
    std::string data;
    ASSERT_EQ(RegQueryValueEx(key, "", type, data), kErrorSuccess);
    EXPECT_EQ(data, std::string("default\0", 8));
    std::string text;
    EXPECT_TRUE(RegReadString(key, "text", text));
    EXPECT_EQ(text, "a \"quoted\" \\ value");
    EXPECT_TRUE(RegReadString(key, "Japanese", text));
    EXPECT_EQ(text, sjis(u8"監視サーバー"));
    ASSERT_EQ(RegQueryValueEx(key, "Path", type, data), kErrorSuccess);
    EXPECT_EQ(type, kRegExpandSz);
    EXPECT_EQ(data, std::string("%SystemRoot%\\x\0", 15));
    ASSERT_EQ(RegQueryValueEx(key, "Multi", type, data), kErrorSuccess);
    EXPECT_EQ(type, kRegMultiSz);
    EXPECT_EQ(data, std::string("a\0bc\0\0", 6));
    DWORD number = 0;
    EXPECT_TRUE(RegReadDword(key, "NUMBER", number));
    EXPECT_EQ(number, 0xFFFFu);
    ASSERT_EQ(RegQueryValueEx(key, "Blob", type, data), kErrorSuccess);
    EXPECT_EQ(type, kRegBinary);
    EXPECT_EQ(data, "\x01\x02\xff");
    EXPECT_EQ(RegQueryValueEx(key, "Gone", type, data), kErrorFileNotFound);
    EXPECT_EQ(RegQueryValueEx(key, "Broken", type, data), kErrorFileNotFound);
    RegCloseKey(key);

    // Case-insensitive order, as the system enumerates: '_' sorts after the letters.
    EXPECT_EQ(Subkeys("SOFTWARE\\Test"), (std::vector<std::string>{"Alpha", "beta", "_under"}));
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Test\\Removed", key), kErrorFileNotFound);
    EXPECT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "Software\\Ignored", key), kErrorFileNotFound);
}

TEST(Registry, FilesMergeInNameOrderAndReloadWhenChanged) {
    MachineFolder machine;
    machine.AddRegFile(
        "60-b.reg",
        "Windows Registry Editor Version 5.00\r\n"
        "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Merge]\r\n\"Who\"=\"b\"\r\n\"OnlyB\"=dword:1\r\n");
    // REGEDIT4 files are in the ANSI code page.
    machine.AddRegFile("50-a.reg",
                       "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Merge]\r\n"
                       "\"Who\"=\"a\"\r\n\"Kanji\"=\"" +
                           sjis(u8"漢字") + "\"\r\n");
    std::string value;
    EXPECT_TRUE(ReadMachineString("SOFTWARE\\Merge", "Who", value));
    EXPECT_EQ(value, "b");
    EXPECT_TRUE(ReadMachineString("SOFTWARE\\Merge", "Kanji", value));
    EXPECT_EQ(value, sjis(u8"漢字"));

    machine.AddRegFile("70-c.reg",
                       "Windows Registry Editor Version 5.00\r\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Merge]\r\n");
    EXPECT_FALSE(ReadMachineString("SOFTWARE\\Merge", "Who", value));

    // An open key keeps the registry it was opened in.
    ASSERT_TRUE(AppendMachineRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n\"V\"=\"1\"\r\n"));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyEx(HKEY_LOCAL_MACHINE, "SOFTWARE\\Added", key), kErrorSuccess);
    machine.AddRegFile("80-d.reg",
                       "Windows Registry Editor Version 5.00\r\n"
                       "[-HKEY_LOCAL_MACHINE\\SOFTWARE\\Added]\r\n");
    EXPECT_TRUE(RegReadString(key, "V", value));
    RegCloseKey(key);
}

TEST(Registry, AddedKeysLandWholeWhateverStateTheLocalFileIsIn) {
    // A last line without its end, one that continues (a cut hex value), Notepad's UTF-16, and
    // a file of the other format: every added key reads back as written.
    const std::string header = "Windows Registry Editor Version 5.00\r\n\r\n";
    const std::string key = "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Before]\r\n";
    const std::string states[] = {
        header + key + "\"Last\"=\"no line end\"",
        header + key + "\"Cut\"=hex:00,01,\\",
        "\xFF\xFE" + Utf16ToBytes(Utf8ToUtf16(header + key + "\"Wide\"=\"値\"")),
        "REGEDIT4\r\n\r\n" + key,
        "garbage",
    };
    for (const std::string& state : states) {
        MachineFolder machine;
        machine.AddRegFile("zz-local.reg", state);
        ASSERT_TRUE(AppendMachineRegistry(RegKeyLine("SOFTWARE\\Added") +
                                          RegStringLine("Name", "新しい値")))
            << state;
        std::string value;
        EXPECT_TRUE(ReadMachineString("SOFTWARE\\Added", "Name", value)) << state;
        EXPECT_EQ(value, sjis(u8"新しい値")) << state;
    }
    MachineFolder machine;
    const std::string wide =
        "\xFF\xFE" + Utf16ToBytes(Utf8ToUtf16(header + key + "\"Wide\"=\"値\""));
    machine.AddRegFile("zz-local.reg", wide);
    ASSERT_TRUE(AppendMachineRegistry(RegKeyLine("SOFTWARE\\Added") + RegDwordLine("N", 1)));
    std::string value;
    EXPECT_TRUE(ReadMachineString("SOFTWARE\\Before", "Wide", value));  // kept, still UTF-16
    EXPECT_EQ(ReadFileBytes(machine.Root() + "registry/zz-local.reg").substr(0, wide.size()), wide);
}

TEST(Registry, DefaultMachine) {
    MachineFolder machine;
    EXPECT_EQ(Subkeys(kEventLogKey),
              (std::vector<std::string>{"Application", "Security", "System"}));
    std::string file;
    EXPECT_TRUE(ReadMachineString(std::string(kEventLogKey) + "\\System", "File", file));
    EXPECT_EQ(ExpandMachineEnvironment(file),
              machine.Root() + "Windows\\system32\\config\\SysEvent.Evt");
    EXPECT_EQ(MapMachinePath(ExpandMachineEnvironment(file)),
              machine.Root() + "Windows/system32/config/SysEvent.Evt");
    // Components resolve without regard to case; drive letters map into the machine.
    EXPECT_EQ(
        MapMachinePath(ExpandMachineEnvironment("%SYSTEMROOT%\\SYSTEM32\\CONFIG\\sysevent.evt")),
        machine.Root() + "Windows/system32/config/SysEvent.Evt");
    EXPECT_EQ(MapMachinePath("c:\\Program Files\\x.dll"),
              machine.Root() + "drive_c/Program Files/x.dll");
    // C:\Windows is the folder %SystemRoot% names, however it is spelt.
    EXPECT_EQ(MapMachinePath("C:\\WINDOWS\\System32\\config\\sysevent.evt"),
              machine.Root() + "Windows/system32/config/SysEvent.Evt");
    EXPECT_EQ(MapMachinePath("c:\\windowsold\\x"), machine.Root() + "drive_c/windowsold/x");
    EXPECT_EQ(MapMachinePath("/usr/lib/x.so"), "/usr/lib/x.so");
    EXPECT_EQ(ExpandMachineEnvironment("%TEMP%|%SystemDrive%|%NoSuchName%|100%"),
              machine.Root() + "Windows\\TEMP|C:|%NoSuchName%|100%");
}

TEST(Registry, MalformedFilesNeverCrash) {
    RegistryTree tree;
    ParseRegFile("", tree);
    ParseRegFile("\xFF\xFE", tree);
    ParseRegFile("\xFF\xFE\x41", tree);
    ParseRegFile("Windows Registry Editor Version 5.00\n[", tree);
    ParseRegFile(
        "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(zz):1\n"
        "\"y\"=hex:1,2,\\",
        tree);
    ParseRegFile("Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\A\\\\\\B]\n@=\"\\",
                 tree);
    EXPECT_NE(tree.Find("A"), nullptr);
    EXPECT_NE(tree.Find("A\\B"), nullptr);
}

TEST(Registry, ChangesByOtherProcessesAreSeenWithinATenthOfASecond) {
    MachineFolder machine;
    std::string value;
    ASSERT_TRUE(AppendMachineRegistry("[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\r\n\"V\"=\"1\"\r\n"));
    EXPECT_TRUE(ReadMachineString("SOFTWARE\\Fresh", "V", value));  // our own change: at once
    // Another program (an editor, a tool) writes a file behind the platform's back.
    {
        std::ofstream other(machine.Root() + "registry/zz-other.reg", std::ios::binary);
        other << "Windows Registry Editor Version 5.00\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\r\n\"V\"=\"2\"\r\n";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(ReadMachineString("SOFTWARE\\Fresh", "V", value));
    EXPECT_EQ(value, "2");

    // A machine without a registry folder is an empty registry, read again as a folder appears.
    TestFolder bare;
    SetMachineRoot(bare.File("bare/"));
    EXPECT_FALSE(ReadMachineString("SOFTWARE\\Fresh", "V", value));
    std::filesystem::create_directories(bare.File("bare/registry"));
    {
        std::ofstream other(bare.File("bare/registry/a.reg"), std::ios::binary);
        other << "Windows Registry Editor Version 5.00\r\n"
                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Fresh]\r\n\"V\"=\"3\"\r\n";
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ASSERT_TRUE(ReadMachineString("SOFTWARE\\Fresh", "V", value));
    EXPECT_EQ(value, "3");
    SetMachineRoot(machine.Root());
}

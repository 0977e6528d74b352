#include "platform/machine/msgfile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include <random>

#include "platform/codepage.h"
#include "platform/machine/msgcompiler.h"
#include "support/machine_folder.h"

using namespace platform;

namespace {

std::string Format(std::string_view f, std::vector<std::string> args = {}, bool ignore = false) {
    std::string out;
    if (!FormatMessageFromString(f, ignore, &args, out))
        return "<fail " + std::to_string(GetLastError()) + ">";
    return out;
}

// Message texts in CRLF, with English and Japanese, severities, facilities and implicit ids.
const char kSource[] =
    "LanguageNames=(Japanese=0x411:MSG00411)\r\n"
    "MessageId=1\r\nSymbolicName=CAT_ONE\r\nLanguage=English\r\nOne\r\n.\r\n"
    "Language=Japanese\r\n\xe4\xb8\x80\r\n.\r\n"
    "MessageId=\r\nLanguage=English\r\nTwo %1%0 hidden\r\n.\r\n"
    "MessageId=0x64\r\nSeverity=Error\r\nFacility=Application\r\nLanguage=English\r\n"
    "Disk %1 is full.\r\nSee %2.\r\n.\r\n"
    "Language=Japanese\r\n\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf %1 "
    "\xe3\x81\x8c\xe4\xb8\x80\xe6\x9d\xaf\xe3\x81\xa7\xe3\x81\x99\xe3\x80\x82\r\n.\r\n"
    "MessageId=+5\r\nSeverity=Warning\r\nFacility=System\r\nLanguage=English\r\n50%% done\r\n.\r\n";

std::string Describe(const std::vector<MessageTableEntry>& entries) {
    std::string out;
    for (const MessageTableEntry& e : entries) {
        char id[16];
        std::snprintf(id, sizeof id, "%08x", e.id);
        out += std::string(id) + "=" + SjisToUtf8(e.text) + "|";
    }
    return out;
}

std::vector<MessageTableEntry> EntriesOf(const std::string& path) {
    HMODULE module = LoadLibraryAsDatafile(path);
    EXPECT_NE(module, nullptr) << path;
    if (!module) return {};
    std::vector<MessageTableEntry> entries = EnumerateMessageTables(module);
    FreeLibrary(module);
    return entries;
}

}  // namespace

TEST(MessageFormat, InsertsAndEscapes) {
    const std::vector<std::string> ten = {"a", "b", "c", "d", "e", "f", "g", "h", "i", "j"};
    EXPECT_EQ(Format("%1 and %2", {"x", "y"}), "x and y");
    EXPECT_EQ(Format("%100", ten), "j0");  // two digits at most
    EXPECT_EQ(Format("[%1!-5s!][%2!5s!][%1!.1s!]", {"ab", "cd"}), "[ab   ][   cd][a]");
    EXPECT_EQ(Format("a%0b"), "a");
    EXPECT_EQ(Format("a%nb%rc%td"), "a\r\nb\rc\td");
    EXPECT_EQ(Format("100%% %. %! % x"), "100% . !  x");
    EXPECT_EQ(Format("line\nnext\rlast\r\nend"), "line\r\nnext\r\nlast\r\nend");
    EXPECT_EQ(Format("%1", {"%2 stays"}), "%2 stays");  // inserted text is not scanned again
    EXPECT_EQ(Format("%1", {sjis(u8"監視%1")}), sjis(u8"監視%1"));
    EXPECT_EQ(Format(sjis(u8"%ソ")), sjis(u8"ソ"));  // a double-byte character after %
    EXPECT_EQ(Format("ends with %"), "<fail 87>");
    EXPECT_EQ(Format("%3", {"a"}), "<fail 87>");
    std::string out;
    EXPECT_FALSE(
        FormatMessageFromString("%0 never shown", false, nullptr, out));  // nothing to return
}

TEST(MessageFormat, IgnoringInserts) {
    SetLastError(0);
    EXPECT_EQ(Format("%1 %12 %% %. %n%t%rx%0gone", {}, true), "%1 %12 %% %. \r\n\t\rx");
    EXPECT_EQ(Format("trailing %", {}, true), "<fail 87>");
}

TEST(MessageFilesPeer, OurCompilerMatchesTheMingwTools) {
    TestFolder folder;
    WriteFileBytes(folder.File("m.mc"), kSource);
    MessageCompileResult compiled;
    ASSERT_TRUE(CompileMessageText(kSource, false, compiled)) << compiled.error;
    WriteFileBytes(folder.File("ours32.dll"), compiled.dll);
    ASSERT_TRUE(CompileMessageText(kSource, true, compiled)) << compiled.error;
    WriteFileBytes(folder.File("ours64.dll"), compiled.dll);

    const std::string cd = "cd '" + folder.Path() + "' && ";
    ASSERT_EQ(
        RunCommand(cd + "x86_64-w64-mingw32-windmc -a -C 65001 -U m.mc 2>&1 && "
                        "x86_64-w64-mingw32-windres --preprocessor=cpp m.rc -O coff -o m.o 2>&1 && "
                        "x86_64-w64-mingw32-ld --dll -e 0 -o theirs.dll m.o 2>&1"),
        0);
    const std::string theirs = Describe(EntriesOf(folder.File("theirs.dll")));
    // Enumeration takes one language per table: Japanese, by the search order.
    EXPECT_EQ(
        theirs,
        "00000001=\xe4\xb8\x80\r\n|"
        "cfff0064=\xe3\x83\x87\xe3\x82\xa3\xe3\x82\xb9\xe3\x82\xaf %1 \xe3\x81\x8c\xe4\xb8\x80"
        "\xe6\x9d\xaf\xe3\x81\xa7\xe3\x81\x99\xe3\x80\x82\r\n|");
    EXPECT_EQ(Describe(EntriesOf(folder.File("ours32.dll"))), theirs);
    EXPECT_EQ(Describe(EntriesOf(folder.File("ours64.dll"))), theirs);

    // The language search: neutral, Japanese, English, any; an explicit language is exact.
    for (const char* name : {"theirs.dll", "ours32.dll"}) {
        HMODULE module = LoadLibraryAsDatafile(folder.File(name));
        ASSERT_NE(module, nullptr);
        std::string text;
        ASSERT_TRUE(FindMessage(module, 0xCFFF0064, 0, text));
        EXPECT_EQ(text.substr(0, 2), "\x83\x66");                // "デ": the Japanese table
        EXPECT_FALSE(FindMessage(module, 0x0FFF0064, 0, text));  // severity bits are part of the id
        ASSERT_TRUE(FindMessage(module, 0xCFFF0064, 0x409, text));
        EXPECT_EQ(text, "Disk %1 is full.\r\nSee %2.\r\n");
        EXPECT_FALSE(FindMessage(module, 0x80FF0069, 0x411, text));
        EXPECT_EQ(GetLastError(), kErrorMrMidNotFound);
        ASSERT_TRUE(FindMessage(module, 0x80FF0069, 0x409, text));
        const std::vector<std::string> args = {"C:", "help"};
        ASSERT_TRUE(FormatMessageFromModule(module, 0xCFFF0064, 0x409, false, &args, text));
        EXPECT_EQ(text, "Disk C: is full.\r\nSee help.\r\n");
        FreeLibrary(module);
    }
}

TEST(MessageFilesPeer, PefileReadsWhatOurCompilerWrites) {
    TestFolder folder;
    MessageCompileResult compiled;
    ASSERT_TRUE(CompileMessageText(kSource, false, compiled)) << compiled.error;
    WriteFileBytes(folder.File("ours.dll"), compiled.dll);
    WriteFileBytes(folder.File("dump.py"),
                   "import pefile, struct, sys\n"
                   "pe = pefile.PE(sys.argv[1])\n"
                   "for t in pe.DIRECTORY_ENTRY_RESOURCE.entries:\n"
                   "  for n in t.directory.entries:\n"
                   "    for l in n.directory.entries:\n"
                   "      d = pe.get_data(l.data.struct.OffsetToData, l.data.struct.Size)\n"
                   "      for b in range(struct.unpack_from('<I', d, 0)[0]):\n"
                   "        lo, hi, off = struct.unpack_from('<III', d, 4 + 12 * b)\n"
                   "        for i in range(lo, hi + 1):\n"
                   "          size, flags = struct.unpack_from('<HH', d, off)\n"
                   "          text = d[off + 4:off + size].decode('utf-16-le').split('\\0')[0]\n"
                   "          print('%d %d %d %08x %s' % (t.id, n.id, l.id, i, "
                   "text.encode('unicode_escape').decode()))\n"
                   "          off += size\n");
    std::string out;
    ASSERT_EQ(RunCommand("/usr/bin/python3 '" + folder.File("dump.py") + "' '" +
                             folder.File("ours.dll") + "'",
                         &out),
              0);
    EXPECT_EQ(out,
              "11 1 1033 00000001 One\\r\\n\n"
              "11 1 1033 00000002 Two %1%0 hidden\\r\\n\n"
              "11 1 1033 80ff0069 50%% done\\r\\n\n"
              "11 1 1033 cfff0064 Disk %1 is full.\\r\\nSee %2.\\r\\n\n"
              "11 1 1041 00000001 \\u4e00\\r\\n\n"
              "11 1 1041 cfff0064 \\u30c7\\u30a3\\u30b9\\u30af %1 "
              "\\u304c\\u4e00\\u676f\\u3067\\u3059\\u3002\\r\\n\n");
}

TEST(MessageFiles, BadFilesAreRefusedOrReadAsFarAsValid) {
    TestFolder folder;
    EXPECT_EQ(LoadLibraryAsDatafile(folder.File("missing.dll")), nullptr);
    EXPECT_EQ(GetLastError(), kErrorFileNotFound);
    WriteFileBytes(folder.File("text.dll"), "this is not a program");
    EXPECT_EQ(LoadLibraryAsDatafile(folder.File("text.dll")), nullptr);
    EXPECT_EQ(GetLastError(), kErrorBadExeFormat);

    MessageCompileResult compiled;
    ASSERT_TRUE(CompileMessageText(kSource, false, compiled));
    std::mt19937 random(3);
    std::vector<MessageResource> resources;
    for (int round = 0; round < 2000; ++round) {
        std::string damaged = compiled.dll;
        for (int k = 0; k < 1 + round % 6; ++k)
            damaged[random() % damaged.size()] = static_cast<char>(random());
        if (round % 7 == 0) damaged.resize(random() % damaged.size());
        ParseMessageFile(damaged, resources);  // must stay inside the bytes and end
    }
    // A table whose block claims four billion ids ends at the end of its data.
    EXPECT_TRUE(ParseMessageFile(compiled.dll, resources));
    EXPECT_EQ(resources.size(), 2u);
}

TEST(MessageFiles, ChangedFilesAreSeenAtTheNextLoad) {
    TestFolder folder;
    MessageCompileResult compiled;
    ASSERT_TRUE(CompileMessageText("MessageId=1\nLanguage=English\nfirst\n.\n", false, compiled));
    WriteFileBytes(folder.File("m.dll"), compiled.dll);
    EXPECT_EQ(Describe(EntriesOf(folder.File("m.dll"))), "00000001=first\r\n|");
    ASSERT_TRUE(CompileMessageText("MessageId=1\nLanguage=English\nsecond\n.\n", false, compiled));
    WriteFileBytes(folder.File("m.dll"), compiled.dll);
    EXPECT_EQ(Describe(EntriesOf(folder.File("m.dll"))), "00000001=second\r\n|");

    // Another program copies a new file over it: seen within a tenth of a second.
    ASSERT_TRUE(CompileMessageText("MessageId=1\nLanguage=English\nthird\n.\n", false, compiled));
    {
        std::ofstream other(folder.File("m.dll"), std::ios::binary | std::ios::trunc);
        other << compiled.dll;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(Describe(EntriesOf(folder.File("m.dll"))), "00000001=third\r\n|");

    MessageCompileResult bad;
    EXPECT_FALSE(CompileMessageText("MessageId=1\nLanguage=Klingon\nx\n.\n", false, bad));
    EXPECT_EQ(bad.error, "line 2: unknown language Klingon");
    EXPECT_FALSE(CompileMessageText("MessageId=1\nLanguage=English\nno end\n", false, bad));
}

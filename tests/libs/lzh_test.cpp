// The archiver library and its LZH writer, checked by the readers nobody here wrote: lhasa and
// bsdtar list and extract what it makes.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <random>

#include "actions/unlha_abi.h"
#include "libs/unlha32/lzh_archive.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "support/machine_folder.h"

namespace {

// The library as the program loads it.
class Library {
public:
    Library() {
        m_handle = dlopen(QUORVIK_UNLHA32_PATH, RTLD_NOW | RTLD_LOCAL);
        EXPECT_NE(m_handle, nullptr) << dlerror();
        unlha = reinterpret_cast<UnlhaFunction>(dlsym(m_handle, "Unlha"));
        getRunning = reinterpret_cast<UnlhaGetRunningFunction>(dlsym(m_handle, "UnlhaGetRunning"));
        setCursorMode =
            reinterpret_cast<UnlhaSetCursorModeFunction>(dlsym(m_handle, "UnlhaSetCursorMode"));
    }
    ~Library() {
        if (m_handle) dlclose(m_handle);
    }

    // Runs a command; the result, and the message in UTF-8.
    int Run(const std::string& command, std::string* message = nullptr) {
        char output[1024];
        std::memset(output, 'x', sizeof output);
        const int result = unlha(nullptr, command.c_str(), output, sizeof output);
        EXPECT_NE(std::memchr(output, 0, sizeof output), nullptr);
        if (message) *message = platform::SjisToUtf8(output);
        return result;
    }

    UnlhaFunction unlha = nullptr;
    UnlhaGetRunningFunction getRunning = nullptr;
    UnlhaSetCursorModeFunction setCursorMode = nullptr;

private:
    void* m_handle = nullptr;
};

std::string Text(size_t size, unsigned seed) {
    static const char* words[] = {"service", "started", "stopped", "error",
                                  "warning", "disk",    "backup",  "完了",
                                  "失敗",    "ログ",    "\r\n",    "2026/12/07"};
    std::mt19937 random(seed);
    std::string text;
    while (text.size() < size) {
        text += words[random() % 12];
        text += random() % 3 ? " " : "\n";
    }
    text.resize(size);
    return text;
}

std::string Random(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(random());
    return data;
}

std::string Quote(const std::string& text) { return "'" + text + "'"; }

}  // namespace

TEST(Lzh, Crc16AndTheHeaderLayout) {
    EXPECT_EQ(lzh::Crc16(0, "123456789", 9), 0xBB3D);  // CRC-16/ARC check value
    lzh::MemberHeader header;
    header.packedSize = 0x01020304;
    header.originalSize = 0x05060708;
    header.modified = 0x11223344;
    header.crc = 0xBEEF;
    header.name = "a.txt";
    const std::string h = lzh::LevelTwoHeader(header);
    ASSERT_GE(h.size(), 26u);
    EXPECT_EQ(static_cast<unsigned char>(h[0]) | static_cast<unsigned char>(h[1]) << 8, h.size());
    EXPECT_EQ(h.substr(2, 5), "-lh5-");
    EXPECT_EQ(h.substr(7, 4), "\x04\x03\x02\x01");
    EXPECT_EQ(h.substr(15, 4), "\x44\x33\x22\x11");
    EXPECT_EQ(h[20], 2);
    EXPECT_EQ(h.substr(21, 2), "\xEF\xBE");
    // The header CRC is over the whole header with its own field zero.
    std::string zeroed = h;
    zeroed[27] = zeroed[28] = 0;
    const std::uint16_t crc = lzh::Crc16(0, zeroed.data(), zeroed.size());
    EXPECT_EQ(static_cast<unsigned char>(h[27]) | static_cast<unsigned char>(h[28]) << 8, crc);
    // A size whose low byte is 0 would read as the archive's end: one byte of padding.
    for (size_t length = 1; length < 400; ++length) {
        header.name.assign(length, 'n');
        EXPECT_NE(lzh::LevelTwoHeader(header).size() & 0xFF, 0u) << length;
    }
}

TEST(Unlha, BadCommandLinesAreRefusedWithAMessage) {
    MachineFolder machine;
    const std::string dir = machine.Root();
    WriteFileBytes(dir + "a.txt", "a");
    WriteFileBytes(dir + "exists.lzh", "x");
    Library lib;
    ASSERT_NE(lib.unlha, nullptr);
    std::string message;
    EXPECT_EQ(lib.Run("", &message), kUnlhaBadCommand);
    EXPECT_EQ(message, "コマンドがありません。");
    EXPECT_EQ(lib.Run("x \"" + dir + "o.lzh\" \"" + dir + "*\"", &message), kUnlhaBadCommand);
    EXPECT_EQ(lib.Run("a -zz \"" + dir + "o.lzh\" \"" + dir + "*\"", &message), kUnlhaBadSwitch);
    EXPECT_EQ(message, "スイッチ \"-zz\" は使えません。");
    EXPECT_EQ(lib.Run("a -n1", &message), kUnlhaNoArchive);
    EXPECT_EQ(lib.Run("a \"" + dir + "o.lzh\"", &message), kUnlhaNoFiles);
    EXPECT_EQ(lib.Run("a \"" + dir + "o.lzh\" \"" + dir + "*.none\"", &message), kUnlhaNoFiles);
    EXPECT_EQ(lib.Run("a \"" + dir + "exists.lzh\" \"" + dir + "a.txt\"", &message), kUnlhaExists);
    EXPECT_EQ(lib.Run("a \"" + dir + "no/folder/o.lzh\" \"" + dir + "a.txt\""), kUnlhaCannotWrite);
    EXPECT_FALSE(platform::FileExists(dir + "o.lzh"));
    EXPECT_EQ(lib.unlha(nullptr, nullptr, nullptr, 0), kUnlhaBadCommand);
    char one[1] = {'x'};
    EXPECT_EQ(lib.unlha(nullptr, "bogus", one, 1), kUnlhaBadCommand);
    EXPECT_EQ(one[0], '\0');
    EXPECT_EQ(lib.getRunning(), 0);
    EXPECT_NE(lib.setCursorMode(0), 0);

    // A move takes the files out of the folder, the archive itself left alone.
    EXPECT_EQ(lib.Run("m -jf0 -n1 -gm1 \"" + dir + "new.LZH\" \"" + dir + "*\"", &message), 0)
        << message;
    EXPECT_TRUE(platform::FileExists(dir + "new.LZH"));
    EXPECT_FALSE(platform::FileExists(dir + "a.txt"));
    EXPECT_FALSE(platform::FileExists(dir + "exists.lzh"));
}

TEST(LzhPeer, EverySizeListsAndExtractsByteForByte) {
    MachineFolder machine;
    const std::string src = machine.Root() + "src/";
    platform::ForceDirectories(src);
    // Sizes around the format's edges: match lengths, the dictionary, block sizes.
    const size_t sizes[] = {0,     1,     2,     3,      4,       255,           256,
                            257,   4095,  4096,  8191,   8192,    8193,          16385,
                            65535, 65536, 65537, 100000, 1 << 20, (3 << 20) + 17};
    std::vector<std::pair<std::string, std::string>> files;  // name (UTF-8), bytes
    unsigned seed = 1;
    for (size_t size : sizes) {
        files.push_back({"text" + std::to_string(size) + ".txt", Text(size, seed++)});
        files.push_back({"rand" + std::to_string(size) + ".bin", Random(size, seed++)});
    }
    // Runs, periods at the dictionary's edge, and Japanese names with 0x5C second bytes.
    files.push_back({"zeros.bin", std::string(1 << 20, '\0')});
    std::string period = Random(8191, 99);
    files.push_back({"period8191.bin", period + period + period + period});
    std::string period2 = Random(8192, 98);
    files.push_back({"period8192.bin", period2 + period2 + period2});
    files.push_back({"表示ソフト予定.txt", Text(5000, 7)});
    files.push_back({"日本語のログ.log", Text(20000, 8)});
    for (const auto& [name, bytes] : files) {
        WriteFileBytes(src + platform::Utf8ToSjis(name), bytes);
    }
    Library lib;
    const std::string archive = machine.Root() + "all.lzh";
    std::string message;
    ASSERT_EQ(lib.Run("a -jf0 -n1 -gm1 \"" + archive + "\" \"" + src + "*\"", &message), 0)
        << message;

    // lhasa: every name in the listing, a clean test, the same bytes out (names kept as stored).
    std::string listing;
    ASSERT_EQ(RunCommand("cd " + Quote(machine.Root()) + " && lhasa l all.lzh", &listing), 0);
    EXPECT_NE(listing.find(" " + std::to_string(files.size()) + " files"), std::string::npos)
        << listing;
    std::string tested;
    ASSERT_EQ(RunCommand("lhasa tq " + Quote(archive) + " 2>&1", &tested), 0) << tested;
    const std::string byLhasa = machine.Root() + "lhasa/";
    const std::string byTar = machine.Root() + "bsdtar/";
    platform::ForceDirectories(byLhasa);
    platform::ForceDirectories(byTar);
    ASSERT_EQ(RunCommand("cd " + Quote(byLhasa) + " && lhasa xq " + Quote(archive)), 0);
    ASSERT_EQ(RunCommand("cd " + Quote(byTar) + " && LC_ALL=C.UTF-8 bsdtar -xf " + Quote(archive) +
                         " 2>&1"),
              0);
    std::string tarListing;
    ASSERT_EQ(RunCommand("LC_ALL=C.UTF-8 bsdtar -tf " + Quote(archive), &tarListing), 0);
    for (const auto& [name, bytes] : files) {
        const std::string sjisName = platform::Utf8ToSjis(name);
        EXPECT_EQ(ReadFileBytes(byLhasa + sjisName), bytes) << name;
        // bsdtar reads the name's code page from the header and gives UTF-8.
        EXPECT_EQ(ReadFileBytes(byTar + name), bytes) << name;
        EXPECT_NE(tarListing.find(name + "\n"), std::string::npos) << name;
    }
    // Compressible data went in compressed, random data as it was.
    std::string verbose;
    RunCommand("lhasa v " + Quote(archive), &verbose);
    EXPECT_NE(verbose.find("lh5"), std::string::npos);
    EXPECT_NE(verbose.find("lh0"), std::string::npos);
}

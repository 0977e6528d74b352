#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// What the .evtx reader and the texts of its values share: the value types of binary XML.
namespace platform::evtx {

// Value types of binary XML.
enum : std::uint8_t {
    kNull = 0x00,
    kString = 0x01,
    kAnsiString = 0x02,
    kInt8 = 0x03,
    kUInt8 = 0x04,
    kInt16 = 0x05,
    kUInt16 = 0x06,
    kInt32 = 0x07,
    kUInt32 = 0x08,
    kInt64 = 0x09,
    kUInt64 = 0x0a,
    kReal32 = 0x0b,
    kReal64 = 0x0c,
    kBool = 0x0d,
    kBinary = 0x0e,
    kGuid = 0x0f,
    kSizeT = 0x10,
    kFileTime = 0x11,
    kSystemTime = 0x12,
    kSid = 0x13,
    kHexInt32 = 0x14,
    kHexInt64 = 0x15,
    kBinXml = 0x21,
    kArray = 0x80,
};

// Characters of UTF-16LE at an offset.
std::u16string Utf16At(std::string_view bytes, size_t at, size_t chars);

// The elements of an array value (type with kArray), each as ValueText gives it.
std::vector<std::u16string> ArrayTexts(std::uint8_t type, std::string_view bytes);

}  // namespace platform::evtx

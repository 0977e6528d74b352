#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/machine/evtx/evtx_values.h"
#include "platform/machine/evtx_format.h"

// The binary XML of an .evtx chunk: fragments with their templates, read into a tree of
// elements with the values of their instances in place. Every offset is checked against the
// chunk.
namespace platform::evtx {

// Elements and templates nested deeper are damage, not data.
constexpr int kMaxDepth = 48;
// What one record may expand to (elements and values, and the bytes of its values), and all the
// records of a chunk together: templates that refer to one another many times over would
// otherwise unfold a 64 KiB chunk into billions of values.
constexpr std::uint32_t kMaxRecordItems = 1u << 16;
constexpr std::uint64_t kMaxRecordBytes = 8u << 20;
constexpr std::uint32_t kMaxChunkItems = 1u << 20;

// A value as the record holds it: its type and its bytes in the chunk (or, for a character or
// entity reference, a text of its own).
struct Value {
    std::uint8_t type = kNull;
    std::string_view bytes;
    std::u16string own;
};

struct Dom;

// One piece of content: text, an element, a substitution of the instance's values, or an
// instance of a template.
struct Item {
    enum Kind : std::uint8_t { kText, kElement, kSubstitution, kInstance } kind = kText;
    std::uint8_t type = kNull;  // of a text, or the type a substitution declares
    std::uint16_t id = 0;       // the substitution's index
    int index = -1;             // the element or instance
    Value text;
};

struct Attribute {
    const std::u16string* name = nullptr;
    std::vector<Item> value;
};

struct Element {
    const std::u16string* name = nullptr;
    std::vector<Attribute> attributes;
    std::vector<Item> content;
};

struct Instance {
    const Dom* templ = nullptr;
    std::vector<Value> values;
};

// A fragment of binary XML: its top-level items and what they refer to.
struct Dom {
    std::vector<Item> top;
    std::vector<Element> elements;
    std::vector<Instance> instances;
};

// An element with the values of its instance in place.
struct Node {
    const std::u16string* name = nullptr;
    std::vector<std::pair<const std::u16string*, std::vector<Value>>> attributes;
    std::vector<Value> text;
    std::vector<Node> children;

    const Node* Child(std::u16string_view wanted) const {
        for (const Node& child : children)
            if (child.name && *child.name == wanted) return &child;
        return nullptr;
    }
    const std::vector<Value>* Attr(std::u16string_view wanted) const {
        for (const auto& [key, values] : attributes)
            if (key && *key == wanted) return &values;
        return nullptr;
    }
};

// The values' texts, one after the other.
std::u16string Texts(const std::vector<Value>& values);
// An integer from a value of any integer type, or from its text; 0 when there is none.
std::uint64_t Number(const std::vector<Value>* values);

// Reads the records of one chunk; the names and templates it met are kept for the next.
class BinXmlReader {
public:
    explicit BinXmlReader(std::string_view chunk);
    ~BinXmlReader();
    BinXmlReader(const BinXmlReader&) = delete;
    BinXmlReader& operator=(const BinXmlReader&) = delete;

    // The tree of the fragment [begin, end) of the chunk, under root; false for damage, or for
    // a record that expands beyond the limits above (then OverLimit is true).
    bool ReadTree(std::uint32_t begin, std::uint32_t end, Node& root);
    bool OverLimit() const;

private:
    struct Parser;
    std::unique_ptr<Parser> m_parser;
};

}  // namespace platform::evtx

#include "platform/machine/evtx/binxml.h"

#include <cstdlib>
#include <unordered_map>

#include "platform/bytes.h"
#include "platform/machine/evtx/evtx_values.h"

namespace platform::evtx {

std::u16string Texts(const std::vector<Value>& values) {
    std::u16string out;
    for (const Value& v : values) out += v.own.empty() ? ValueText(v.type, v.bytes) : v.own;
    return out;
}

std::uint64_t Number(const std::vector<Value>* values) {
    if (!values || values->empty()) return 0;
    const Value& v = values->front();
    switch (v.type) {
        case kInt8:
        case kUInt8: return v.bytes.size() >= 1 ? static_cast<std::uint8_t>(v.bytes[0]) : 0;
        case kInt16:
        case kUInt16: return v.bytes.size() >= 2 ? Le16(v.bytes, 0) : 0;
        case kInt32:
        case kUInt32:
        case kHexInt32: return v.bytes.size() >= 4 ? Le32(v.bytes, 0) : 0;
        case kInt64:
        case kUInt64:
        case kHexInt64:
        case kFileTime: return v.bytes.size() >= 8 ? Le64(v.bytes, 0) : 0;
        default: break;
    }
    const std::u16string text = Texts(*values);
    std::string ascii;
    for (char16_t c : text) {
        if (c > 0x7f) return 0;
        ascii += static_cast<char>(c);
    }
    const std::string_view trimmed = TrimBlanks(ascii);
    return std::strtoull(std::string(trimmed).c_str(), nullptr, 0);
}

struct BinXmlReader::Parser {
    explicit Parser(std::string_view chunk) : m_chunk(chunk) {}

    bool ReadTree(std::uint32_t begin, std::uint32_t end, Node& root) {
        m_recordItems = 0;
        m_recordBytes = 0;
        m_overLimit = false;
        Dom dom;
        return ParseFragment(begin, end, dom, 0) && Resolve(dom, dom.top, nullptr, root, 0);
    }

    // Counts what the tree grows by; false once the record or the chunk is over its limit.
    bool Spend(std::uint64_t bytes) {
        ++m_recordItems;
        ++m_chunkItems;
        m_recordBytes += bytes;
        if (m_recordItems > kMaxRecordItems || m_recordBytes > kMaxRecordBytes ||
            m_chunkItems > kMaxChunkItems) {
            m_overLimit = true;
        }
        return !m_overLimit;
    }

    struct Cursor {
        std::uint32_t pos;
        std::uint32_t end;
        bool inTemplate;  // elements of a template definition carry a dependency identifier
    };

    bool Has(const Cursor& c, std::uint32_t n) const {
        return c.pos <= c.end && n <= c.end - c.pos && c.end <= m_chunk.size();
    }

    // A name of the chunk's string table: next offset, hash, length, characters, NUL.
    const std::u16string* NameAt(std::uint32_t offset) {
        auto it = m_names.find(offset);
        if (it != m_names.end()) return &it->second;
        if (!Fits(m_chunk, offset, 8)) return nullptr;
        const std::uint32_t chars = Le16(m_chunk, offset + 6);
        if (!Fits(m_chunk, offset + 8, 2ull * chars)) return nullptr;
        return &m_names.emplace(offset, Utf16At(m_chunk, offset + 8, chars)).first->second;
    }

    // A name reference; a name defined right here is stepped over.
    const std::u16string* Name(Cursor& c) {
        if (!Has(c, 4)) return nullptr;
        const std::uint32_t offset = Le32(m_chunk, c.pos);
        c.pos += 4;
        const std::u16string* name = NameAt(offset);
        if (name && offset == c.pos) c.pos += 8 + 2 * static_cast<std::uint32_t>(name->size()) + 2;
        return name;
    }

    bool ParseFragment(std::uint32_t begin, std::uint32_t end, Dom& dom, int depth,
                       bool inTemplate = false) {
        Cursor c{begin, end, inTemplate};
        return Content(c, dom, dom.top, false, depth);
    }

    // Items until the element's end (inElement) or the fragment's end.
    bool Content(Cursor& c, Dom& dom, std::vector<Item>& items, bool inElement, int depth) {
        if (depth > kMaxDepth) return false;
        while (true) {
            if (!Has(c, 1)) return !inElement;  // a fragment may end without its EOF token
            const std::uint8_t token = static_cast<std::uint8_t>(m_chunk[c.pos]);
            switch (token) {
                case 0x00: ++c.pos; return !inElement;
                case 0x0f:
                    if (!Has(c, 4)) return false;
                    c.pos += 4;
                    break;
                case 0x01:
                case 0x41: {
                    Item item;
                    item.kind = Item::kElement;
                    if (!StartElement(c, dom, item.index, depth + 1)) return false;
                    items.push_back(std::move(item));
                    break;
                }
                case 0x04:
                    ++c.pos;
                    if (inElement) return true;
                    return false;
                case 0x0c: {
                    Item item;
                    item.kind = Item::kInstance;
                    if (!TemplateInstance(c, dom, item.index, depth + 1)) return false;
                    items.push_back(std::move(item));
                    break;
                }
                case 0x0a:  // processing instruction: target, then data; not content
                    ++c.pos;
                    if (!Name(c)) return false;
                    break;
                case 0x0b: {
                    ++c.pos;
                    if (!Has(c, 2)) return false;
                    const std::uint32_t chars = Le16(m_chunk, c.pos);
                    if (!Has(c, 2 + 2 * chars)) return false;
                    c.pos += 2 + 2 * chars;
                    break;
                }
                default: {
                    Item item;
                    if (!ValueToken(c, item)) return false;
                    items.push_back(std::move(item));
                    break;
                }
            }
        }
    }

    // A text of UTF-16 characters counted by the 16 bits that follow the skipped bytes.
    bool CountedText(Cursor& c, std::uint32_t skip, Item& item) {
        if (!Has(c, skip + 2)) return false;
        const std::uint32_t chars = Le16(m_chunk, c.pos + skip);
        c.pos += skip + 2;
        if (!Has(c, 2 * chars)) return false;
        item.kind = Item::kText;
        item.text.type = kString;
        item.text.bytes = m_chunk.substr(c.pos, 2 * chars);
        c.pos += 2 * chars;
        return true;
    }

    // Text, CDATA, character and entity references, substitutions.
    bool ValueToken(Cursor& c, Item& item) {
        const std::uint8_t token = static_cast<std::uint8_t>(m_chunk[c.pos]);
        switch (token & 0xbf) {
            case 0x05:
                // Type, then the text; values here are always strings.
                if (!Has(c, 2) || static_cast<std::uint8_t>(m_chunk[c.pos + 1]) != kString)
                    return false;
                return CountedText(c, 2, item);
            case 0x07: return CountedText(c, 1, item);
            case 0x08: {
                if (!Has(c, 3)) return false;
                item.kind = Item::kText;
                item.text.type = kString;
                item.text.own = std::u16string(1, static_cast<char16_t>(Le16(m_chunk, c.pos + 1)));
                c.pos += 3;
                return true;
            }
            case 0x09: {
                ++c.pos;
                const std::u16string* name = Name(c);
                if (!name) return false;
                static const std::pair<std::u16string_view, char16_t> entities[] = {
                    {u"amp", u'&'},
                    {u"lt", u'<'},
                    {u"gt", u'>'},
                    {u"quot", u'"'},
                    {u"apos", u'\''}};
                item.kind = Item::kText;
                item.text.type = kString;
                item.text.own = u"&" + *name + u";";
                for (const auto& [entity, character] : entities)
                    if (*name == entity) item.text.own = std::u16string(1, character);
                return true;
            }
            case 0x0d:
            case 0x0e:
                if (!Has(c, 4)) return false;
                item.kind = Item::kSubstitution;
                item.id = Le16(m_chunk, c.pos + 1);
                item.type = static_cast<std::uint8_t>(m_chunk[c.pos + 3]);
                c.pos += 4;
                return true;
            default: return false;
        }
    }

    bool StartElement(Cursor& c, Dom& dom, int& index, int depth) {
        if (depth > kMaxDepth) return false;
        const bool hasAttributes = (static_cast<std::uint8_t>(m_chunk[c.pos]) & 0x40) != 0;
        // Token, dependency identifier (in a template), size of the element's data.
        const std::uint32_t fixed = c.inTemplate ? 7 : 5;
        if (!Has(c, fixed)) return false;
        c.pos += fixed;
        Element element;
        element.name = Name(c);
        if (!element.name) return false;
        if (hasAttributes) {
            if (!Has(c, 4)) return false;
            c.pos += 4;
            while (Has(c, 1) && (static_cast<std::uint8_t>(m_chunk[c.pos]) & 0xbf) == 0x06) {
                ++c.pos;
                Attribute attribute;
                attribute.name = Name(c);
                if (!attribute.name) return false;
                while (Has(c, 1)) {
                    const std::uint8_t t = static_cast<std::uint8_t>(m_chunk[c.pos]) & 0xbf;
                    if (t != 0x05 && t != 0x07 && t != 0x08 && t != 0x09 && t != 0x0d && t != 0x0e)
                        break;
                    Item item;
                    if (!ValueToken(c, item)) return false;
                    attribute.value.push_back(std::move(item));
                }
                element.attributes.push_back(std::move(attribute));
            }
        }
        if (!Has(c, 1)) return false;
        const std::uint8_t close = static_cast<std::uint8_t>(m_chunk[c.pos++]);
        if (close == 0x02) {
            if (!Content(c, dom, element.content, true, depth)) return false;
        } else if (close != 0x03) {
            return false;
        }
        index = static_cast<int>(dom.elements.size());
        dom.elements.push_back(std::move(element));
        return true;
    }

    // A template, read once per chunk: its definition is [offset + 24, + size).
    const Dom* Template(std::uint32_t offset, int depth) {
        auto it = m_templates.find(offset);
        if (it != m_templates.end()) return it->second.get();  // null while being read: a loop
        if (!Fits(m_chunk, offset, 24)) return nullptr;
        const std::uint32_t size = Le32(m_chunk, offset + 20);
        if (!Fits(m_chunk, offset + 24, size)) return nullptr;
        m_templates.emplace(offset, nullptr);
        auto dom = std::make_unique<Dom>();
        if (!ParseFragment(offset + 24, offset + 24 + size, *dom, depth, true)) return nullptr;
        auto& slot = m_templates[offset];
        slot = std::move(dom);
        return slot.get();
    }

    bool TemplateInstance(Cursor& c, Dom& dom, int& index, int depth) {
        if (depth > kMaxDepth || !Has(c, 10)) return false;
        const std::uint32_t offset = Le32(m_chunk, c.pos + 6);
        c.pos += 10;
        Instance instance;
        if (offset == c.pos) {  // defined here: step over the definition
            if (!Has(c, 24)) return false;
            const std::uint32_t size = Le32(m_chunk, c.pos + 20);
            if (!Has(c, 24 + size)) return false;
            c.pos += 24 + size;
        }
        instance.templ = Template(offset, depth + 1);
        if (!instance.templ || !Has(c, 4)) return false;
        const std::uint32_t count = Le32(m_chunk, c.pos);
        c.pos += 4;
        if (count > 0x4000 || !Has(c, 4 * count)) return false;
        std::uint32_t data = c.pos + 4 * count;
        instance.values.resize(count);
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t size = Le16(m_chunk, c.pos + 4 * i);
            Value& v = instance.values[i];
            v.type = static_cast<std::uint8_t>(m_chunk[c.pos + 4 * i + 2]);
            if (!Fits(m_chunk, data, size) || data + size > c.end) return false;
            v.bytes = m_chunk.substr(data, size);
            data += size;
        }
        c.pos = data;
        index = static_cast<int>(dom.instances.size());
        dom.instances.push_back(std::move(instance));
        return true;
    }

    bool Resolve(const Dom& dom, const std::vector<Item>& items, const std::vector<Value>* values,
                 Node& parent, int depth) {
        if (depth > kMaxDepth) return false;
        for (const Item& item : items) {
            switch (item.kind) {
                case Item::kText:
                    if (!Spend(item.text.bytes.size() + 2 * item.text.own.size())) return false;
                    parent.text.push_back(item.text);
                    break;
                case Item::kElement: {
                    if (!Spend(0)) return false;
                    const Element& e = dom.elements[static_cast<size_t>(item.index)];
                    Node node;
                    node.name = e.name;
                    for (const Attribute& a : e.attributes) {
                        std::vector<Value> attributeValues;
                        for (const Item& part : a.value) {
                            if (!Spend(part.text.bytes.size())) return false;
                            if (part.kind == Item::kText) {
                                attributeValues.push_back(part.text);
                            } else if (part.kind == Item::kSubstitution && values &&
                                       part.id < values->size() &&
                                       (*values)[part.id].type != kNull) {
                                attributeValues.push_back((*values)[part.id]);
                            }
                        }
                        // An optional attribute without a value is left out.
                        const bool optional = !a.value.empty() &&
                                              a.value.front().kind == Item::kSubstitution &&
                                              attributeValues.empty();
                        if (!optional)
                            node.attributes.emplace_back(a.name, std::move(attributeValues));
                    }
                    if (!Resolve(dom, e.content, values, node, depth + 1)) return false;
                    parent.children.push_back(std::move(node));
                    break;
                }
                case Item::kSubstitution: {
                    if (!values || item.id >= values->size()) break;
                    const Value& v = (*values)[item.id];
                    if (v.type == kNull) break;
                    if (!Spend(v.bytes.size())) return false;
                    if (v.type == kBinXml) {
                        // Data that is itself binary XML, with templates of its own.
                        const auto begin =
                            static_cast<std::uint32_t>(v.bytes.data() - m_chunk.data());
                        Dom inner;
                        if (!ParseFragment(begin,
                                           begin + static_cast<std::uint32_t>(v.bytes.size()),
                                           inner, depth + 1) ||
                            !Resolve(inner, inner.top, nullptr, parent, depth + 1)) {
                            return false;
                        }
                        break;
                    }
                    parent.text.push_back(v);
                    break;
                }
                case Item::kInstance: {
                    if (!Spend(0)) return false;
                    const Instance& i = dom.instances[static_cast<size_t>(item.index)];
                    if (!Resolve(*i.templ, i.templ->top, &i.values, parent, depth + 1))
                        return false;
                    break;
                }
            }
        }
        return true;
    }

    std::string_view m_chunk;
    std::uint32_t m_recordItems = 0, m_chunkItems = 0;
    std::uint64_t m_recordBytes = 0;
    bool m_overLimit = false;
    std::unordered_map<std::uint32_t, std::u16string> m_names;
    std::unordered_map<std::uint32_t, std::unique_ptr<Dom>> m_templates;
};

BinXmlReader::BinXmlReader(std::string_view chunk) : m_parser(std::make_unique<Parser>(chunk)) {}

BinXmlReader::~BinXmlReader() = default;

bool BinXmlReader::ReadTree(std::uint32_t begin, std::uint32_t end, Node& root) {
    return m_parser->ReadTree(begin, end, root);
}

bool BinXmlReader::OverLimit() const { return m_parser->m_overLimit; }

}  // namespace platform::evtx

#pragma once

#include <string>
#include <string_view>
#include <vector>

// JSON (RFC 8259) as administrators' tools and log shippers write it: a reader that keeps each
// value's line, for messages that point at the fault, and a writer of indented text.
namespace platform::json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    std::string text;  // a string's UTF-8, or a number as written
    std::vector<Value> items;
    // An object's members in the order written: keys[i] names values[i].
    std::vector<std::string> keys;
    std::vector<Value> values;
    int line = 0;  // where the value starts, from 1

    static Value Null() { return Value(); }
    static Value Bool(bool b);
    static Value Number(long long n);
    static Value String(std::string utf8);
    static Value Array();
    static Value Object();

    bool IsNull() const { return type == Type::Null; }
    // The member of an object, nullptr when missing (or not an object).
    const Value* Find(std::string_view key) const;
    // A whole number within the range of a long long.
    bool Integer(long long& out) const;
    // Adds to an object (keeps the order) or to an array.
    Value& Add(std::string key, Value value);
    Value& Push(Value value);
};

// Reads one JSON text: false with the fault and its line. Strings must be UTF-8; a key repeated in
// an object and nesting deeper than maxDepth are faults.
bool Parse(std::string_view text, Value& out, std::string& error, int& errorLine,
           int maxDepth = 64);

// The value as JSON text, members and items on lines of their own indented by two spaces (an
// empty array or object, and an array of plain values, on one line).
std::string Format(const Value& value);

// A JSON string literal of UTF-8 text.
std::string Quote(std::string_view utf8);

}  // namespace platform::json

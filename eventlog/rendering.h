#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the registry and the message files say about an event: its description and its
// category text. Texts are CP932.

// The message files a source registers under a value ("EventMessageFile", ...), expanded and
// cut at ";"; empty when the source key or the value is missing.
std::vector<std::string> MessageFiles(const std::string& logName, const std::string& sourceName,
                                      const std::string& valueName);

// The files a source's categories come from: its CategoryMessageFile when that is a text value,
// else its EventMessageFile (as the description's rendering and the catalogues both take them).
std::vector<std::string> CategoryMessageFiles(const std::string& logName,
                                              const std::string& sourceName);

// %NAME% references replaced by the environment's values, in a buffer of 260 bytes; the text
// unchanged when expansion fails or does not fit.
std::string ExpandEnvironment(const std::string& text);

// The event's message with the insertion strings filled in; empty when no message file of the
// source holds the identifier. Untrimmed.
std::string EventDescription(const std::string& logName, const std::string& sourceName,
                             std::uint32_t eventId, const std::vector<std::string>& strings,
                             std::uint16_t count);

// The description of an event that no message file knows but whose data values have names (a
// record of an .evtx log): a line that says so, then "name: value" for each value, so that a
// search can find them. Empty when there are no values.
std::string DataDescription(const std::vector<std::string>& names,
                            const std::vector<std::string>& values);

// The category's name, as found (normally ending in a line break); empty when none is found.
std::string CategoryText(const std::string& logName, const std::string& sourceName,
                         std::uint16_t category);

// Blanks and control characters (bytes up to 0x20) removed from both ends.
std::string TrimControls(const std::string& text);

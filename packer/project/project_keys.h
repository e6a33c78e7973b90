// The one table of the project file's keys: where each key lives, which payload record it sets, how its
// value is typed and what a launcher gets when the key is left out. Loading, inspect and the
// documentation tests all read this table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kestro::packer {

enum class ValueType {
    Text,      // TOML string, written as is
    Integer,   // TOML integer in the int32 range, written in decimal
    Flag,      // TOML boolean, written as "1" or "0"
    Colour,    // TOML array [r, g, b] of integers 0..255, written as "r,g,b"
    List,      // TOML array of strings, joined with ';'
    Kind,      // "launcher" or "installer", written as "k" or "s"
    Message16, // TOML string, written as UTF-16 into the message table
    Sha256,    // TOML string of 64 hex digits, written in lower case
    Derived,   // set by the packer from [[files]] or the bundled runtime, not a key of its own
};

// Extra rules for the entries of a List.
enum class EntryRule {
    None,
    SearchEntry,    // a location letter (A, B, R, S, E, Y) followed by its value
    ClassPathEntry, // a type letter (A, D, S, E), a required flag character, then the value
};

struct ProjectKey {
    const char* section; // TOML table, dotted for nested tables ("splash.status")
    const char* name;
    int32_t id;
    ValueType type;
    // Payload text written when the key is absent (UTF-8); nullptr: nothing written. Some defaults take
    // other keys' values in (kVersionsPlaceholder, namedDefault).
    const char* defaultText;
    size_t capacity;         // bytes (8-bit) or units (16-bit) the launcher reads into, terminator included
    const char* conversions; // printf conversion letters a format message must have, in order; nullptr: none
    EntryRule entryRule;
};

const std::vector<ProjectKey>& projectKeys();

// Stands in a default text for the Java versions the project accepts, in words ("Java 11 or newer").
constexpr const char* kVersionsPlaceholder = "{versions}";

// True for the keys whose default is the application's name when the project gives one: the captions
// of error boxes (1000) and of the dialogs (20013).
bool namedDefault(const ProjectKey& key);

// Returns the key of section and name, or nullptr.
const ProjectKey* findKey(const char* section, const char* name);

// Returns the key that sets a configuration (messageTable false) or message record id, or nullptr.
const ProjectKey* findKeyById(int32_t id, bool messageTable);

} // namespace kestro::packer

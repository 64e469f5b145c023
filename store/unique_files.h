// New queue files under unique names. Each function publishes a complete file (create-new:
// an existing file is never replaced) and returns its path, or "" on failure.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// directory + MessageIDPrefix + "%08X" of NextUniqueId + "." + extension (no dot when the
// extension is empty). A missing directory is created; a taken name takes a new id; 1000
// attempts in all.
std::string CreateUniqueFile(const std::string& directory, std::string_view extension, std::string_view content);
// The same without the prefix, for work files.
std::string CreateUniqueFileNoPrefix(const std::string& directory, std::string_view extension,
                                     std::string_view content);

// "SAR-" + MessageIDPrefix + recipient (first 50 characters, "?*:/\|" as "!") + "-%x" reference
// + "-%u" total + "-%u" number + "." + extension. "" when the recipient or extension is not
// a safe name.
std::string SegmentFileName(std::string_view recipient, unsigned reference, unsigned total, unsigned number,
                            std::string_view extension);
// Publishes one segment, never replacing a file (errno EEXIST when the name is taken, as
// when another message's segment with the same reference is still queued).
std::string CreateSegmentFile(const std::string& directory, std::string_view recipient, unsigned reference,
                              unsigned total, unsigned number, std::string_view extension,
                              std::string_view content);
// A concatenation reference (from NextConcatReference) for which no segment 1..total of
// this recipient is pending in directory; after 256 tries the last one taken.
uint8_t ChooseConcatReference(const std::string& directory, std::string_view recipient, unsigned total,
                              std::string_view extension);

// The message id of a queue file: its name without directory and extension.
std::string MessageIdFromPath(std::string_view path);

// Long messages received in segments: each segment waits as a ".SAR" copy in the inbound
// directory until all of its message are there (or a lost one has been waited for long
// enough); then one inbound file with the whole text takes their place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The reference USASegmentFix gives texts of unmarked long messages.
inline constexpr unsigned kUnmarkedReference = 0x10000;
inline constexpr unsigned kUnmarkedCount = 20;

// Segment copies stored since the start: a pass is worth its walk only after a new one, or
// once a lost segment's wait may have ended.
uint64_t SegmentCopiesStored();
void NoteSegmentCopyStored();

// One pass over the ".SAR" files; the number of messages put together.
size_t RecombineSegments();

// How many segment copies of sender with the unmarked reference exist.
unsigned UnmarkedSegmentCount(const std::string& sender);

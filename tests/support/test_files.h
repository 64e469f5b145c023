// Whole-file reads and writes, file times and local dates for tests.
#pragma once

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

// The file's bytes; empty when it cannot be read.
std::string ReadFileText(const std::string& path);
// Replaces the file with text, creating the directories above it.
void WriteFileText(const std::string& path, std::string_view text);
// Drops a file into a folder a running gateway watches, as other programs are told to: written
// under a temporary name beside it (".~name.tmp", which no walk takes), then renamed, so that
// no reader ever sees it empty or half written.
void DropFileText(const std::string& path, std::string_view text);
// Regular files under dir (recursively), sorted by path; none when dir is missing.
std::vector<std::string> FilesUnder(const std::string& dir);
// Sets a file's modification time (seconds since 1970).
void SetMTime(const std::string& path, time_t t);
// Seconds since 1970 of a local date and time.
time_t LocalAt(int year, int month, int day, int hour = 12, int minute = 0, int second = 0);

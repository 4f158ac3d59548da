// Helpers shared by the general library's tests: a log that a test opens in
// its own temporary directory and reads back. (The child process for the
// operations that end the run is in child_process.h: it is POSIX-only.)
#pragma once

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "lib/FILEUTIL.h"
#include "lib/GENERR.h"
#include "platform/PLATFORM.h"
#include "support/fixture.h"

namespace libtest {

inline std::string read_text(const std::string& path) {
    const fixture::bytes data = fixture::read_file(path);
    return std::string(data.begin(), data.end());
}

inline bool is_time_stamp(const std::string& line) {
    if (line.size() < 11)
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (!std::isdigit(static_cast<unsigned char>(line[i])))
            return false;
    }
    return line[2] == ':' && line[5] == ':' && line.compare(8, 3, " - ") == 0;
}

// "MM/DD/YY": two digits each, separated by slashes.
inline bool is_short_date(const std::string& text) {
    if (text.size() != 8 || text[2] != '/' || text[5] != '/')
        return false;
    for (size_t i : {0, 1, 3, 4, 6, 7}) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

// The lines of a log, time stamps removed where a line has one. The log is
// a text file: its lines end in CR LF where that is the platform's line end.
inline std::vector<std::string> log_messages(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(is_time_stamp(line) ? line.substr(11) : line);
    }
    return lines;
}

// What the C library's text mode does on this platform: the bytes it writes
// for a line feed ("\n", or "\r\n" where that is the line end), and
// whether it reads a CR LF pair as one line feed by itself.
inline std::string text_mode_line_end() {
    fixture::temp_dir dir;
    const std::string path = dir.file("probe.txt");
    if (FILE* f = platform::open_file(path.c_str(), "wt")) {
        std::fputc('\n', f);
        std::fclose(f);
    }
    return read_text(path);
}

inline bool text_mode_folds_line_ends() {
    fixture::temp_dir dir;
    const std::string path = dir.file("probe.txt");
    fixture::write_file(path, {'a', '\r', '\n'});
    FILE* f = platform::open_file(path.c_str(), "rt");
    if (f == nullptr)
        return false;
    char buffer[4];
    const size_t got = std::fread(buffer, 1, sizeof buffer, f);
    std::fclose(f);
    return got == 2;
}

// Opens a log in a fresh directory; close() ends it and returns its lines.
class scoped_log {
public:
    scoped_log() : path_(dir_.file("test.log")) { open_log(path_.c_str()); }
    ~scoped_log() { close_log(); }
    const std::string& path() const { return path_; }
    const fixture::temp_dir& dir() const { return dir_; }
    std::vector<std::string> close() {
        close_log();
        return log_messages(read_text(path_));
    }

private:
    fixture::temp_dir dir_;
    std::string path_;
};

inline bool contains(const std::vector<std::string>& lines, const std::string& wanted) {
    for (const std::string& line : lines) {
        if (line == wanted)
            return true;
    }
    return false;
}

}  // namespace libtest

// SPDX-License-Identifier: GPL-3.0-or-later
#include "count_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>

#include "number_text.h"
#include "platform_file.h"
#include "text.h"

namespace valdmora {

namespace {

// A ward line's fields are separated by commas; without a comma by tabs; else by spaces.
char field_separator(const std::string& line) {
    if (line.find(',') != std::string::npos) return ',';
    if (line.find('\t') != std::string::npos) return '\t';
    return ' ';
}

}  // namespace

void split_readstring(const std::string& line, std::vector<std::string>& fields, uint8_t& last) {
    const char sep = field_separator(line);
    fields.clear();
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = line.find(sep, start);
        if (at == std::string::npos) {
            fields.push_back(line.substr(start));
            break;
        }
        fields.push_back(line.substr(start, at - start));
        start = at + 1;
    }
    long index = static_cast<long>(fields.size()) - 1;
    if (fields.back().empty()) --index;
    if (index < 0) throw UserError("the line is empty");
    if (index > 255) throw UserError("the line has more than 256 fields");
    last = static_cast<uint8_t>(index);
}

namespace {

// Predictor values beyond this are taken for a mistake: their products and sums would
// leave the ranges the estimate works in.
constexpr double kMaxPredictorValue = 1e12;

std::string in_quotes(const std::string& s) { return "\"" + printable(s) + "\""; }

// Lines of at most kMaxLineBytes from a source of bytes; the line end (LF, CR LF, CR) is not
// part of the line.
class LineReader {
public:
    // read(buffer, size) returns the bytes read, 0 at the end, -1 on an error.
    explicit LineReader(std::function<long(char*, std::size_t)> read) : read_(std::move(read)) {}

    enum class Result { Line, End, TooLong, Error };

    Result next(std::string& line) {
        line.clear();
        for (;;) {
            if (pos_ == size_ && !fill()) {
                if (error_) return Result::Error;
                if (line.empty() && !partial_) return Result::End;
                partial_ = false;
                return Result::Line;
            }
            if (after_cr_) {
                // the LF of a CR LF, perhaps at the start of the next buffer
                after_cr_ = false;
                if (buffer_[pos_] == '\n') {
                    ++pos_;
                    continue;
                }
            }
            const char* start = buffer_.data() + pos_;
            const char* end = buffer_.data() + size_;
            const char* eol = std::find_if(start, end, [](char c) { return c == '\n' || c == '\r'; });
            const auto take = static_cast<std::size_t>(eol - start);
            if (line.size() + take > kMaxLineBytes) return Result::TooLong;
            line.append(start, take);
            pos_ += take;
            partial_ = true;
            if (eol != end) {
                // LF, CR LF, or a CR alone (as older Mac programs end lines)
                ++pos_;
                partial_ = false;
                after_cr_ = *eol == '\r';
                return Result::Line;
            }
        }
    }

    // Skips to the end, counting the lines that hold anything but blanks.
    long count_lines_with_text() {
        long lines = 0;
        bool text = false;
        for (;;) {
            if (pos_ == size_ && !fill()) return lines + (text ? 1 : 0);
            for (; pos_ < size_; ++pos_) {
                const char c = buffer_[pos_];
                const bool lf_of_crlf = c == '\n' && after_cr_;
                after_cr_ = c == '\r';
                if (c == '\n' || c == '\r') {
                    if (!lf_of_crlf) lines += text ? 1 : 0;
                    text = false;
                } else if (c != ' ' && c != '\t') {
                    text = true;
                }
            }
        }
    }

    // The first bytes of the source, for telling what kind of file it is.
    std::string_view peek() {
        if (pos_ == size_) fill();
        return {buffer_.data() + pos_, size_ - pos_};
    }
    void skip(std::size_t n) { pos_ += std::min(n, size_ - pos_); }
    bool error() const { return error_; }

private:
    bool fill() {
        if (error_ || eof_) return false;
        buffer_.resize(1 << 16);
        const long n = read_(buffer_.data(), buffer_.size());
        if (n < 0) error_ = true;
        if (n <= 0) {
            eof_ = true;
            pos_ = size_ = 0;
            return false;
        }
        pos_ = 0;
        size_ = static_cast<std::size_t>(n);
        return true;
    }

    std::function<long(char*, std::size_t)> read_;
    std::string buffer_;
    std::size_t pos_ = 0, size_ = 0;
    bool partial_ = false, error_ = false, eof_ = false;
    bool after_cr_ = false;  // the last line ended at a CR: an LF next belongs to it
};

class Reader {
public:
    explicit Reader(std::string name) : name_(std::move(name)) {}

    CountData read(LineReader& lines) {
        CountData d;
        check_kind_of_file(lines);
        std::string line;
        std::vector<std::string> fields;
        if (!next_line(lines, line)) fail_file("is empty; its first line must name 1 to 4 predictor variables.");
        if (line.empty()) fail_line("the header line is empty; it must name 1 to 4 predictor variables.");
        split(line, fields, kMaxPredictors, [&](std::size_t n) {
            fail_line("the header names " + std::to_string(n) + " or more predictor variables; at most 4 are allowed.");
        });
        const int n_pred = static_cast<int>(fields.size());
        for (std::size_t j = 0; j < fields.size(); ++j) {
            const bool blank = fields[j].find_first_not_of(" \t") == std::string::npos;
            if (blank)
                fail_field(static_cast<int>(j), "the name of predictor variable " + std::to_string(j + 1) +
                                                        " is empty; the header line must name each predictor.");
            d.predictor_names.push_back(as_utf8(fields[j]));
        }

        while (next_line(lines, line)) {
            if (line.empty()) {
                d.lines_not_read = lines.count_lines_with_text();
                if (lines.error()) fail_file("could not be read to its end.");
                if (d.lines_not_read > 0)
                    d.notices.push_back({"Data file",
                                         "The data of " + printable(name_) + " end at the blank line " +
                                             std::to_string(line_no_) + ": " + std::to_string(d.lines_not_read) +
                                             (d.lines_not_read == 1 ? " line after it was" : " lines after it were") +
                                             " not read.",
                                         "Remove the blank line to read every ward."});
                break;
            }
            const std::size_t count = split(line, fields, static_cast<std::size_t>(n_pred + 2), [&](std::size_t n) {
                wrong_field_count(n_pred, std::to_string(n) + " fields or more");
            });
            const bool surveyed = count == static_cast<std::size_t>(n_pred + 2);
            if (count != static_cast<std::size_t>(n_pred + 1) && !surveyed)
                wrong_field_count(n_pred, std::to_string(count) + (count == 1 ? " field" : " fields"));
            WardRow row;
            row.name = as_utf8(fields[0]);
            for (int j = 1; j <= n_pred; ++j) {
                row.x[j - 1] = number(fields[j], j, "value of \"" + printable(d.predictor_names[j - 1]) + "\"");
                if (std::fabs(row.x[j - 1]) > kMaxPredictorValue)
                    fail_field(j, "the value of \"" + printable(d.predictor_names[j - 1]) + "\" " + in_quotes(fields[j]) +
                                      " is too large (predictor values must lie within ±1e12).");
            }
            if (surveyed) {
                row.count = number(fields[n_pred + 1], n_pred + 1, "dog count");
                if (row.count < 0.0) fail_field(n_pred + 1, "the dog count " + in_quotes(fields[n_pred + 1]) + " is negative.");
                if (row.count > kMaxCount)
                    fail_field(n_pred + 1, "the dog count " + in_quotes(fields[n_pred + 1]) + " is too large.");
                d.surveyed.push_back(std::move(row));
            } else {
                d.unsurveyed.push_back(std::move(row));
            }
        }
        return d;
    }

    [[noreturn]] void fail_file(const std::string& what) const {
        throw UserError("The data file " + printable(name_) + " " + what, "Data file");
    }

private:
    // Tells a text file from what is not one before any line is read.
    void check_kind_of_file(LineReader& lines) {
        const std::string_view head = lines.peek();
        auto starts = [&](std::string_view prefix) { return head.substr(0, prefix.size()) == prefix; };
        if (starts("\xFF\xFE") || starts("\xFE\xFF"))
            fail_file("seems to be UTF-16 text. Save it as UTF-8 or plain text (in a spreadsheet: CSV) and read it again.");
        if (starts("\xEF\xBB\xBF")) lines.skip(3);  // the UTF-8 byte-order mark is not part of the header
        std::size_t zeros = 0, odd_zeros = 0;
        for (std::size_t i = 0; i < head.size(); ++i)
            if (head[i] == '\0') {
                ++zeros;
                odd_zeros += i % 2;
            }
        if (zeros > 0 && zeros * 4 >= head.size() && (odd_zeros * 5 >= zeros * 4 || odd_zeros * 5 <= zeros))
            fail_file("seems to be UTF-16 text. Save it as UTF-8 or plain text (in a spreadsheet: CSV) and read it again.");
        if (zeros > 0) fail_file("seems to be a binary file, not a text file of ward lines.");
    }

    bool next_line(LineReader& lines, std::string& line) {
        switch (lines.next(line)) {
            case LineReader::Result::End: return false;
            case LineReader::Result::Error: fail_file("could not be read to its end.");
            case LineReader::Result::TooLong:
                ++line_no_;
                fail_line("the line is longer than 1 MiB; this does not look like a count data file.");
            case LineReader::Result::Line: break;
        }
        ++line_no_;
        for (char c : line) {
            const auto u = static_cast<unsigned char>(c);
            if ((u < 0x20 && c != '\t') || u == 0x7F)
                fail_line("the line holds a control character (byte " + printable(std::string(1, c)) +
                          "); the file seems to be binary, not a text file of ward lines.");
        }
        return true;
    }

    // Splits at ';' when the line has one, else as split_readstring does; stops as soon as
    // there are more fields than max_fields (one trailing empty field allowed), calling
    // too_many with the count so far. Returns the number of fields.
    std::size_t split(const std::string& line, std::vector<std::string>& fields, std::size_t max_fields,
                      const std::function<void(std::size_t)>& too_many) {
        semicolon_ = line.find(';') != std::string::npos;
        const char sep = semicolon_ ? ';' : field_separator(line);
        fields.clear();
        std::size_t start = 0;
        for (;;) {
            const std::size_t at = line.find(sep, start);
            fields.push_back(line.substr(start, at == std::string::npos ? std::string::npos : at - start));
            if (at == std::string::npos) break;
            start = at + 1;
            // a trailing separator may follow the last field
            if (fields.size() > max_fields) too_many(fields.size());
        }
        if (fields.size() > 1 && fields.back().empty()) fields.pop_back();
        if (fields.size() > max_fields) too_many(fields.size());
        return fields.size();
    }

    [[noreturn]] void wrong_field_count(int n_pred, const std::string& found) const {
        throw UserError(kCheckDataFile, "Data file",
                        where() + ": " + found + "; a ward line needs " + std::to_string(n_pred + 1) + " (name and " +
                            std::to_string(n_pred) + " predictor values) or " + std::to_string(n_pred + 2) +
                            " (with the dog count last).");
    }

    double number(const std::string& text, int field, const std::string& what) {
        const auto v = parse_data_number(text, semicolon_);
        if (!v && data_number_too_large(text, semicolon_))
            fail_field(field, "the " + what + " " + in_quotes(text) + " is too large: numbers go up to about 1.8e308.");
        if (!v)
            fail_field(field, "the " + what + " " + in_quotes(text) + " is not a number" +
                                  (semicolon_ ? "." : " (write decimals with a point, such as 19.4)."));
        return *v;
    }

    std::string where() const { return printable(name_) + ", line " + std::to_string(line_no_); }

    [[noreturn]] void fail_line(const std::string& what) const { throw UserError(where() + ": " + what, "Data file"); }
    [[noreturn]] void fail_field(int field, const std::string& what) const {
        // fields are counted from 1 for the reader of the message
        throw UserError(where() + ", field " + std::to_string(field + 1) + ": " + what, "Data file");
    }

    std::string name_;
    long line_no_ = 0;
    bool semicolon_ = false;
};

}  // namespace

CountData read_count_file(const std::string& path) {
    Reader reader(path);
#ifdef _WIN32
    // what the name is decides before anything is read; the wide name keeps every letter
    namespace fs = std::filesystem;
    const fs::path native = platform::path_from_utf8(path);
    std::error_code ec;
    const fs::file_status st = fs::status(native, ec);
    if (!fs::exists(st)) reader.fail_file("cannot be opened: there is no such file.");
    if (fs::is_directory(st)) reader.fail_file("is a folder, not a data file.");
    if (!fs::is_regular_file(st))
        reader.fail_file("is not a regular file (a device or a pipe); name a data file saved on disk.");
    std::ifstream in(native, std::ios::binary);
    if (!in) reader.fail_file("cannot be opened: it may be open in another program that keeps others out.");
    return read_count_data(in, path);
#else
    // Not blocking on a pipe without a writer; what it is decides before anything is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int e = errno;
        if (e == ENOENT) reader.fail_file("cannot be opened: there is no such file.");
        if (e == EISDIR) reader.fail_file("is a folder, not a data file.");
        reader.fail_file(std::string("cannot be opened: ") + std::strerror(e) + ".");
    }
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st {};
    if (::fstat(fd, &st) != 0) reader.fail_file(std::string("cannot be read: ") + std::strerror(errno) + ".");
    if (S_ISDIR(st.st_mode)) reader.fail_file("is a folder, not a data file.");
    if (!S_ISREG(st.st_mode))
        reader.fail_file(std::string("is not a regular file (") + (S_ISFIFO(st.st_mode) ? "a pipe" : "a device or socket") +
                         "); name a data file saved on disk.");
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    LineReader lines([fd](char* buffer, std::size_t size) -> long {
        for (;;) {
            const ssize_t n = ::read(fd, buffer, size);
            if (n < 0 && errno == EINTR) continue;
            return static_cast<long>(n);
        }
    });
    return reader.read(lines);
#endif
}

CountData read_count_data(std::istream& in, const std::string& name) {
    Reader reader(name);
    LineReader lines([&in](char* buffer, std::size_t size) -> long {
        in.read(buffer, static_cast<std::streamsize>(size));
        if (in.bad()) return -1;
        return static_cast<long>(in.gcount());
    });
    return reader.read(lines);
}

void store_count_data(EstimationState& s, const CountData& d) {
    // Work on a copy so that a failure part-way leaves the state as it was.
    EstimationState t = s;
    t.data_read = -1;
    t.n_pred = static_cast<int16_t>(d.predictor_names.size());
    if (d.surveyed.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()) ||
        d.unsurveyed.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
        throw UserError("The data file has more wards than the program can count.", "Data file");
    t.resize_wards(static_cast<int32_t>(d.surveyed.size()), static_cast<int32_t>(d.unsurveyed.size()));
    for (int j = 0; j <= kMaxPredictors; ++j) t.unsurveyed_x_sum(j) = 0.0;
    long u = 0;
    for (const WardRow& r : d.unsurveyed) {
        ++u;
        t.unsurveyed_name(u) = r.name;
        for (int j = 1; j <= t.n_pred; ++j) {
            t.unsurveyed_x(j, u) = static_cast<float>(r.x[j - 1]);
            // the sum of the values as stored
            t.unsurveyed_x_sum(j) += static_cast<double>(t.unsurveyed_x(j, u));
        }
    }
    long w = 0;
    for (const WardRow& r : d.surveyed) {
        ++w;
        t.surveyed_name(w) = r.name;
        for (int j = 1; j <= t.n_pred; ++j) t.surveyed_x(j, w) = static_cast<float>(r.x[j - 1]);
        t.surveyed_count(w) = static_cast<float>(r.count);
    }
    s = std::move(t);
}

}  // namespace valdmora
